// The first cycle of the real check_mem binary judged only by what any
// build shows from outside: the files, the queue and the reboot calls. A
// static binary takes no preloaded shim, so these are what its build runs.

#include <gtest/gtest.h>

#include <unistd.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Outside : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        reset();
    }
    void TearDown() override { stop(pid); }

    pid_t pid = 0;
};
}  // namespace

TEST_F(Outside, FirstCycleSeedsSamplesAndFindsTheApplication) {
    set_meminfo(30000, 1000, 9000);
    pid = start();
    // Seeded with 58600, then lowered by the first sample at once.
    EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "40000\n"; }, 20)) << read_file(mark_path);
    EXPECT_TRUE(wait_until([] { return queue_id() >= 0; }, 10)) << "the listener creates the queue";
    EXPECT_TRUE(wait_until([] { return !exists(check_path); }, 20)) << "the check file of a found application";
    EXPECT_EQ(reboot_calls(), 0);
    EXPECT_FALSE(exists(marker_path));
    EXPECT_TRUE(running(pid));
}

TEST_F(Outside, RequestRefusedWhileMemoryIsFineGrantedOnceItRanLow) {
    pid = start();
    ASSERT_TRUE(wait_until([] { return queue_id() >= 0; }, 10));
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(wait_until([] { return queued() == 0; }, 10)) << "taken off the queue";
    usleep(500000);
    EXPECT_EQ(reboot_calls(), 0) << "granted while memory is fine";
    stop(pid);

    set_meminfo(5000, 1000, 4000);
    pid = start();
    ASSERT_TRUE(wait_until([] { return read_file(mark_path) == "10000\n"; }, 20)) << read_file(mark_path);
    // The flag rises just after the mark is written; a request judged
    // before that is dropped, so ask until one is granted. A request still
    // on its way is granted as well and rewrites the marker, so the marker
    // is judged as the restart found it.
    EXPECT_TRUE(wait_until([] {
        if (reboot_calls() >= 1) return true;
        if (queued() == 0) send_message(1, "reboot please");
        return false;
    }, 20));
    EXPECT_EQ(marker_at_first_reboot(), "1\n");
    // Killed whenever: a rewrite in flight leaves the marker whole.
    stop(pid);
    EXPECT_EQ(read_file(marker_path), "1\n");
}

TEST_F(Outside, MissingApplicationRestartsAtOnce) {
    stop_apps();
    write_file("/plorn_etc/reboot_flag.txt.4242", "1");  // left aside by a killed rewrite
    write_file("/plorn_etc/meminfo.txt.tmp", "123");
    set_meminfo(30000, 1000, 9000);
    pid = start();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 20));
    EXPECT_EQ(read_file(marker_path), "1\n");
    ASSERT_TRUE(wait_until([] { return read_file(mark_path) == "40000\n"; }, 20)) << read_file(mark_path);
    // The leftovers go once the rename has reached the storage, after the mark shows.
    EXPECT_TRUE(wait_until([] { return files_aside().empty(); }, 20))
        << "left beside the state files: " << files_aside()[0];
    EXPECT_NE(read_file(check_path).find("grep quillamont"), std::string::npos)
        << "the listing that failed stays in place";
}

TEST_F(Outside, OneDaemonAtATime) {
    pid = start();
    ASSERT_TRUE(wait_until([] { return queue_id() >= 0 && exists(mark_path); }, 10));
    // A second daemon would seed the mark again at its start.
    ASSERT_EQ(unlink(mark_path), 0);
    result second = run(daemon_command());
    EXPECT_EQ(second.status, 1) << second.output;
    EXPECT_EQ(second.output, "check_mem is already running\n");
    EXPECT_FALSE(exists(mark_path)) << "the second daemon touched the state";
    EXPECT_TRUE(running(pid));
}
