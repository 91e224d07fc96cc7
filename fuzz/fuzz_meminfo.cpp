#include "fuzz_input.h"
#include "mem_sample.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_file(data, size, [](int fd) {
        int matches = 0;
        read_mem_figure(fd, &matches);
    });
}
