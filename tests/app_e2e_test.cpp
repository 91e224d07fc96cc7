// The real check_mem binary on the simulated device: the application watch.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <functional>
#include <sstream>
#include <sys/wait.h>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class AppWatch : public device::Test {
protected:
    void TearDown() override {
        device::Test::TearDown();
        stop_apps();
        unbind_all();
    }

    int checks() { return count_lines(log(), "app exist") + count_lines(log(), "app not exist"); }
    void expect_restart_at_once() {
        pid = start();
        ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 10));
        EXPECT_EQ(count_lines(log(), "app not exist"), 1);
        EXPECT_EQ(read_file(marker_path), "1\n");
        EXPECT_NE(read_file(check_path).find("grep quillamont"), std::string::npos)
            << "the listing that failed stays in place";
    }
};
}  // namespace

TEST_F(AppWatch, RunningApplicationIsFoundAndTheCheckFileRemoved) {
    pid = start();
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "app exist") >= 1; }, 10));
    EXPECT_TRUE(wait_until([] { return !exists(check_path); }, 5));
    EXPECT_EQ(reboot_calls(), 0);
    EXPECT_FALSE(exists(marker_path));
}

// Only the full path within the first 256 bytes of the listing counts.
TEST_F(AppWatch, AnythingButTheApplicationItselfRestartsAtOnce) {
    struct {
        const char* what;
        std::function<void()> run_apps;
    } cases[] = {
        {"none running", [] {}},
        {"a relative path", [] { start_app("./quillamont", "/plorn"); }},
        {"elsewhere", [] {
             start_app("/run/check_mem_sandbox/opt/quillamont", "/", "/run/check_mem_sandbox/opt/quillamont");
         }},
        {"beyond the first 256 bytes", [] {
             // Started first, so listed first: its line alone fills the window.
             start_app("/run/check_mem_sandbox/pad/quillamont_pad", "/", "/run/check_mem_sandbox/pad/quillamont_pad",
                       std::vector<std::string>(20, "00000000000"));
             start_app();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        reset();
        stop_apps();
        c.run_apps();
        expect_restart_at_once();
        stop(pid);
        pid = 0;
    }
    EXPECT_NE(read_file(check_path).find("/plorn/quillamont 100000"), std::string::npos)
        << "the application is in the last listing, only too far into it";
}

TEST_F(AppWatch, BusyBoxUserlandDetectsTheSame) {
    for (const char* tool : {"/bin/sh", "/bin/ps", "/bin/grep"}) {
        char real[PATH_MAX] = {};
        ASSERT_NE(realpath(tool, real), nullptr) << tool;
        bind_over(CHECK_MEM_BUSYBOX, real);
    }
    // A shell that runs its own reboot would bypass the fake: prove it does not.
    ASSERT_EQ(system("sh -c 'reboot busybox-probe'"), 0);
    ASSERT_NE(read_file(reboot_log_path).find("busybox-probe"), std::string::npos);
    forget_reboots();

    pid = start();
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "app exist") >= 1; }, 10));
    EXPECT_TRUE(wait_until([] { return !exists(check_path); }, 5));
    stop(pid);
    stop_apps();
    write_file(log_path, "");
    expect_restart_at_once();
}

TEST_F(AppWatch, ApplicationThatDiesRestartsTheDeviceAtTheNextCycle) {
    REQUIRE_FAKETIME();
    const double rate = 10;
    start_options opts;
    opts.time_rate = rate;
    pid = start(opts);
    ASSERT_TRUE(wait_until([] { return count_lines(log(), "app exist") >= 1; }, 10));
    double first = monotonic_s();
    stop_apps();
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 1; }, 30));
    double period = (monotonic_s() - first) * rate;
    EXPECT_GE(period, 29) << "in simulated seconds";
    // Room for a slow sync() on a busy machine, still short of a doubled period.
    EXPECT_LT(period, 59) << "in simulated seconds";
    EXPECT_EQ(marker_at_first_reboot(), "1\n");
    // A reboot that returns: the next cycle tries again.
    ASSERT_TRUE(wait_until([] { return reboot_calls() >= 2; }, 30));
    EXPECT_TRUE(running(pid));
}

TEST_F(AppWatch, PsWithoutEfStillFindsTheApplicationAndMissesItOnceGone) {
    char real[PATH_MAX] = {};
    ASSERT_NE(realpath("/bin/ps", real), nullptr);
    bind_over(router_ps().c_str(), real);
    ASSERT_NE(system("ps -ef >/dev/null 2>&1"), 0) << "this ps must refuse -ef, as a router's does";

    pid = start();
    ASSERT_TRUE(wait_until([this] { return checks() >= 1; }, 20));
    EXPECT_EQ(count_lines(log(), "app exist"), 1) << "a refused option is not a missing application";
    EXPECT_TRUE(wait_until([] { return !exists(check_path); }, 5));
    EXPECT_EQ(reboot_calls(), 0);
    stop(pid);
    stop_apps();
    write_file(log_path, "");
    expect_restart_at_once();
    // The listing came from plain ps, which cuts command lines at 79 columns.
    std::istringstream listing(read_file(check_path));
    for (std::string line; std::getline(listing, line);) EXPECT_LE(line.size(), 79u) << line;
}
