// The first cycle of the real check_mem binary judged only by what any
// build shows from outside: the files, the queue and the reboot calls. A
// static binary takes no preloaded shim, so these are what its build runs.

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Outside : public device::Test {};
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

// Refused while memory is fine, not kept for later, granted once memory ran
// low; from a process of the device and from the request tool. The
// application runs and the state directory is there: every restart here is
// the listener's.
TEST_F(Outside, RequestRefusedWhileMemoryIsFineGrantedOnceItRanLow) {
    struct {
        const char* sender;
        std::function<bool()> send;
    } senders[] = {{"msgsnd", [] { return send_message(1, "reboot please"); }},
                   {"the request tool", [] {
                        result r = run(request_tool());
                        EXPECT_EQ(r.status, 0) << r.output;
                        return r.status == 0;
                    }}};
    for (const auto& s : senders) {
        SCOPED_TRACE(s.sender);
        reset();
        write_file(marker_path, "stale marker of another length\n");
        // A faster clock lets the flag rise in the same daemon, which
        // would then grant a request it had kept; a static build takes no
        // preloaded clock and starts again with memory low.
        start_options opts;
        bool same_daemon = CHECK_MEM_SHIM[0] != '\0' && !emulated();
        if (same_daemon) opts.time_rate = 10;
        pid = start(opts);
        ASSERT_TRUE(wait_until([] { return queue_id() >= 0; }, 10));
        ASSERT_TRUE(s.send());
        // Judged, not just taken: all its threads asleep is no proof under
        // qemu-user, and a request judged only after the low below had
        // been sampled would be granted.
        ASSERT_TRUE(wait_until([] { return system_log_said().find("refused 1 reboot request(s)") != std::string::npos; },
                               10))
            << system_log_said();
        ASSERT_TRUE(settled(pid));
        EXPECT_EQ(reboot_calls(), 0) << "granted while memory is fine";

        set_meminfo(5000, 1000, 4000);
        if (!same_daemon) {
            stop(pid);
            pid = start();
        }
        ASSERT_TRUE(flag_raised(30));
        ASSERT_TRUE(settled(pid));
        EXPECT_EQ(reboot_calls(), 0) << "the refused request was kept and granted later\n" << system_log_said();
        ASSERT_TRUE(s.send());
        ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10));
        ASSERT_TRUE(settled(pid));
        EXPECT_EQ(reboot_calls(), 1);
        EXPECT_EQ(marker_at_first_reboot(), "1\n");
        EXPECT_TRUE(running(pid)) << "a reboot that returns leaves the daemon running";
        stop(pid);
        pid = 0;
    }
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
