// Result collection: the append into the worker's ResultBuffer, the protocol by which a
// handler's result line survives a full buffer, and the parts taken out of it for upload.
#pragma once

#include <cstdint>

#include "connection/worker_state.h"

// Appends output (or what is left of it after an earlier full part) to the ResultBuffer.
// 0: all of it is stored. -6: the buffer is full; as much as fitted is stored, the part is
// ready for upload (and is not the job's last), and the next call with the same output,
// after the upload, continues where this one stopped. -1: the worker has no ResultBuffer.
int32_t gs32_ch_cp_to_result_buffer(const char* data, uint32_t length);

// Formats into the ResultLineBuffer and records the pending length (cut to the buffer's
// capacity - 1). Returns the pending length.
uint32_t gu32_ch_format_result_line(const char* format, ...)
    __attribute__((format(printf, 1, 2)));

// Appends the ResultLineBuffer's pending output for a handler with a first-call flag: 0 when
// stored (the flag is set again), -4 when the buffer filled up (the flag is cleared, so the
// next call skips the work and appends the rest of the same output).
int32_t gs32_ch_store_result_line(uint8_t* first_call);

// Closes the job's last part: counts it and marks it ready as the final part, whatever it
// holds (an empty job still uploads one empty part).
void gv_ch_close_final_part();

// Takes the ready part out of the ResultBuffer: out views its bytes, and the buffer is empty
// for the next part. The carry length stays, so that output cut at the end of this part
// continues in the next; after the final part the numbering starts again. 0, or -1 when no
// part is ready (out is left alone).
int32_t gs32_ch_take_part(ResultPart* out);
