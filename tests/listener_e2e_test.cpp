// The real check_mem binary on the simulated device: reboot requests on the
// System V queue.

#include <gtest/gtest.h>

#include <sys/msg.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Requests : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        reset();
    }
    void TearDown() override {
        stop(pid);
        restore_state_dir();
    }

    // Starts the daemon and waits for its first sample and its listener.
    void start_daemon(start_options opts = start_options()) {
        pid = start(opts);
        ASSERT_TRUE(wait_until([] { return count_lines(log(), "free_mem:") >= 1; }, 10));
        ASSERT_TRUE(wait_until([] { return count_lines(log(), "msg_thread start") == 1 && queue_id() >= 0; }, 10));
    }
    void start_low() {
        set_meminfo(5000, 1000, 4000);
        start_daemon();
        ASSERT_TRUE(flag_raised());
    }
    bool drained() {
        return wait_until([] { return queued() == 0; }, 10);
    }
    bool reboots(int n) {
        return wait_until([n] { return reboot_calls() >= n; }, 10);
    }

    pid_t pid = 0;
};
}  // namespace

TEST_F(Requests, DroppedWhileMemoryIsFineGrantedOnceItRanLow) {
    REQUIRE_FAKETIME();
    write_file(marker_path, "stale marker of another length\n");
    start_options opts;
    opts.time_rate = 10;
    start_daemon(opts);
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(drained());

    set_meminfo(5000, 1000, 4000);
    ASSERT_TRUE(flag_raised(30));
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(reboots(1));
    EXPECT_EQ(read_file(marker_path), "1\n");
    ASSERT_TRUE(drained());
    // Had the first request been kept or acted on, a second call would show.
    EXPECT_TRUE(wait_until([] { return count_lines(log(), "free_mem:") >= 4; }, 30));
    EXPECT_EQ(reboot_calls(), 1);
    EXPECT_TRUE(running(pid)) << "a reboot that returns leaves the daemon running";
}

TEST_F(Requests, OnlyTypeOneWithTextIsARequestAndOversizedTextIsDropped) {
    start_low();
    ASSERT_TRUE(send_message(2, "not a request"));
    ASSERT_TRUE(send_message(1, ""));
    ASSERT_TRUE(send_message(1, std::string(501, 'x')));
    ASSERT_TRUE(send_message(1, "go"));
    ASSERT_TRUE(reboots(1));
    ASSERT_TRUE(drained());
    ASSERT_TRUE(send_message(7, std::string(4000, 'y')));
    ASSERT_TRUE(send_message(1, std::string(500, 'z')));  // the largest text that fits
    ASSERT_TRUE(reboots(2));
    ASSERT_TRUE(drained());
    EXPECT_EQ(reboot_calls(), 2);
    EXPECT_EQ(count_lines(log(), "error occur, ret:-1, msgId:"), 2);
}

TEST_F(Requests, TwoRequestsInARowRunTheActionTwice) {
    start_low();
    ASSERT_TRUE(send_message(1, "a"));
    ASSERT_TRUE(send_message(1, "b"));
    ASSERT_TRUE(reboots(2));
    EXPECT_EQ(read_file(marker_path), "1\n");
}

TEST_F(Requests, MissingStateDirectoryDoesNotStopTheReboot) {
    set_meminfo(5000, 1000, 4000);
    remove_state_dir();
    start_daemon();
    ASSERT_TRUE(flag_raised());
    EXPECT_EQ(count_lines(log(), "open /plorn_etc/meminfo.txt fail"), 1);
    ASSERT_TRUE(send_message(1, "go"));
    EXPECT_TRUE(reboots(1));
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
