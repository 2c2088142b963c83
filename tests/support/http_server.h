// The scripted HTTP test server: plays exact bytes (with splits, pauses, closes and
// resets) to each client on 127.0.0.1 and records the exact bytes each client sent.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace korvad_test {

// One thing the server does on a connection; the script is played in order on every
// accepted connection. After the last step the server shuts down its sending side and
// records what the client still sends until it closes.
struct HttpStep {
    enum class Kind { kReadRequest, kSend, kSendForever, kPause, kClose, kReset, kHold };
    Kind kind;
    std::string bytes;
    size_t piece = 0;  // bytes per write; 0 sends everything in one write
    int gap_ms = 0;    // pause after each write
};

// Reads the request head and as many body bytes as its Content-Length announces.
inline HttpStep read_request() {
    return {HttpStep::Kind::kReadRequest, ""};
}
inline HttpStep send(std::string bytes, size_t piece = 0, int gap_ms = 0) {
    return {HttpStep::Kind::kSend, std::move(bytes), piece, gap_ms};
}
// Sends bytes again and again until the client is gone.
inline HttpStep send_forever(std::string bytes, int gap_ms = 0) {
    return {HttpStep::Kind::kSendForever, std::move(bytes), 0, gap_ms};
}
inline HttpStep pause_ms(int ms) {
    return {HttpStep::Kind::kPause, "", 0, ms};
}
inline HttpStep close_now() {
    return {HttpStep::Kind::kClose, ""};
}  // reads nothing more
inline HttpStep reset() {
    return {HttpStep::Kind::kReset, ""};
}  // the client sees a reset
inline HttpStep hold() {
    return {HttpStep::Kind::kHold, ""};
}  // waits for the client to close

class ScriptedHttpServer {
  public:
    explicit ScriptedHttpServer(std::vector<HttpStep> script);
    ~ScriptedHttpServer();

    int port() const { return port_; }
    // "http://127.0.0.1:<port>/<path>"
    std::string url(const std::string& path) const;
    // The bytes received on the n-th connection once it has ended; after timeout_ms what
    // arrived so far.
    std::string received(size_t n = 0, int timeout_ms = 2000);

  private:
    void serve();
    void play(int fd);       // the caller closes fd
    bool wait_stop(int ms);  // true when stopped during the wait
    bool read_some(int fd, int timeout_ms);
    bool send_bytes(int fd, const char* data, size_t length);

    std::vector<HttpStep> script_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> records_;
    std::string current_;  // the connection in progress
};

// Number of descriptors open in this process (to show that a call leaked none).
int open_fd_count();

// A port on 127.0.0.1 that nothing listens on (bound, then released).
int refused_port();

}  // namespace korvad_test
