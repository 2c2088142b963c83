// Result collection: the append into the worker's ResultBuffer, and the protocol by which a
// handler's result line survives a full buffer.
#pragma once

#include <cstdint>

// Appends output (or what is left of it after an earlier full part) to the ResultBuffer.
// 0: all of it is stored. -6: the buffer is full; as much as fitted is stored, the part is
// ready for upload, and the next call with the same output, after the upload, continues
// where this one stopped. -1: the worker has no ResultBuffer.
int32_t gs32_ch_cp_to_result_buffer(const char* data, uint32_t length);

// Formats into the ResultLineBuffer and records the pending length (cut to the buffer's
// capacity - 1). Returns the pending length.
uint32_t gu32_ch_format_result_line(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Appends the ResultLineBuffer's pending output for a handler with a first-call flag: 0 when
// stored (the flag is set again), -4 when the buffer filled up (the flag is cleared, so the
// next call skips the work and appends the rest of the same output).
int32_t gs32_ch_store_result_line(uint8_t* first_call);
