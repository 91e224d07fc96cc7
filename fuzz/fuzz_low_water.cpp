#include "fuzz_input.h"
#include "low_water.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_file(data, size, [](int fd) { read_low_water(fd); });
}
