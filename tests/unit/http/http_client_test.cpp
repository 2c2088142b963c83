// The request operations against the scripted server: exact request bytes, reply
// handling, Basic authorization and the base64 encoder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "http/http.h"
#include "support/http_server.h"
#include "unit/http/http_calls.h"

using namespace korvad_test;

namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\n";

std::string host_port(const ScriptedHttpServer& server) {
    return "127.0.0.1:" + std::to_string(server.port());
}

TEST(HttpGet, RequestIsTheExactHttp11Head) {
    ScriptedHttpServer server({read_request(), send(kOk + "Content-Length: 2\r\n\r\nok")});
    EXPECT_EQ(200, http_get(server.url("jobs/next.job"), 1).result);
    EXPECT_EQ("GET /jobs/next.job HTTP/1.1\r\nHost: " + host_port(server) +
                  "\r\nUser-Agent: httptiny\r\n\r\n",
              server.received());
}

TEST(HttpGet, HeaderNamesMatchInAnyCaseAndValuesKeepTheirs) {
    struct Case {
        std::string headers;
        std::string body;
        std::string content_type;
    } cases[] = {
        {"Content-Length: 4\r\nContent-Type: text/plain; charset=x\r\n", "abcd", "text/plain;"},
        {"CONTENT-LENGTH: 4\r\nCONTENT-TYPE: Text/Plain\r\n", "abcd", "Text/Plain"},
        {"content-length:4\r\nX-Other: 9\r\n", "abcd", ""},
        {"Transfer-ENCODING: chunked\r\n", "4\r\nabcd\r\n0\r\n\r\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.headers);
        ScriptedHttpServer server({read_request(), send(kOk + c.headers + "\r\n" + c.body)});
        HttpOutcome out = http_get(server.url("j"), 1);
        EXPECT_EQ(200, out.result);
        EXPECT_EQ("abcd", out.data);
        EXPECT_EQ(4, out.length);
        EXPECT_EQ(c.content_type, out.content_type);
    }
}

TEST(HttpGet, ChunksAreJoined) {
    ScriptedHttpServer server({read_request(), send(kOk + "Transfer-Encoding: chunked\r\n\r\n"
                                                          "4\r\nabcd\r\n5\r\nefghi\r\n0\r\n\r\n")});
    HttpOutcome out = http_get(server.url("j"), 1);
    EXPECT_EQ(200, out.result);
    EXPECT_EQ("abcdefghi", out.data);
    EXPECT_EQ(9, out.length);
}

TEST(HttpGet, OtherStatusesComeBackWithoutDataOrLength) {
    struct Case {
        std::string reply;
        int32_t result;
    } cases[] = {
        {"HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nnot", 404},
        {"HTTP/1.1 304 Not Modified\r\nContent-Length: 3\r\n\r\n", 304},
        {"HTTP/1.1 201 Created\r\n\r\n", 201},
        {kOk + "Content-Length: 0\r\n\r\n", HTTP_E_NO_LENGTH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        ScriptedHttpServer server({read_request(), send(c.reply)});
        HttpOutcome out = http_get(server.url("j"), 1);
        EXPECT_EQ(c.result, out.result);
        EXPECT_FALSE(out.has_data);
        EXPECT_EQ(kUntouched, out.length);
    }
}

TEST(HttpPost, RequestCarriesLengthTypeAuthorizationAndOverwrite) {
    const std::string auth = "Authorization: Basic dXNlcjpwdw==\r\n";  // "user:pw"
    const std::string type70(70, 't');
    struct Case {
        const char* content_type;
        int32_t overwrite;
        const char* user;
        std::string extra;
    } cases[] = {
        {"text/plain", 0, nullptr, "Content-Length: 5\r\nContent-Type: text/plain\r\n"},
        {"text/plain", 0, "user", "Content-Length: 5\r\nContent-Type: text/plain\r\n" + auth},
        {nullptr, 1, nullptr, "Content-Length: 5\r\nControl: overwrite=1\r\n"},
        {nullptr, 7, "user", "Content-Length: 5\r\n" + auth + "Control: overwrite=1\r\n"},
        {type70.c_str(), 0, nullptr,
         "Content-Length: 5\r\nContent-Type: " + std::string(64, 't') + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.extra);
        ScriptedHttpServer server({read_request(), send(kOk + "\r\nOK")});
        HttpOutcome out = http_post(server.url("res/a.00001.end"), "hello", c.content_type,
                                    c.overwrite, 1, c.user, c.user != nullptr ? "pw" : nullptr);
        EXPECT_EQ(200, out.result);
        EXPECT_EQ("OK", out.data);
        EXPECT_EQ("POST http://" + host_port(server) + "/res/a.00001.end HTTP/1.0\r\n" + c.extra +
                      "\r\nhello",
                  server.received());
    }
}

TEST(HttpPost, ReplyIsCutAt1024BytesAndOnlyA200IsRead) {
    std::string long_reply;
    for (int i = 0; i < 3000; ++i) long_reply += static_cast<char>('a' + i % 26);
    ScriptedHttpServer server({read_request(), send(kOk + "X-A: 1\r\n\r\n" + long_reply)});
    HttpOutcome out = http_post(server.url("r"), "x", "text/plain", 0, 1);
    EXPECT_EQ(200, out.result);
    EXPECT_EQ(1024, out.length);
    EXPECT_EQ(long_reply.substr(0, 1024), out.data);

    ScriptedHttpServer created({read_request(), send("HTTP/1.1 201 Created\r\n\r\nOK")});
    out = http_post(created.url("r"), "", "text/plain", 0, 1);
    EXPECT_EQ(201, out.result);
    EXPECT_FALSE(out.has_data);
    EXPECT_EQ(0, out.length);
    EXPECT_NE(std::string::npos, created.received().find("Content-Length: 0\r\n"));
}

TEST(HttpAuthorization, SentOnlyWithBothCredentialsEachCutAt32) {
    const std::string u40(40, 'u'), p40(40, 'p');
    struct Case {
        const char* user;
        const char* password;
        std::string plain;  // what the header encodes; empty: no header at all
    } cases[] = {
        {"Aladdin", "open sesame", "Aladdin:open sesame"},
        {"", "", ":"},
        {"user", nullptr, ""},
        {nullptr, "pw", ""},
        {u40.c_str(), "pw", u40.substr(0, 32) + ":pw"},
        {u40.c_str(), p40.c_str(), u40.substr(0, 32) + ":" + p40.substr(0, 32)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plain);
        ScriptedHttpServer server({read_request(), send(kOk + "Content-Length: 1\r\n\r\nx")});
        EXPECT_EQ(200, http_get(server.url("j"), 1, c.user, c.password).result);
        std::string request = server.received();
        if (c.plain.empty()) {
            EXPECT_EQ(std::string::npos, request.find("Authorization")) << request;
            continue;
        }
        char encoded[HTTP_LINE_SIZE];
        ASSERT_EQ(1, ms32_http_base64_encode(c.plain.data(), c.plain.size(), encoded));
        EXPECT_NE(std::string::npos,
                  request.find("\r\nAuthorization: Basic " + std::string(encoded) + "\r\n\r\n"))
            << request;
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
        {"foo", 1, "Zm9v"},
        {"foobar", 1, "Zm9vYmFy"},
        {"Aladdin:open sesame", 1, "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
        {std::string("\xfb\xff\xbf", 3), 1, "+/+/"},
        {std::string(381, '\xff'), 1, std::string(508, '/')},  // 508 characters: fits
        {std::string(382, 'a'), 0, ""},                        // 512 characters: does not
        {std::string(1000, 'a'), 0, ""},
    };
    for (const Case& c : cases) {
        char out[HTTP_LINE_SIZE + 64];
        memset(out, '#', sizeof out);
        EXPECT_EQ(c.result, ms32_http_base64_encode(c.input.data(), c.input.size(), out));
        EXPECT_EQ(c.output, std::string(out)) << c.input.size();
        EXPECT_EQ('#', out[HTTP_LINE_SIZE]) << "nothing written behind the 512 bytes";
    }
}

TEST(HttpHeadPutDelete, RequestsAndResults) {
    ScriptedHttpServer head(
        {read_request(), send(kOk + "content-LENGTH: 77\r\nContent-Type: a/b\r\n\r\n")});
    aim(head.url("f"));
    int32_t length = 5;
    char type[HTTP_LINE_SIZE];
    EXPECT_EQ(200, gs32_http_head("f", &length, type, 1, nullptr, nullptr));
    EXPECT_EQ(77, length);
    EXPECT_STREQ("a/b", type);
    EXPECT_EQ("HEAD /f HTTP/1.1\r\nHost: " + host_port(head) + "\r\nUser-Agent: httptiny\r\n\r\n",
              head.received());

    ScriptedHttpServer no_length({read_request(), send(kOk + "\r\n")});
    aim(no_length.url("f"));
    EXPECT_EQ(200, gs32_http_head("f", &length, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(-1, length);

    ScriptedHttpServer put({read_request(), send("HTTP/1.1 201 Created\r\n\r\n")});
    aim(put.url("p"));
    EXPECT_EQ(201, gs32_http_put("p", "abc", 3, 1, "text/plain", 1, "u", "p"));
    EXPECT_EQ("PUT /p HTTP/1.1\r\nHost: " + host_port(put) +
                  "\r\nUser-Agent: httptiny\r\nContent-Length: 3\r\nContent-type: text/plain\r\n"
                  "Authorization: Basic dTpw\r\nControl: overwrite=1\r\n\r\nabc",
              put.received());

    ScriptedHttpServer del({read_request(), send("HTTP/1.1 403 Forbidden\r\n\r\n")});
    aim(del.url("d"));
    EXPECT_EQ(403, gs32_http_delete("d", 1, nullptr, nullptr));
    EXPECT_EQ("DELETE /d HTTP/1.1\r\nHost: " + host_port(del) + "\r\nUser-Agent: httptiny\r\n\r\n",
              del.received());
}

TEST(HttpRequests, MissingRequiredArgumentsFailBeforeConnecting) {
    char* data = nullptr;
    int32_t length = 0;
    int before = open_fd_count();
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_get("p", nullptr, &length, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_get("p", &data, nullptr, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG,
              gs32_http_post("p", "x", 1, 0, nullptr, &length, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG,
              gs32_http_post("p", "x", 1, 0, &data, nullptr, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_head(nullptr, &length, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_head("p", nullptr, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_delete(nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(HTTP_E_NULL_ARG, gs32_http_put(nullptr, "x", 1, 0, nullptr, 1, nullptr, nullptr));
    EXPECT_EQ(before, open_fd_count());
}

TEST(HttpElapsed, CountsMillisecondsFromTheFirstCall) {
    uint32_t first = gu32_http_elapsed_ms();
    usleep(120 * 1000);
    uint32_t later = gu32_http_elapsed_ms();
    EXPECT_LE(first, 5u);
    EXPECT_GE(later - first, 110u);
    EXPECT_LT(later - first, 2000u);
}

}  // namespace
