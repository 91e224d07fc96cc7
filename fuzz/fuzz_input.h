#pragma once
// Fuzz input as the stream the daemon's parsers read.

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Runs parse on the input as an open stream. fmemopen refuses an empty
// buffer, so an empty input is an exhausted one-byte stream.
template <typename Parse>
int fuzz_stream(const uint8_t* data, size_t size, Parse parse) {
    static char empty[1];
    FILE* f = size == 0 ? fmemopen(empty, 1, "r") : fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (f == nullptr) return 0;
    if (size == 0) fgetc(f);
    parse(f);
    fclose(f);
    return 0;
}
