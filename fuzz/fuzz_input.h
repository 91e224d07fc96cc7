#pragma once
// Fuzz input as the stream the daemon's parsers read.

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline FILE* open_input(const uint8_t* data, size_t size) {
    // fmemopen refuses an empty buffer; an empty stream is still a case.
    static char empty[1];
    if (size == 0) {
        FILE* f = fmemopen(empty, 1, "r");
        if (f != nullptr) fgetc(f);
        return f;
    }
    return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

// The parsers log every value; keep the fuzzer's output readable.
inline void quiet_stdout() {
    if (freopen("/dev/null", "w", stdout) == nullptr) perror("freopen");
}
