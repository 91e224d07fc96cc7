// The real check_mem binary on the simulated device: start-up and the
// memory watch.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "device.h"
#include "sandbox_guard.h"

using namespace device;

namespace {
class Daemon : public device::Test {
protected:
    bool wait_samples(int n, double timeout_s = 10) {
        return wait_until([&] { return samples() >= n; }, timeout_s);
    }
};
}  // namespace

TEST_F(Daemon, DetachesSeedsAndSamplesAtOnce) {
    set_meminfo(1000, 200, 300);
    start_options opts;
    opts.args = {"--ignored", "42"};
    pid = start(opts);
    const std::string sample =
        "mem_num_free:1000\nmem_num_buffers:200\nmem_num_cache:300\n"
        "free_mem:1500\nbuf:58600\nram space not enough\n";
    EXPECT_TRUE(wait_until([&] { return memory_lines(log()) == sample; }, 10)) << memory_lines(log());
    EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "1500\n"; }, 5)) << read_file(mark_path);
    EXPECT_TRUE(running(pid));
}

// The seed goes only where no mark exists. An empty file is a mark that
// any figure lowers; an existence test that fails for another reason than
// absence says nothing about the mark, which must not be overwritten.
TEST_F(Daemon, MarkIsSeededOnlyWhenItDoesNotExist) {
    struct {
        const char* what;
        const char* stored;  // nullptr: no file
        int fail_access;
        const char* mark;
    } cases[] = {{"absent", nullptr, 0, "58600\n"},  // 65000 now is no lower
                 {"empty", "", 0, "65000\n"},
                 {"EIO", "1234\n", EIO, "1234\n"},
                 {"ENOMEM", "1234\n", ENOMEM, "1234\n"},
                 {"ELOOP", "1234\n", ELOOP, "1234\n"},
                 {"EACCES", "1234\n", EACCES, "1234\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fail_access != 0 && CHECK_MEM_SHIM[0] == '\0') continue;  // a static daemon takes no shim
        reset();
        set_meminfo(60000, 2000, 3000);
        if (c.stored != nullptr) write_file(mark_path, c.stored);
        start_options opts;
        opts.fail_access = c.fail_access;
        pid = start(opts);
        ASSERT_TRUE(wait_samples(1));
        ASSERT_TRUE(settled(pid));
        EXPECT_EQ(read_file(mark_path), c.mark);
        stop(pid);
        pid = 0;
    }
}

TEST_F(Daemon, SamplesEveryThirtySecondsAndStoresOnlyLowerFigures) {
    REQUIRE_FAKETIME();
    const double rate = 10;
    set_meminfo(30000, 1000, 9000);
    double t0 = monotonic_s();
    start_options opts;
    opts.time_rate = rate;
    pid = start(opts);
    ASSERT_TRUE(wait_samples(1));
    double first = monotonic_s();
    EXPECT_LT((first - t0) * rate, 29) << "the first sample waited for a period";
    EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "40000\n"; }, 5));

    set_meminfo(20000, 1000, 9000);
    ASSERT_TRUE(wait_samples(2, 30));
    double second = monotonic_s();
    double period = (second - first) * rate;
    EXPECT_GE(period, 29) << "in simulated seconds";
    // Room for a slow sync() on a busy machine, still short of a doubled period.
    EXPECT_LT(period, 59) << "in simulated seconds";
    EXPECT_TRUE(wait_until([] { return read_file(mark_path) == "30000\n"; }, 5));

    // The same figure again: a rewrite would bring the newline back.
    write_file(mark_path, "30000");
    // Sample 3 takes that figure; by sample 4 its update has long finished.
    ASSERT_TRUE(wait_samples(4, 30));
    EXPECT_EQ(read_file(mark_path), "30000");
}

TEST_F(Daemon, ThreadThatCannotStartEndsTheDaemon) {
    struct {
        const char* failing_create;
        int status;
        const char* line;
    } cases[] = {{"1", 254, "create msg_thread failed"}, {"2", 253, "create mornitor_thread failed"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        write_file(log_path, "");
        start_options opts;
        opts.fail_thread = c.failing_create;
        opts.expect_running = false;
        expect_exit(start(opts), c.status);
        EXPECT_EQ(count_lines(log(), c.line), 1);
    }
}
