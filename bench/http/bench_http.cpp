// Benchmark: GET of a 2 MiB body over loopback, sent by length and chunked, timed for the
// client and for curl on the same server in the same run; prints the times and the ratio.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/http.h"

namespace {

constexpr size_t kBodySize = 2 * 1024 * 1024;
constexpr size_t kChunkSize = 4096;
constexpr int kRounds = 15;

// Answers every connection with the same reply once the request head has arrived.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::string reply) : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            listen(fd_, 16) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            perror("bench server");
            exit(1);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackServer() {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    int port() const { return port_; }

  private:
    void serve() {
        while (!stop_) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, 100) <= 0) continue;
            int client = accept(fd_, nullptr, nullptr);
            if (client < 0) continue;
            std::string head;
            char buffer[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                ssize_t got = read(client, buffer, sizeof buffer);
                if (got <= 0) break;
                head.append(buffer, static_cast<size_t>(got));
            }
            for (size_t at = 0; at < reply_.size();) {
                ssize_t sent = send(client, reply_.data() + at, reply_.size() - at, MSG_NOSIGNAL);
                if (sent <= 0) break;
                at += static_cast<size_t>(sent);
            }
            close(client);
        }
    }

    std::string reply_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double time_client(const std::string& url, size_t body_size) {
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    char* path = nullptr;
    gs32_http_set_target_from_url(text.data(), &path);
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) {
        char* data = nullptr;
        int32_t length = 0;
        auto start = std::chrono::steady_clock::now();
        int32_t status = gs32_http_get(path, &data, &length, nullptr, 10, nullptr, nullptr);
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (status != 200 || static_cast<size_t>(length) != body_size) {
            fprintf(stderr, "GET failed: %d, %d bytes\n", status, length);
            exit(1);
        }
        free(data);
    }
    free(path);
    return median(times);
}

// curl as a child process; -1 when it cannot be run.
double time_curl(const std::string& url) {
    std::vector<double> times;
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        pid_t child = fork();
        if (child == 0) {
            execlp("curl", "curl", "-s", "-o", "/dev/null", url.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    return median(times);
}

void run(const char* form, const std::string& reply, size_t body_size = kBodySize) {
    LoopbackServer server(reply);
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/bench";
    double client = time_client(url, body_size);
    double curl = time_curl(url);
    if (curl < 0) {
        printf("%-8s client %8.2f ms   curl skipped: not installed or failed\n", form, client);
        return;
    }
    printf("%-8s client %8.2f ms   curl %8.2f ms   client/curl %5.2f\n", form, client, curl,
           client / curl);
}

}  // namespace

int main() {
    std::string body(kBodySize, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);

    std::string by_length =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBodySize) + "\r\n\r\n" + body;
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    char size_line[32];
    for (size_t at = 0; at < body.size(); at += kChunkSize) {
        snprintf(size_line, sizeof size_line, "%zx\r\n", kChunkSize);
        chunked += size_line + body.substr(at, kChunkSize) + "\r\n";
    }
    chunked += "0\r\n\r\n";

    printf(
        "GET of a %zu-byte body over loopback, median of %d rounds (curl includes its process "
        "start)\n",
        kBodySize, kRounds);
    run("length", by_length);
    run("chunked", chunked);
    // What a transfer costs without a body: mostly curl's process start.
    run("1 byte", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx", 1);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("peak resident set of this process: %ld KiB\n", usage.ru_maxrss);
    return 0;
}
