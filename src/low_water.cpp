#include "low_water.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "shell_command.h"
#include "state_file.h"
#include "system_log.h"

std::atomic<int32_t> reboot_flag(0);
static_assert(std::atomic<int32_t>::is_always_lock_free,
              "the flag must be a single atomic word on every target");

namespace {
// Written once, before the flag is raised, for the line that says why a
// request was granted.
std::atomic<int32_t> flag_figure(0);
// The lowest figure that a rewrite failed to store, -1 when none: written
// by the sampling loop, read by a restart that writes it itself.
const int32_t nothing_pending = -1;
std::atomic<int32_t> pending_low(nothing_pending);

const char state_dir[] = "/plorn_etc";
const char low_water_path[] = "/plorn_etc/meminfo.txt";
const char seed_touch_cmd[] = "touch /plorn_etc/meminfo.txt";
const char seed_write_cmd[] = "echo 58600 > /plorn_etc/meminfo.txt";
// Written aside, flushed, renamed over the mark and flushed again: a cut
// at any moment leaves the old mark or the new one, never an empty file,
// which would lose the lasting low. The file aside is named by the writing
// shell's pid, so that a shell of an earlier daemon, killed or stuck, can
// never rename its older figure over this one; once this rename is
// flushed, what such shells left aside goes (".tmp": the fixed name of
// earlier releases). The last flush is the command's, not a sync() call of
// the daemon's: that one could hang on a stuck flash beyond any deadline,
// and the sampling loop with it.
const char store_fmt[] = "echo %1$lu > %2$s.$$ && sync && mv %2$s.$$ %2$s && sync; rm -f %2$s.tmp %2$s.[0-9]*";
// A rewrite is a few small writes and two syncs; past this the storage is
// hung. The killed rewrite leaves the stored mark as it was.
const unsigned int store_deadline_s = 30;
const unsigned int seed_deadline_s = 10;
const double low_memory_threshold = 11720.0;
const size_t low_water_read_max = 32;
}  // namespace

int32_t read_decimal(const char* text) {
    // strtol saturates at long's bounds; on a 64-bit host long is wider
    // than the figure, so clamp once more to the target's 32-bit range.
    long value = strtol(text, nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

void seed_low_water() {
    // Only a mark known to be absent is seeded: a transient failure of the
    // test (EIO, ENOMEM, ...) must not overwrite a lasting low with 58600.
    if (access(low_water_path, F_OK) != 0 && errno == ENOENT) {
        run_command(seed_touch_cmd, seed_deadline_s);
        run_command(seed_write_cmd, seed_deadline_s);
    }
}

namespace {
// The stored value; *empty when the file holds nothing to read.
int32_t parse_low_water(int fd, bool* empty) {
    // One byte more than is read, so the text always ends inside the buffer.
    char buf[low_water_read_max + 1];
    memset(buf, 0, sizeof(buf));
    size_t got = read_upto(fd, buf, low_water_read_max);
    *empty = buf[0] == '\0';
    if (*empty) return low_water_empty;
    size_t len = strnlen(buf, got);
    if (len > 0 && (buf[len - 1] == '\n' || buf[len - 1] == '\r')) buf[len - 1] = '\0';
    return read_decimal(buf);
}
}  // namespace

int32_t read_low_water(int fd) {
    bool empty = false;
    int32_t value = parse_low_water(fd, &empty);
    if (!empty) printf("buf:%d\n", value);
    return value;
}

int32_t peek_low_water() {
    int fd = open(low_water_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    bool empty = false;
    int32_t value = parse_low_water(fd, &empty);
    close(fd);
    return value;
}

int state_dir_error() { return access(state_dir, W_OK) == 0 ? 0 : errno; }

int32_t low_memory_figure() { return flag_figure.load(); }

int32_t get_current_mem() {
    int fd = open(low_water_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        printf("open %s fail\n", low_water_path);
        return -1;
    }
    int32_t value = read_low_water(fd);
    close(fd);
    return value;
}

namespace {
// True once the figure is stored: the shell's rename replaced the mark.
bool rewrite_low_water(int32_t figure) {
    // The path six times and up to 20 digits of an unsigned long in place
    // of the format's conversions; each sizeof counts a byte more than the
    // text, which leaves room for the terminator.
    char cmd[sizeof(store_fmt) + 6 * sizeof(low_water_path) + 20];
    memset(cmd, 0, sizeof(cmd));
    int n = snprintf(cmd, sizeof(cmd), store_fmt, static_cast<unsigned long>(figure), low_water_path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(cmd)) return false;
    file_id before = identify_file(low_water_path);
    pid_t shell = 0;
    return run_command(cmd, store_deadline_s, &shell) == 0 && rewrite_completed(low_water_path, before, shell);
}
}  // namespace

void update_low_water(int32_t figure) {
    int32_t stored = get_current_mem();
    int32_t pending = pending_low.load();
    // Stored since (by a restart's own write), or something lower is.
    if (pending != nothing_pending && stored >= 0 && stored <= pending) pending = nothing_pending;
    int32_t lowest = pending != nothing_pending && pending < figure ? pending : figure;
    if (lowest < stored) {
        if (lowest < 0) {
            // Only malformed input gives a negative figure; "%lu" would
            // store it as a huge number that reads back as something else,
            // so the mark keeps its last sound value.
            printf("bad free_mem:%d, not stored\n", lowest);
        } else if (rewrite_low_water(lowest)) {
            pending = nothing_pending;
        } else {
            // No shell, or one that could not finish: not lost, only late.
            printf("low-water mark %d not stored, kept for the next rewrite\n", lowest);
            pending = lowest;
        }
    }
    pending_low.store(pending);
    if (figure < low_memory_threshold) {
        puts("ram space not enough");
        if (reboot_flag.load() == 0) {
            flag_figure.store(figure);
            reboot_flag.store(1);
            log_system(log_warning, "free memory %d kB is below %d kB: reboot requests are granted from now on",
                       figure, static_cast<int>(low_memory_threshold));
        }
    }
}

void store_pending_low() {
    int32_t pending = pending_low.load();
    if (pending == nothing_pending) return;
    int32_t stored = peek_low_water();
    if (stored >= 0 && stored <= pending) return;
    // As echo writes it: the decimal figure and one newline.
    char text[16];
    memset(text, 0, sizeof(text));
    int n = snprintf(text, sizeof(text), "%d\n", pending);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(text)) return;
    int err = write_state_file(low_water_path, text);
    if (err == 0) {
        printf("low-water mark %d stored by the daemon\n", pending);
    } else {
        printf("low-water mark %d not stored, errno %d\n", pending, err);
    }
}
