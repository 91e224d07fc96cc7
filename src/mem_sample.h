#pragma once
// One sample of /proc/meminfo reduced to the free-memory figure.

#include <cstdint>

// Takes a sample and hands its figure to the low-water update.
// 0 after a complete sample, its figure in *figure where one is given; -1
// when /proc/meminfo cannot be opened or holds none of the three values.
int record_mem_info(int32_t* figure = nullptr);

// The line loop behind record_mem_info(), for any open file: logs each
// matched value and returns MemFree + Buffers + Cached in kB, saturated at
// the int32 bounds. *matches counts the lines that matched a key. Lines
// come as fgets cuts them: at most 63 characters, through the newline.
int32_t read_mem_figure(int fd, int* matches);

// Removes every occurrence of c from the text, in place.
void delete_char(char* text, char c);
