// The HTTP client. URL parsing and the request head forms, driven over a socketpair; then
// the request operations against the scripted server: exact request bytes, reply handling,
// Basic authorization, and a misbehaving server that every call survives with its defined
// result, in bounded time, leaking no descriptor (memory: the sanitizer build).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "http/http.h"
#include "support/http_server.h"

using namespace korvad_test;

namespace {

// Parses url as the connection cycle does and returns the path.
std::string aim(const std::string& url) {
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    char* path = nullptr;
    EXPECT_EQ(0, gs32_http_set_target_from_url(text.data(), &path)) << url;
    std::string copy = path != nullptr ? path : "";
    free(path);
    return copy;
}

constexpr int32_t kUntouched = 12345;  // a length output the client must leave alone

struct HttpOutcome {
    int32_t result = 0;
    bool has_data = false;
    std::string data;
    int32_t length = kUntouched;
    std::string content_type;
    double seconds = 0;
};

// A GET when body is null, otherwise a POST of *body, with a time-out of 1 s.
HttpOutcome http_call(const std::string& url, const std::string* body = nullptr,
                      const char* content_type = nullptr, int32_t overwrite = 0,
                      const char* user = nullptr, const char* password = nullptr) {
    const uint32_t timeout_s = 1;
    std::string path = aim(url);
    HttpOutcome out;
    char* data = nullptr;
    char type[HTTP_LINE_SIZE] = "stale";
    auto start = std::chrono::steady_clock::now();
    out.result =
        body == nullptr
            ? gs32_http_get(path.c_str(), &data, &out.length, type, timeout_s, user, password)
            : gs32_http_post(path.c_str(), body->data(), static_cast<uint32_t>(body->size()),
                             overwrite, &data, &out.length, content_type, timeout_s, user,
                             password);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (body == nullptr) out.content_type = type;
    if (data != nullptr) {
        out.has_data = true;
        out.data.assign(data, out.length > 0 ? static_cast<size_t>(out.length) : 0);
        EXPECT_EQ('\0', data[out.length]) << "the body is followed by a zero byte";
        free(data);
    }
    return out;
}

// The server's end of a socketpair whose other end the client gets in place of a TCP
// connection (at descriptor client_fd_min or above); reply is waiting in it, then the end.
class PairedPeer {
  public:
    explicit PairedPeer(const std::string& reply, int client_fd_min = 0) {
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_));
        if (client_fd_min > 0) {
            int high = fcntl(fds_[0], F_DUPFD_CLOEXEC, client_fd_min);
            close(fds_[0]);
            fds_[0] = high;
        }
        EXPECT_EQ(static_cast<ssize_t>(reply.size()), write(fds_[1], reply.data(), reply.size()));
        shutdown(fds_[1], SHUT_WR);
        gv_http_set_socket_source(
            [](void* self) { return std::exchange(static_cast<PairedPeer*>(self)->fds_[0], -1); },
            this);
    }
    ~PairedPeer() {
        gv_http_set_socket_source(nullptr, nullptr);
        for (int fd : fds_) {
            if (fd >= 0) close(fd);
        }
    }
    int client_fd() const { return fds_[0]; }
    std::string request() {  // what the client wrote, up to its close
        std::string text;
        char buffer[4096];
        for (ssize_t got; (got = read(fds_[1], buffer, sizeof buffer)) > 0;)
            text.append(buffer, got);
        return text;
    }

  private:
    int fds_[2] = {-1, -1};
};

TEST(HttpUrl, TargetAndPathFollowTheUrlForm) {
    struct Case {
        const char* url;
        int32_t result;
        const char* host;
        int32_t port;
        const char* path;
    } cases[] = {
        {"http://host", 0, "host", 80, ""},
        {"http://host:8080", 0, "host", 8080, ""},
        {"http://host:8080/a/b", 0, "host", 8080, "a/b"},
        {"http://host:81junk/a", 0, "host", 81, "a"},  // text behind the number is skipped
        {"http://host//a", 0, "host", 80, "/a"},       // only the separating '/' goes
        {"http://host:x/a", HTTP_E_URL_PORT, HTTP_DEFAULT_HOST, 80, nullptr},
        {"https://host/", HTTP_E_URL_SCHEME, HTTP_DEFAULT_HOST, 80, nullptr},
        {"HTTP://host/", HTTP_E_URL_SCHEME, HTTP_DEFAULT_HOST, 80, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        char primed[] = "http://previous:9/old";
        char* path = nullptr;
        ASSERT_EQ(0, gs32_http_set_target_from_url(primed, &path));
        char url[64];
        strcpy(url, c.url);
        // The old path is freed by the parse (ASan would report it otherwise).
        EXPECT_EQ(c.result, gs32_http_set_target_from_url(url, &path));
        EXPECT_STREQ(c.host, gt_http_target().host);
        EXPECT_EQ(c.port, gt_http_target().port);
        if (c.path == nullptr) {
            EXPECT_EQ(nullptr, path);
        } else {
            ASSERT_NE(nullptr, path);
            EXPECT_STREQ(c.path, path);
            EXPECT_STREQ((std::string("http://") + c.host).c_str(), url) << "cut in place";
        }
        free(path);
    }
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_set_target_from_url(nullptr, nullptr));
}

TEST(HttpExchange, RequestHeadsHaveTheirTwoFormsAndCloseUnlessKeptOpen) {
    const std::string host200(200, 'h'), path300(300, 'p'), extra(2000, 'e');
    struct Case {
        const char* method;
        std::string url;
        std::string extra;
        std::string expected;
    } cases[] = {
        // Path cut at 256 in both forms, the host at 128 in the POST form only; extra
        // header lines are never cut. (The plain forms: HttpRequests.)
        {"HEAD", "http://" + host200 + "/" + path300, extra + "\r\n",
         "HEAD /" + path300.substr(0, 256) + " HTTP/1.1\r\nHost: " + host200 +
             ":80\r\nUser-Agent: httptiny\r\n" + extra + "\r\n\r\nBODY"},
        {"POST", "http://" + host200 + "/" + path300, extra + "\r\n",
         "POST http://" + host200.substr(0, 128) + ":80/" + path300.substr(0, 256) +
             " HTTP/1.0\r\n" + extra + "\r\n\r\nBODY"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.substr(0, 40));
        std::string path = aim(c.url);
        PairedPeer peer("HTTP/1.0 204 No Content\r\n\r\n");
        int fd = -1;
        EXPECT_EQ(
            204, gs32_http_exchange(c.method, path.c_str(), c.extra.c_str(), 1, "BODY", 4, &fd, 1));
        ASSERT_GE(fd, 0) << "kept open for the caller";
        close(fd);
        EXPECT_EQ(c.expected, peer.request());
    }
    PairedPeer peer("HTTP/1.0 404 Not Found\r\n");
    int fd = 7;
    EXPECT_EQ(404, gs32_http_exchange("GET", "x", "", 0, nullptr, 0, &fd, 1));
    EXPECT_EQ(-1, fd) << "closed unless kept open";
}

TEST(HttpExchange, DescriptorsAboveTheSelectLimitWork) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1600) {
        if (limit.rlim_max < 1600) GTEST_SKIP() << "RLIMIT_NOFILE hard limit below 1600";
        limit.rlim_cur = 1600;
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    }
    std::string path = aim("http://dev.example/job");
    PairedPeer peer("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", 1500);
    ASSERT_GE(peer.client_fd(), 1500);
    char* data = nullptr;
    int32_t length = 0;
    EXPECT_EQ(200, gs32_http_get(path.c_str(), &data, &length, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(3, length);
    free(data);
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";

std::string ok_length(const std::string& length) {
    return kOk + "Content-Length: " + length + "\r\n\r\n";
}
// The Authorization line for plain, encoded by the encoder that HttpBase64 proves.
std::string basic(const std::string& plain) {
    char encoded[HTTP_LINE_SIZE];
    EXPECT_EQ(1, ms32_http_base64_encode(plain.data(), plain.size(), encoded));
    return "Authorization: Basic " + std::string(encoded) + "\r\n";
}
std::string head_of(const char* method, const std::string& path, const ScriptedHttpServer& server) {
    return std::string(method) + " /" + path +
           " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
           "\r\nUser-Agent: httptiny\r\n";
}

TEST(HttpRequests, GetHeadPutAndDeleteSendTheirExactRequests) {
    ScriptedHttpServer get({read_request(), send(ok_length("2") + "ok")});
    EXPECT_EQ(200, http_call(get.url("jobs/next.job")).result);
    EXPECT_EQ(head_of("GET", "jobs/next.job", get) + "\r\n", get.received());

    ScriptedHttpServer head(
        {read_request(), send(kOk + "content-LENGTH: 77\r\nContent-Type: a/b\r\n\r\n")});
    aim(head.url("f"));
    int32_t length = 5;
    char type[HTTP_LINE_SIZE];
    EXPECT_EQ(200, gs32_http_head("f", &length, type, 1, nullptr, nullptr));
    EXPECT_EQ(77, length);
    EXPECT_STREQ("a/b", type);
    EXPECT_EQ(head_of("HEAD", "f", head) + "\r\n", head.received());

    ScriptedHttpServer no_length({read_request(), send(kOk + "\r\n")});
    aim(no_length.url("f"));
    EXPECT_EQ(200, gs32_http_head("f", &length, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(-1, length);

    ScriptedHttpServer put({read_request(), send("HTTP/1.1 201 Created\r\n\r\n")});
    aim(put.url("p"));
    EXPECT_EQ(201, gs32_http_put("p", "abc", 3, 1, "text/plain", 1, "u", "p"));
    EXPECT_EQ(head_of("PUT", "p", put) +
                  "Content-Length: 3\r\nContent-type: text/plain\r\n"
                  "Authorization: Basic dTpw\r\nControl: overwrite=1\r\n\r\nabc",
              put.received());

    ScriptedHttpServer del({read_request(), send("HTTP/1.1 403 Forbidden\r\n\r\n")});
    aim(del.url("d"));
    EXPECT_EQ(403, gs32_http_delete("d", 1, nullptr, nullptr));
    EXPECT_EQ(head_of("DELETE", "d", del) + "\r\n", del.received());
}

// Authorization goes only with both credentials, each cut at 32 characters.
TEST(HttpRequests, PostCarriesLengthTypeAuthorizationAndOverwrite) {
    const std::string length = "Content-Length: 5\r\n", type = "Content-Type: text/plain\r\n";
    const std::string auth = "Authorization: Basic dXNlcjpwdw==\r\n";  // "user:pw"
    const std::string type70(70, 't'), u40(40, 'u'), p40(40, 'p');
    struct Case {
        const char* content_type;
        int32_t overwrite;
        const char* user;
        const char* password;
        std::string extra;
    } cases[] = {
        {"text/plain", 0, nullptr, nullptr, length + type},
        {"text/plain", 0, "user", "pw", length + type + auth},
        {nullptr, 7, "user", "pw", length + auth + "Control: overwrite=1\r\n"},
        {type70.c_str(), 0, nullptr, nullptr,
         length + "Content-Type: " + std::string(64, 't') + "\r\n"},
        {nullptr, 0, "Aladdin", "open sesame", length + basic("Aladdin:open sesame")},
        {nullptr, 0, "", "", length + basic(":")},
        {nullptr, 0, "user", nullptr, length},
        {nullptr, 0, nullptr, "pw", length},
        {nullptr, 0, u40.c_str(), p40.c_str(),
         length + basic(u40.substr(0, 32) + ":" + p40.substr(0, 32))},
    };
    const std::string body = "hello";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        ScriptedHttpServer server({read_request(), send(kOk + "\r\nOK")});
        HttpOutcome out = http_call(server.url("res/a.00001.end"), &body, c.content_type,
                                    c.overwrite, c.user, c.password);
        EXPECT_EQ(200, out.result);
        EXPECT_EQ("OK", out.data);
        EXPECT_EQ("POST http://127.0.0.1:" + std::to_string(server.port()) +
                      "/res/a.00001.end HTTP/1.0\r\n" + c.extra + "\r\nhello",
                  server.received());
    }
}

TEST(HttpBase64, StandardAlphabetPaddingAndThe511Bound) {
    struct Case {
        std::string input;
        int32_t result;
        std::string output;
    } cases[] = {
        {"", 1, ""},
        {"f", 1, "Zg=="},
        {"fo", 1, "Zm8="},
        {"foobar", 1, "Zm9vYmFy"},
        {std::string("\xfb\xff\xbf", 3), 1, "+/+/"},
        {std::string(381, '\xff'), 1, std::string(508, '/')},  // 508 characters: fits
        {std::string(382, 'a'), 0, ""},                        // 512 characters: does not
    };
    for (const Case& c : cases) {
        char out[HTTP_LINE_SIZE + 64];
        memset(out, '#', sizeof out);
        EXPECT_EQ(c.result, ms32_http_base64_encode(c.input.data(), c.input.size(), out));
        EXPECT_EQ(c.output, std::string(out)) << c.input.size();
        EXPECT_EQ('#', out[HTTP_LINE_SIZE]) << "nothing written behind the 512 bytes";
    }
}

enum Op { kGet, kPost };

struct Scenario {
    const char* name;
    std::vector<HttpStep> script;  // played after the request is read, unless it closes first
    int32_t result;
    std::string data{};  // the body at 200
    double min_s = 0;    // a wait that must run to the time-out of 1 s
    double max_s = 2.0;  // the time-out plus a second
    Op op = kGet;
    std::string content_type{};  // what a GET reports
    uint32_t body_limit = 0;     // the caller's GET body limit (0: none)
};

void PrintTo(const Scenario& s, std::ostream* out) {
    *out << s.name;
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
        gv_http_set_body_limit(s.body_limit);
        const std::string body = "r=1";
        HttpOutcome out = s.op == kGet ? http_call(server.url("job"))
                                       : http_call(server.url("res"), &body, "text/plain");
        gv_http_set_body_limit(0);
        EXPECT_EQ(s.result, out.result);
        EXPECT_EQ(s.result == 200, out.has_data);
        EXPECT_EQ(s.data, out.data);
        EXPECT_EQ(s.content_type, out.content_type);
        // Another status, or a reply without a length, leaves the length output alone.
        const bool untouched =
            s.op == kGet && ((s.result > 0 && s.result != 200) || s.result == HTTP_E_NO_LENGTH);
        if (s.result == 200 || untouched) {
            EXPECT_EQ(untouched ? kUntouched : static_cast<int32_t>(s.data.size()), out.length);
        }
        EXPECT_GE(out.seconds, s.min_s);
        EXPECT_LT(out.seconds, s.max_s);
    }
    EXPECT_EQ(fds_before, open_fd_count());
}

std::string name_of(const testing::TestParamInfo<Scenario>& info) {
    return info.param.name;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Splits, HttpScenario, testing::Values(
    Scenario{"GetOneBytePerWrite", {send(ok_length("4") + "abcd", 1)}, 200, "abcd"},
    Scenario{"ChunksJoinedOneBytePerWrite",
             {send(kChunked + "4\r\nabcd\r\n1\r\ne\r\n4\r\nfghi\r\n0\r\n\r\n", 1)}, 200, "abcdefghi"},
    Scenario{"PostOneBytePerWrite", {send(kOk + "\r\nOK\r\nnext", 1)}, 200, "OK\r\nnext", 0, 2,
             kPost}),
    name_of);

// Header names match in any case; values keep theirs, and the type is its first word. A CR
// inside a line is dropped. (Line lengths: HeaderLines.)
INSTANTIATE_TEST_SUITE_P(Headers, HttpScenario, testing::Values(
    Scenario{"CarriageReturnInANameIsDropped", {send(kOk + "Content-\rLength: 2\r\n\r\nok")},
             200, "ok"},
    Scenario{"TypeIsItsFirstWord",
             {send(kOk + "Content-Length: 4\r\nContent-Type: text/plain; charset=x\r\n\r\nabcd")},
             200, "abcd", 0, 2, kGet, "text/plain;"},
    Scenario{"NamesInUpperCase",
             {send(kOk + "CONTENT-LENGTH: 4\r\nCONTENT-TYPE: Text/Plain\r\n\r\nabcd")}, 200,
             "abcd", 0, 2, kGet, "Text/Plain"},
    Scenario{"LengthWithoutBlank", {send(kOk + "content-length:4\r\nX-Other: 9\r\n\r\nabcd")},
             200, "abcd"},
    Scenario{"CodingNameInMixedCase",
             {send(kOk + "Transfer-ENCODING: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n")}, 200,
             "abcd"}),
    name_of);

INSTANTIATE_TEST_SUITE_P(SilenceAndCloses, HttpScenario, testing::Values(
    Scenario{"CloseRightAfterAccept", {close_now()}, HTTP_E_READ_HEAD},
    Scenario{"AnswerAfterTheTimeOut", {pause_ms(1500), send(ok_length("1") + "x")},
             HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"StatusLineTrickledTooSlowly", {send(kOk, 1, 150)}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"BodyTrickledTooSlowly", {send(ok_length("100")), send(std::string(100, 'b'), 1, 50)},
             HTTP_E_READ_DATA, "", 0.9},
    Scenario{"EndlessBodyBeyondTheLength",
             {send(ok_length("100000")), send_forever(std::string(1000, 'e'))},
             200, std::string(100000, 'e')},
    Scenario{"EndlessPostReply", {send(kOk + "\r\n"), send_forever(std::string(100, 'e'))}, 200,
             std::string(1024, 'e'), 0, 2, kPost},
    Scenario{"HeadersNeverEnded", {send(kOk + "X-A: 1\r\n"), hold()}, HTTP_E_READ_HEAD, "", 0.9},
    Scenario{"HeadersCutByClose", {send(kOk + "Content-Length: 4\r\n")}, HTTP_E_READ_HEAD},
    // Bytes that arrived do not count once the budget is spent.
    Scenario{"PostReplyHeldOpen", {send(kOk + "\r\nOK"), hold()}, HTTP_E_READ_DATA, "", 0.9, 2,
             kPost}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Resets, HttpScenario, testing::Values(
    Scenario{"ResetInTheHeaders", {send(kOk + "Content-Le"), reset()}, HTTP_E_READ_HEAD},
    Scenario{"ResetInTheBody", {send(ok_length("100") + "0123456789"), reset()}, HTTP_E_READ_DATA}),
    name_of);

INSTANTIATE_TEST_SUITE_P(StatusLines, HttpScenario, testing::Values(
    Scenario{"Garbage", {send("\x16\x03\x01 garbage\r\n\r\n")}, HTTP_E_PARSE_STATUS},
    Scenario{"Http2", {send("HTTP/2 200\r\n\r\n")}, HTTP_E_PARSE_STATUS},
    Scenario{"Zero", {send("HTTP/1.1 000 Zero\r\n\r\n")}, HTTP_E_PARSE_STATUS},
    Scenario{"FourDigitsReadAsThree", {send("HTTP/1.1 2000 x\nContent-Length: 2\r\n\r\nok")},
             200, "ok"},
    Scenario{"Negative", {send("HTTP/1.1 -20 Odd\r\n\r\n")}, HTTP_E_PARSE_STATUS},
    // The first 511 bytes are the status line, the rest reads as a header line.
    Scenario{"Overlong",
             {send("HTTP/1.1 200 " + std::string(700, 'x') + "\r\nContent-Length: 2\r\n\r\nok")},
             200, "ok"},
    Scenario{"OverlongGarbageWithoutLineEnd", {send(std::string(2000, 'g')), hold()},
             HTTP_E_PARSE_STATUS}),
    name_of);

// A line ends after 511 bytes; a CR or LF left behind then reads as the empty line that
// ends the headers, and the rest of the head becomes body.
INSTANTIATE_TEST_SUITE_P(HeaderLines, HttpScenario, testing::Values(
    Scenario{"Line510", {send(with_line(510))}, 200, "\r\nab"},
    Scenario{"Line511", {send(with_line(511))}, 200, "\r\nab"},
    Scenario{"Line512", {send(with_line(512))}, 200, "abcd"},
    Scenario{"Line510HidesLaterHeaders",
             {send(kOk + std::string(510, 'h') + "\r\nContent-Length: 4\r\n\r\nabcd")},
             HTTP_E_NO_LENGTH},
    Scenario{"Line100KiB", {send(with_line(100 * 1024))}, 200, "abcd", 0, 5.0}),
    name_of);

// Content-Length and chunk sizes at their edges, under the JobFile limit that the fetch sets:
// a body that reaches it is refused before it is read or allocated, so nobody waits for the
// bytes the server holds back. A size line holds eight hex digits at most.
constexpr uint32_t kJobLimit = 2097152;
const std::string kLargestJob(kJobLimit - 1, 'j');

Scenario job(const char* name, std::vector<HttpStep> script, int32_t result,
             std::string data = {}) {
    return Scenario{name, std::move(script), result, std::move(data), 0, 2.0, kGet, "", kJobLimit};
}

INSTANTIATE_TEST_SUITE_P(Lengths, HttpScenario, testing::Values(
    job("Zero", {send(ok_length("0"))}, HTTP_E_NO_LENGTH),
    job("One", {send(ok_length("1") + "a")}, 200, "a"),
    job("Negative", {send(ok_length("-1") + "abc")}, HTTP_E_NO_LENGTH),
    job("LargerThanTheData", {send(ok_length("10") + "abc")}, HTTP_E_READ_DATA),
    job("BelowTheLimit", {send(ok_length("2097151") + kLargestJob)}, 200, kLargestJob),
    job("AtTheLimit", {send(ok_length("2097152")), hold()}, HTTP_E_TOO_LARGE),
    job("Int32Max", {send(ok_length("2147483647")), hold()}, HTTP_E_TOO_LARGE),
    job("Uint32Max", {send(ok_length("4294967295")), hold()}, HTTP_E_TOO_LARGE),
    // Without a limit only the signed 32-bit range bounds a body.
    Scenario{"Int32MaxWithoutLimit", {send(ok_length("2147483647") + "abc")}, HTTP_E_MEMORY},
    job("DuplicatedLastWins",
        {send(kOk + "Content-Length: 3\r\nContent-Length: 5\r\n\r\nabcde")}, 200, "abcde"),
    job("BytesAfterTheBody", {send(ok_length("4") + "abcdEXTRA")}, 200, "abcd"),
    job("FirstChunkEmpty", {send(kChunked + "0\r\n\r\n")}, 200, ""),
    job("ChunkOfOne", {send(kChunked + "1\r\na\r\n0\r\n\r\n")}, 200, "a"),
    job("ChunksBelowTheLimit",
        {send(kChunked + "1\r\nj\r\n1FFFFE\r\n" + kLargestJob.substr(1) + "\r\n0\r\n\r\n")},
        200, kLargestJob),
    job("ChunksReachingTheLimit", {send(kChunked + "4\r\nabcd\r\n1FFFFC\r\n"), hold()},
        HTTP_E_TOO_LARGE),
    job("ChunkOfInt32Max", {send(kChunked + "7FFFFFFF\r\n"), hold()}, HTTP_E_TOO_LARGE),
    job("ChunkOfTwoTo31", {send(kChunked + "80000000\r\n"), hold()}, HTTP_E_TOO_LARGE),
    job("ChunkOfUint32Max", {send(kChunked + "FFFFFFFF\r\n"), hold()}, HTTP_E_TOO_LARGE),
    Scenario{"ChunkOfUint32MaxWithoutLimit", {send(kChunked + "FFFFFFFF\r\nabc")},
             HTTP_E_MEMORY}),
    name_of);

INSTANTIATE_TEST_SUITE_P(Chunked, HttpScenario, testing::Values(
    Scenario{"NonHexSizeEndsTheBody", {send(kChunked + "4\r\nabcd\r\nzz\r\nmore")}, 200, "abcd"},
    // A size line holds ten bytes with its CR LF; a longer one ends the body where it is.
    Scenario{"SizeLineOfTenBytes", {send(kChunked + "00000004\r\nabcd\r\n0\r\n\r\n")}, 200, "abcd"},
    Scenario{"SizeLineOfElevenBytes",
             {send(kChunked + "2\r\nab\r\n4;ext=abc\r\nabcd\r\n0\r\n\r\n")}, 200, "ab"},
    Scenario{"Extension", {send(kChunked + "4;x=y\r\nabcd\r\n0\r\n\r\n")}, 200, "abcd"},
    Scenario{"CloseMidChunk", {send(kChunked + "8\r\nabc")}, HTTP_E_READ_DATA},
    Scenario{"NoFinalChunk", {send(kChunked + "4\r\nabcd\r\n")}, HTTP_E_READ_DATA},
    // The trailer never ends, and the client does not wait for it.
    Scenario{"TrailersAreNotRead", {send(kChunked + "4\r\nabcd\r\n0\r\nX-T: 1\r\n"), hold()},
             200, "abcd", 0, 0.9},
    Scenario{"LengthWinsOverChunked",
             {send(kOk + "Transfer-Encoding: chunked\r\nContent-Length: 6\r\n\r\n" +
                   "4\r\nabcd\r\n0\r\n\r\n")},
             200, "4\r\nabc"},
    Scenario{"CodingValueCutAt99",
             {send(kOk + "Transfer-Encoding: " + std::string(95, 'x') + "chunked\r\n\r\n")},
             HTTP_E_NO_LENGTH},
    Scenario{"CodingValueIsCaseSensitive",
             {send(kOk + "Transfer-Encoding: Chunked\r\n\r\n0\r\n\r\n")}, HTTP_E_NO_LENGTH}),
    name_of);

INSTANTIATE_TEST_SUITE_P(OtherStatuses, HttpScenario, testing::Values(
    Scenario{"Continue", {send("HTTP/1.1 100 Continue\r\n\r\n" + ok_length("2") + "ok")}, 100},
    Scenario{"CreatedEndedByLineFeed", {send("HTTP/1.1 201\n\r\n")}, 201},
    Scenario{"NotModified", {send("HTTP/1.1 304 Not Modified\r\nContent-Length: 3\r\n\r\n")}, 304},
    Scenario{"PostCreatedIsNotRead", {send("HTTP/1.1 201 Created\r\n\r\nOK")}, 201, "", 0, 2,
             kPost}),
    name_of);
// clang-format on

TEST(HttpScenarioConnect, RefusedConnectionFailsAtOnce) {
    int fds_before = open_fd_count();
    HttpOutcome out = http_call("http://127.0.0.1:" + std::to_string(refused_port()) + "/job");
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
        const std::string body(64 << 20, 'b');  // far more than the socket buffers hold
        HttpOutcome out = http_call(server.url("r"), &body);
        EXPECT_EQ(HTTP_E_WRITE_DATA, out.result);
        EXPECT_GE(out.seconds, 0.9);
        EXPECT_LT(out.seconds, 2.0);
    }
    EXPECT_EQ(fds_before, open_fd_count());
}

}  // namespace
