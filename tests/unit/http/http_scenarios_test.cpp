// The client against a misbehaving server: every scenario ends in its defined result, in
// bounded time, without leaking a descriptor (memory is checked by the sanitizer build).
#include <gtest/gtest.h>

#include "http/http.h"
#include "support/http_server.h"
#include "unit/http/http_calls.h"

using namespace korvad_test;

namespace {

enum Op { kGet, kPost };

struct Scenario {
    const char* name;
    Op op;
    // Played after the request has been read, unless it begins with close_now().
    std::vector<HttpStep> script;
    int32_t result;
    std::string data;    // the body at 200
    double min_s = 0;    // a wait that must run to the time-out of 1 s
    double max_s = 2.0;  // the time-out plus a second
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";
std::string ok_length(const std::string& length) {
    return kOk + "Content-Length: " + length + "\r\n\r\n";
}
std::string with_line(size_t length) {  // a header line of length bytes before its CR LF
    return kOk + "Content-Length: 4\r\n" + std::string(length, 'h') + "\r\n\r\nabcd";
}

class HttpScenario : public testing::TestWithParam<Scenario> {};

TEST_P(HttpScenario, EndsInItsResult) {
    const Scenario& s = GetParam();
    int fds_before = open_fd_count();
    {
        std::vector<HttpStep> script{read_request()};
        script.insert(script.end(), s.script.begin(), s.script.end());
        if (s.script[0].kind == HttpStep::Kind::kClose) script = s.script;
        ScriptedHttpServer server(script);
        HttpOutcome out = s.op == kGet
                              ? http_get(server.url("job"), 1)
                              : http_post(server.url("res"), "r=1", "text/plain", 0, 1);
        EXPECT_EQ(s.result, out.result);
        EXPECT_EQ(s.result == 200, out.has_data);
        EXPECT_EQ(s.data, out.data);
        if (s.result == 200) {
            EXPECT_EQ(static_cast<int32_t>(s.data.size()), out.length);
        }
        EXPECT_GE(out.seconds, s.min_s);
        EXPECT_LT(out.seconds, s.max_s);
    }
    EXPECT_EQ(fds_before, open_fd_count());
}

std::string name_of(const testing::TestParamInfo<Scenario>& info) { return info.param.name; }

// clang-format off
INSTANTIATE_TEST_SUITE_P(Splits, HttpScenario, testing::Values(
    Scenario{"GetOneBytePerWrite", kGet, {send(ok_length("4") + "abcd", 1)}, 200, "abcd"},
    Scenario{"ChunkedOneBytePerWrite", kGet,
             {send(kChunked + "4\r\nabcd\r\n5\r\nefghi\r\n0\r\n\r\n", 1)}, 200, "abcdefghi"},
    Scenario{"PostOneBytePerWrite", kPost, {send(kOk + "\r\nOK\r\nnext", 1)}, 200, "OK\r\nnext"},
    // Each line has a budget of its own: the whole head may take longer than one.
    Scenario{"LinesTrickledWithinTheirOwnBudgets", kGet,
             {send(kOk, 1, 40), send("X-Pad: 0123456789abcdef\r\n", 1, 30),
              send("Content-Length: 2\r\n\r\nok", 1, 30)}, 200, "ok", 1.0, 3.5}),
    name_of);

INSTANTIATE_TEST_SUITE_P(SilenceAndCloses, HttpScenario, testing::Values(
    Scenario{"CloseRightAfterAccept", kGet, {close_now()}, HTTP_E_READ_HEAD, ""},
    Scenario{"NeverAnswering", kGet, {hold()}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"AnswerAfterTheTimeOut", kGet, {pause_ms(1500), send(ok_length("1") + "x")},
             HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"StatusLineTrickledTooSlowly", kGet, {send(kOk, 1, 150)}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"BodyTrickledTooSlowly", kGet,
             {send(ok_length("100")), send(std::string(100, 'b'), 1, 50)},
             HTTP_E_READ_DATA, "", 0.9},
    Scenario{"EndlessBodyBeyondTheLength", kGet,
             {send(ok_length("100000")), send_forever(std::string(1000, 'e'))},
             200, std::string(100000, 'e')},
    Scenario{"EndlessPostReply", kPost, {send(kOk + "\r\n"), send_forever(std::string(100, 'e'))},
             200, std::string(1024, 'e')},
    Scenario{"HeadersNeverEnded", kGet, {send(kOk + "X-A: 1\r\n"), hold()},
             HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"HeadersCutByClose", kGet, {send(kOk + "Content-Length: 4\r\n")},
             HTTP_E_READ_HEAD, ""},
    // Bytes that arrived do not count once the budget is spent.
    Scenario{"PostReplyHeldOpen", kPost, {send(kOk + "\r\nOK"), hold()},
             HTTP_E_READ_DATA, "", 0.9}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Resets, HttpScenario, testing::Values(
    Scenario{"ResetInTheHeaders", kGet, {send(kOk + "Content-Le"), reset()}, HTTP_E_READ_HEAD, ""},
    Scenario{"ResetInTheBody", kGet, {send(ok_length("100") + "0123456789"), reset()},
             HTTP_E_READ_DATA, ""},
    Scenario{"ResetInAChunk", kGet, {send(kChunked + "10\r\nabc"), reset()}, HTTP_E_READ_DATA, ""}),
    name_of);

INSTANTIATE_TEST_SUITE_P(StatusLines, HttpScenario, testing::Values(
    Scenario{"Garbage", kGet, {send("\x16\x03\x01 garbage\r\n\r\n")}, HTTP_E_PARSE_STATUS, ""},
    Scenario{"Icy", kGet, {send("ICY 200 OK\r\n\r\n")}, HTTP_E_PARSE_STATUS, ""},
    Scenario{"Negative", kGet, {send("HTTP/1.1 -20 Odd\r\n\r\n")}, HTTP_E_PARSE_STATUS, ""},
    // The first 511 bytes are the status line, the rest reads as a header line.
    Scenario{"Overlong", kGet,
             {send("HTTP/1.1 200 " + std::string(700, 'x') + "\r\nContent-Length: 2\r\n\r\nok")},
             200, "ok"},
    Scenario{"OverlongGarbageWithoutLineEnd", kGet, {send(std::string(2000, 'g')), hold()},
             HTTP_E_PARSE_STATUS, ""}),
    name_of);

// A line ends after 511 bytes; a CR or LF left behind then reads as the empty line that
// ends the headers, and the rest of the head becomes body.
INSTANTIATE_TEST_SUITE_P(HeaderLines, HttpScenario, testing::Values(
    Scenario{"Line510", kGet, {send(with_line(510))}, 200, "\r\nab"},
    Scenario{"Line511", kGet, {send(with_line(511))}, 200, "\r\nab"},
    Scenario{"Line512", kGet, {send(with_line(512))}, 200, "abcd"},
    Scenario{"Line510HidesLaterHeaders", kGet,
             {send(kOk + std::string(510, 'h') + "\r\nContent-Length: 4\r\n\r\nabcd")},
             HTTP_E_NO_LENGTH, ""},
    Scenario{"Line100KiB", kGet, {send(with_line(100 * 1024))}, 200, "abcd", 0, 5.0}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Lengths, HttpScenario, testing::Values(
    Scenario{"LargerThanTheData", kGet, {send(ok_length("10") + "abc")}, HTTP_E_READ_DATA, ""},
    Scenario{"Huge", kGet, {send(ok_length("2147483647") + "abc")}, HTTP_E_MEMORY, ""},
    Scenario{"BeyondThirtyTwoBits", kGet, {send(ok_length("99999999999") + "abc")},
             HTTP_E_MEMORY, ""},
    Scenario{"Negative", kGet, {send(ok_length("-5") + "abc")}, HTTP_E_NO_LENGTH, ""},
    Scenario{"DuplicatedLastWins", kGet,
             {send(kOk + "Content-Length: 3\r\nContent-Length: 5\r\n\r\nabcde")}, 200, "abcde"},
    Scenario{"Garbage", kGet, {send(ok_length("many") + "abc")}, HTTP_E_NO_LENGTH, ""},
    Scenario{"BytesAfterTheBody", kGet, {send(ok_length("4") + "abcdEXTRA")}, 200, "abcd"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Chunked, HttpScenario, testing::Values(
    Scenario{"NonHexSizeEndsTheBody", kGet, {send(kChunked + "4\r\nabcd\r\nzz\r\nmore")},
             200, "abcd"},
    Scenario{"OverflowingSize", kGet, {send(kChunked + "FFFFFFFF\r\nabc")}, HTTP_E_MEMORY, ""},
    // A size line holds ten bytes with its CR LF; a longer one ends the body where it is.
    Scenario{"SizeLineOfTenBytes", kGet, {send(kChunked + "00000004\r\nabcd\r\n0\r\n\r\n")},
             200, "abcd"},
    Scenario{"SizeLineOfElevenBytes", kGet,
             {send(kChunked + "2\r\nab\r\n4;ext=abc\r\nabcd\r\n0\r\n\r\n")}, 200, "ab"},
    Scenario{"Extension", kGet, {send(kChunked + "4;x=y\r\nabcd\r\n0\r\n\r\n")}, 200, "abcd"},
    Scenario{"CloseMidChunk", kGet, {send(kChunked + "8\r\nabc")}, HTTP_E_READ_DATA, ""},
    Scenario{"NoFinalChunk", kGet, {send(kChunked + "4\r\nabcd\r\n")}, HTTP_E_READ_DATA, ""},
    // The trailer never ends, and the client does not wait for it.
    Scenario{"TrailersAreNotRead", kGet, {send(kChunked + "4\r\nabcd\r\n0\r\nX-T: 1\r\n"), hold()},
             200, "abcd", 0, 0.9},
    Scenario{"LengthWinsOverChunked", kGet,
             {send(kOk + "Transfer-Encoding: chunked\r\nContent-Length: 6\r\n\r\n" +
                   "4\r\nabcd\r\n0\r\n\r\n")},
             200, "4\r\nabc"},
    Scenario{"CodingValueCutAt99", kGet,
             {send(kOk + "Transfer-Encoding: " + std::string(95, 'x') + "chunked\r\n\r\n")},
             HTTP_E_NO_LENGTH, ""},
    Scenario{"CodingValueIsCaseSensitive", kGet,
             {send(kOk + "Transfer-Encoding: Chunked\r\n\r\n0\r\n\r\n")}, HTTP_E_NO_LENGTH, ""}),
    name_of);

INSTANTIATE_TEST_SUITE_P(OtherStatuses, HttpScenario, testing::Values(
    Scenario{"Continue", kGet, {send("HTTP/1.1 100 Continue\r\n\r\n" + ok_length("2") + "ok")},
             100, ""},
    Scenario{"NoContent", kGet, {send("HTTP/1.1 204 No Content\r\n\r\n")}, 204, ""},
    Scenario{"Unauthorized", kGet,
             {send("HTTP/1.1 401 Unauthorized\r\nContent-Length: 1\r\n\r\nx")}, 401, ""}),
    name_of);
// clang-format on

TEST(HttpScenarioConnect, RefusedConnectionFailsAtOnce) {
    int fds_before = open_fd_count();
    HttpOutcome out = http_get("http://127.0.0.1:" + std::to_string(refused_port()) + "/job", 1);
    // The connect is non-blocking: a refusal shows at once, or when the head is written
    // after the writable wait (what Linux does on loopback).
    EXPECT_TRUE(out.result == HTTP_E_CONNECT || out.result == HTTP_E_WRITE_HEAD) << out.result;
    EXPECT_LT(out.seconds, 1.0);
    EXPECT_EQ(fds_before, open_fd_count());
}

TEST(HttpScenarioConnect, BodyThatNobodyReadsEndsAfterTheTimeOut) {
    int fds_before = open_fd_count();
    {
        ScriptedHttpServer server({pause_ms(4000)});
        // Far more than the socket buffers on both sides hold.
        HttpOutcome out = http_post(server.url("r"), std::string(64 << 20, 'b'), nullptr, 0, 1);
        EXPECT_EQ(HTTP_E_WRITE_DATA, out.result);
        EXPECT_GE(out.seconds, 0.9);
        EXPECT_LT(out.seconds, 2.0);
    }
    EXPECT_EQ(fds_before, open_fd_count());
}

}  // namespace
