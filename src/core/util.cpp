// Utilities shared by every subsystem.
#include "core/util.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cstring>

int32_t gs32_is_regular_file(const char* path) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) return 0;
    return S_ISREG(info.st_mode) ? 1 : 0;
}

int32_t gs32_is_directory(const char* path) {
    struct stat info {};
    if (path == nullptr || stat(path, &info) != 0) return 0;
    return S_ISDIR(info.st_mode) ? 1 : 0;
}

int32_t gs32_write_text(FILE* file, const char* text) {
    if (file == nullptr || text == nullptr) return -1;
    auto length = static_cast<uint16_t>(strlen(text));
    size_t written = fwrite(text, 1, length, file);
    // The line must be on disk before the caller reads the file again; an unflushable
    // write counts as nothing written.
    if (written == 0 || fflush(file) != 0) return -10;
    return 0;
}

char* gv_get_host_name(char* buffer, uint32_t size) {
    const char* host = getenv("HOSTNAME");
    gu32_copy_bounded(buffer, host != nullptr ? host : "QM4-GET_HOSTNAME_ERR", size);
    return buffer;
}

uint32_t gu32_copy_bounded(char* destination, const char* source, uint32_t size) {
    size_t length = strlen(source);
    if (size > 0) {
        size_t n = length < size - 1 ? length : size - 1;
        memcpy(destination, source, n);
        destination[n] = '\0';
    }
    return static_cast<uint32_t>(length);
}

uint16_t gu16_swap_bytes(uint16_t value, uint8_t convert) {
    if (convert != 1) return value;
    return static_cast<uint16_t>((value >> 8) | (value << 8));
}

uint32_t gu32_swap_bytes(uint32_t value, uint8_t convert) {
    if (convert != 1) return value;
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

float gf32_swap_bytes(uint8_t convert, float value) {
    if (convert != 1) return value;
    // Bytes are moved as an integer pattern and copied back; no float arithmetic touches
    // them, so signalling NaNs keep their exact bits.
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    bits = gu32_swap_bytes(bits, 1);
    float result;
    memcpy(&result, &bits, sizeof result);
    return result;
}

uint8_t gu8_host_is_big_endian() {
    const uint16_t probe = 0x0102;
    uint8_t first;
    memcpy(&first, &probe, 1);
    return first == 0x01 ? 1 : 0;
}

int32_t gs32_atoi(const char* text) {
    long long value = strtoll(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int32_t>(value);
}

uint16_t gu16_load_le(const void* bytes) {
    const auto* b = static_cast<const uint8_t*>(bytes);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

uint32_t gu32_load_le(const void* bytes) {
    const auto* b = static_cast<const uint8_t*>(bytes);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

void gv_store_le16(void* bytes, uint16_t value) {
    auto* b = static_cast<uint8_t*>(bytes);
    b[0] = static_cast<uint8_t>(value);
    b[1] = static_cast<uint8_t>(value >> 8);
}

void gv_store_le32(void* bytes, uint32_t value) {
    auto* b = static_cast<uint8_t*>(bytes);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t gu32_leading_digits(const char* text, const char* end, uint64_t* value_out) {
    uint64_t value = 0;
    uint32_t count = 0;
    for (const char* p = text; p != end && *p >= '0' && *p <= '9'; ++p, ++count) {
        const auto digit = static_cast<uint64_t>(*p - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    *value_out = value;
    return count;
}
