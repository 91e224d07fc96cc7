// Supervision daemon: low-water memory mark, reboot requests granted once
// memory ran low, and a restart when the application is gone.

#include <pthread.h>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "app_watch.h"
#include "low_water.h"
#include "mem_sample.h"
#include "reboot_action.h"
#include "request_listener.h"
#include "system_log.h"

namespace {
const unsigned int sample_period_s = 30;
// One daemon at a time, however it is started: two would race on the check
// file, one truncating it between the other's capture and read, and that
// one would restart a healthy device. The name is a unix socket's in the
// abstract namespace: nothing on the file system to go stale, and the
// kernel frees it when its holder ends, however it ends.
const char instance_name[] = "check_mem";

// 0: this is the one daemon; 1: another holds the name; -1: no socket to
// tell (then it runs: supervised twice is better than not at all).
int claim_instance() {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) return -1;
    // Never inherited by a shell command: one stuck in the kernel would
    // keep the name after the daemon ended, and no daemon could start.
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    static_assert(sizeof(instance_name) < sizeof(addr.sun_path), "the name and its leading zero byte fit");
    // sun_path[0] stays 0: the abstract namespace.
    memcpy(addr.sun_path + 1, instance_name, sizeof(instance_name) - 1);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof(instance_name));
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0) return 0;  // held for the process's life
    int err = errno;
    close(fd);
    return err == EADDRINUSE ? 1 : -1;
}

// The mark found at start and the first figure, for the system log.
void say_started(int32_t mark, bool sampled, int32_t figure) {
    char mark_text[24];
    char figure_text[24];
    memset(mark_text, 0, sizeof(mark_text));
    memset(figure_text, 0, sizeof(figure_text));
    if (mark == -1) {
        snprintf(mark_text, sizeof(mark_text), "unreadable");
    } else if (mark == low_water_empty) {
        snprintf(mark_text, sizeof(mark_text), "empty");
    } else {
        snprintf(mark_text, sizeof(mark_text), "%d kB", mark);  // at most 14 bytes with the sign
    }
    if (sampled) {
        snprintf(figure_text, sizeof(figure_text), "%d kB", figure);
    } else {
        snprintf(figure_text, sizeof(figure_text), "not sampled");
    }
    log_system(log_info, "started: low-water mark %s, free memory %s", mark_text, figure_text);
}

void say_state_dir(int error) {
    if (error == 0) {
        log_system(log_notice, "/plorn_etc can be written again");
        return;
    }
    const char* why = error == ENOENT ? "missing" : error == EROFS ? "read-only" : "not writable";
    log_system(log_err, "cannot write /plorn_etc (%s, errno %d): the low-water mark is not kept, and every"
               " application check restarts the device", why, error);
}
}  // namespace

int main() {
    // Before detaching, so that the one who starts a second daemon hears it.
    int claimed = claim_instance();
    if (claimed == 1) {
        puts("check_mem is already running");
        return 1;
    }
    if (claimed < 0) puts("cannot tell whether check_mem is already running");
    if (daemon(0, 0) == -1) return -1;
    seed_low_water();
    int32_t mark = peek_low_water();
    // The direct restart's alarm lands on this thread only: the threads
    // started here inherit it blocked, as they may be the ones stuck.
    prepare_direct_restart();
    sigset_t alarm_only;
    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm_only, nullptr);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, msg_thread, nullptr) != 0) {
        puts("create msg_thread failed");
        return -2;
    }
    if (pthread_create(&thread, nullptr, mornitor_thread, nullptr) != 0) {
        puts("create mornitor_thread failed");
        return -3;
    }
    pthread_sigmask(SIG_UNBLOCK, &alarm_only, nullptr);
    int32_t figure = 0;
    bool sampled = record_mem_info(&figure) == 0;
    say_started(mark, sampled, figure);
    // Said once when the state directory cannot be written and once when it
    // can again, not every period.
    int state_error = 0;
    for (;;) {
        int now = state_dir_error();
        if (now != state_error) say_state_dir(now);
        state_error = now;
        // A direct restart that was refused (no CAP_SYS_BOOT) cuts this
        // sleep short: that one sample comes early.
        sleep(sample_period_s);
        record_mem_info();
    }
}
