#include "app_watch.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz_file(data, size, [](int fd) { match_app_listing(fd); });
}
