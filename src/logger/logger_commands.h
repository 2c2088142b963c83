// DLGN and DLCN: download of a logger's LoggerFile in blocks into the result, resumable
// across commands and connection cycles, and clearing of a logger's file.
//
// A block that can never fit the ResultLineBuffer (its piece of L + 4 bytes needs more than
// the room of an empty buffer, capacity - 17) ends DLGN like a failed read: the DataBlock
// is closed with two zero bytes and "]", and the status is -6 (";-6\r\n", the answer does
// not fit its buffer). The resume point is not moved, so the server decides: skip past the
// block with a block offset, or clear the logger with DLCN.
#pragma once

#include <cstdint>

#include "core/heap.h"

// The DLGN download of one worker: where the working copy is read and what it resumes.
struct DlgnState {
    uint8_t new_command = 1;  // the next call is a setup call
    uint8_t first_call = 1;   // no output waits for an upload
    uint8_t finished = 0;     // the file ended (or had no data start): discard on offset 0
    uint8_t skip = 1;         // the next block read skips block_number blocks first
    uint32_t block_number = 0;     // blocks delivered, those before the resume point included
    uint32_t bytes_delivered = 0;  // block output of the current command
    uint32_t max_dataset_size = 0;  // a full block with its head; 0 unknown
    uint32_t transfer_size = 0;     // the budget as last announced; 0 none, no resume point
    uint32_t saved_block = 0;       // the resume point kept in memory
    uint32_t saved_offset = 0;
    int32_t saved_status = 0;
    UniqueFile file;  // the open working copy
    char logger_name[16] = {};
    char pos_path[512] = {};
};

// Asks the intermediary daemon (connection key man_in_the_middle, method GetLoggerDLGN) or
// else the logger service (RequestDLF) for the LoggerFile of name and takes it over as the
// working copy in the exchange folder (gs32_dlf_take_over). 0 when the working copy and its
// position file are ready, -10 otherwise.
int32_t gs32_dlf_request(const char* name);

// Handlers of the rows DLGN and DLCN. DLGN returns -4 while it has more to deliver or waits
// for an upload, otherwise its status; DLCN returns 0 or -4.
int32_t ms32_njch_dl_get_by_name(const char* text, int16_t row);
int32_t ms32_njch_dl_clear_by_name(const char* text, int16_t row);

// Closes a working copy left open and puts both commands back to their start values.
void gv_njch_reset_logger_commands();

// The DLGN state, for inspection.
const DlgnState& gr_njch_dlgn_state();
