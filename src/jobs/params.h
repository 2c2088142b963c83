// Decoders that take a command's parameters out of the handler's text. Parameter n is the
// text behind the n-th ';'. All return 0 on success and -5 on failure.
#pragma once

#include <cstdint>

// Text parameter: up to the next ';', '#' or the end of the text, copied unchanged (no
// trimming). Fewer than n ';' (n 0 counts as 1): out is empty, nothing is logged. A text
// that does not fit out_size with its terminator is logged as too long (out empty).
int32_t gs32_ch_nextjob_get_param_str(uint16_t n, const char* text, char* out,
                                      uint32_t out_size);

// Exactly length raw bytes behind the n-th ';', which must be followed by CR LF. The bytes
// may hold any value; the check never reads beyond the current line.
int32_t gs32_ch_nextjob_get_param_binary(uint16_t n, const char* text, char* out,
                                         uint32_t length);

// Numeric parameters of at most 14 characters: decimal, or hexadecimal after "0x"/"0X";
// leading zeros never mean octal; values beyond the signed 32-bit range are clamped; an
// empty parameter is 0. A character left behind the number (a blank too) fails without a
// message, out then holds the converted value. The u16 decoder keeps the low 16 bits, the
// u32 decoder the 32-bit pattern (-1 reads as 4294967295).
int32_t gs32_ch_nextjob_get_param_u16(uint16_t n, const char* text, uint16_t* out);
int32_t gs32_ch_nextjob_get_param_u32(uint16_t n, const char* text, uint32_t* out);
