#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "device.h"
#include "low_water.h"
#include "sandbox_guard.h"

namespace {
using device::mark_path;
using device::read_file;
using device::stdout_of;
using device::write_file;

struct reading {
    int32_t value;
    std::string log;
};

reading read_bytes(const std::string& bytes) {
    FILE* f = tmpfile();
    fwrite(bytes.data(), 1, bytes.size(), f);
    rewind(f);
    int32_t value = 0;
    std::string log = stdout_of([&] { value = read_low_water(fileno(f)); });
    fclose(f);
    return {value, log};
}

std::string quietly(void (*fn)(int32_t), int32_t arg) {
    return stdout_of([&] { fn(arg); });
}
}  // namespace

TEST(LowWaterFile, ReadsTheStoredNumberWithOrWithoutItsNewline) {
    EXPECT_EQ(read_bytes("58600\n").value, 58600);
    EXPECT_EQ(read_bytes("58600\n").log, "buf:58600\n");
    EXPECT_EQ(read_bytes("58600").value, 58600);
    EXPECT_EQ(read_bytes("58600\r").value, 58600);
    EXPECT_EQ(read_bytes("-5\n").value, -5);
}

TEST(LowWaterFile, EmptyMeansAnyFigureIsLower) {
    EXPECT_EQ(read_bytes("").value, low_water_empty);
    EXPECT_EQ(read_bytes("").log, "");
    EXPECT_EQ(read_bytes(std::string("\0" "123\n", 5)).value, low_water_empty);
}

TEST(LowWaterFile, TextWithoutLeadingDigitsReadsZero) {
    EXPECT_EQ(read_bytes("\n").value, 0);
    EXPECT_EQ(read_bytes("\n").log, "buf:0\n");
    EXPECT_EQ(read_bytes("\r").value, 0);
    EXPECT_EQ(read_bytes("abc").value, 0);
}

TEST(LowWaterFile, OnlyTheFirstThirtyTwoBytesAreRead) {
    EXPECT_EQ(read_bytes(std::string(30, '0') + "45678\n").value, 45);
    EXPECT_EQ(read_bytes(std::string(32, '0')).value, 0);
    EXPECT_EQ(read_bytes(std::string(32, '9')).value, INT32_MAX);
}

TEST(ReadDecimal, ReadsLikeAtoiButSaturates) {
    EXPECT_EQ(read_decimal("  +12x"), 12);
    EXPECT_EQ(read_decimal("\t-7"), -7);
    EXPECT_EQ(read_decimal(""), 0);
    EXPECT_EQ(read_decimal("2147483648"), INT32_MAX);
    EXPECT_EQ(read_decimal("-99999999999"), INT32_MIN);
}

class LowWaterOnDevice : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        unlink(mark_path);
        reboot_flag.store(0);
    }
    void TearDown() override { unlink(mark_path); }
};

TEST_F(LowWaterOnDevice, MissingFileIsReportedAndNeverRewritten) {
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(get_current_mem(), -1); }), "open /plorn_etc/meminfo.txt fail\n");
    EXPECT_EQ(quietly(update_low_water, 100), "open /plorn_etc/meminfo.txt fail\nram space not enough\n");
    EXPECT_NE(access(mark_path, F_OK), 0);
    EXPECT_EQ(reboot_flag.load(), 1);
}

TEST_F(LowWaterOnDevice, OnlyALowerFigureRewritesTheFile) {
    write_file(mark_path, "58600");  // without the newline that a rewrite would add
    quietly(update_low_water, 58600);
    EXPECT_EQ(read_file(mark_path), "58600");
    quietly(update_low_water, 70000);
    EXPECT_EQ(read_file(mark_path), "58600");
    quietly(update_low_water, 30000);
    EXPECT_EQ(read_file(mark_path), "30000\n");
    write_file(mark_path, "");
    quietly(update_low_water, 70000);
    EXPECT_EQ(read_file(mark_path), "70000\n");
    EXPECT_EQ(reboot_flag.load(), 0);
}

TEST_F(LowWaterOnDevice, NegativeFigureIsNeverStored) {
    write_file(mark_path, "58600\n");
    EXPECT_EQ(quietly(update_low_water, -5), "buf:58600\nbad free_mem:-5, not stored\nram space not enough\n");
    EXPECT_EQ(read_file(mark_path), "58600\n");
}

TEST_F(LowWaterOnDevice, FlagRisesStrictlyBelowTheThresholdAndStaysUp) {
    write_file(mark_path, "100\n");
    EXPECT_EQ(quietly(update_low_water, 11720), "buf:100\n");
    EXPECT_EQ(reboot_flag.load(), 0);
    EXPECT_EQ(quietly(update_low_water, 11719), "buf:100\nram space not enough\n");
    EXPECT_EQ(reboot_flag.load(), 1);
    EXPECT_EQ(read_file(mark_path), "100\n");  // raised without a rewrite
    quietly(update_low_water, 50000);
    EXPECT_EQ(reboot_flag.load(), 1);
}
