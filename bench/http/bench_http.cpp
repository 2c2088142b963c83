// Benchmark: GETs of bodies from 2 KiB to 2 MiB over loopback, sent by length and chunked
// (4 KiB chunks), timed for the client and for libcurl used in this process, in the same
// loop against the same server; prints the wall time, the CPU time split into user and
// kernel, and the ratio. The client reads header lines and chunk-size lines one byte per
// read, as the device's client does; the kernel share shows what that costs.
// With TLS built in, the same GETs by length over HTTPS (an mbedTLS server in this process,
// on certificates made at start with the openssl command): every handshake full, and every
// one after the first resumed; libcurl uses OpenSSL.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
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
#ifdef KORVAD_TLS
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/ssl.h>
#include <mbedtls/ssl_cache.h>
#include <mbedtls/ssl_ticket.h>

#include "http/tls.h"
#endif

namespace {

constexpr size_t kChunkSize = 4096;
constexpr int kRounds = 60;

#ifdef KORVAD_TLS
// The server side of TLS for the benchmark: one certificate, and session resumption (by
// ticket and by session id) only when asked for.
class TlsServerSide {
  public:
    TlsServerSide(const std::string& folder, bool resume) {
        mbedtls_ssl_config_init(&config_);
        mbedtls_x509_crt_init(&certificate_);
        mbedtls_pk_init(&key_);
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&random_);
        mbedtls_ssl_cache_init(&cache_);
        mbedtls_ssl_ticket_init(&tickets_);
        if (mbedtls_x509_crt_parse_file(&certificate_, (folder + "/server.pem").c_str()) != 0 ||
            mbedtls_pk_parse_keyfile(&key_, (folder + "/server.key").c_str(), nullptr) != 0 ||
            mbedtls_ctr_drbg_seed(&random_, mbedtls_entropy_func, &entropy_, nullptr, 0) != 0 ||
            mbedtls_ssl_config_defaults(&config_, MBEDTLS_SSL_IS_SERVER,
                                        MBEDTLS_SSL_TRANSPORT_STREAM,
                                        MBEDTLS_SSL_PRESET_DEFAULT) != 0 ||
            mbedtls_ssl_conf_own_cert(&config_, &certificate_, &key_) != 0) {
            fprintf(stderr, "bench: TLS server set-up failed\n");
            exit(1);
        }
        mbedtls_ssl_conf_rng(&config_, mbedtls_ctr_drbg_random, &random_);
        if (resume) {
            mbedtls_ssl_conf_session_cache(&config_, &cache_, mbedtls_ssl_cache_get,
                                           mbedtls_ssl_cache_set);
            mbedtls_ssl_ticket_setup(&tickets_, mbedtls_ctr_drbg_random, &random_,
                                     MBEDTLS_CIPHER_AES_256_GCM, 86400);
            mbedtls_ssl_conf_session_tickets_cb(&config_, mbedtls_ssl_ticket_write,
                                                mbedtls_ssl_ticket_parse, &tickets_);
        }
    }
    ~TlsServerSide() {
        mbedtls_ssl_ticket_free(&tickets_);
        mbedtls_ssl_cache_free(&cache_);
        mbedtls_ssl_config_free(&config_);
        mbedtls_ctr_drbg_free(&random_);
        mbedtls_entropy_free(&entropy_);
        mbedtls_pk_free(&key_);
        mbedtls_x509_crt_free(&certificate_);
    }
    const mbedtls_ssl_config* config() const { return &config_; }

  private:
    mbedtls_ssl_config config_;
    mbedtls_x509_crt certificate_;
    mbedtls_pk_context key_;
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context random_;
    mbedtls_ssl_cache_context cache_;
    mbedtls_ssl_ticket_context tickets_;
};

int bench_send(void* fd, const unsigned char* data, size_t length) {
    ssize_t sent = send(*static_cast<int*>(fd), data, length, MSG_NOSIGNAL);
    return sent < 0 ? MBEDTLS_ERR_SSL_CONN_EOF : static_cast<int>(sent);
}
int bench_recv(void* fd, unsigned char* buffer, size_t size) {
    ssize_t got = recv(*static_cast<int*>(fd), buffer, size, 0);
    return got < 0 ? MBEDTLS_ERR_SSL_CONN_EOF : static_cast<int>(got);
}

// One connection over TLS: the handshake, the request head, the reply.
void serve_tls(const TlsServerSide& tls, int client, const std::string& reply) {
    mbedtls_ssl_context ssl;
    mbedtls_ssl_init(&ssl);
    int result = mbedtls_ssl_setup(&ssl, tls.config());
    mbedtls_ssl_set_bio(&ssl, &client, bench_send, bench_recv, nullptr);
    if (result == 0) result = mbedtls_ssl_handshake(&ssl);
    std::string head;
    unsigned char buffer[4096];
    while (result == 0 && head.find("\r\n\r\n") == std::string::npos) {
        int got = mbedtls_ssl_read(&ssl, buffer, sizeof buffer);
        if (got <= 0) result = -1;
        else head.append(reinterpret_cast<char*>(buffer), static_cast<size_t>(got));
    }
    for (size_t at = 0; result == 0 && at < reply.size();) {
        int sent = mbedtls_ssl_write(&ssl, reinterpret_cast<const unsigned char*>(reply.data()) + at,
                                     reply.size() - at);
        if (sent <= 0) break;
        at += static_cast<size_t>(sent);
    }
    if (result == 0) mbedtls_ssl_close_notify(&ssl);
    mbedtls_ssl_free(&ssl);
}
#else
class TlsServerSide {};
#endif

// Answers every connection with the same reply once the request head has arrived; over TLS
// when given a server side.
class LoopbackServer {
  public:
    explicit LoopbackServer(std::string reply, const TlsServerSide* tls = nullptr)
        : reply_(std::move(reply)), tls_(tls) {
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
#ifdef KORVAD_TLS
            if (tls_ != nullptr) {
                // As servers do: the records of a handshake flight leave at once.
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                serve_tls(*tls_, client, reply_);
                close(client);
                continue;
            }
#endif
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
    [[maybe_unused]] const TlsServerSide* tls_;
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

// One easy handle for every round, the body collected in memory as the client does. With
// ca_file the URL is HTTPS, verified against it; the handle keeps the session for the next.
Timing time_libcurl(const std::string& url, size_t body_size, const std::string& ca_file = "") {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (!ca_file.empty()) {
        // A connection per GET, as the client makes: the handle keeps the TLS session.
        curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str());
        curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    Timing timing = time_gets(
        [&]() -> size_t {
            body.clear();
            const CURLcode result = curl_easy_perform(curl);
            if (result != CURLE_OK) fprintf(stderr, "libcurl: %s\n", curl_easy_strerror(result));
            return result == CURLE_OK ? body.size() : 0;
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

#ifdef KORVAD_TLS
// The same GETs by length over TLS: our client (its layer set up once, as a worker does)
// and libcurl with OpenSSL, against a server that resumes sessions or one that never does.
void run_tls(const std::string& certificates, const char* form, bool resume,
             const std::string& reply, size_t body_size) {
    TlsServerSide tls(certificates, resume);
    LoopbackServer server(reply, &tls);
    const std::string where = "127.0.0.1:" + std::to_string(server.port()) + "/bench";
    printf("%-8s %8zu bytes\n", form, body_size);
    const Timing client = time_client("http://" + where, body_size);
    print("client", client, body_size);
    printf("\n");
#ifdef KORVAD_BENCH_LIBCURL
    const Timing curl = time_libcurl("https://" + where, body_size, certificates + "/ca.pem");
    print("libcurl", curl, body_size);
    printf("   client/libcurl %5.2f\n", client.wall_ms / curl.wall_ms);
#else
    printf("  libcurl  skipped: built without its development package\n");
#endif
}
#endif

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
#ifdef KORVAD_TLS
    char folder[] = "/tmp/korvad_bench_tls_XXXXXX";
    const std::string script = std::string(KORVAD_SOURCE_DIR) + "/sim/jobserver/make-certs.sh";
    if (mkdtemp(folder) == nullptr ||
        system(("bash '" + script + "' " + folder + " >/dev/null").c_str()) != 0) {
        printf("HTTPS skipped: the certificates could not be made (the openssl command)\n");
    } else {
        const std::string ca = std::string(folder) + "/ca.pem";
        TlsSettings settings{ca.c_str(), "127.0.0.1", nullptr, nullptr, nullptr};
        if (gs32_tls_setup(settings) != 0) return 1;
        printf("HTTPS (TLS 1.2, ECDSA P-256), GETs by length: every handshake full, then every "
               "one after the first resumed\n");
        for (size_t size : {size_t{2048}, size_t{32768}, size_t{524288}, size_t{2097152}}) {
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) +
                                      "\r\n\r\n" + body_of(size);
            run_tls(folder, "full", false, reply, size);
            run_tls(folder, "resumed", true, reply, size);
        }
        if (system(("rm -rf '" + std::string(folder) + "'").c_str()) != 0) {
            printf("could not remove %s\n", folder);
        }
    }
#endif
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    printf("peak resident set of this process: %ld KiB\n", usage.ru_maxrss);
#ifdef KORVAD_BENCH_LIBCURL
    curl_global_cleanup();
#endif
    return 0;
}
