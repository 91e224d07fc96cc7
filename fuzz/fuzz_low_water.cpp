#include "fuzz_input.h"
#include "low_water.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_stream(data, size, [](FILE* f) { read_low_water(f); });
}
