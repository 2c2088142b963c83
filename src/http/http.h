// The HTTP client: a small blocking client for plain HTTP with time-outs in seconds,
// chunked bodies and Basic authorization, used by the job fetch and the result upload.
#pragma once

#include <sys/types.h>

#include <cstdint>

// Results returned in place of a status code. Any other value is the reply's status code
// (always positive: a status line whose code reads as 0 or less is HTTP_E_PARSE_STATUS).
constexpr int32_t HTTP_E_LOOKUP = -1;        // host name lookup failed
constexpr int32_t HTTP_E_SOCKET = -2;        // socket creation or blocking mode change failed
constexpr int32_t HTTP_E_CONNECT = -3;       // connect refused at once
constexpr int32_t HTTP_E_WRITE_HEAD = -4;    // request head not written completely
constexpr int32_t HTTP_E_WRITE_DATA = -5;    // not writable in time, or body not written
constexpr int32_t HTTP_E_READ_HEAD = -6;     // status or header line not read
constexpr int32_t HTTP_E_PARSE_STATUS = -7;  // status line is not "HTTP/1.x nnn"
constexpr int32_t HTTP_E_NULL_ARG = -8;      // a required argument is missing
constexpr int32_t HTTP_E_NO_LENGTH = -9;     // GET reply without positive length, not chunked
constexpr int32_t HTTP_E_MEMORY = -10;       // allocation or authorization encoding failed
constexpr int32_t HTTP_E_READ_DATA = -11;    // body not read completely
constexpr int32_t HTTP_E_URL_SCHEME = -12;   // URL does not begin with "http://"
constexpr int32_t HTTP_E_URL_PORT = -13;     // text after ':' is not a number
constexpr int32_t HTTP_E_TOO_LARGE = -14;    // GET body reaches the body limit (none is kept)

// Results of the two read operations.
constexpr int32_t HTTP_READ_END = -1;      // end of stream or a failed read
constexpr int32_t HTTP_READ_TIMEOUT = -2;  // time-out or a failed wait

// A line buffer for ms32_http_read_line and the content type outputs: 511 characters and
// the terminating zero byte.
constexpr uint32_t HTTP_LINE_SIZE = 512;
// The host used before any URL has been parsed (or after a parse failed), and its port.
constexpr const char* HTTP_DEFAULT_HOST = "localhost";
constexpr int32_t HTTP_DEFAULT_PORT = 80;

// Process-wide target of the next exchange, replaced by every URL parse.
struct HttpTarget {
    const char* host;  // never null: the parsed host or HTTP_DEFAULT_HOST
    int32_t port;      // the socket address takes its low 16 bits
};
HttpTarget gt_http_target();

// Parses "http://host[:port][/path]", cutting the URL in place behind the host name.
// *path_out must be null or a malloc'd text from an earlier call: it is freed, and on
// success replaced by a malloc'd copy of the path (without the separating '/'; empty
// when the URL ends at the host or port) that the caller frees. On failure *path_out is
// null and the default target is in effect. Returns 0, HTTP_E_URL_SCHEME, HTTP_E_URL_PORT,
// or HTTP_E_NULL_ARG when url or path_out is missing.
int32_t gs32_http_set_target_from_url(char* url, char** path_out);

// One request to the current target, up to the status code. extra_header is zero or more
// lines each ending in CR LF. With keep_open 1 and fd_out given, the socket stays open
// after the status line (for every status) and is stored in *fd_out: the caller owns and
// closes it. Otherwise it is closed before return, and *fd_out (set to -1 first) stays -1.
// Returns the status code or a negative result.
int32_t gs32_http_exchange(const char* method, const char* path, const char* extra_header,
                           int keep_open, const void* body, uint32_t body_length, int* fd_out,
                           uint32_t timeout_s);

// Reads one line of at most 511 bytes (CR dropped, LF ends the line and is not stored)
// into buffer (HTTP_LINE_SIZE bytes, always terminated), with one time budget for the
// whole line. Returns the number of bytes taken from the stream (CR and LF included, so
// an empty line gives 1 or 2), HTTP_READ_END or HTTP_READ_TIMEOUT.
int32_t ms32_http_read_line(int fd, char* buffer, uint32_t timeout_s);

// Reads up to count bytes with one time budget: count when complete, fewer when the peer
// closed or a read failed, HTTP_READ_TIMEOUT when the budget ran out (even after some
// bytes arrived).
int32_t ms32_http_read_block(int fd, void* buffer, uint32_t count, uint32_t timeout_s);

// The requests. user and password are optional; Basic authorization (each cut at 32
// characters) is sent only when both are given. Every operation closes its connection.

// GET. At 200, *data_out is a malloc'd buffer that the caller frees, holding *length_out
// bytes followed by one zero byte that the length does not count (a buffer is returned
// even for an empty body). Any other status is returned without data and with
// *length_out untouched. content_type_out, when given, holds HTTP_LINE_SIZE bytes and
// receives the first word of the Content-Type value (empty when there is none).
int32_t gs32_http_get(const char* path, char** data_out, int32_t* length_out,
                      char* content_type_out, uint32_t timeout_s, const char* user,
                      const char* password);

// POST of body_length bytes (the absolute-URL HTTP/1.0 form). With overwrite non-zero
// the line "Control: overwrite=1" is added. At 200, *reply_out is a malloc'd buffer that
// the caller frees, holding the first *reply_length_out (at most 1024) bytes of the reply
// body and a zero byte behind them. On any other result *reply_out is null and
// *reply_length_out 0.
constexpr uint32_t HTTP_POST_REPLY_SIZE = 1024;
int32_t gs32_http_post(const char* path, const void* body, uint32_t body_length, int32_t overwrite,
                       char** reply_out, int32_t* reply_length_out, const char* content_type,
                       uint32_t timeout_s, const char* user, const char* password);

// The largest GET body a caller will take, plus one: a reply whose Content-Length, or whose
// chunks together, reach limit bytes ends in HTTP_E_TOO_LARGE before a byte of the body
// beyond the limit is read or allocated. 0 (the start value) means no limit but the signed
// 32-bit range. Process-wide, like the target.
void gv_http_set_body_limit(uint32_t limit);

// HEAD: at 200 *length_out is the Content-Length (-1 when the reply had none); 0 until then.
int32_t gs32_http_head(const char* path, int32_t* length_out, char* content_type_out,
                       uint32_t timeout_s, const char* user, const char* password);
// PUT and DELETE return the status; their reply bodies are not read.
int32_t gs32_http_put(const char* path, const void* body, uint32_t body_length, int32_t overwrite,
                      const char* content_type, uint32_t timeout_s, const char* user,
                      const char* password);
int32_t gs32_http_delete(const char* path, uint32_t timeout_s, const char* user,
                         const char* password);

// Standard base64 (RFC 4648 alphabet, '=' padding) into out (HTTP_LINE_SIZE bytes):
// 1 on success, 0 when the text and its terminator do not fit (out is then empty).
int32_t ms32_http_base64_encode(const void* input, uint32_t length, char* out);

// Milliseconds since the first call, in wrapping 32-bit arithmetic.
uint32_t gu32_http_elapsed_ms();

// Replaces lookup and connect with a source of already connected stream sockets (for
// driving the client over a socketpair); null restores the network. The client owns and
// closes each descriptor it is given; a negative descriptor is HTTP_E_CONNECT.
using HttpSocketSource = int (*)(void* context);
void gv_http_set_socket_source(HttpSocketSource source, void* context);

// A layer between the client and its connected socket (TLS): every byte of a request goes
// through write and every byte of a reply comes from read, so that the client's own reading
// rules (lines byte by byte, blocks, chunks) stay the same above it. All four take the
// socket. open runs once the connection is up, before a byte of the request: 0, or a result
// that ends the exchange. read waits at most wait_ms for bytes the layer does not hold yet
// and returns a count, 0 at the end of the stream, HTTP_READ_END on failure or
// HTTP_READ_TIMEOUT; write returns the bytes written (fewer only on failure). close runs
// before the socket is closed. Process-wide; null restores the plain socket.
struct HttpStreamLayer {
    int32_t (*open)(int fd, uint32_t timeout_s);
    ssize_t (*read)(int fd, void* buffer, size_t size, int wait_ms);
    ssize_t (*write)(int fd, const void* data, size_t length);
    void (*close)(int fd);
};
void gv_http_set_stream_layer(const HttpStreamLayer* layer);
