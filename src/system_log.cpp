#include "system_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
const char log_socket_path[] = "/dev/log";
const int facility_daemon = 3 << 3;
const size_t line_max = 256;

// Appends a value's decimal digits at line[at], as far as they fit before
// the buffer's last byte; the new end.
size_t put_decimal(char* line, size_t at, unsigned long value) {
    char digits[24];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (n > 0 && at < line_max - 1) line[at++] = digits[--n];
    return at;
}

size_t put_text(char* line, size_t at, const char* text) {
    while (*text != '\0' && at < line_max - 1) line[at++] = *text++;
    return at;
}
}  // namespace

void log_system(int level, const char* fmt, ...) {
    char body[line_max];
    memset(body, 0, sizeof(body));
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(body, sizeof(body), fmt, args);
    va_end(args);
    // A line too long for the buffer goes cut, as far as it fits.
    if (n >= 0) log_system_text(level, body);
}

void log_system_text(int level, const char* text) {
    // "<PRI>check_mem[PID]: " by hand, without printf, so that this may run
    // in a signal handler. No time stamp: the system's syslogd stamps a
    // line that comes without one, in its own time zone, which the daemon
    // need not know.
    char line[line_max];
    memset(line, 0, sizeof(line));
    size_t at = put_text(line, 0, "<");
    at = put_decimal(line, at, static_cast<unsigned long>(facility_daemon | level));
    at = put_text(line, at, ">check_mem[");
    at = put_decimal(line, at, static_cast<unsigned long>(getpid()));
    at = put_text(line, put_text(line, at, "]: "), text);

    // A socket of its own for each line, never kept: connected anew, a line
    // finds the socket of a syslogd that has restarted since the last, and
    // no state is shared between the threads. A datagram socket's connect
    // never waits; the send does not either, and gives up on a syslogd
    // that is stopped, stuck or slow (its queue full).
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) return;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    static_assert(sizeof(log_socket_path) <= sizeof(addr.sun_path), "the path and its terminator fit");
    memcpy(addr.sun_path, log_socket_path, sizeof(log_socket_path));
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) send(fd, line, at, MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
}
