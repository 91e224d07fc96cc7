// The real check_mem binary under a flood of messages, and what it costs
// while it waits.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Load : public device::Test {
protected:
    void TearDown() override {
        device::Test::TearDown();
        unbind_all();
    }
};
}  // namespace

TEST_F(Load, FloodWhileMemoryIsFineTakesEveryMessageAndCostsNothing) {
    REQUIRE_FAKETIME();
    const double rate = 10;
    const int total = 100000;
    start_options opts;
    opts.time_rate = rate;
    pid = start(opts);
    // A period in: every path of the start (its system log line too) has
    // run, so that the figure before the flood holds their stack pages.
    ASSERT_TRUE(wait_until([] { return samples() >= 2 && queue_id() >= 0; }, 10));

    // Mixed: requests (flag down), other types, every size up to 500, one
    // oversized text in a hundred, an empty text now and then.
    int oversized = 0;
    auto send_range = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            int kind = i % 100;
            bool ok;
            if (kind == 0) {
                ok = send_message(1 + i % 3, std::string(501 + i % 500, 'O'), true);
                ++oversized;
            } else if (i % 20000 == 7) {
                ok = send_message(1, "", true);
            } else if (kind < 50) {
                ok = send_message(1, std::string(1 + i % 500, 'r'), true);
            } else {
                ok = send_message(2 + i % 7, std::string(1 + (i * 7) % 500, 'x'), true);
            }
            if (!ok) {
                ADD_FAILURE() << "msgsnd failed at message " << i;
                return;
            }
        }
    };
    send_range(0, 1000);
    ASSERT_TRUE(wait_until([] { return queued() == 0; }, 30));
    long anon_before = status_kb(pid, "RssAnon");

    std::atomic<bool> flooding(true);
    std::vector<double> sample_times;
    std::thread watcher([&] {
        int seen = samples();
        while (flooding) {
            int now = samples();
            if (now > seen) sample_times.push_back(monotonic_s());
            seen = now;
            usleep(20000);
        }
    });
    double flood_start = monotonic_s();
    send_range(1000, total);
    bool drained = wait_until([] { return queued() == 0; }, 60);
    // Cover at least two sample periods, so that the timing below is seen.
    wait_until([&] { return (monotonic_s() - flood_start) * rate > 65; }, 30);
    flooding = false;
    watcher.join();

    ASSERT_TRUE(drained) << queued() << " messages left";
    EXPECT_EQ(reboot_calls(), 0);
    EXPECT_TRUE(wait_until([&] { return count_lines(log(), "error occur, ret:-1, msgId:") == oversized; }, 10))
        << "each oversized message fails once and is then dropped";
    long anon_after = status_kb(pid, "RssAnon");
    // A sanitizer's own shadow and quarantine grow under any load.
    if (!CHECK_MEM_SANITIZED) {
        EXPECT_LE(anon_after, anon_before) << "RssAnon kB grew under the flood";
    }
    ASSERT_GE(sample_times.size(), 2u);
    for (size_t i = 1; i < sample_times.size(); ++i)
        EXPECT_LT((sample_times[i] - sample_times[i - 1]) * rate, 59) << "a sample came late, in simulated seconds";
    RecordProperty("flood_messages", total);
    RecordProperty("rss_anon_kb", static_cast<int>(anon_after));
    printf("flood: %d messages (%d oversized) taken in %.1f s, RssAnon %ld -> %ld kB, %zu samples on time\n",
           total, oversized, monotonic_s() - flood_start, anon_before, anon_after, sample_times.size());
    EXPECT_TRUE(running(pid));
}

TEST_F(Load, NRequestsWithTheFlagRaisedGiveNReboots) {
    const int requests = 100;
    set_meminfo(5000, 1000, 4000);
    pid = start();
    ASSERT_TRUE(flag_raised() && wait_until([] { return queue_id() >= 0; }, 10));
    for (int i = 0; i < requests; ++i) ASSERT_TRUE(send_message(1, std::string(1 + i % 500, 'q'), true));
    // Each grant's marker flushes the whole machine twice: beside the
    // emulated device's disk images, a sync can take a second.
    EXPECT_TRUE(wait_until([] { return reboot_calls() >= requests; }, 400));
    ASSERT_TRUE(settled(pid));
    // The application watch's first listing runs beside the flood, and on a
    // loaded machine it can overrun: that restart is its own, said as such.
    EXPECT_EQ(reboot_calls() - watch_restarts(), requests) << log();
    EXPECT_EQ(read_file(marker_path), "1\n");
}

// The thread that runs a command sleeps until it ends: a wait polled every
// millisecond would wake it hundreds of times in the rewrite's two syncs.
TEST_F(Load, ACommandsEndIsAwaitedNotPolled) {
    if (emulated()) GTEST_SKIP() << "the emulator's own threads wake the process; bench/device_cost.py counts the device's";
    const double sync_s = 1;
    fake_tool("sync", "sleep " + std::to_string(sync_s) + "\n");
    write_file(mark_path, "50000\n");
    set_meminfo(30000, 1000, 9000);  // 40000: the first sample rewrites the mark
    double t0 = monotonic_s();
    pid = start();
    ASSERT_TRUE(wait_until([] { return read_file(mark_path) == "40000\n"; }, 20)) << log();
    ASSERT_TRUE(settled(pid));
    ASSERT_GE(monotonic_s() - t0, 2 * sync_s) << "the rewrite did not run its two syncs";
    long woken = wake_ups(pid);
    // The start, the threads, a sample and a rewrite: a few dozen at most.
    // A sanitizer's runtime has a thread of its own that wakes (TSan's, 60
    // in all), and the host build shows the daemon's.
    if (!CHECK_MEM_SANITIZED) {
        EXPECT_LE(woken, 40) << "wake-ups of the daemon over " << 2 * sync_s << " s of commands";
    }
    printf("wake-ups from the start through a rewrite of %.0f s: %ld\n", 2 * sync_s, woken);
}
