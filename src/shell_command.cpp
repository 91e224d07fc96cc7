#include "shell_command.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process_setup.h"

extern char** environ;

namespace {
const char shell_path[] = "/bin/sh";
// Polled, not waited for with a signal: the three threads start commands
// independently, and a signal would reach any one of them. Every 1 ms for
// the first 100 ms, which holds the usual command (a restart waits on two
// in a row), then every 10 ms: one that hangs costs a wake-up every 10 ms
// until its deadline.
const long quick_poll_ns = 1000000;
const long quick_for_ns = 100000000;
const long slow_poll_ns = 10000000;
// After SIGKILL a shell ends at once unless the kernel holds it (a write
// to a hung flash); then it is left, and reaped at a later command.
const long reap_after_kill_ns = 1000000000;
// Shells left that way, per thread: a thread reaps only its own children,
// so no other thread's command is ever taken for ended.
const unsigned int max_left = 4;
thread_local pid_t left_behind[max_left];

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// True once the child has ended and is reaped.
bool reaped(pid_t pid) {
    pid_t r = waitpid(pid, nullptr, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
}

// Polls until the child ends or the monotonic clock reaches end_ns.
bool wait_until(pid_t pid, int64_t end_ns) {
    int64_t quick_until = now_ns() + quick_for_ns;
    for (;;) {
        if (reaped(pid)) return true;
        int64_t now = now_ns();
        if (now >= end_ns) return false;
        timespec pause = {0, now < quick_until ? quick_poll_ns : slow_poll_ns};
        nanosleep(&pause, nullptr);
    }
}

void reap_left_behind() {
    for (pid_t& pid : left_behind) {
        if (pid > 0 && reaped(pid)) pid = 0;
    }
}

void leave_behind(pid_t pid) {
    for (pid_t& slot : left_behind) {
        if (slot <= 0) {
            slot = pid;
            return;
        }
    }
    // All slots taken by shells the kernel still holds: this one stays a
    // zombie once it ends, which costs a process slot and nothing else.
}
}  // namespace

int run_command(const char* cmd, unsigned int deadline_s, pid_t* shell) {
    if (shell != nullptr) *shell = 0;
    reap_left_behind();
    char sh[] = "sh";
    char dash_c[] = "-c";
    char* const argv[] = {sh, dash_c, const_cast<char*>(cmd), nullptr};
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        // Only async-signal-safe calls here: the other threads' locks may
        // be held in this copy of the process.
        setpgid(0, 0);
        // Nothing blocked (the forking thread blocks the direct restart's
        // alarm), the default actions, and the OOM killer's score back at
        // 0: none of the daemon's own settings reach the command.
        setup_command_process();
        // A shell that outlived the daemon could still rename a file over
        // the state a newer daemon wrote.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        execve(shell_path, argv, environ);
        _exit(127);
    }
    // Set from both sides, so that the group exists before either goes on.
    setpgid(pid, pid);
    if (shell != nullptr) *shell = pid;
    if (wait_until(pid, now_ns() + static_cast<int64_t>(deadline_s) * 1000000000)) return 0;
    kill(-pid, SIGKILL);
    if (!wait_until(pid, now_ns() + reap_after_kill_ns)) leave_behind(pid);
    return 1;
}
