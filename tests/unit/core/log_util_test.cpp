// Log line format, file tests, bounded copies and byte-order conversions.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <ctime>
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

TEST(Log, OpenFailureIsReported) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, gs32_log_open("/nonexistent-dir/x.log"));
    EXPECT_EQ("Can not open log file '/nonexistent-dir/x.log' to write to.\n",
              testing::internal::GetCapturedStdout());
}

TEST(Util, FileTestsFollowLinks) {
    TempDir dir;
    std::string file = dir.write("f", "x");
    std::string sub = dir.path() + "/d";
    ASSERT_EQ(0, mkdir(sub.c_str(), 0700));
    ASSERT_EQ(0, symlink(file.c_str(), (dir.path() + "/lf").c_str()));
    ASSERT_EQ(0, symlink(sub.c_str(), (dir.path() + "/ld").c_str()));
    EXPECT_EQ(1, gs32_is_regular_file(file.c_str()));
    EXPECT_EQ(1, gs32_is_regular_file((dir.path() + "/lf").c_str()));
    EXPECT_EQ(0, gs32_is_regular_file(sub.c_str()));
    EXPECT_EQ(0, gs32_is_regular_file((dir.path() + "/missing").c_str()));
    EXPECT_EQ(1, gs32_is_directory((dir.path() + "/ld").c_str()));
    EXPECT_EQ(0, gs32_is_directory(file.c_str()));
}

TEST(Util, HostNameAndBoundedCopy) {
    char buffer[512];
    unsetenv("HOSTNAME");
    EXPECT_STREQ("QM4-GET_HOSTNAME_ERR", gv_get_host_name(buffer, sizeof buffer));
    setenv("HOSTNAME", "unit7", 1);
    EXPECT_STREQ("unit7", gv_get_host_name(buffer, sizeof buffer));
    unsetenv("HOSTNAME");

    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(6u, gu32_copy_bounded(small, "abcdef", 4));
    EXPECT_STREQ("abc", small);
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

    auto bits = [](float f) {
        uint32_t b;
        memcpy(&b, &f, 4);
        return b;
    };
    auto from_bits = [](uint32_t b) {
        float f;
        memcpy(&f, &b, 4);
        return f;
    };
    // 1.0f is 3F 80 00 00; reversed it is 00 00 80 3F.
    EXPECT_EQ(0x0000803Fu, bits(gf32_swap_bytes(1, 1.0f)));
    EXPECT_EQ(bits(1.0f), bits(gf32_swap_bytes(0, 1.0f)));
    // NaN patterns, signalling ones included, come out bit for bit.
    for (uint32_t pattern : {0x7F800001u, 0x7FC00000u, 0xFFBFFFFFu, 0x0100807Fu, 0x0000C07Fu}) {
        EXPECT_EQ(gu32_swap_bytes(pattern, 1), bits(gf32_swap_bytes(1, from_bits(pattern))))
            << std::hex << pattern;
    }
}

TEST(Util, AtoiSemantics) {
    EXPECT_EQ(42, gs32_atoi("  42abc"));
    EXPECT_EQ(-7, gs32_atoi("-7"));
    EXPECT_EQ(0, gs32_atoi("abc"));
    EXPECT_EQ(0, gs32_atoi(""));
    EXPECT_EQ(2147483647, gs32_atoi("99999999999999999999"));
}
