// URL parsing, line reading and the request head forms, with the client driven over a
// socketpair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "http/http.h"
#include "unit/http/http_calls.h"

using korvad_test::aim;

namespace {

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

TEST(HttpReadLine, LinesEndAtLineFeedOrAfter511Bytes) {
    struct Line {
        int32_t result;
        std::string text;
    };
    struct Case {
        std::string input;
        std::vector<Line> lines;
    } cases[] = {
        {"a\rb\n\r\n\n", {{4, "ab"}, {2, ""}, {1, ""}, {HTTP_READ_END, ""}}},
        {"tail", {{HTTP_READ_END, "tail"}}},
        // A CR as the 511th byte ends the line, and the LF makes an empty one.
        {std::string(510, 'a') + "\r\n", {{511, std::string(510, 'a')}, {1, ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 20));
        PairedPeer peer(c.input);
        char line[HTTP_LINE_SIZE];
        for (const Line& expected : c.lines) {
            memset(line, 'z', sizeof line);  // the terminator must come from the reader
            EXPECT_EQ(expected.result, ms32_http_read_line(peer.client_fd(), line, 1));
            EXPECT_EQ(expected.text, std::string(line));
        }
    }
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

}  // namespace
