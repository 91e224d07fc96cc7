#include "process_setup.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
// Signals that would end the daemon with no one to notice: a stray
// SIGHUP from a closing session, SIGUSR1 or SIGUSR2 sent to the wrong
// process, SIGPIPE from a write whose reader went.
const int stray_signals[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE};

// Its memory is fixed (no heap of its own; nothing grows from period to
// period), so it has nothing to give back: the OOM killer would take it
// first among the small processes once the largest is shielded, and the
// device would lose the remedy at the moment it is needed.
const char oom_score_path[] = "/proc/self/oom_score_adj";
const char oom_adj_path[] = "/proc/self/oom_adj";  // before Linux 2.6.36
const char daemon_oom_score[] = "-1000";
const char daemon_oom_adj[] = "-17";
const char command_oom_score[] = "0";

void set_action(int sig, void (*action)(int)) {
    struct sigaction act;
    memset(&act, 0, sizeof(act));
    act.sa_handler = action;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, nullptr);
}

void unblock_all() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

bool write_text(const char* path, const char* text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t len = strlen(text);
    bool ok = write(fd, text, len) == static_cast<ssize_t>(len);
    close(fd);
    return ok;
}
}  // namespace

void setup_daemon_process() {
    // Whatever the starter ignored, blocked or caught: a SIGTERM blocked
    // or ignored there would make stop powerless, and a SIGCHLD ignored
    // there would reap every command before its end was seen.
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) set_action(sig, SIG_DFL);
    }
    for (int sig : stray_signals) set_action(sig, SIG_IGN);
    unblock_all();
    if (!write_text(oom_score_path, daemon_oom_score) && !write_text(oom_adj_path, daemon_oom_adj))
        puts("cannot lower the OOM killer's score");
}

void setup_command_process() {
    for (int sig : stray_signals) set_action(sig, SIG_DFL);
    unblock_all();
    // A shell left at -1000 that then took memory could never be killed.
    if (!write_text(oom_score_path, command_oom_score)) write_text(oom_adj_path, command_oom_score);
}
