// The client against a misbehaving server: every scenario ends in its defined result, in
// bounded time, without leaking a descriptor (memory is checked by the sanitizer build).
#include <gtest/gtest.h>

#include "http/http.h"
#include "support/http_server.h"
#include "unit/http/http_calls.h"

using namespace korvad_test;

namespace {

enum class Op { kGet, kPost };

struct Scenario {
    const char* name;
    Op op;
    std::vector<HttpStep> script;  // played after the request has been read, unless it
                                   // begins with close_now()
    int32_t result;
    std::string data;       // expected body at 200
    double min_s = 0;       // waits that must run to the time-out
    double max_s = 2.0;     // the time-out of 1 s plus a second
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";
std::string ok_length(const std::string& length) { return kOk + "Content-Length: " + length + "\r\n\r\n"; }

class HttpScenario : public testing::TestWithParam<Scenario> {};

TEST_P(HttpScenario, EndsInItsResult) {
    const Scenario& s = GetParam();
    int fds_before = open_fd_count();
    {
        std::vector<HttpStep> script {read_request()};
        script.insert(script.end(), s.script.begin(), s.script.end());
        if (s.script[0].kind == HttpStep::Kind::kClose) script = s.script;
        ScriptedHttpServer server(script);
        HttpOutcome out = s.op == Op::kGet ? http_get(server.url("job"), 1)
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

INSTANTIATE_TEST_SUITE_P(Splits, HttpScenario, testing::Values(
    Scenario{"GetOneBytePerWrite", Op::kGet, {send(ok_length("4") + "abcd", 1)}, 200, "abcd"},
    Scenario{"ChunkedOneBytePerWrite", Op::kGet,
             {send(kChunked + "4\r\nabcd\r\n5\r\nefghi\r\n0\r\n\r\n", 1)}, 200, "abcdefghi"},
    Scenario{"PostOneBytePerWrite", Op::kPost, {send(kOk + "\r\nOK\r\nnext", 1)}, 200, "OK\r\nnext"},
    Scenario{"LinesTrickledWithinTheirOwnBudgets", Op::kGet,
             {send(kOk, 1, 40), send("X-Pad: 0123456789abcdef\r\n", 1, 30),
              send("Content-Length: 2\r\n\r\nok", 1, 30)}, 200, "ok", 1.0, 3.5}),
    name_of);

INSTANTIATE_TEST_SUITE_P(SilenceAndCloses, HttpScenario, testing::Values(
    Scenario{"CloseRightAfterAccept", Op::kGet, {close_now()}, HTTP_E_READ_HEAD, ""},
    Scenario{"NeverAnswering", Op::kGet, {hold()}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"AnswerAfterTheTimeOut", Op::kGet, {pause_ms(1500), send(ok_length("1") + "x")},
             HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"StatusLineTrickledTooSlowly", Op::kGet, {send(kOk, 1, 150)}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"BodyTrickledTooSlowly", Op::kGet, {send(ok_length("100")), send(std::string(100, 'b'), 1, 50)},
             HTTP_E_READ_DATA, "", 0.9},
    Scenario{"EndlessBodyBeyondTheLength", Op::kGet,
             {send(ok_length("100000")), send_forever(std::string(1000, 'e'))}, 200, std::string(100000, 'e')},
    Scenario{"EndlessPostReply", Op::kPost, {send(kOk + "\r\n"), send_forever(std::string(100, 'e'))},
             200, std::string(1024, 'e')},
    Scenario{"HeadersNeverEnded", Op::kGet, {send(kOk + "X-A: 1\r\n"), hold()}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"HeadersCutByClose", Op::kGet, {send(kOk + "Content-Length: 4\r\n")}, HTTP_E_READ_HEAD, ""},
    Scenario{"PostReplyHeldOpen", Op::kPost, {send(kOk + "\r\nOK"), hold()}, HTTP_E_READ_DATA, "", 0.9}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Resets, HttpScenario, testing::Values(
    Scenario{"ResetInTheHeaders", Op::kGet, {send(kOk + "Content-Le"), reset()}, HTTP_E_READ_HEAD, ""},
    Scenario{"ResetInTheBody", Op::kGet, {send(ok_length("100") + "0123456789"), reset()},
             HTTP_E_READ_DATA, ""},
    Scenario{"ResetInAChunk", Op::kGet, {send(kChunked + "10\r\nabc"), reset()}, HTTP_E_READ_DATA, ""}),
    name_of);

INSTANTIATE_TEST_SUITE_P(StatusLines, HttpScenario, testing::Values(
    Scenario{"Garbage", Op::kGet, {send("\x16\x03\x01 garbage\r\n\r\n")}, HTTP_E_PARSE_STATUS, ""},
    Scenario{"Icy", Op::kGet, {send("ICY 200 OK\r\n\r\n")}, HTTP_E_PARSE_STATUS, ""},
    Scenario{"Negative", Op::kGet, {send("HTTP/1.1 -20 Odd\r\n\r\n")}, HTTP_E_PARSE_STATUS, ""},
    // The first 511 bytes are the status line, the rest reads as a header line.
    Scenario{"Overlong", Op::kGet, {send("HTTP/1.1 200 " + std::string(700, 'x') + "\r\n" +
                                         "Content-Length: 2\r\n\r\nok")}, 200, "ok"},
    Scenario{"OverlongGarbageWithoutLineEnd", Op::kGet, {send(std::string(2000, 'g')), hold()},
             HTTP_E_PARSE_STATUS, ""}),
    name_of);

// A line ends after 511 bytes; a CR or LF left behind then reads as the empty line that
// ends the headers, and the rest of the head becomes body.
INSTANTIATE_TEST_SUITE_P(HeaderLines, HttpScenario, testing::Values(
    Scenario{"Line510", Op::kGet, {send(kOk + "Content-Length: 4\r\n" + std::string(510, 'h') +
                                        "\r\n\r\nabcd")}, 200, "\r\nab"},
    Scenario{"Line511", Op::kGet, {send(kOk + "Content-Length: 4\r\n" + std::string(511, 'h') +
                                        "\r\n\r\nabcd")}, 200, "\r\nab"},
    Scenario{"Line512", Op::kGet, {send(kOk + "Content-Length: 4\r\n" + std::string(512, 'h') +
                                        "\r\n\r\nabcd")}, 200, "abcd"},
    Scenario{"Line510HidesLaterHeaders", Op::kGet, {send(kOk + std::string(510, 'h') +
                                                         "\r\nContent-Length: 4\r\n\r\nabcd")},
             HTTP_E_NO_LENGTH, ""},
    Scenario{"Line100KiB", Op::kGet, {send(kOk + "X-Big: " + std::string(100 * 1024, 'h') +
                                           "\r\nContent-Length: 4\r\n\r\nabcd")}, 200, "abcd", 0, 5.0}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Lengths, HttpScenario, testing::Values(
    Scenario{"LargerThanTheData", Op::kGet, {send(ok_length("10") + "abc")}, HTTP_E_READ_DATA, ""},
    Scenario{"LargerThanTheDataHeldOpen", Op::kGet, {send(ok_length("10") + "abc"), hold()},
             HTTP_E_READ_DATA, "", 0.9},
    Scenario{"Huge", Op::kGet, {send(ok_length("2147483647") + "abc")}, HTTP_E_MEMORY, ""},
    Scenario{"BeyondThirtyTwoBits", Op::kGet, {send(ok_length("99999999999") + "abc")}, HTTP_E_MEMORY, ""},
    Scenario{"Negative", Op::kGet, {send(ok_length("-5") + "abc")}, HTTP_E_NO_LENGTH, ""},
    Scenario{"DuplicatedLastWins", Op::kGet, {send(kOk + "Content-Length: 3\r\nContent-Length: 5\r\n\r\nabcde")},
             200, "abcde"},
    Scenario{"Garbage", Op::kGet, {send(ok_length("many") + "abc")}, HTTP_E_NO_LENGTH, ""},
    Scenario{"BytesAfterTheBody", Op::kGet, {send(ok_length("4") + "abcdEXTRA")}, 200, "abcd"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Chunked, HttpScenario, testing::Values(
    Scenario{"NonHexSizeEndsTheBody", Op::kGet, {send(kChunked + "4\r\nabcd\r\nzz\r\nmore")}, 200, "abcd"},
    Scenario{"OverflowingSize", Op::kGet, {send(kChunked + "FFFFFFFF\r\nabc")}, HTTP_E_MEMORY, ""},
    Scenario{"SizeLineWithoutLineEnd", Op::kGet, {send(kChunked + "2\r\nab\r\n123456789abc\r\n")}, 200, "ab"},
    Scenario{"Extension", Op::kGet, {send(kChunked + "4;x=y\r\nabcd\r\n0\r\n\r\n")}, 200, "abcd"},
    Scenario{"CloseMidChunk", Op::kGet, {send(kChunked + "8\r\nabc")}, HTTP_E_READ_DATA, ""},
    Scenario{"NoFinalChunk", Op::kGet, {send(kChunked + "4\r\nabcd\r\n")}, HTTP_E_READ_DATA, ""},
    Scenario{"NoFinalChunkHeldOpen", Op::kGet, {send(kChunked + "4\r\nabcd\r\n"), hold()},
             HTTP_E_READ_DATA, "", 0.9},
    // The trailer never ends, and the client does not wait for it.
    Scenario{"TrailersAreNotRead", Op::kGet, {send(kChunked + "4\r\nabcd\r\n0\r\nX-T: 1\r\n"), hold()},
             200, "abcd", 0, 0.9},
    Scenario{"LengthWinsOverChunked", Op::kGet,
             {send(kOk + "Transfer-Encoding: chunked\r\nContent-Length: 6\r\n\r\n4\r\nabcd\r\n0\r\n\r\n")},
             200, "4\r\nabc"},
    Scenario{"CodingValueIsCaseSensitive", Op::kGet, {send(kOk + "Transfer-Encoding: Chunked\r\n\r\n0\r\n\r\n")},
             HTTP_E_NO_LENGTH, ""}),
    name_of);

INSTANTIATE_TEST_SUITE_P(OtherStatuses, HttpScenario, testing::Values(
    Scenario{"Continue", Op::kGet, {send("HTTP/1.1 100 Continue\r\n\r\n" + ok_length("2") + "ok")}, 100, ""},
    Scenario{"NoContent", Op::kGet, {send("HTTP/1.1 204 No Content\r\n\r\n")}, 204, ""},
    Scenario{"Unauthorized", Op::kGet, {send("HTTP/1.1 401 Unauthorized\r\nContent-Length: 1\r\n\r\nx")}, 401, ""},
    Scenario{"PostServerError", Op::kPost, {send("HTTP/1.0 500 Oops\r\n\r\n")}, 500, ""}),
    name_of);

TEST(HttpScenarioConnect, RefusedConnectionFailsAtOnce) {
    int fds_before = open_fd_count();
    HttpOutcome out = http_get("http://127.0.0.1:" + std::to_string(refused_port()) + "/job", 1);
    // The connect is non-blocking: a refusal shows at once, or when the head is written
    // after the writable wait (what Linux does on loopback).
    EXPECT_TRUE(out.result == HTTP_E_CONNECT || out.result == HTTP_E_WRITE_HEAD) << out.result;
    EXPECT_LT(out.seconds, 1.0);
    EXPECT_EQ(fds_before, open_fd_count());
}

}  // namespace
