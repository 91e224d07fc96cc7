#include "shell_command.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "process_setup.h"

extern char** environ;

namespace {
const char shell_path[] = "/bin/sh";
// Awaited, not polled: the child holds the write end of a pipe that no one
// else holds once it has started, and everything the shell starts inherits
// it, so the read end sees end-of-file as the last of them ends: one
// wake-up, where a poll every millisecond cost one for each millisecond of
// the command. No signal (the three threads start commands independently,
// and a signal would reach any one of them), no pidfd (not before Linux
// 5.3). Something the command left running still holds the pipe after the
// shell has ended; the shell's own end is looked at once a second, so such
// a command still counts as ended when its shell has.
const int shell_check_ms = 1000;
// Between end-of-file and the shell's exit being seen: it closes its files
// just before it becomes reapable.
const int after_end_ms = 1;
// Where no pipe could be made (no file descriptor, or no memory for one):
// the old poll's slow pace.
const int no_pipe = -2;
const int no_pipe_ms = 10;
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

// Waits until the child ends or the monotonic clock reaches end_ns. *fd is
// the pipe's read end, closed and set to -1 once it has seen end-of-file.
bool wait_until(pid_t pid, int* fd, int64_t end_ns) {
    for (;;) {
        if (reaped(pid)) return true;
        int64_t now = now_ns();
        if (now >= end_ns) return false;
        int pause_ms = *fd >= 0 ? shell_check_ms : *fd == -1 ? after_end_ms : no_pipe_ms;
        int64_t left_ns = end_ns - now;
        // Under a second here, so 32 bits divide it: a 64-bit division
        // would need libgcc's shared library on 32-bit targets. Rounded
        // up, so that the wait ends at the deadline, not before it.
        if (left_ns < static_cast<int64_t>(pause_ms) * 1000000)
            pause_ms = (static_cast<int32_t>(left_ns) + 999999) / 1000000;
        pollfd end = {*fd, POLLIN, 0};  // a negative fd: only the pause
        if (poll(&end, 1, pause_ms) > 0 && end.revents != 0) {
            // Nothing is meant to write to it; whatever was written is
            // read away, so that only end-of-file ends the wait.
            char junk[16];
            if (read(*fd, junk, sizeof(junk)) <= 0) {
                close(*fd);
                *fd = -1;
            }
        }
    }
}

void close_ends(const int ends[2]) {
    for (int i = 0; i < 2; ++i)
        if (ends[i] >= 0) close(ends[i]);
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
    // Close-on-exec in the daemon: another thread's command, started at the
    // same moment, must not keep this one's end open.
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) ends[0] = ends[1] = no_pipe;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        close_ends(ends);
        return -1;
    }
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
        // The write end, without close-on-exec, in place of the read end
        // this side does not need (dup2 clears the flag on its copy).
        if (ends[1] >= 0) dup2(ends[1], ends[0]);
        execve(shell_path, argv, environ);
        _exit(127);
    }
    // Set from both sides, so that the group exists before either goes on.
    setpgid(pid, pid);
    if (shell != nullptr) *shell = pid;
    if (ends[1] >= 0) close(ends[1]);
    int fd = ends[0];
    int ran = 0;
    if (!wait_until(pid, &fd, now_ns() + static_cast<int64_t>(deadline_s) * 1000000000)) {
        kill(-pid, SIGKILL);
        if (!wait_until(pid, &fd, now_ns() + reap_after_kill_ns)) leave_behind(pid);
        ran = 1;
    }
    if (fd >= 0) close(fd);
    return ran;
}
