// Pieces shared by the files of the HTTP client: bounded waits and the
// reply readers that GET and HEAD have in common.
#pragma once

#include <unistd.h>

#include <cstdint>

#include "core/heap.h"

// A time budget of whole seconds, measured on the monotonic clock.
class HttpDeadline {
  public:
    explicit HttpDeadline(uint32_t timeout_s);
    // Milliseconds left (0 when spent), capped to what poll accepts.
    int remaining_ms() const;

  private:
    int64_t end_ms_;
};

// Waits until fd is readable (or at its end) / writable within the budget: 1 when ready,
// 0 on time-out or a failed wait. poll rather than select, so any descriptor number works.
int32_t ms32_http_wait_readable(int fd, const HttpDeadline& deadline);
int32_t ms32_http_wait_writable(int fd, const HttpDeadline& deadline);

// Closes a connection of the client: the stream layer first, if there is one.
void gv_http_close(int fd);
// Owns one connection of the client and closes it with gv_http_close.
class HttpConnection {
  public:
    explicit HttpConnection(int fd) : fd_(fd) {}
    ~HttpConnection() {
        if (fd_ >= 0) gv_http_close(fd_);
    }
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;
    int fd() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// What the header lines of a 200 reply told: the length starts at -1.
constexpr uint32_t HTTP_CODING_SIZE = 100;
struct HttpReplyHeaders {
    int32_t content_length;
    char transfer_coding[HTTP_CODING_SIZE];  // first word of the value, cut at 99
};

// Reads header lines up to the empty line: 0, or HTTP_E_READ_HEAD. content_type_out (if
// given, HTTP_LINE_SIZE bytes) and the transfer coding (when want_coding) are filled only
// from matching lines.
int32_t ms32_http_read_headers(int fd, uint32_t timeout_s, char* content_type_out, bool want_coding,
                               HttpReplyHeaders* headers_out);

// Reads a GET body by length or chunked; on success data_out owns the bytes plus a zero
// byte and length_out counts them. Returns 0 or HTTP_E_NO_LENGTH, HTTP_E_MEMORY,
// HTTP_E_READ_DATA.
int32_t ms32_http_read_body(int fd, uint32_t timeout_s, const HttpReplyHeaders& headers,
                            HeapBuffer* data_out, int32_t* length_out);
