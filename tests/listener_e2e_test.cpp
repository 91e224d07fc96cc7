// The real check_mem binary on the simulated device: reboot requests on the
// System V queue.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mount.h>
#include <sys/msg.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Requests : public device::Test {
protected:
    void TearDown() override {
        device::Test::TearDown();
        if (exists("/plorn_etc")) mount(nullptr, "/plorn_etc", nullptr, MS_REMOUNT, nullptr);
        restore_state_dir();
    }

    // Starts the daemon and waits for its first sample and its listener.
    void start_daemon(start_options opts = start_options()) {
        pid = start(opts);
        ASSERT_TRUE(wait_until([] { return samples() >= 1; }, 10));
        ASSERT_TRUE(wait_until([] { return count_lines(log(), "msg_thread start") == 1 && queue_id() >= 0; }, 10));
    }
    void start_low() {
        set_meminfo(5000, 1000, 4000);
        start_daemon();
        ASSERT_TRUE(flag_raised());
    }

};
}  // namespace

// The application runs and the state directory is there: every restart in
// these is the listener's, and each count is taken once the daemon has
// finished what it started.
TEST_F(Requests, OnlyTypeOneWithTextIsARequestAndOversizedTextIsDropped) {
    start_low();
    ASSERT_TRUE(send_message(2, "not a request"));
    ASSERT_TRUE(send_message(1, ""));
    ASSERT_TRUE(send_message(1, std::string(501, 'x')));
    ASSERT_TRUE(send_message(7, std::string(4000, 'y')));
    ASSERT_TRUE(settled(pid));
    EXPECT_EQ(reboot_calls(), 0) << "a message that is no request was granted";
    EXPECT_EQ(count_lines(log(), "error occur, ret:-1, msgId:"), 2) << "each oversized text fails once";
    // Two in a row, the first with the largest text that fits: two restarts.
    ASSERT_TRUE(send_message(1, std::string(500, 'z')));
    ASSERT_TRUE(send_message(1, "go"));
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 2; }, 10));
    ASSERT_TRUE(settled(pid));
    EXPECT_EQ(reboot_calls(), 2);
    EXPECT_EQ(read_file(marker_path), "1\n");
}

// A state directory that cannot take the marker: the reboot runs all the
// same. The application watch restarts at once too, as its capture has
// nowhere to go, and then not for a period (30 s of a real clock): the
// restart after the request is the listener's, as the system log says.
TEST_F(Requests, UnwritableStateDirectoryDoesNotStopTheReboot) {
    const char* cases[] = {"missing", "read-only"};
    for (const char* c : cases) {
        SCOPED_TRACE(c);
        reset();
        set_meminfo(5000, 1000, 4000);
        if (c == cases[0]) {
            remove_state_dir();
        } else {
            ASSERT_EQ(mount(nullptr, "/plorn_etc", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
        }
        start_daemon();
        ASSERT_TRUE(flag_raised());
        ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10)) << "the application watch's restart";
        ASSERT_TRUE(settled(pid));
        int before = reboot_calls();
        ASSERT_TRUE(send_message(1, "go"));
        EXPECT_TRUE(wait_until([before] { return reboot_calls() > before; }, 10));
        EXPECT_NE(system_log_said().find("restarting: reboot request granted"), std::string::npos);
        stop(pid);
        pid = 0;
        mount(nullptr, "/plorn_etc", nullptr, MS_REMOUNT, nullptr);
        restore_state_dir();
    }
}

TEST_F(Requests, RemovedQueueIsRetriedWhileSamplingGoesOn) {
    REQUIRE_FAKETIME();
    start_options opts;
    opts.time_rate = 10;
    start_daemon(opts);
    ASSERT_EQ(msgctl(queue_id(), IPC_RMID, nullptr), 0);
    EXPECT_TRUE(wait_until([] { return count_lines(log(), "error occur, ret:-1, msgId:") >= 3; }, 10));
    EXPECT_TRUE(wait_until([] { return count_lines(log(), "free_mem:") >= 2; }, 30));
    EXPECT_TRUE(running(pid));
    // The daemon keeps the old identifier: a queue made again is not used.
    EXPECT_EQ(queue_id(), -1);
}
