// Parameter decoders: text, raw bytes and numbers, with their exact failure rules.
#include "jobs/params.h"

#include <cstring>

#include "job_harness.h"

using namespace std::string_literals;
using namespace jobs_test;

// A text too long for its number buffer or a missing parameter leaves the value unchanged
// and is logged with it; a value that does not convert is stored anyway, silently.
TEST(NumericParameter, LeadingZerosAreDecimalHexNeedsPrefixAndNothingMayFollow) {
    struct Case {
        const char* text;
        int32_t result;
        uint32_t value;
    } cases[] = {
        {"X;007", 0, 7}, {"X;0x1F", 0, 31}, {"X;0X1f", 0, 31}, {"X;010", 0, 10},
        {"X;000", 0, 0}, {"X;12#comment", 0, 12}, {"X;", 0, 0}, {"X;-1", 0, 4294967295u},
        {"X; 12", 0, 12},   // blanks before the number are skipped
        {"X;12 ", -5, 12},  // but not behind it; the value is stored anyway
        {"X;12x", -5, 12}, {"X;abc", -5, 0},
        {"X;00x1F", -5, 0},  // the zeros in front of x are blanked: no hex prefix left
        {"X;+42", 0, 42}, {"X;2147483647", 0, 2147483647u},
        // Clamped to the signed 32-bit range; 14 characters still fit, 15 do not.
        {"X;2147483648", 0, 2147483647u}, {"X;-99999999999", 0, 2147483648u},
        {"X;0xFFFFFFFF", 0, 2147483647u}, {"X;12345678901234", 0, 2147483647u},
        {"X;123456789012345", -5, 4294967295u},
    };
    LogCapture log;
    for (const Case& c : cases) {
        uint32_t value = 4294967295u;
        EXPECT_EQ(c.result, gs32_ch_nextjob_get_param_u32(1, c.text, &value)) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
    }
    // The value prints as the device's 32-bit long prints it.
    EXPECT_EQ(with_pids({"gs32_ch_nextjob_get_param_str: Overflow, string to long",
                         "gs32_ch_nextjob_get_param_u32: ERROR value:-1"}),
              log.lines());
}

TEST(NumericParameter, SixteenBitDecoderKeepsTheLowBits) {
    struct Case {
        const char* text;
        int32_t result;
        uint16_t value;
    } cases[] = {
        {";65537", 0, 1},  {";0x12345", 0, 0x2345}, {";-1", 0, 65535},
        {";0102", 0, 102}, {";514 ", -5, 514},      {";;", 0, 0},
        {"", -5, 513},  // missing: unchanged
    };
    LogCapture log;
    for (const Case& c : cases) {
        uint16_t value = 513;
        EXPECT_EQ(c.result, gs32_ch_nextjob_get_param_u16(1, c.text, &value)) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
    }
    EXPECT_EQ(with_pids({"gs32_ch_nextjob_get_param_u16: ERROR value:513"}), log.lines());
}

// Only a text too long for its buffer is logged; a missing parameter fails silently.
TEST(TextParameter, EndsAtSeparatorOrCommentKeepsBlanksAndMustFitItsBuffer) {
    struct Case {
        uint16_t n;
        const char* text;
        int32_t result;
        std::string out;
    } cases[] = {
        {1, ";a#b", 0, "a"},      {1, "; a b ;c", 0, " a b "},   {2, ";a;b;c", 0, "b"},
        {0, ";a;b", 0, "a"},      {3, ";a;b;", 0, ""},           {3, ";a;b", -5, ""},
        {1, "", -5, ""},          {1, ";abcdefg", 0, "abcdefg"}, {1, ";abcdefgh", -5, ""},
        {9, ";abcdefgh", -5, ""},
    };
    LogCapture log;
    for (const Case& c : cases) {
        char out[8];
        memset(out, '?', sizeof out);
        EXPECT_EQ(c.result, gs32_ch_nextjob_get_param_str(c.n, c.text, out, sizeof out)) << c.text;
        EXPECT_EQ(c.out, std::string(out)) << c.text;
    }
    EXPECT_EQ(with_pids({"gs32_ch_nextjob_get_param_str: Overflow, string to long"}), log.lines());
}

TEST(BinaryParameter, TakesExactlyTheLengthFollowedByCrLfInsideTheLine) {
    start_worker();
    // Payload "a\0;\r\n" of 5 bytes: zero, ';' and CR LF inside are data.
    const std::string job = "DBUS;1;x;y;5;a\0;\r\n\r\n"s;
    ASSERT_EQ(0, gs32_ch_set_job_data(job.data(), static_cast<uint32_t>(job.size())));
    ASSERT_EQ(-4, ms32_connhandler_get_nextjobFileLine());
    const char* text = gp_connhandler_job_line()->cursor;

    LogCapture log;
    char out[16];
    EXPECT_EQ(0, gs32_ch_nextjob_get_param_binary(5, text, out, 5));
    EXPECT_EQ("a\0;\r\n"s, std::string(out, 5));
    struct Case {
        uint16_t n;
        uint32_t length;
        const char* logged;
    } failures[] = {
        {5, 4, "Format ERROR"},  // CR LF must follow right behind the length
        {5, 6, "Format ERROR"},  // would need a byte behind the line
        {6, 1, "No more parameters left"},  // the ';' behind the zero byte does not count
    };
    std::vector<std::string> expected;
    for (const Case& c : failures) {
        memset(out, '?', sizeof out);
        EXPECT_EQ(-5, gs32_ch_nextjob_get_param_binary(c.n, text, out, c.length)) << c.length;
        EXPECT_EQ('\0', out[0]);
        expected.push_back(with_pid(std::string("gs32_ch_nextjob_get_param_binary: ") + c.logged));
    }
    EXPECT_EQ(expected, log.lines());
}
