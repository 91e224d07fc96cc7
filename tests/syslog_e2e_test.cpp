// The daemon's lines in the system log: why the device restarted, said
// before the restart, and never in its way.

#include <gtest/gtest.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class SystemLog : public device::Test {
protected:
    void SetUp() override {
        device::Test::SetUp();
        if (IsSkipped()) return;
        syslog = open_system_log();
    }
    void TearDown() override {
        device::Test::TearDown();
        close_system_log(syslog);
    }
    // Every line the daemon sent so far.
    std::string lines() { return said += read_system_log(syslog); }
    bool says(const std::string& words) { return lines().find(words) != std::string::npos; }
    void start_fast() {
        start_options opts;
        opts.time_rate = 30;
        pid = start(opts);
    }

    int syslog = -1;
    std::string said;
};

const char app_gone[] = "check_mem[%d]: restarting: /plorn/quillamont is not in the process listing";
const char granted[] = "restarting: reboot request granted, free memory fell below 11720 kB (10000 kB)";
const char flag_up[] = "free memory 10000 kB is below 11720 kB: reboot requests are granted from now on";

std::string with_pid(const char* fmt, pid_t pid) {
    char line[256];
    snprintf(line, sizeof(line), fmt, static_cast<int>(pid));
    return line;
}
}  // namespace

TEST_F(SystemLog, BothCausesNamedBeforeTheRestart) {
    stop_apps();
    set_meminfo(30000, 1000, 9000);
    write_file(mark_path, "50000\n");
    pid = start();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 20));
    // Sent before the marker, so queued by the time reboot ran.
    EXPECT_NE(lines().find("<27>" + with_pid(app_gone, pid)), std::string::npos) << said;
    // Said after the first sample, which may come after the watch's restart.
    std::string started = "<30>check_mem[" + std::to_string(pid) + "]: started: low-water mark 50000 kB, free memory"
                          " 40000 kB";
    EXPECT_TRUE(wait_until([&] { return says(started); }, 10)) << said;
    stop(pid);

    reset();
    close_system_log(syslog);  // reset() made its own
    syslog = open_system_log();
    forget_reboots();
    said.clear();
    set_meminfo(5000, 1000, 4000);
    pid = start();
    // Said once the flag is up: the wait is on the flag, not on a line before it.
    ASSERT_TRUE(wait_until([this] { return says(flag_up); }, 20)) << said;
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 20));
    EXPECT_TRUE(says(granted)) << said;
    EXPECT_EQ(said.find("not in the process listing"), std::string::npos) << said;
}

TEST_F(SystemLog, AFloodOfRefusedRequestsGivesOneLine) {
    pid = start();
    ASSERT_TRUE(wait_until([] { return queue_id() >= 0; }, 10));
    for (int i = 0; i < 100; ++i) {
        if (!send_message(1, "reboot please")) {
            ASSERT_TRUE(wait_until([] { return queued() == 0; }, 10));
        }
    }
    ASSERT_TRUE(wait_until([] { return queued() == 0; }, 10));
    ASSERT_TRUE(wait_until([this] { return says("refused 1 reboot request(s)"); }, 10)) << said;
    EXPECT_EQ(count_lines(lines(), "<29>"), 1) << said;
    EXPECT_EQ(reboot_calls(), 0);
}

TEST_F(SystemLog, AStuckOrRestartedLogHoldsNothingBack) {
    REQUIRE_FAKETIME();
    fill_system_log();
    set_meminfo(5000, 1000, 4000);
    start_fast();
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "ram space not enough") >= 2 && queue_id() >= 0; }, 20))
        << "the sampling goes on";
    // The flag is up since the first sample, a period ago.
    double asked = monotonic_s();
    ASSERT_TRUE(send_message(1, "reboot please"));
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10)) << "the request's restart waits on the log";
    double request_to_reboot = monotonic_s() - asked;
    EXPECT_LT(request_to_reboot, 5) << "seconds";
    stop_apps();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 2; }, 10)) << "the application's restart waits on the log";
    int seen = count_lines(log(), "free_mem:");
    EXPECT_TRUE(wait_until([seen] { return count_lines(log(), "free_mem:") >= seen + 2; }, 10)) << "sampling stopped";

    // syslogd restarted: its socket made anew, the next line finds it.
    close_system_log(syslog);
    syslog = open_system_log();
    said.clear();
    EXPECT_TRUE(wait_until([this] { return says(with_pid(app_gone, pid)); }, 10)) << said;
}
