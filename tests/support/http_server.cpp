// The scripted HTTP test server, one thread serving its connections one after another.
#include "support/http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace korvad_test {

namespace {

// Content-Length of a recorded request head (any case), 0 when it has none.
size_t announced_length(const std::string& head) {
    for (size_t at = 0; (at = head.find("\r\n", at)) != std::string::npos;) {
        at += 2;
        if (strncasecmp(head.c_str() + at, "content-length:", 15) == 0) {
            return strtoul(head.c_str() + at + 15, nullptr, 10);
        }
    }
    return 0;
}

// A TCP socket bound to an ephemeral port on 127.0.0.1, or -1.
int bind_loopback(int* port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

ScriptedHttpServer::ScriptedHttpServer(std::vector<HttpStep> script) : script_(std::move(script)) {
    listen_fd_ = bind_loopback(&port_);
    if (listen_fd_ < 0 || listen(listen_fd_, 8) != 0 || pipe2(stop_pipe_, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "scripted server could not listen: " << strerror(errno);
        return;
    }
    thread_ = std::thread([this] { serve(); });
}

ScriptedHttpServer::~ScriptedHttpServer() {
    if (stop_pipe_[1] >= 0 && write(stop_pipe_[1], "x", 1) != 1) ADD_FAILURE() << "stop";
    if (thread_.joinable()) thread_.join();
    for (int fd : {listen_fd_, stop_pipe_[0], stop_pipe_[1]}) {
        if (fd >= 0) close(fd);
    }
}

std::string ScriptedHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::string ScriptedHttpServer::received(size_t n, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [&] { return records_.size() > n; });
    if (records_.size() > n) return records_[n];
    return n == records_.size() ? current_ : std::string();
}

// Sends everything unless the client is gone or the server is stopped meanwhile.
bool ScriptedHttpServer::send_bytes(int fd, const char* data, size_t length) {
    while (length > 0) {
        pollfd entries[2] = {{fd, POLLOUT, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) <= 0 || entries[1].revents != 0) return false;
        ssize_t sent = ::send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<size_t>(sent);
    }
    return true;
}

bool ScriptedHttpServer::wait_stop(int ms) {
    pollfd entry{stop_pipe_[0], POLLIN, 0};
    return poll(&entry, 1, ms) > 0;
}

void ScriptedHttpServer::serve() {
    for (;;) {
        pollfd entries[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0 && errno != EINTR) return;
        if (entries[1].revents != 0) return;
        if (entries[0].revents == 0) continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        play(fd);
        close(fd);  // with SO_LINGER 0 set by reset(), this sends the reset
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(current_);
        current_.clear();
        changed_.notify_all();
    }
}

// One read of what the client sent into the record: false at the end of the stream, on a
// failure, on time-out or when the server is stopped.
bool ScriptedHttpServer::read_some(int fd, int timeout_ms) {
    pollfd entries[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
    if (poll(entries, 2, timeout_ms) <= 0 || entries[1].revents != 0) return false;
    char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    current_.append(buffer, static_cast<size_t>(got));
    return true;
}

// Only this thread writes current_, so it reads it here without the lock.
void ScriptedHttpServer::play(int fd) {
    constexpr int kForever = 24 * 3600 * 1000;
    constexpr int kStepLimitMs = 5000;  // no test waits longer for a client
    for (const HttpStep& step : script_) {
        switch (step.kind) {
            case HttpStep::Kind::kReadRequest: {
                const size_t start = current_.size();  // earlier requests on this connection
                for (;;) {
                    size_t end = current_.find("\r\n\r\n", start);
                    if (end != std::string::npos &&
                        current_.size() >=
                            end + 4 + announced_length(current_.substr(start, end + 2 - start))) {
                        break;
                    }
                    if (!read_some(fd, kStepLimitMs)) break;
                }
                break;
            }
            case HttpStep::Kind::kSend:
            case HttpStep::Kind::kSendForever: {
                size_t piece = step.piece == 0 ? step.bytes.size() : step.piece;
                do {
                    for (size_t at = 0; at < step.bytes.size(); at += piece) {
                        size_t length = std::min(piece, step.bytes.size() - at);
                        if (!send_bytes(fd, step.bytes.data() + at, length) ||
                            (step.gap_ms > 0 && wait_stop(step.gap_ms))) {
                            return;
                        }
                    }
                } while (step.kind == HttpStep::Kind::kSendForever && !wait_stop(0));
                break;
            }
            case HttpStep::Kind::kPause:
                if (wait_stop(step.gap_ms)) return;
                break;
            case HttpStep::Kind::kClose:
                return;
            case HttpStep::Kind::kReset: {
                linger abort_now{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_now, sizeof abort_now);
                return;
            }
            case HttpStep::Kind::kHold:
                while (read_some(fd, kForever)) {
                }
                return;
        }
    }
    shutdown(fd, SHUT_WR);
    while (read_some(fd, kStepLimitMs)) {
    }
}

int open_fd_count() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

int refused_port() {
    int port = 0;
    int fd = bind_loopback(&port);
    if (fd >= 0) close(fd);
    return port;
}

}  // namespace korvad_test
