#pragma once
// Fuzz input as the open file the daemon's parsers read.

#include <cstddef>
#include <cstdint>
#include <sys/mman.h>
#include <unistd.h>

// Runs parse on the input as a file in memory, read from its start.
template <typename Parse>
int fuzz_file(const uint8_t* data, size_t size, Parse parse) {
    int fd = memfd_create("fuzz_input", 0);
    if (fd < 0) return 0;
    if (size == 0 || write(fd, data, size) == static_cast<ssize_t>(size)) {
        lseek(fd, 0, SEEK_SET);
        parse(fd);
    }
    close(fd);
    return 0;
}
