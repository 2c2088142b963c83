// Log line format, file tests, bounded copies and byte-order conversions.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/util.h"
#include "support/process.h"

using korvad_test::TempDir;

TEST(Log, LinesGoToTheFileWithTimeStampAndAreFlushedAtOnce) {
    TempDir dir;
    std::string path = dir.path() + "/korvad.log";
    ASSERT_EQ(0, gs32_log_open(path.c_str()));
    EXPECT_EQ(0, gs32_log_write("1234: Korvad started"));
    // Flushed without closing: another reader sees the line now.
    std::string text = korvad_test::read_file(path);
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\d\d\.\d\d\.\d\d_\d\d:\d\d:\d\d 1234: Korvad started\n)")))
        << text;
    EXPECT_EQ(0, gs32_log_close());
    EXPECT_EQ(-1, gs32_log_close());
}

// Links are followed (regular files through links: Startup.DirectoryScan...).
TEST(Util, FileTestsFollowLinks) {
    TempDir dir;
    std::string file = dir.write("f", "x");
    ASSERT_EQ(0, mkdir((dir.path() + "/d").c_str(), 0700));
    ASSERT_EQ(0, symlink("d", (dir.path() + "/ld").c_str()));
    EXPECT_EQ(1, gs32_is_directory((dir.path() + "/ld").c_str()));
    EXPECT_EQ(0, gs32_is_directory(file.c_str()));
    EXPECT_EQ(0, gs32_is_regular_file((dir.path() + "/missing").c_str()));
}

TEST(Util, BoundedCopyIntoNoRoomWritesNothing) {
    char untouched = 'z';
    EXPECT_EQ(3u, gu32_copy_bounded(&untouched, "abc", 0));
    EXPECT_EQ('z', untouched);
}

TEST(Util, SwapBytesOnlyWhenAsked) {
    EXPECT_EQ(0x3412, gu16_swap_bytes(0x1234, 1));
    EXPECT_EQ(0x1234, gu16_swap_bytes(0x1234, 0));
    EXPECT_EQ(0x1234, gu16_swap_bytes(0x1234, 2));
    EXPECT_EQ(0x78563412u, gu32_swap_bytes(0x12345678u, 1));
    EXPECT_EQ(0x12345678u, gu32_swap_bytes(0x12345678u, 0));
    auto float_swap = [](uint32_t pattern, uint8_t convert) {
        float value;
        memcpy(&value, &pattern, 4);
        value = gf32_swap_bytes(convert, value);
        memcpy(&pattern, &value, 4);
        return pattern;
    };
    // 1.0f is 3F 80 00 00; reversed it is 00 00 80 3F.
    EXPECT_EQ(0x0000803Fu, float_swap(0x3F800000u, 1));
    EXPECT_EQ(0x3F800000u, float_swap(0x3F800000u, 0));
    // NaN patterns, signalling ones included, come out bit for bit.
    for (uint32_t pattern : {0x7F800001u, 0x7FC00000u, 0xFFBFFFFFu, 0x0100807Fu, 0x0000C07Fu}) {
        EXPECT_EQ(gu32_swap_bytes(pattern, 1), float_swap(pattern, 1)) << std::hex << pattern;
    }
}
