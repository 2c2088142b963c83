// Benchmark: GETs of bodies from 2 KiB to 2 MiB over loopback, sent by length and chunked
// (4 KiB chunks), timed for the client and for libcurl used in this process, in the same
// loop against the same server; prints the wall time, the CPU time split into user and
// kernel, and the ratio. The client reads header lines and chunk-size lines one byte per
// read, as the device's client does; the kernel share shows what that costs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

#ifdef KORVAD_BENCH_LIBCURL
#include <curl/curl.h>
#endif

namespace {

constexpr size_t kChunkSize = 4096;
constexpr int kRounds = 60;

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

// Wall time is the median per GET; CPU time, counted by the kernel in coarse ticks, is the
// mean over all rounds.
struct Timing {
    double wall_ms = 0, user_ms = 0, system_ms = 0;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double cpu_ms(const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; }

// Times kRounds calls of get, which must return the body's size.
template <typename Get>
Timing time_gets(Get get, size_t body_size) {
    std::vector<double> wall;
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    for (int round = 0; round < kRounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        const size_t got = get();
        wall.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (got != body_size) {
            fprintf(stderr, "GET failed: %zu of %zu bytes\n", got, body_size);
            exit(1);
        }
    }
    getrusage(RUSAGE_THREAD, &after);
    return {median(wall), (cpu_ms(after.ru_utime) - cpu_ms(before.ru_utime)) / kRounds,
            (cpu_ms(after.ru_stime) - cpu_ms(before.ru_stime)) / kRounds};
}

Timing time_client(const std::string& url, size_t body_size) {
    std::vector<char> text(url.begin(), url.end());
    text.push_back('\0');
    char* path = nullptr;
    gs32_http_set_target_from_url(text.data(), &path);
    Timing timing = time_gets(
        [&]() -> size_t {
            char* data = nullptr;
            int32_t length = 0;
            const int32_t status = gs32_http_get(path, &data, &length, nullptr, 10, nullptr, nullptr);
            free(data);
            return status == 200 ? static_cast<size_t>(length) : 0;
        },
        body_size);
    free(path);
    return timing;
}

#ifdef KORVAD_BENCH_LIBCURL
size_t append_body(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// One easy handle for every round, the body collected in memory as the client does.
Timing time_libcurl(const std::string& url, size_t body_size) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    Timing timing = time_gets(
        [&]() -> size_t {
            body.clear();
            return curl_easy_perform(curl) == CURLE_OK ? body.size() : 0;
        },
        body_size);
    curl_easy_cleanup(curl);
    return timing;
}
#endif

void print(const char* who, const Timing& t, size_t body_size) {
    printf("  %-8s %9.3f ms %8.1f MB/s   CPU user %7.3f ms  kernel %7.3f ms", who, t.wall_ms,
           body_size / 1e3 / t.wall_ms, t.user_ms, t.system_ms);
}

void run(const char* form, const std::string& reply, size_t body_size) {
    LoopbackServer server(reply);
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/bench";
    printf("%-8s %8zu bytes\n", form, body_size);
    const Timing client = time_client(url, body_size);
    print("client", client, body_size);
    printf("\n");
#ifdef KORVAD_BENCH_LIBCURL
    const Timing curl = time_libcurl(url, body_size);
    print("libcurl", curl, body_size);
    printf("   client/libcurl %5.2f\n", client.wall_ms / curl.wall_ms);
#else
    printf("  libcurl  skipped: built without its development package\n");
#endif
}

std::string body_of(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    return body;
}

}  // namespace

int main() {
#ifdef KORVAD_BENCH_LIBCURL
    curl_global_init(CURL_GLOBAL_DEFAULT);
#endif
    printf("GETs over loopback, median of %d rounds each; the server closes every connection\n",
           kRounds);
    for (size_t size : {size_t{2048}, size_t{32768}, size_t{524288}, size_t{2097152}}) {
        const std::string body = body_of(size);
        run("length", "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                          body,
            size);
        std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
        char size_line[32];
        for (size_t at = 0; at < body.size(); at += kChunkSize) {
            const size_t piece = std::min(kChunkSize, body.size() - at);
            snprintf(size_line, sizeof size_line, "%zx\r\n", piece);
            chunked += size_line + body.substr(at, piece) + "\r\n";
        }
        run("chunked", chunked + "0\r\n\r\n", size);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("peak resident set of this process: %ld KiB\n", usage.ru_maxrss);
#ifdef KORVAD_BENCH_LIBCURL
    curl_global_cleanup();
#endif
    return 0;
}
