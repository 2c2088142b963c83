// HTTP transport: the process-wide target, the URL parser, one request/response exchange
// up to the status code, and the line and block readers with their time budgets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "http/http.h"
#include "http/http_io.h"

namespace {

// The target lives for the process; each worker process has its own copy.
HeapBuffer g_target_host;
int32_t g_target_port = HTTP_DEFAULT_PORT;

const HttpStreamLayer* g_stream_layer = nullptr;
HttpSocketSource g_socket_source = nullptr;
void* g_socket_source_context = nullptr;

struct AddrInfoFree {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrInfoList = std::unique_ptr<addrinfo, AddrInfoFree>;

int64_t ms64_http_now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int32_t ms32_http_wait(int fd, short events, const HttpDeadline& deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, deadline.remaining_ms());
        if (ready > 0) return 1;
        // An interrupted wait goes on with what is left of the same budget.
        if (ready < 0 && errno == EINTR && deadline.remaining_ms() > 0) continue;
        return 0;
    }
}

// Lookup, non-blocking connect, back to blocking: 0 with the socket in out, or a result.
int32_t ms32_http_open_socket(UniqueFd* out) {
    if (g_socket_source != nullptr) {
        int fd = g_socket_source(g_socket_source_context);
        if (fd < 0) return HTTP_E_CONNECT;
        *out = UniqueFd(fd);
        return 0;
    }
    // Only IPv4 results: the first result is used as an IPv4 socket address.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(gt_http_target().host, nullptr, &hints, &found) != 0) return HTTP_E_LOOKUP;
    AddrInfoList results(found);
    if (found == nullptr || found->ai_addr == nullptr) return HTTP_E_LOOKUP;
    sockaddr_in address{};
    memcpy(&address, found->ai_addr,
           found->ai_addrlen < sizeof address ? found->ai_addrlen : sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(g_target_port & 0xFFFF));
    results.reset();

    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) return HTTP_E_SOCKET;
    int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) return HTTP_E_SOCKET;
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        return HTTP_E_CONNECT;
    }
    // Blocking again: the connect completes during the writable wait of the caller.
    if (fcntl(fd.get(), F_SETFL, flags) != 0) return HTTP_E_SOCKET;
    *out = std::move(fd);
    return 0;
}

int32_t ms32_http_format_alloc(HeapBuffer* out, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Formats into a buffer sized for the text: host names and header lines are not cut.
int32_t ms32_http_format_alloc(HeapBuffer* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length < 0) return -1;
    HeapBuffer text(static_cast<char*>(malloc(static_cast<size_t>(length) + 1)));
    if (!text) return -1;
    va_start(args, format);
    vsnprintf(text.get(), static_cast<size_t>(length) + 1, format, args);
    va_end(args);
    *out = std::move(text);
    return length;
}

bool mb_http_send_once(int fd, const void* data, size_t length) {
    if (g_stream_layer != nullptr) {
        return g_stream_layer->write(fd, data, length) == static_cast<ssize_t>(length);
    }
    // One send, as one write; MSG_NOSIGNAL so that a peer that reset the connection gives
    // a short write instead of killing the process with SIGPIPE.
    ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
    return sent >= 0 && static_cast<size_t>(sent) == length;
}

// One read of at most size bytes within the budget: a count, 0 at the end of the stream,
// HTTP_READ_END on failure or HTTP_READ_TIMEOUT.
int32_t ms32_http_read_some(int fd, void* buffer, size_t size, const HttpDeadline& deadline) {
    if (g_stream_layer != nullptr) {
        return static_cast<int32_t>(g_stream_layer->read(fd, buffer, size, deadline.remaining_ms()));
    }
    for (;;) {
        if (!ms32_http_wait_readable(fd, deadline)) return HTTP_READ_TIMEOUT;
        ssize_t got = read(fd, buffer, size);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? HTTP_READ_END : static_cast<int32_t>(got);
    }
}

}  // namespace

void gv_http_set_stream_layer(const HttpStreamLayer* layer) { g_stream_layer = layer; }

void gv_http_close(int fd) {
    if (g_stream_layer != nullptr) g_stream_layer->close(fd);
    close(fd);
}

HttpDeadline::HttpDeadline(uint32_t timeout_s)
    : end_ms_(ms64_http_now_ms() + static_cast<int64_t>(timeout_s) * 1000) {}

int HttpDeadline::remaining_ms() const {
    int64_t left = end_ms_ - ms64_http_now_ms();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

int32_t ms32_http_wait_readable(int fd, const HttpDeadline& deadline) {
    return ms32_http_wait(fd, POLLIN, deadline);
}

int32_t ms32_http_wait_writable(int fd, const HttpDeadline& deadline) {
    return ms32_http_wait(fd, POLLOUT, deadline);
}

HttpTarget gt_http_target() {
    return HttpTarget{g_target_host ? g_target_host.get() : HTTP_DEFAULT_HOST, g_target_port};
}

void gv_http_set_socket_source(HttpSocketSource source, void* context) {
    g_socket_source = source;
    g_socket_source_context = context;
}

int32_t gs32_http_set_target_from_url(char* url, char** path_out) {
    if (path_out == nullptr) return HTTP_E_NULL_ARG;
    free(*path_out);
    *path_out = nullptr;
    g_target_host.reset();
    g_target_port = HTTP_DEFAULT_PORT;
    if (url == nullptr || strncmp(url, "http://", 7) != 0) return HTTP_E_URL_SCHEME;

    char* host = url + 7;
    char* host_end = host + strcspn(host, ":/");
    char separator = *host_end;
    *host_end = '\0';
    const char* path = host_end;  // the empty text when the host ended the URL
    int32_t port = HTTP_DEFAULT_PORT;
    if (separator == ':') {
        char* digits = host_end + 1;
        char* after = digits;
        long value = strtol(digits, &after, 10);
        if (after == digits) return HTTP_E_URL_PORT;
        port = value > INT32_MAX   ? INT32_MAX
               : value < INT32_MIN ? INT32_MIN
                                   : static_cast<int32_t>(value);
        // Whatever follows the number up to the next '/' is skipped.
        char* slash = strchr(after, '/');
        path = slash != nullptr ? slash + 1 : after + strlen(after);
    } else if (separator == '/') {
        path = host_end + 1;
    }

    HeapBuffer host_copy(strdup(host));
    HeapBuffer path_copy(strdup(path));
    if (!host_copy || !path_copy) return HTTP_E_MEMORY;
    g_target_host = std::move(host_copy);
    g_target_port = port;
    *path_out = path_copy.release();
    return 0;
}

int32_t gs32_http_exchange(const char* method, const char* path, const char* extra_header,
                           int keep_open, const void* body, uint32_t body_length, int* fd_out,
                           uint32_t timeout_s) {
    if (fd_out != nullptr) *fd_out = -1;
    if (method == nullptr || path == nullptr) return HTTP_E_NULL_ARG;
    if (extra_header == nullptr) extra_header = "";

    UniqueFd fd;
    int32_t opened = ms32_http_open_socket(&fd);
    if (opened != 0) return opened;

    HttpTarget target = gt_http_target();
    HeapBuffer head;
    int length;
    if (strstr(method, "POST") != nullptr) {
        length = ms32_http_format_alloc(&head, "%s http://%.128s:%d/%.256s HTTP/1.0\r\n%s\r\n",
                                        method, target.host, target.port, path, extra_header);
    } else {
        length = ms32_http_format_alloc(
            &head, "%s /%.256s HTTP/1.1\r\nHost: %s:%d\r\nUser-Agent: httptiny\r\n%s\r\n", method,
            path, target.host, target.port, extra_header);
    }
    if (length < 0) return HTTP_E_MEMORY;

    // A peer that stops reading must not hold a large write forever: the one write of the
    // head or body then ends short after the time-out, which counts as not written.
    timeval send_limit{};
    send_limit.tv_sec = static_cast<time_t>(timeout_s > INT32_MAX ? INT32_MAX : timeout_s);
    if (timeout_s == 0) send_limit.tv_usec = 1000;
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);

    HttpDeadline connect_deadline(timeout_s);
    if (!ms32_http_wait_writable(fd.get(), connect_deadline)) return HTTP_E_WRITE_DATA;
    // The layer's own checks (a TLS handshake) come before a byte of the request; a layer
    // that refuses has cleaned up after itself.
    if (g_stream_layer != nullptr) {
        int32_t layered = g_stream_layer->open(fd.get(), timeout_s);
        if (layered != 0) return layered;
    }
    HttpConnection connection(fd.release());
    const int socket_fd = connection.fd();
    if (!mb_http_send_once(socket_fd, head.get(), static_cast<size_t>(length))) {
        return HTTP_E_WRITE_HEAD;
    }
    if (body != nullptr && body_length != 0 && !mb_http_send_once(socket_fd, body, body_length)) {
        return HTTP_E_WRITE_DATA;
    }

    char line[HTTP_LINE_SIZE];
    if (ms32_http_read_line(socket_fd, line, timeout_s) <= 0) return HTTP_E_READ_HEAD;
    int status = 0;
    // A code of 0 or less would read as one of the client's own results: not a status.
    if (sscanf(line, "HTTP/1.%*d %03d", &status) != 1 || status <= 0) {
        return HTTP_E_PARSE_STATUS;
    }
    if (keep_open == 1 && fd_out != nullptr) *fd_out = connection.release();
    return status;
}

int32_t ms32_http_read_line(int fd, char* buffer, uint32_t timeout_s) {
    if (buffer == nullptr) return HTTP_READ_END;
    HttpDeadline deadline(timeout_s);
    uint32_t stored = 0;
    int32_t taken = 0;
    int32_t result = 0;
    // Bytes come one at a time so that nothing behind the line is taken from the stream.
    while (taken < static_cast<int32_t>(HTTP_LINE_SIZE - 1)) {
        char byte = 0;
        int32_t got = ms32_http_read_some(fd, &byte, 1, deadline);
        if (got != 1) {
            result = got == HTTP_READ_TIMEOUT ? HTTP_READ_TIMEOUT : HTTP_READ_END;
            break;
        }
        ++taken;
        if (byte == '\n') break;
        if (byte != '\r') buffer[stored++] = byte;
    }
    buffer[stored] = '\0';
    return result != 0 ? result : taken;
}

int32_t ms32_http_read_block(int fd, void* buffer, uint32_t count, uint32_t timeout_s) {
    if (count > static_cast<uint32_t>(INT32_MAX)) count = INT32_MAX;
    HttpDeadline deadline(timeout_s);
    auto* bytes = static_cast<char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        int32_t got = ms32_http_read_some(fd, bytes + done, count - done, deadline);
        if (got == HTTP_READ_TIMEOUT) return HTTP_READ_TIMEOUT;
        if (got <= 0) break;
        done += static_cast<uint32_t>(got);
    }
    return static_cast<int32_t>(done);
}
