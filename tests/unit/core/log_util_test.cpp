// Log line format, file tests, bounded copies, byte-order conversions and digit runs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
    EXPECT_EQ(0, gs32_log_from("ms32_step", "%s %d", "cut", 7));
    // Control bytes from outside are shown escaped: one call stays one line.
    EXPECT_EQ(0, gs32_log_printf("name %s",
                                 LogSafe("x\r\n01.01.70_00:00:00 1: forged\x01\x7f\xc3\xa4").text));
    text = korvad_test::read_file(path);
    EXPECT_NE(std::string::npos,
              text.find(" " + std::to_string(getpid()) + ": ms32_step: cut 7\n"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find(" name x\\r\\n01.01.70_00:00:00 1: forged\\x01\\x7f\xc3\xa4\n"))
        << text;
    EXPECT_EQ(3, std::count(text.begin(), text.end(), '\n'));
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

TEST(Util, LittleEndianLoadsAndStoresOnAnyHost) {
    const uint8_t wire[4] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(0x5678, gu16_load_le(wire));
    EXPECT_EQ(0x12345678u, gu32_load_le(wire));
    uint8_t out[5] = {0, 0, 0, 0, 0xee};
    gv_store_le32(out + 1, 0x12345678u);
    EXPECT_EQ(0, memcmp(out + 1, wire, 4));
    gv_store_le16(out, 0xfffe);
    EXPECT_EQ(0xfe, out[0]);
    EXPECT_EQ(0xff, out[1]);
}

TEST(Util, LeadingDigitsStopAtTheEndOrTheFirstOtherByteAndNeverWrap) {
    struct Case {
        std::string text;
        size_t end;  // bytes of text that may be read
        uint32_t digits;
        uint64_t value;
    } cases[] = {
        {"", 0, 0, 0},
        {"x12", 3, 0, 0},
        {"0042;", 5, 4, 42},
        {"123", 2, 2, 12},
        {"4294967296", 10, 10, 4294967296u},
        {"18446744073709551615", 20, 20, UINT64_MAX},
        {"18446744073709551616", 20, 20, UINT64_MAX},
        {"99999999999999999999999", 23, 23, UINT64_MAX},
    };
    for (const Case& c : cases) {
        uint64_t value = 7;
        EXPECT_EQ(c.digits, gu32_leading_digits(c.text.data(), c.text.data() + c.end, &value))
            << c.text;
        EXPECT_EQ(c.value, value) << c.text;
    }
    uint64_t value = 0;
    EXPECT_EQ(3u, gu32_leading_digits("512 ", nullptr, &value));  // no end: up to the zero
    EXPECT_EQ(512u, value);
}
