// Feeds arbitrary bytes to what the TLS layer reads itself: the key pin of a connection file
// (first byte odd) and the certificate extensions searched for an IP address (first byte
// even; bit 1 picks an IPv6 address, whose bytes follow, then the extensions).
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "http/tls.h"

namespace {

#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        // A line of a connection file ends at its first zero byte, as the text does here.
        const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
        const std::string text(bytes.c_str());
        uint8_t pin[kTlsPinSize] = {};
        if (gs32_tls_parse_pin(text.c_str(), pin) != 0) return 0;
        // Accepted: exactly the 64 digits, which the bytes spell again.
        mv_check(text.size() == 2 * kTlsPinSize);
        for (size_t i = 0; i < kTlsPinSize; ++i) {
            char digits[3];
            snprintf(digits, sizeof digits, "%02x", pin[i]);
            mv_check(tolower(static_cast<unsigned char>(text[2 * i])) == digits[0]);
            mv_check(tolower(static_cast<unsigned char>(text[2 * i + 1])) == digits[1]);
        }
        return 0;
    }
    const size_t address_length = (data[0] & 2) ? 16 : 4;
    if (size < 1 + address_length) return 0;
    const uint8_t* address = data + 1;
    const uint8_t* extensions = address + address_length;
    const size_t length = size - 1 - address_length;
    // Copied to a buffer of its own size, so that a read past the end is caught.
    uint8_t* copy = static_cast<uint8_t*>(malloc(length + 1));
    mv_check(copy != nullptr);
    memcpy(copy, extensions, length);
    const int32_t found = gs32_tls_san_has_ip(copy, length, address, address_length);
    mv_check(found == 0 || found == 1);
    if (found == 1) {
        mv_check(memmem(copy, length, address, address_length) != nullptr);
    }
    free(copy);
    return 0;
}
