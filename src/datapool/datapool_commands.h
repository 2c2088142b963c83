// KFGV and KFSV: datapool variables read into a DataBlock answer, and written from a
// DataBlock or from text pairs of reference and value.
#pragma once

#include <cstdint>

#include "jobs/datablock.h"

// Step state of KFGV, kept between calls on the same line.
struct KfgvState {
    int32_t step = 0;  // 0 start, 1 answering, 2 rejected
    uint8_t first_piece = 1;
    uint8_t first_call = 1;
    int32_t saved_status = 0;
    DataBlockPiece request;  // the request's one piece: its header, then the references
    uint16_t total = 0;
    uint16_t position = 0;  // offset of the next reference among the references
};

// Step state of KFSV.
struct KfsvState {
    int32_t step = 0;  // 0 start, 1 binary pieces, 2 text pairs
    uint32_t pair_offset = 0;  // where the next pair's parameters start, at its ';'
    uint8_t first_call = 1;
    int32_t saved_status = 0;
    DataBlockPieces pieces;  // the binary pieces not yet written
};

// Handlers of the rows KFGV and KFSV; -4 while the command has more to do.
int32_t ms32_njch_get_var_value(const char* text, int16_t row);
int32_t ms32_njch_set_var_value(const char* text, int16_t row);

// Where KFGV and KFSV learn the base directory before every variable access. A source fills
// buffer (size bytes) and answers 0, or a code that fails the access as a failed GetBasePath
// does ("Can't get DP base path"). The daemon's source is the datapool service on the
// worker's bus (gs32_dp_get_base_path); a program that runs the handlers without a bus (a
// benchmark, a fuzz target over a datapool of its own) names its directory through its own.
using DpBasePathSource = int32_t (*)(char* buffer, uint32_t size);
// nullptr puts the datapool service back.
void gv_njch_set_dp_base_path_source(DpBasePathSource source);

// Writes one variable of datapool 0: 0, or -1 after logging why.
int32_t ms32_njch_set_dp_var(uint8_t list, uint8_t var, const void* data, uint32_t length);

// Both step states back to their start values.
void gv_njch_reset_datapool_commands();
