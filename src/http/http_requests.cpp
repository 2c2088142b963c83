// The request operations (GET, POST, HEAD, PUT, DELETE) with Basic authorization, the
// base64 encoder behind it and the millisecond timer.
#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "http/http.h"
#include "http/http_io.h"

namespace {

// "Authorization: Basic ", the encoded text (88 characters for the longest credentials,
// sized here for anything the encoder can give), CR LF and the zero byte.
constexpr size_t kAuthorizationSize = 21 + HTTP_LINE_SIZE + 2;
// Content-Length, a content type of 64, the authorization and the overwrite lines.
constexpr size_t kExtraHeaderSize = 128 + kAuthorizationSize + 32;
constexpr const char* kOverwriteLine = "Control: overwrite=1\r\n";

// Fills out with the Authorization line, or the empty text unless both credentials are
// given: 0, or HTTP_E_MEMORY when the encoding does not fit.
int32_t ms32_http_authorization(const char* user, const char* password, char* out) {
    out[0] = '\0';
    if (user == nullptr || password == nullptr) return 0;
    char plain[32 + 1 + 32 + 1];
    int length = snprintf(plain, sizeof plain, "%.32s:%.32s", user, password);
    char encoded[HTTP_LINE_SIZE];
    if (length < 0 || !ms32_http_base64_encode(plain, static_cast<uint32_t>(length), encoded)) {
        return HTTP_E_MEMORY;
    }
    snprintf(out, kAuthorizationSize, "Authorization: Basic %s\r\n", encoded);
    return 0;
}

// The Content-Length / content type / authorization / overwrite lines of POST and PUT,
// which differ only in how "Content-Type" is spelt.
void mv_http_body_header(char* out, uint32_t body_length, const char* type_name,
                         const char* content_type, const char* authorization, int32_t overwrite) {
    const char* overwrite_line = overwrite != 0 ? kOverwriteLine : "";
    int length = static_cast<int>(body_length);
    if (content_type != nullptr) {
        snprintf(out, kExtraHeaderSize, "Content-Length: %d\r\n%s: %.64s\r\n%s%s", length,
                 type_name, content_type, authorization, overwrite_line);
    } else {
        snprintf(out, kExtraHeaderSize, "Content-Length: %d\r\n%s%s", length, authorization,
                 overwrite_line);
    }
}

}  // namespace

int32_t gs32_http_get(const char* path, char** data_out, int32_t* length_out,
                      char* content_type_out, uint32_t timeout_s, const char* user,
                      const char* password) {
    if (data_out == nullptr || length_out == nullptr) return HTTP_E_NULL_ARG;
    *data_out = nullptr;
    if (content_type_out != nullptr) content_type_out[0] = '\0';
    char authorization[kAuthorizationSize];
    if (ms32_http_authorization(user, password, authorization) != 0) return HTTP_E_MEMORY;

    int fd = -1;
    int32_t status = gs32_http_exchange("GET", path, authorization, 1, nullptr, 0, &fd, timeout_s);
    if (status < 0) return status;
    HttpConnection connection(fd);
    if (status != 200) return status;

    HttpReplyHeaders headers{};
    if (ms32_http_read_headers(fd, timeout_s, content_type_out, true, &headers) != 0) {
        return HTTP_E_READ_HEAD;
    }
    HeapBuffer data;
    int32_t read = ms32_http_read_body(fd, timeout_s, headers, &data, length_out);
    if (read != 0) return read;
    *data_out = data.release();
    return status;
}

int32_t gs32_http_post(const char* path, const void* body, uint32_t body_length, int32_t overwrite,
                       char** reply_out, int32_t* reply_length_out, const char* content_type,
                       uint32_t timeout_s, const char* user, const char* password) {
    if (reply_out == nullptr || reply_length_out == nullptr) return HTTP_E_NULL_ARG;
    *reply_out = nullptr;
    *reply_length_out = 0;
    char authorization[kAuthorizationSize];
    if (ms32_http_authorization(user, password, authorization) != 0) return HTTP_E_MEMORY;
    char extra[kExtraHeaderSize];
    mv_http_body_header(extra, body_length, "Content-Type", content_type, authorization, overwrite);

    int fd = -1;
    int32_t status = gs32_http_exchange("POST", path, extra, 1, body, body_length, &fd, timeout_s);
    if (status < 0) return status;
    HttpConnection connection(fd);
    if (status != 200) return status;

    char line[HTTP_LINE_SIZE];
    do {
        if (ms32_http_read_line(fd, line, timeout_s) <= 0) return HTTP_E_READ_HEAD;
    } while (line[0] != '\0');
    // The reply is followed by a zero byte so that it can be searched as text.
    HeapBuffer reply(static_cast<char*>(malloc(HTTP_POST_REPLY_SIZE + 1)));
    if (!reply) return HTTP_E_MEMORY;
    int32_t count = ms32_http_read_block(fd, reply.get(), HTTP_POST_REPLY_SIZE, timeout_s);
    if (count < 0) return HTTP_E_READ_DATA;
    reply.get()[count] = '\0';
    *reply_out = reply.release();
    *reply_length_out = count;
    return status;
}

int32_t gs32_http_head(const char* path, int32_t* length_out, char* content_type_out,
                       uint32_t timeout_s, const char* user, const char* password) {
    if (path == nullptr || length_out == nullptr) return HTTP_E_NULL_ARG;
    *length_out = 0;
    if (content_type_out != nullptr) content_type_out[0] = '\0';
    char authorization[kAuthorizationSize];
    if (ms32_http_authorization(user, password, authorization) != 0) return HTTP_E_MEMORY;

    int fd = -1;
    int32_t status = gs32_http_exchange("HEAD", path, authorization, 1, nullptr, 0, &fd, timeout_s);
    if (status < 0) return status;
    HttpConnection connection(fd);
    if (status != 200) return status;
    HttpReplyHeaders headers{};
    if (ms32_http_read_headers(fd, timeout_s, content_type_out, false, &headers) != 0) {
        return HTTP_E_READ_HEAD;
    }
    *length_out = headers.content_length;
    return status;
}

int32_t gs32_http_put(const char* path, const void* body, uint32_t body_length, int32_t overwrite,
                      const char* content_type, uint32_t timeout_s, const char* user,
                      const char* password) {
    char authorization[kAuthorizationSize];
    if (ms32_http_authorization(user, password, authorization) != 0) return HTTP_E_MEMORY;
    char extra[kExtraHeaderSize];
    // "Content-type" with a lower-case t is what PUT has always sent.
    mv_http_body_header(extra, body_length, "Content-type", content_type, authorization, overwrite);
    return gs32_http_exchange("PUT", path, extra, 0, body, body_length, nullptr, timeout_s);
}

int32_t gs32_http_delete(const char* path, uint32_t timeout_s, const char* user,
                         const char* password) {
    if (path == nullptr) return HTTP_E_NULL_ARG;
    char authorization[kAuthorizationSize];
    if (ms32_http_authorization(user, password, authorization) != 0) return HTTP_E_MEMORY;
    return gs32_http_exchange("DELETE", path, authorization, 0, nullptr, 0, nullptr, timeout_s);
}

int32_t ms32_http_base64_encode(const void* input, uint32_t length, char* out) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    constexpr uint32_t kLastPosition = HTTP_LINE_SIZE - 1;
    const auto* bytes = static_cast<const unsigned char*>(input);
    uint32_t position = 0;
    for (uint32_t i = 0; i < length; i += 3) {
        uint32_t missing = length - i < 3 ? 3 - (length - i) : 0;
        uint32_t group = static_cast<uint32_t>(bytes[i]) << 16;
        if (missing < 2) group |= static_cast<uint32_t>(bytes[i + 1]) << 8;
        if (missing < 1) group |= bytes[i + 2];
        for (uint32_t k = 0; k < 4; ++k) {
            // Every character position is checked before it is written.
            if (position > kLastPosition) {
                out[0] = '\0';
                return 0;
            }
            out[position++] = k >= 4 - missing ? '=' : kAlphabet[(group >> (18 - 6 * k)) & 0x3F];
        }
    }
    if (position > kLastPosition) {
        out[0] = '\0';
        return 0;
    }
    out[position] = '\0';
    return 1;
}

uint32_t gu32_http_elapsed_ms() {
    static bool started = false;
    static timeval start{};
    timeval now{};
    gettimeofday(&now, nullptr);
    if (!started) {
        start = now;
        started = true;
    }
    // Unsigned 32-bit arithmetic: the value wraps after about 49.7 days (24.8 as i32).
    auto stamp = [](const timeval& t) {
        return static_cast<uint32_t>(t.tv_sec) * 1000u + static_cast<uint32_t>(t.tv_usec) / 1000u;
    };
    return stamp(now) - stamp(start);
}
