// Feeds arbitrary bytes as a handler's text through every parameter decoder, for the first
// parameters and with small and large buffers. Besides the sanitizers it checks the codes,
// that a text parameter is terminated inside its buffer and holds no separator, that the
// 16-bit decoder gives the low bits of the 32-bit one, and that a binary parameter never
// reads beyond the text.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/log.h"
#include "jobs/params.h"

#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = gs32_log_open("/dev/null") == 0;
    (void)ready;
    if (size < 1 || size - 1 >= 2097152) return 0;  // longer than any JobFile's line
    // Byte 0 chooses the buffer size and binary length; the text is zero-terminated as a
    // handler's text is, and allocated exactly so that reads beyond it are seen.
    const uint32_t out_size = data[0] % 40;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    for (uint16_t n = 0; n < 6; ++n) {
        std::vector<char> out(out_size + 1, 'X');
        const int32_t str = gs32_ch_nextjob_get_param_str(n, text.data(),
                                                          out_size ? out.data() : nullptr, out_size);
        mv_check(str == 0 || str == -5);
        mv_check(out[out_size] == 'X');
        if (str == 0 && out_size > 0) {
            const size_t length = strnlen(out.data(), out_size);
            mv_check(length < out_size);
            mv_check(memchr(out.data(), ';', length) == nullptr);
        }
        uint32_t u32 = 0;
        uint16_t u16 = 0;
        const int32_t r32 = gs32_ch_nextjob_get_param_u32(n, text.data(), &u32);
        const int32_t r16 = gs32_ch_nextjob_get_param_u16(n, text.data(), &u16);
        mv_check((r32 == 0 || r32 == -5) && r16 == r32);
        if (r32 == 0) mv_check(u16 == (u32 & 0xffff));
        std::vector<char> bytes(out_size + 1, 'X');
        const int32_t bin = gs32_ch_nextjob_get_param_binary(n, text.data(), bytes.data(), out_size);
        mv_check((bin == 0 || bin == -5) && bytes[out_size] == 'X');
    }
    return 0;
}
