#pragma once
// Lasting low-water mark of the free-memory figure and the low-memory flag.

#include <atomic>
#include <cstdint>

// Raised by the sampling loop, read by the request listener; never lowered.
extern std::atomic<int32_t> reboot_flag;

// The figure that raised the flag, stored before it: a reader that finds
// the flag raised finds this figure too. 0 while the flag is down.
int32_t low_memory_figure();

// Value of get_current_mem() for an empty file: any real figure is lower.
constexpr int32_t low_water_empty = 16777215;

// Creates the low-water mark file with the seed value when it does not
// exist; any other failure of the existence test leaves it alone.
void seed_low_water();

// Stored low-water mark, low_water_empty for an empty file, -1 when the
// file cannot be opened.
int32_t get_current_mem();

// The reading behind get_current_mem(), for any open file: at most its
// first 32 bytes.
int32_t read_low_water(int fd);

// The stored mark as get_current_mem() reads it, without its log line.
int32_t peek_low_water();

// 0 while the state directory can be written, else why not (an errno).
int state_dir_error();

// Stores a figure lower than the stored one and raises the flag below the
// threshold. A figure whose rewrite could not start or did not complete
// stays pending, and the next rewrite stores the lowest one not stored.
void update_low_water(int32_t figure);

// Writes the pending figure, if any and still lower than the stored one,
// through the daemon's own calls: for a restart that found no shell.
void store_pending_low();

// Decimal value as atoi reads it, but saturating at the int32 bounds
// instead of overflowing.
int32_t read_decimal(const char* text);
