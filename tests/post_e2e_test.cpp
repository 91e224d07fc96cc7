// The daemon stays at its post whoever starts it: no unprivileged process
// can keep it from starting, stray signals do not end it, SIGTERM does,
// and its commands inherit none of its own settings.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class AtItsPost : public device::Test {
protected:
    void TearDown() override {
        if (squatter > 0) {
            kill(squatter, SIGKILL);
            waitpid(squatter, nullptr, 0);
        }
        device::Test::TearDown();
        unbind_all();
    }

    pid_t squatter = 0;
};

const char command_log[] = "/run/check_mem_sandbox/command.log";

// Puts a ps over the machine's that notes, for each call, the signals
// blocked and ignored and the OOM score that its commands inherit from
// it, then runs the real one.
void note_what_commands_inherit() {
    std::string found = run("command -v ps").output;
    char real[PATH_MAX] = {};
    ASSERT_NE(realpath(found.substr(0, found.find('\n')).c_str(), real), nullptr) << found;
    const char copy[] = "/run/check_mem_sandbox/real-ps";
    const char noting[] = "/run/check_mem_sandbox/noting-ps";
    ASSERT_EQ(run(std::string("cp ") + real + " " + copy).status, 0);
    write_file(command_log, "");
    write_file(noting, std::string("#!/bin/sh\n{ grep -E '^Sig(Blk|Ign):' /proc/self/status; echo \"oom $(cat "
                                   "/proc/self/oom_score_adj)\"; } >>") + command_log + "\nexec " + copy + " \"$@\"\n");
    ASSERT_EQ(chmod(noting, 0755), 0);
    bind_over(noting, real);
}
}  // namespace

// The name of the one-daemon rule as any process could take it first (an
// abstract socket), and the lock file, which only root can open.
TEST_F(AtItsPost, AnUnprivilegedSquatterCannotKeepItFromStarting) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    squatter = fork();
    if (squatter == 0) {
        char said = 'n';
        if (setgid(65534) == 0 && setuid(65534) == 0) {
            int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
            sockaddr_un addr;
            memset(&addr, 0, sizeof(addr));
            addr.sun_family = AF_UNIX;
            memcpy(addr.sun_path + 1, "check_mem", 9);
            bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), offsetof(sockaddr_un, sun_path) + 10) == 0;
            bool locked = open("/plorn_etc/check_mem.lock", O_RDWR | O_CREAT, 0666) >= 0;
            said = bound && !locked ? 'y' : 'n';
        }
        if (write(ready[1], &said, 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char said = 0;
    ASSERT_EQ(read(ready[0], &said, 1), 1);
    close(ready[0]);
    close(ready[1]);
    ASSERT_EQ(said, 'y') << "the squatter took the socket's name and could not open the lock";
    pid = start();
    EXPECT_TRUE(wait_until([] { return count_lines(log(), "app exist") >= 1; }, 10));
    EXPECT_TRUE(running(pid));
    result second = run(daemon_command());
    EXPECT_EQ(second.status, 1) << "one daemon at a time still: " << second.output;
}

TEST_F(AtItsPost, AHostileStarterLeavesItStoppableAndItsCommandsClean) {
    note_what_commands_inherit();
    start_options opts;
    opts.hostile_starter = true;
    pid = start(opts);
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "app exist") >= 1; }, 10)) << log();
    ASSERT_TRUE(settled(pid));
    EXPECT_EQ(read_file(command_log), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\noom 0\n")
        << "the capture's ps inherits nothing of the daemon's or its starter's";
    // Out of the OOM killer's reach where root may lower a score (this
    // machine's root may not: no CAP_SYS_RESOURCE); else it says so.
    std::string caps = read_file("/proc/self/status");
    size_t eff = caps.find("CapEff:\t");
    bool may_lower = eff != std::string::npos && ((strtoull(caps.c_str() + eff + 8, nullptr, 16) >> 24) & 1) != 0;
    std::string score = read_file(("/proc/" + std::to_string(pid) + "/oom_score_adj").c_str());
    if (may_lower) {
        EXPECT_EQ(score, "-1000\n");
    } else {
        EXPECT_EQ(score, "500\n");
        EXPECT_EQ(count_lines(log(), "cannot lower the OOM killer's score"), 1);
    }

    for (int sig : {SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE}) ASSERT_EQ(kill(pid, sig), 0);
    ASSERT_TRUE(settled(pid));
    EXPECT_TRUE(running(pid)) << "a stray signal ended it";
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_TRUE(wait_until([this] { return !running(pid); }, 10)) << "SIGTERM, as stop sends it, did not end it";
}
