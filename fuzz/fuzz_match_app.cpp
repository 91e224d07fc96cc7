#include "app_watch.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* f = open_input(data, size);
    if (f == nullptr) return 0;
    match_app_listing(f);
    fclose(f);
    return 0;
}
