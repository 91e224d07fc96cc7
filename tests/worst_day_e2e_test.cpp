// The worst day, on the simulated device: no process can be created (a
// pids cgroup at its limit) or the restart asked for never comes. The
// daemon's remedies must still happen, without a shell.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class WorstDay : public device::Test {
protected:
    void TearDown() override {
        release_processes();
        device::Test::TearDown();
        unbind_all();
    }
    bool says(const std::string& words) { return (said = system_log_said()).find(words) != std::string::npos; }
    // The daemon started, low on memory, every thread waiting.
    void start_low(double rate = 0) {
        set_meminfo(5000, 1000, 4000);
        write_file(mark_path, "50000\n");
        start_options opts;
        opts.time_rate = rate;
        pid = start(opts);
        ASSERT_TRUE(flag_raised());
        ASSERT_TRUE(wait_until([] { return queue_id() >= 0; }, 10));
        ASSERT_TRUE(settled(pid));
    }
    void no_more_processes() {
        if (!hold_processes(pid)) GTEST_SKIP() << "no pids cgroup here";
    }
    // Restarted without a shell: the marker written by the daemon itself,
    // nothing left aside, init asked, and no reboot command run.
    void expect_restart_through_init() {
        ASSERT_TRUE(wait_until([] { return init_terms() >= 1; }, 20)) << log();
        EXPECT_EQ(read_file(marker_path), "1\n");
        EXPECT_TRUE(files_aside().empty()) << files_aside()[0];
        EXPECT_EQ(reboot_calls(), 0);
        EXPECT_TRUE(running(pid));
    }

    std::string said;
};
}  // namespace

TEST_F(WorstDay, NoProcessForAGrantedRequest) {
    start_low();
    no_more_processes();
    ASSERT_TRUE(send_message(1, "reboot please"));
    expect_restart_through_init();
    EXPECT_TRUE(says("restarting: reboot request granted")) << said;
}

TEST_F(WorstDay, NoProcessWhenTheApplicationIsGone) {
    REQUIRE_FAKETIME();
    start_options fast;
    fast.time_rate = 30;
    pid = start(fast);
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "app exist") >= 1; }, 10));
    ASSERT_TRUE(settled(pid));
    no_more_processes();
    // The check file left by an rm that could not start must not pass
    // for this check's listing.
    write_file(check_path, "root 1 0 /plorn/quillamont\n");
    stop_apps();
    expect_restart_through_init();
    EXPECT_TRUE(says("restarting: no process listing (no process could be started for it)")) << said;
    EXPECT_EQ(count_lines(log(), "app exist"), 1);
}

// A low whose rewrite did not complete (mv fails: the shell's rename never
// happens) is kept, and stored by the next rewrite that completes although
// later figures are higher; or by the restart's own write of the marker.
TEST_F(WorstDay, ALowThatCouldNotBeStoredIsNotLost) {
    REQUIRE_FAKETIME();
    start_low(30);
    auto break_mv = [] {
        std::string found = run("command -v mv").output;
        char real[PATH_MAX] = {};
        ASSERT_NE(realpath(found.substr(0, found.find('\n')).c_str(), real), nullptr) << found;
        bind_over("/bin/false", real);
    };
    // Two samples of the figure just set, and the second one's rewrite
    // ended, so that mv is not mended under a rewrite in progress.
    auto sampled_twice = [this] {
        int seen = samples();
        return wait_until([seen] { return samples() >= seen + 2; }, 10) && settled(pid);
    };
    break_mv();
    set_meminfo(3000, 1000, 2000);
    ASSERT_TRUE(sampled_twice());
    EXPECT_EQ(read_file(mark_path), "10000\n");
    set_meminfo(4000, 1000, 3000);
    unbind_all();
    ASSERT_TRUE(sampled_twice());
    EXPECT_EQ(read_file(mark_path), "6000\n") << "the lowest figure not yet stored, not the last";

    break_mv();
    set_meminfo(2000, 500, 500);
    ASSERT_TRUE(sampled_twice());
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10));
    EXPECT_EQ(marker_at_first_reboot(), "1\n") << "the marker's shell could not rename either";
    EXPECT_EQ(read_file(mark_path), "3000\n") << "written before the marker";
}

// The fake reboot returns, as a reboot does whose init never acts: once
// the stated time has passed, the daemon tries reboot(2), which the
// sandbox refuses. The loops go on.
TEST_F(WorstDay, ARestartThatDoesNotComeIsMadeDirectly) {
    REQUIRE_FAKETIME();
    const double rate = 30, bound_s = 60;
    start_low(rate);
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10));
    double asked = monotonic_s();
    ASSERT_TRUE(wait_until([this] { return says("reboot(2) refused: no CAP_SYS_BOOT"); }, 30)) << said;
    EXPECT_GE((monotonic_s() - asked) * rate, bound_s - 3) << "tried before the bound";
    EXPECT_TRUE(says("<26>check_mem[" + std::to_string(pid) + "]: restarting directly with reboot(2): still running 60 s"
                     " after reboot was asked")) << said;
    EXPECT_EQ(init_terms(), 0) << "reboot ran, so init is not asked";
    ASSERT_TRUE(settled(pid));
    int before = reboot_calls();
    ASSERT_TRUE(send_message(1, "again"));
    EXPECT_TRUE(wait_until([before] { return reboot_calls() > before; }, 10)) << "the listener goes on";
    int seen = samples();
    EXPECT_TRUE(wait_until([seen] { return samples() > seen; }, 10)) << "the sampling goes on";
}
