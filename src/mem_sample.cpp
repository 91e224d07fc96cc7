#include "mem_sample.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "low_water.h"

namespace {
const char meminfo_path[] = "/proc/meminfo";

struct key_row {
    const char* key;
    const char* excluded;
    size_t skip;
    const char* log_fmt;
};

// Tested in this order on every line.
const key_row key_table[3] = {
    {"MemFree:", nullptr, 8, "mem_num_free:%s\n"},
    {"Buffers:", nullptr, 8, "mem_num_buffers:%s\n"},
    {"Cached:", "SwapCached:", 7, "mem_num_cache:%s\n"},
};

const size_t field_size = 12;

// Lines of a file as fgets gives them, from a buffer on the stack.
struct line_source {
    int fd;
    bool ended;
    size_t at;
    size_t len;
    char buf[256];
};

// At most size - 1 characters, through the first newline, into line (its
// terminator included); false when nothing was left to read.
bool next_line(line_source* src, char* line, size_t size) {
    size_t n = 0;
    while (n + 1 < size) {
        if (src->at == src->len) {
            if (src->ended) break;
            ssize_t got = read(src->fd, src->buf, sizeof(src->buf));
            if (got < 0 && errno == EINTR) continue;
            // A read error ends the lines as the end of the data does.
            if (got <= 0) {
                src->ended = true;
                break;
            }
            src->at = 0;
            src->len = static_cast<size_t>(got);
        }
        char c = src->buf[src->at++];
        line[n++] = c;
        if (c == '\n') break;
    }
    line[n] = '\0';
    return n > 0;
}
}  // namespace

void delete_char(char* text, char c) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (*in != c) *out++ = *in;
    }
    *out = '\0';
}

int32_t read_mem_figure(int fd, int* matches) {
    char line[64];
    char fields[3][field_size];
    line_source src;
    memset(line, 0, sizeof(line));
    memset(fields, 0, sizeof(fields));
    memset(&src, 0, sizeof(src));
    src.fd = fd;
    *matches = 0;

    for (;;) {
        memset(line, 0, sizeof(line));
        if (!next_line(&src, line, sizeof(line))) break;
        for (size_t row = 0; row < 3; ++row) {
            const key_row& k = key_table[row];
            if (strstr(line, k.key) == nullptr) continue;
            if (k.excluded != nullptr && strstr(line, k.excluded) != nullptr) continue;
            ++*matches;
            delete_char(line, ' ');
            char* field = fields[row];
            memset(field, 0, field_size);
            size_t len = strlen(line);
            size_t count = len > k.skip ? len - k.skip : 0;
            // Text too long for the field keeps its first characters.
            if (count > field_size - 1) count = field_size - 1;
            memcpy(field, line + k.skip, count);
            size_t flen = strlen(field);
            if (flen > 0 && (field[flen - 1] == '\n' || field[flen - 1] == '\r')) field[flen - 1] = '\0';
            delete_char(field, 'k');
            delete_char(field, 'B');
            printf(k.log_fmt, field);
        }
    }

    // Summed wide and saturated, so that out-of-range fields cannot wrap
    // into a small or negative figure.
    int64_t sum = 0;
    for (size_t row = 0; row < 3; ++row) sum += read_decimal(fields[row]);
    if (sum > INT32_MAX) return INT32_MAX;
    if (sum < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(sum);
}

int record_mem_info(int32_t* sampled) {
    int fd = open(meminfo_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        puts("open /proc/meminfo fail");
        return -1;
    }
    int matches = 0;
    int32_t figure = read_mem_figure(fd, &matches);
    close(fd);
    if (matches == 0) {
        // An empty or foreign read is no measurement: taken as 0 kB free it
        // would store 0 as the lasting low and allow reboots on request.
        puts("no memory values in /proc/meminfo");
        return -1;
    }
    printf("free_mem:%d\n", figure);
    update_low_water(figure);
    if (sampled != nullptr) *sampled = figure;
    return 0;
}
