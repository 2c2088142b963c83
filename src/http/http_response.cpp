// Reply reading after a 200: header lines with case-blind names, and the body by its
// length or in chunked transfer coding.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "http/http.h"
#include "http/http_io.h"

namespace {

// Matches "<name> %d" as sscanf would (blanks, a sign, digits), saturating instead of
// overflowing so that a huge length reads the same on every host.
bool mb_http_match_number(const char* line, const char* name, int32_t* value_out) {
    size_t name_length = strlen(name);
    if (strncmp(line, name, name_length) != 0) return false;
    const char* p = line + name_length;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!isdigit(static_cast<unsigned char>(*p))) return false;
    int64_t value = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        if (value <= INT32_MAX) value = value * 10 + (*p - '0');
    }
    if (negative) value = -value;
    *value_out = value > INT32_MAX   ? INT32_MAX
                 : value < INT32_MIN ? INT32_MIN
                                     : static_cast<int32_t>(value);
    return true;
}

// Matches "<name> %s": the first word of the value, cut to fit size.
bool mb_http_match_word(const char* line, const char* name, char* out, size_t size) {
    size_t name_length = strlen(name);
    if (strncmp(line, name, name_length) != 0) return false;
    const char* p = line + name_length;
    while (isspace(static_cast<unsigned char>(*p))) ++p;
    size_t length = 0;
    while (p[length] != '\0' && !isspace(static_cast<unsigned char>(p[length]))) ++length;
    if (length == 0) return false;
    if (length > size - 1) length = size - 1;
    memcpy(out, p, length);
    out[length] = '\0';
    return true;
}

uint32_t g_body_limit = 0;

// The body buffer always stays within the signed 32-bit range that lengths are reported
// in, bytes plus the zero byte behind them; anything larger counts as not allocatable.
bool mb_http_fits_body(uint64_t total, uint64_t more) {
    return total + more + 1 <= static_cast<uint64_t>(INT32_MAX);
}

// Whether a body of total + more bytes stays below the caller's limit.
bool mb_http_below_limit(uint64_t total, uint64_t more) {
    return g_body_limit == 0 || total + more < g_body_limit;
}

int32_t ms32_http_read_by_length(int fd, uint32_t timeout_s, int32_t length, HeapBuffer* data_out,
                                 int32_t* length_out) {
    *length_out = length;
    if (!mb_http_below_limit(0, static_cast<uint64_t>(length))) return HTTP_E_TOO_LARGE;
    if (!mb_http_fits_body(0, static_cast<uint64_t>(length))) return HTTP_E_MEMORY;
    HeapBuffer data(static_cast<char*>(malloc(static_cast<size_t>(length) + 1)));
    if (!data) return HTTP_E_MEMORY;
    if (ms32_http_read_block(fd, data.get(), static_cast<uint32_t>(length), timeout_s) != length) {
        return HTTP_E_READ_DATA;
    }
    data.get()[length] = '\0';
    *data_out = std::move(data);
    return 0;
}

int32_t ms32_http_read_chunks(int fd, uint32_t timeout_s, HeapBuffer* data_out,
                              int32_t* length_out) {
    HeapBuffer data(static_cast<char*>(malloc(1)));
    if (!data) return HTTP_E_MEMORY;
    data.get()[0] = '\0';
    uint32_t total = 0;
    for (;;) {
        // The size line goes behind "0x" so that strtol in base 0 reads it as hex; ten
        // bytes hold eight digits and CR LF. A longer line ends the body where it is.
        char size_text[2 + 10 + 1] = "0x";
        char* area = size_text + 2;
        uint32_t count = 0;
        bool line_ended = false;
        while (count < 10 && !line_ended) {
            if (ms32_http_read_block(fd, area + count, 1, timeout_s) != 1) return HTTP_E_READ_DATA;
            ++count;
            line_ended = count >= 2 && area[count - 2] == '\r' && area[count - 1] == '\n';
        }
        if (!line_ended) break;
        area[count] = '\0';
        // Not a number reads as 0 and ends the body; an extension after ';' is ignored. Eight
        // hex digits always fit a long long, where a 32-bit long would overflow above 2^31-1
        // and so answer differently on the device.
        const long long size = strtoll(size_text, nullptr, 0);
        if (size <= 0) break;
        if (!mb_http_below_limit(total, static_cast<uint64_t>(size))) return HTTP_E_TOO_LARGE;
        if (!mb_http_fits_body(total, static_cast<uint64_t>(size))) return HTTP_E_MEMORY;
        auto chunk = static_cast<uint32_t>(size);
        char* grown = static_cast<char*>(realloc(data.get(), total + chunk + 1));
        if (grown == nullptr) return HTTP_E_MEMORY;  // the old block is still owned
        (void)data.release();
        data.reset(grown);
        if (ms32_http_read_block(fd, grown + total, chunk, timeout_s) !=
            static_cast<int32_t>(chunk)) {
            return HTTP_E_READ_DATA;
        }
        char line_end[2];
        // The CR LF behind the chunk data is taken but not checked.
        if (ms32_http_read_block(fd, line_end, 2, timeout_s) != 2) return HTTP_E_READ_DATA;
        total += chunk;
        grown[total] = '\0';
    }
    *length_out = static_cast<int32_t>(total);
    *data_out = std::move(data);
    return 0;
}

}  // namespace

void gv_http_set_body_limit(uint32_t limit) { g_body_limit = limit; }

int32_t ms32_http_read_headers(int fd, uint32_t timeout_s, char* content_type_out, bool want_coding,
                               HttpReplyHeaders* headers_out) {
    headers_out->content_length = -1;
    headers_out->transfer_coding[0] = '\0';
    char line[HTTP_LINE_SIZE];
    for (;;) {
        if (ms32_http_read_line(fd, line, timeout_s) <= 0) return HTTP_E_READ_HEAD;
        if (line[0] == '\0') return 0;
        // Names are case-blind, values are kept as sent.
        for (char* p = line; *p != '\0' && *p != ':'; ++p) {
            *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
        }
        int32_t length = 0;
        if (mb_http_match_number(line, "content-length:", &length)) {
            headers_out->content_length = length;
        }
        if (content_type_out != nullptr) {
            mb_http_match_word(line, "content-type:", content_type_out, HTTP_LINE_SIZE);
        }
        if (want_coding) {
            mb_http_match_word(line, "transfer-encoding:", headers_out->transfer_coding,
                               HTTP_CODING_SIZE);
        }
    }
}

int32_t ms32_http_read_body(int fd, uint32_t timeout_s, const HttpReplyHeaders& headers,
                            HeapBuffer* data_out, int32_t* length_out) {
    if (headers.content_length > 0) {
        return ms32_http_read_by_length(fd, timeout_s, headers.content_length, data_out,
                                        length_out);
    }
    if (strstr(headers.transfer_coding, "chunked") == nullptr) return HTTP_E_NO_LENGTH;
    return ms32_http_read_chunks(fd, timeout_s, data_out, length_out);
}
