#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "app_watch.h"
#include "device.h"

namespace {
struct listing {
    std::string path = "/tmp/check_mem_listing.XXXXXX";
    explicit listing(const std::string& bytes) {
        int fd = mkstemp(&path[0]);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
    }
    ~listing() { unlink(path.c_str()); }
    int match() {
        int ret = -2;
        log = device::stdout_of([&] { ret = match_app(path.c_str()); });
        return ret;
    }
    std::string log;
};
}  // namespace

TEST(MatchApp, FindsTheFullPathAnywhereInTheFirst256Bytes) {
    listing found("root 99 1 0 10:00 ? 00:00:00 /plorn/quillamont -d\nroot 120 118 0 grep quillamont\n");
    EXPECT_EQ(found.match(), 0);
    EXPECT_EQ(found.log, "app exist\n");
    listing name_only("root 120 118 0 10:00 ? 00:00:00 grep quillamont\n");
    EXPECT_EQ(name_only.match(), 1);
    EXPECT_EQ(name_only.log, "app not exist\n");
}

TEST(MatchApp, PathMustEndWithinTheWindow) {
    const std::string path = "/plorn/quillamont";
    EXPECT_EQ(listing(std::string(256 - path.size(), 'x') + path).match(), 0);
    EXPECT_EQ(listing(std::string(257 - path.size(), 'x') + path).match(), 1);
}

TEST(MatchApp, ZeroByteDoesNotHideTheRestOfTheListing) {
    EXPECT_EQ(listing(std::string("root 5 1 \0 x\n", 13) + "root 99 1 /plorn/quillamont\n").match(), 0);
}

TEST(MatchApp, MissingFileIsReported) {
    EXPECT_EQ(device::stdout_of([] { EXPECT_EQ(match_app("/nonexistent/check_app.txt"), -1); }),
              "open /nonexistent/check_app.txt fail\n");
}
