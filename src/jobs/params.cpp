// Parameter decoders for the command handlers.
#include "jobs/params.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "jobs/job_line.h"

namespace {

// Numeric parameters are taken as text of at most this many characters.
constexpr uint32_t kNumberTextSize = 15;


// The text behind the n-th ';' (n 0 counts as 1), or null when the text holds fewer.
const char* mpc_after_separator(uint16_t n, const char* text) {
    if (text == nullptr) return nullptr;
    if (n == 0) n = 1;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == ';' && --n == 0) return p + 1;
    }
    return nullptr;
}

// Converts a numeric parameter that was taken as text. Leading zeros become blanks so that
// they cannot select octal (a text of zeros only keeps its last one); then the text is a
// signed number in automatic base, clamped to 32 bits. Returns 0 when nothing is left
// behind the number, else -5; *value is set in both cases.
int32_t ms32_convert_number(char* text, int32_t* value) {
    if (!(text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))) {
        for (char* p = text; *p == '0'; ++p) {
            if (p[1] == '\0') break;
            *p = ' ';
        }
    }
    char* rest = nullptr;
    long long number = strtoll(text, &rest, 0);
    if (number > INT32_MAX) number = INT32_MAX;
    if (number < INT32_MIN) number = INT32_MIN;
    *value = static_cast<int32_t>(number);
    return *rest == '\0' ? 0 : -5;
}

}  // namespace

int32_t gs32_ch_nextjob_get_param_str(uint16_t n, const char* text, char* out,
                                      uint32_t out_size) {
    const char* begin = mpc_after_separator(n, text);
    if (begin == nullptr) {
        if (out != nullptr && out_size > 0) out[0] = '\0';
        return -5;
    }
    const size_t length = strcspn(begin, ";#");
    if (out == nullptr || length >= out_size) {
        if (out != nullptr && out_size > 0) out[0] = '\0';
        gs32_log_from("gs32_ch_nextjob_get_param_str", "Overflow, string to long");
        return -5;
    }
    memcpy(out, begin, length);
    out[length] = '\0';
    return 0;
}

int32_t gs32_ch_nextjob_get_param_binary(uint16_t n, const char* text, char* out,
                                         uint32_t length) {
    const char* begin = mpc_after_separator(n, text);
    if (begin == nullptr) {
        gs32_log_from("gs32_ch_nextjob_get_param_binary", "No more parameters left");
        if (out != nullptr && length > 0) out[0] = '\0';
        return -5;
    }
    // The bytes may hold zeros, so the line's size, not a zero byte, bounds them.
    const uint32_t available = gu32_ch_text_size(begin);
    if (static_cast<uint64_t>(length) + 2 > available || begin[length] != '\r' ||
        begin[length + 1] != '\n' || out == nullptr) {
        gs32_log_from("gs32_ch_nextjob_get_param_binary", "Format ERROR");
        if (out != nullptr && length > 0) out[0] = '\0';
        return -5;
    }
    memcpy(out, begin, length);
    return 0;
}

int32_t gs32_ch_nextjob_get_param_u16(uint16_t n, const char* text, uint16_t* out) {
    char number[kNumberTextSize];
    if (gs32_ch_nextjob_get_param_str(n, text, number, sizeof number) != 0) {
        gs32_log_from("gs32_ch_nextjob_get_param_u16",
                      "ERROR value:%i", out != nullptr ? static_cast<int>(*out) : 0);
        return -5;
    }
    int32_t value = 0;
    const int32_t result = ms32_convert_number(number, &value);
    if (out != nullptr) *out = static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu);
    return result;
}

int32_t gs32_ch_nextjob_get_param_u32(uint16_t n, const char* text, uint32_t* out) {
    char number[kNumberTextSize];
    if (gs32_ch_nextjob_get_param_str(n, text, number, sizeof number) != 0) {
        // Printed as the device's 32-bit long prints it, the same on every host.
        gs32_log_from("gs32_ch_nextjob_get_param_u32",
                      "ERROR value:%ld", out != nullptr ? static_cast<long>(static_cast<int32_t>(*out)) : 0L);
        return -5;
    }
    int32_t value = 0;
    const int32_t result = ms32_convert_number(number, &value);
    if (out != nullptr) *out = static_cast<uint32_t>(value);
    return result;
}
