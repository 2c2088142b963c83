// Small utilities shared by every subsystem: file tests, text output, host name, bounded
// copies and the byte-order conversions between the little-endian wire and the host.
#pragma once

#include <cstdint>
#include <cstdio>

// 1 when path exists (links followed) and is a regular file / a directory, else 0.
int32_t gs32_is_regular_file(const char* path);
int32_t gs32_is_directory(const char* path);

// Writes text (length taken as u16) without terminator: 0 when at least one byte was
// written, -10 when nothing was, -1 when file or text is missing.
int32_t gs32_write_text(FILE* file, const char* text);

// Copies $HOSTNAME, or "QM4-GET_HOSTNAME_ERR" when unset, bounded to size; returns buffer.
char* gv_get_host_name(char* buffer, uint32_t size);

// Copies at most size-1 characters and terminates (nothing when size is 0); returns
// strlen(source).
uint32_t gu32_copy_bounded(char* destination, const char* source, uint32_t size);

// Byte-order conversions: exchange the bytes when convert is 1, else return the value.
uint16_t gu16_swap_bytes(uint16_t value, uint8_t convert);
uint32_t gu32_swap_bytes(uint32_t value, uint8_t convert);
// The float whose bit pattern is value's bytes reversed, bit for bit (NaNs not quieted).
float gf32_swap_bytes(uint8_t convert, float value);

// 1 on a big-endian host: the value to pass as convert so that numbers on the wire are
// little-endian on every machine.
uint8_t gu8_host_is_big_endian();

// Little-endian 16- and 32-bit numbers of the wire and of LoggerFiles, read from and written
// to unaligned bytes on any host.
uint16_t gu16_load_le(const void* bytes);
uint32_t gu32_load_le(const void* bytes);
void gv_store_le16(void* bytes, uint16_t value);
void gv_store_le32(void* bytes, uint32_t value);

// The decimal digits at the start of text, read up to end (or the first byte that is not a
// digit): returns how many there were (0 when none), and their value in value_out, held at
// UINT64_MAX once it would pass it, so that a run of digits from outside cannot wrap.
uint32_t gu32_leading_digits(const char* text, const char* end, uint64_t* value_out);

// atoi without undefined behaviour: leading blanks and a sign, digits up to the first
// non-digit, 0 without digits; values beyond 32 bits are clamped.
int32_t gs32_atoi(const char* text);
