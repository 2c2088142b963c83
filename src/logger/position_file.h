// The position file of a working copy: the resume point of a download as two decimal
// lines, the block number and the byte offset, each ended by CR LF.
#pragma once

#include <cstdint>

// Writes both numbers, replacing the file but never following a link in its place. 0; -10
// without a path, or after logging why the file could not be written (the caller must not
// go on as if the resume point were kept).
int32_t gs32_write_actual_dlf_pos_to_file(const char* path, uint32_t block_number,
                                          uint32_t byte_offset);

// Reads both numbers from the leading decimal digits of the first two lines (at most 49
// characters each), never through a link. -10 an argument missing; 0 when the file cannot
// be opened (outputs unchanged; logged unless there is no file); -10 after logging when a
// line is missing (both outputs 0); 0 otherwise.
int32_t gs32_read_actual_dlf_pos_from_file(const char* path, uint32_t* block_number_out,
                                           uint32_t* byte_offset_out);
