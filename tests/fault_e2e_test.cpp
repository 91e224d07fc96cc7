// Faults injected around the real check_mem binary: it keeps running, and
// what it stores stays sound.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/mount.h>
#include <sys/msg.h>
#include <sys/stat.h>

#include <sstream>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Faults : public device::Test {
protected:
    void TearDown() override {
        device::Test::TearDown();
        unbind_all();
        chmod("/run/check_mem_sandbox/meminfo", 0644);
        if (remount_state_dir) {
            EXPECT_EQ(umount2("/plorn_etc", MNT_DETACH), 0) << strerror(errno);
            EXPECT_EQ(mount("plorn_etc", "/plorn_etc", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
        }
        restore_state_dir();
    }

    static int lines(const char* prefix) { return count_lines(log(), prefix); }
    void start_fast(start_options opts = start_options()) {
        opts.time_rate = 30;
        pid = start(opts);
    }
    // A sound low-water mark: one of the given values and a newline.
    static bool mark_is(std::initializer_list<const char*> allowed) {
        std::string mark = read_file(mark_path);
        for (const char* a : allowed)
            if (mark == a) return true;
        ADD_FAILURE() << "low-water mark holds \"" << mark << "\"";
        return false;
    }

    bool remount_state_dir = false;
};
}  // namespace

TEST_F(Faults, StateDirectoryRemovedWhileRunning) {
    REQUIRE_FAKETIME();
    int syslog = open_system_log();
    std::string said;
    auto times_said = [&](const std::string& words) {
        said += read_system_log(syslog);
        int n = 0;
        for (size_t at = said.find(words); at != std::string::npos; at = said.find(words, at + 1)) ++n;
        return n;
    };
    start_fast();
    ASSERT_TRUE(wait_until([] { return read_file(mark_path) == "58600\n"; }, 10));
    remove_state_dir();
    ASSERT_TRUE(wait_until([] { return lines("open /plorn_etc/meminfo.txt fail") >= 3; }, 30));
    // The capture has nowhere to go: each check counts the application missing.
    EXPECT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 30));
    EXPECT_EQ(times_said("cannot write /plorn_etc (missing, errno 2)"), 1) << "once, not every period: " << said;
    restore_state_dir();
    int seen = samples();
    ASSERT_TRUE(wait_until([seen] { return samples() >= seen + 2; }, 30));
    EXPECT_EQ(times_said("/plorn_etc can be written again"), 1) << said;
    EXPECT_TRUE(running(pid));
    EXPECT_FALSE(exists(mark_path)) << "only the seeding at start creates the file";
    close_system_log(syslog);
}

TEST_F(Faults, FullStateDirectoryNeverLeavesAPartialMark) {
    REQUIRE_FAKETIME();
    ASSERT_EQ(umount2("/plorn_etc", MNT_DETACH), 0);
    ASSERT_EQ(mount("plorn_etc", "/plorn_etc", "tmpfs", 0, "mode=0755,size=8k"), 0) << strerror(errno);
    remount_state_dir = true;
    write_file(mark_path, "58600\n");
    ASSERT_NE(system("head -c 1M /dev/zero > /plorn_etc/filler 2>/dev/null"), 0) << "the state directory is not full";
    start_fast();
    ASSERT_TRUE(wait_until([] { return samples() >= 1; }, 10));
    set_meminfo(20000, 1000, 4000);
    ASSERT_TRUE(wait_until([] { return samples() >= 3; }, 30));
    set_meminfo(10000, 1000, 4000);
    ASSERT_TRUE(wait_until([] { return samples() >= 5; }, 30));
    EXPECT_TRUE(mark_is({"58600\n", "25000\n", "15000\n"}));
    EXPECT_TRUE(running(pid));
}

TEST_F(Faults, MeminfoUnreadableOrEmptyForAWhile) {
    REQUIRE_FAKETIME();
    write_file(mark_path, "58600\n");
    ASSERT_EQ(chmod("/run/check_mem_sandbox/meminfo", 0), 0);
    start_options opts;
    opts.without_dac_override = true;
    start_fast(opts);
    ASSERT_TRUE(wait_until([] { return lines("open /proc/meminfo fail") >= 2; }, 30));
    EXPECT_EQ(samples(), 0);

    ASSERT_EQ(chmod("/run/check_mem_sandbox/meminfo", 0644), 0);
    ASSERT_EQ(truncate("/run/check_mem_sandbox/meminfo", 0), 0);
    ASSERT_TRUE(wait_until([] { return lines("no memory values in /proc/meminfo") >= 2; }, 30));
    EXPECT_TRUE(mark_is({"58600\n"})) << "an empty read is no measurement";
    EXPECT_EQ(lines("ram space not enough"), 0);

    set_meminfo(30000, 1000, 4000);
    ASSERT_TRUE(wait_until([] { return samples() >= 1; }, 30));
    EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "35000\n"; }, 30));
    EXPECT_TRUE(running(pid));
}

TEST_F(Faults, MessagesSentBeforeTheDaemonStartsAreJudgedWhenTaken) {
    int id = msgget(queue_key(), IPC_CREAT | 0666);
    ASSERT_GE(id, 0);
    ASSERT_TRUE(send_message(1, "early request"));
    ASSERT_TRUE(send_message(3, "other"));
    ASSERT_TRUE(send_message(1, std::string(900, 'o')));
    ASSERT_TRUE(send_message(1, "another"));
    pid = start();
    ASSERT_TRUE(wait_until([] { return samples() >= 1; }, 10));
    ASSERT_TRUE(settled(pid));
    EXPECT_EQ(reboot_calls(), 0) << "memory was fine when they were taken";
    EXPECT_EQ(lines("error occur, ret:-1, msgId:"), 1);
    EXPECT_EQ(queue_id(), id) << "the daemon uses the queue it finds";
}

TEST_F(Faults, RebootThatReturnsLeavesEveryLoopRunning) {
    REQUIRE_FAKETIME();
    set_meminfo(5000, 1000, 4000);
    start_fast();
    ASSERT_TRUE(flag_raised() && wait_until([] { return queue_id() >= 0; }, 10));
    ASSERT_TRUE(send_message(1, "first"));
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10));
    stop_apps();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 2; }, 30)) << "the application watch acts again";
    // With the application back, a restart can only come from the listener.
    start_app();
    int found = lines("app exist");
    ASSERT_TRUE(wait_until([found] { return lines("app exist") > found; }, 30));
    ASSERT_TRUE(settled(pid));
    int before = reboot_calls();
    ASSERT_TRUE(send_message(1, "second"));
    ASSERT_TRUE(wait_until([before] { return reboot_calls() > before; }, 30)) << "the listener acts again";
    int seen = samples();
    EXPECT_TRUE(wait_until([seen] { return samples() > seen; }, 30)) << "the sampling goes on";
    EXPECT_EQ(marker_at_first_reboot(), "1\n");
}

TEST_F(Faults, ShellFailingEveryCommand) {
    REQUIRE_FAKETIME();
    char shell[PATH_MAX] = {};
    ASSERT_NE(realpath("/bin/sh", shell), nullptr);
    bind_over("/bin/false", shell);
    start_fast();
    EXPECT_TRUE(wait_until([] { return lines("open /plorn_etc/meminfo.txt fail") >= 3; }, 40))
        << "the seeding could not run, the sampling goes on";
    EXPECT_TRUE(wait_until([] { return lines("open /plorn_etc/check_app.txt fail") >= 3; }, 40))
        << "the capture could not run, the application watch goes on";
    EXPECT_TRUE(running(pid));
}

namespace {
const double fast_rate = 30;  // start_fast's

// A command that never ends, bound over the machine's own: a ps stuck on a
// task in D state, a sync on a hung flash. Each call records its pid in
// the file returned, so that the kill of its whole process group shows.
std::string hang(const char* tool) {
    std::string pids = std::string("/run/check_mem_sandbox/hanging-") + tool + ".pids";
    fake_tool(tool, "echo $$ >>" + pids + "\nexec sleep 100000\n");
    return pids;
}

bool all_ended(const std::string& pids_path) {
    std::istringstream pids(read_file(pids_path.c_str()));
    pid_t p;
    int seen = 0;
    for (; pids >> p; ++seen)
        if (running(p)) return false;
    return seen > 0;
}
}  // namespace

TEST_F(Faults, StuckProcessListingIsCutOffAndCountsAsFailed) {
    REQUIRE_FAKETIME();
    std::string ps_calls = hang("ps");
    double t0 = monotonic_s();
    start_fast();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 20)) << log();
    EXPECT_GE((monotonic_s() - t0) * fast_rate, 10) << "restarted before the capture's deadline";
    EXPECT_EQ(lines("capture overran its deadline"), 1);
    EXPECT_EQ(lines("app exist"), 0);
    EXPECT_EQ(marker_at_first_reboot(), "1\n");
    EXPECT_TRUE(wait_until([&] { return all_ended(ps_calls); }, 10)) << "the stuck ps outlived its deadline";
}

TEST_F(Faults, StuckSyncGivesUpTheMarkerNotTheRestart) {
    REQUIRE_FAKETIME();
    stop_apps();
    write_file(mark_path, "58600\n");
    set_meminfo(30000, 1000, 9000);  // 40000: a rewrite of the mark, which hangs too
    hang("sync");
    double t0 = monotonic_s();
    start_fast();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 20)) << log();
    EXPECT_GE((monotonic_s() - t0) * fast_rate, 30) << "restarted before the marker's deadline";
    EXPECT_EQ(marker_at_first_reboot(), "") << "no marker can be flushed";
    EXPECT_TRUE(wait_until([] { return samples() >= 3; }, 20)) << "the sampling goes on past its hung rewrites";
    EXPECT_TRUE(mark_is({"58600\n"})) << "a killed rewrite leaves the stored mark";
    EXPECT_TRUE(running(pid));
}
