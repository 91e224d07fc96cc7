#include <cstring>

#include "fuzz_input.h"
#include "mem_sample.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = open_input(data, size);
    if (f == nullptr) return 0;
    int matches = 0;
    read_mem_figure(f, &matches);
    fclose(f);
    return 0;
}
