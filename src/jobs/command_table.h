// The CommandTable: job-line keywords, their minimum separator counts and their handlers.
#pragma once

#include <cstdint>

#include "jobs/command_rows.h"

// A command handler gets the handler's text (';' and the parameters, behind the keyword)
// and its row. -4: not finished, call again with the same line (the ResultBuffer filled up,
// or the command works in steps); anything else: finished, the outcome is in its result.
using CommandHandler = int32_t (*)(const char* text, int16_t row);

struct CommandRow {
    const char* keyword;
    uint8_t min_separators;  // ';' that the rest of the line must hold behind the keyword
    CommandHandler handler;  // null until the command's subsystem provides it
};

extern const CommandRow g_command_table[];
extern const int16_t g_command_count;

// Puts every handler back into its first-call state; the worker calls it at start and
// whenever it abandons a job. Returns 0.
int32_t ms32_njch_reset_command_states();
