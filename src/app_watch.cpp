#include "app_watch.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reboot_action.h"
#include "shell_command.h"
#include "state_file.h"
#include "system_log.h"

namespace {
const char check_path[] = "/plorn_etc/check_app.txt";
const char capture_fmt[] = "ps -ef | grep quillamont > %s";
// Where ps -ef is refused (BusyBox built without DESKTOP, as routers
// build it, prints nothing), plain ps, whose command lines hold the
// application's path all the same. A separate command, run only then,
// so that where ps -ef works the listing stays exactly what it was: one
// command line "(ps -ef || ps) | ..." would list a longer shell line and
// a subshell, which push the application out of the 256 bytes examined
// when it is listed after them.
const char fallback_fmt[] = "ps | grep quillamont > %s";
const char remove_cmd[] = "rm /plorn_etc/check_app.txt";
const char app_path[] = "/plorn/quillamont";
const size_t listing_read_max = 256;
const unsigned int check_period_s = 30;
// Each capture (ps -ef and grep, or ps and grep) takes well under a second
// even on a loaded device; one that runs past this is stuck, not slow.
const unsigned int capture_deadline_s = 10;
const unsigned int remove_deadline_s = 10;
// A fork that fails once (a pids limit touched, memory short for an
// instant) must not restart a healthy device: the capture is tried again
// this often, a second apart, before it counts as failed.
const unsigned int capture_attempts = 4;
const unsigned int capture_retry_pause_s = 1;
}  // namespace

int match_app_listing(int fd) {
    char buf[listing_read_max + 1];
    memset(buf, 0, sizeof(buf));
    size_t got = read_upto(fd, buf, listing_read_max);
    // Searched over every byte read, so a zero byte in the listing cannot
    // hide the lines behind it.
    bool found = memmem(buf, got, app_path, sizeof(app_path) - 1) != nullptr;
    puts(found ? "app exist" : "app not exist");
    return found ? 0 : 1;
}

int match_app(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        printf("open %s fail\n", path);
        return -1;
    }
    int ret = match_app_listing(fd);
    close(fd);
    return ret;
}

namespace {
// 0 when the capture ended in time, 1 when it overran and was killed, -1
// when it could not be started, however often tried.
int capture(const char* fmt) {
    // Sized for the longer format and the path; each sizeof counts a byte
    // more than the text, which leaves room for the terminator.
    char cmd[sizeof(capture_fmt) + sizeof(check_path)];
    static_assert(sizeof(fallback_fmt) <= sizeof(capture_fmt), "the buffer is sized for capture_fmt");
    memset(cmd, 0, sizeof(cmd));
    int n = snprintf(cmd, sizeof(cmd), fmt, check_path);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(cmd)) return -1;
    int ran = run_command(cmd, capture_deadline_s);
    for (unsigned int tried = 1; ran < 0 && tried < capture_attempts; ++tried) {
        sleep(capture_retry_pause_s);
        ran = run_command(cmd, capture_deadline_s);
    }
    return ran;
}

// One capture and check, without the pause.
void check_app_once() {
    // The capture's redirection creates or truncates the check file, so no
    // existence test or touch comes before it.
    int captured = capture(capture_fmt);
    // A working ps -ef never leaves the file empty: the capture's own shell
    // names "grep quillamont". Empty means refused. No file at all means no
    // state directory, where a second capture could write none either.
    struct stat st;
    if (captured == 0 && stat(check_path, &st) == 0 && st.st_size == 0) captured = capture(fallback_fmt);
    // What is there now is an earlier check's listing, never this one's.
    if (captured < 0) {
        puts("capture could not start");
        log_system(log_err, "restarting: no process listing (no process could be started for it)");
        reboot_with_marker();
        return;
    }
    // A listing cut short by the kill may hold the application's line all
    // the same, from a ps that hangs on a later process: an overrun is a
    // failed capture, as one that could not run at all.
    if (captured == 1) {
        puts("capture overran its deadline");
        log_system(log_err, "restarting: the process listing did not end within %u s", capture_deadline_s);
        reboot_with_marker();
        return;
    }
    int found = match_app(check_path);
    if (found == 0) {
        run_command(remove_cmd, remove_deadline_s);
        return;
    }
    if (found == 1) {
        log_system(log_err, "restarting: %s is not in the process listing", app_path);
    } else {
        log_system(log_err, "restarting: no process listing (cannot open %s)", check_path);
    }
    reboot_with_marker();
}
}  // namespace

void* mornitor_thread(void*) {
    for (;;) {
        check_app_once();
        sleep(check_period_s);
    }
    return nullptr;
}
