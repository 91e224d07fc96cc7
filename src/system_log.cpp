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
const char log_tag[] = "check_mem";
const int facility_daemon = 3 << 3;
const size_t line_max = 256;
}  // namespace

void log_system(int level, const char* fmt, ...) {
    // No time stamp: the system's syslogd stamps a line that comes without
    // one, in its own time zone, which the daemon need not know.
    char line[line_max];
    memset(line, 0, sizeof(line));
    int head = snprintf(line, sizeof(line), "<%d>%s[%d]: ", facility_daemon | level, log_tag, static_cast<int>(getpid()));
    if (head <= 0 || static_cast<size_t>(head) >= sizeof(line)) return;
    va_list args;
    va_start(args, fmt);
    int body = vsnprintf(line + head, sizeof(line) - head, fmt, args);
    va_end(args);
    if (body < 0) return;
    // A line too long for the buffer goes cut, as far as it fits.
    size_t len = strnlen(line, sizeof(line) - 1);

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
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) send(fd, line, len, MSG_DONTWAIT | MSG_NOSIGNAL);
    close(fd);
}
