#include "fuzz_input.h"
#include "low_water.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = open_input(data, size);
    if (f == nullptr) return 0;
    read_low_water(f);
    fclose(f);
    return 0;
}
