// libFuzzer target: the whole HTTP client (GET, POST or HEAD) over a socketpair. The
// first byte picks the operation, the second how the reply is split into writes; the
// rest is the server's reply, followed by the end of the stream.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

#include "http/http.h"

namespace {

int g_client_fd = -1;

int take_client_fd(void*) {
    int fd = g_client_fd;
    g_client_fd = -1;
    return fd;
}

// Plays the reply in pieces; a client that has gone away ends it early.
void play_reply(int fd, const uint8_t* reply, size_t size, size_t piece) {
    for (size_t at = 0; at < size; at += piece) {
        size_t length = size - at < piece ? size - at : piece;
        if (send(fd, reply + at, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) break;
    }
    shutdown(fd, SHUT_WR);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static bool aimed = false;
    if (!aimed) {
        char url[] = "http://fuzz.invalid:8080/jobs/next";
        char* path = nullptr;
        gs32_http_set_target_from_url(url, &path);
        free(path);
        gv_http_set_socket_source(&take_client_fd, nullptr);
        aimed = true;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    g_client_fd = fds[0];
    size_t piece = data[1] == 0 ? size : data[1];
    std::thread server(play_reply, fds[1], data + 2, size - 2, piece);

    // The time-out never runs out here: the reply is always followed by its end.
    constexpr uint32_t kTimeoutS = 1;
    char* body = nullptr;
    int32_t length = 0;
    char type[HTTP_LINE_SIZE];
    switch (data[0] % 3) {
        case 0:
            gs32_http_get("jobs/next", &body, &length, type, kTimeoutS, "user", "password");
            break;
        case 1:
            gs32_http_post("res.00001.end", "results", 7, 0, &body, &length, "text/plain",
                           kTimeoutS, nullptr, nullptr);
            break;
        default:
            gs32_http_head("jobs/next", &length, type, kTimeoutS, nullptr, nullptr);
            break;
    }
    free(body);
    server.join();
    close(fds[1]);
    if (g_client_fd >= 0) close(g_client_fd);
    return 0;
}
