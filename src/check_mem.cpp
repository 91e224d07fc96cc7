// Supervision daemon: low-water memory mark, reboot requests granted once
// memory ran low, and a restart when the application is gone.

#include <pthread.h>
#include <cerrno>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "app_watch.h"
#include "low_water.h"
#include "mem_sample.h"
#include "process_setup.h"
#include "reboot_action.h"
#include "request_listener.h"
#include "system_log.h"

namespace {
const unsigned int sample_period_s = 30;
// One daemon at a time, however it is started: two would race on the check
// file, one truncating it between the other's capture and read, and that
// one would restart a healthy device. An flock on a file in root's state
// directory, itself root's with mode 0600: no other user can create or
// open it, so none can take the lock first (any process could bind an
// abstract socket's name). The kernel drops the lock when its holder ends,
// however it ends: nothing stale survives a crash or a power cut.
const char instance_lock_path[] = "/plorn_etc/check_mem.lock";

// 0: this is the one daemon; 1: another holds the lock; -1: no lock to
// tell (no state directory yet): then it runs, as supervised twice is
// better than not at all.
int claim_instance() {
    // Never inherited by a shell command (close-on-exec): one stuck in the
    // kernel would keep the lock after the daemon ended, and no daemon
    // could start. Held across daemon()'s fork, as flock locks are.
    int fd = open(instance_lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) fd = open(instance_lock_path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);  // a read-only state directory
    if (fd < 0) return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;  // held for the process's life
    int err = errno;
    close(fd);
    return err == EWOULDBLOCK ? 1 : -1;
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
    // Before the threads, which inherit it all.
    setup_daemon_process();
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
