#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

#include "device.h"
#include "mem_sample.h"

namespace {
struct sample {
    int32_t figure;
    std::string log;
    int matches;
};

sample read_sample(const std::string& text) {
    FILE* f = tmpfile();
    fwrite(text.data(), 1, text.size(), f);
    rewind(f);
    int matches = -1;
    int32_t figure = 0;
    std::string log = device::stdout_of([&] { figure = read_mem_figure(fileno(f), &matches); });
    fclose(f);
    return {figure, log, matches};
}
}  // namespace

TEST(MemSample, KernelLayoutSumsTheThreeKeysInFileOrder) {
    sample s = read_sample(
        "MemTotal:         124080 kB\n"
        "MemFree:            5120 kB\n"
        "MemAvailable:      40000 kB\n"
        "Buffers:            1024 kB\n"
        "Cached:            20480 kB\n"
        "SwapCached:            0 kB\n"
        "Active:            30000 kB\n");
    EXPECT_EQ(s.figure, 5120 + 1024 + 20480);
    EXPECT_EQ(s.log, "mem_num_free:5120\nmem_num_buffers:1024\nmem_num_cache:20480\n");
}

TEST(MemSample, SwapCachedNeverFillsTheCachedField) {
    EXPECT_EQ(read_sample("SwapCached: 777 kB\n").figure, 0);
    EXPECT_EQ(read_sample("SwapCached: 777 kB\nCached: 30 kB\n").figure, 30);
    EXPECT_EQ(read_sample("Cached: 30 kB\nSwapCached: 777 kB\n").log, "mem_num_cache:30\n");
}

TEST(MemSample, MissingKeysCountZeroAndTheLastMatchWins) {
    sample none = read_sample("Active: 5 kB\n");
    EXPECT_EQ(none.figure, 0);
    EXPECT_EQ(none.log, "");
    EXPECT_EQ(none.matches, 0) << "no measurement: the sample must not be stored";
    sample s = read_sample("Buffers: 1 kB\nBuffers: 2 kB\n");
    EXPECT_EQ(s.figure, 2);
    EXPECT_EQ(s.matches, 2);
    EXPECT_EQ(s.log, "mem_num_buffers:1\nmem_num_buffers:2\n");
}

TEST(MemSample, OnlyTheNewlineIsStrippedSoACarriageReturnStaysInTheLog) {
    sample s = read_sample("MemFree: 100 kB\r\nBuffers: 20 kB\r\n");
    EXPECT_EQ(s.figure, 120);
    EXPECT_EQ(s.log, "mem_num_free:100\r\nmem_num_buffers:20\r\n");
}

TEST(MemSample, LinesOverSixtyThreeCharactersAreReadInPieces) {
    // The first piece holds the key but no value; the value's piece has no key.
    std::string spaced = "MemFree:" + std::string(60, ' ') + "123 kB\n";
    sample s = read_sample(spaced);
    EXPECT_EQ(s.figure, 0);
    EXPECT_EQ(s.log, "mem_num_free:\n");
    // A key at the start of a later piece counts by itself.
    EXPECT_EQ(read_sample(std::string(63, 'x') + "Buffers: 7 kB\n").figure, 7);
}

TEST(MemSample, FieldWidthEdges) {
    EXPECT_EQ(read_sample("MemFree: 12345678 kB\n").figure, 12345678);
    // A key with nothing after it, at the end of a file without a newline.
    sample bare = read_sample("MemFree: 10 kB\nCached:");
    EXPECT_EQ(bare.figure, 10);
    EXPECT_EQ(bare.log, "mem_num_free:10\nmem_num_cache:\n");
    // Longer text keeps its first 11 characters and nothing spills over.
    sample wide = read_sample("MemFree: 98765432101234 kB\nBuffers: 5 kB\n");
    EXPECT_EQ(wide.log, "mem_num_free:98765432101\nmem_num_buffers:5\n");
    EXPECT_EQ(wide.figure, INT32_MAX);
}

TEST(MemSample, OutOfRangeValuesSaturateInsteadOfWrapping) {
    EXPECT_EQ(read_sample("MemFree: 2147483647\nCached: 2147483647\n").figure, INT32_MAX);
    EXPECT_EQ(read_sample("MemFree: -2147483648\nCached: -5\n").figure, INT32_MIN);
    EXPECT_EQ(read_sample("MemFree: -50 kB\nBuffers: 20 kB\n").figure, -30);
}

TEST(DeleteChar, RemovesEveryOccurrenceAndKeepsTheOrder) {
    char text[] = "a b  c ";
    delete_char(text, ' ');
    EXPECT_STREQ(text, "abc");
    char unit[] = "12kB";
    delete_char(unit, 'k');
    delete_char(unit, 'B');
    EXPECT_STREQ(unit, "12");
    char empty[] = "";
    delete_char(empty, ' ');
    EXPECT_STREQ(empty, "");
}
