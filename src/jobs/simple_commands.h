// Handlers of the commands that need no other daemon: comments, the acknowledged-only
// commands, the wake-up interval, the download budget, and the stand-in for unknown lines.
#pragma once

#include <cstdint>

// '#', FWLI, FWLO, APLI: "<keyword>;0\r\n". Formats the line again on every call.
int32_t ms32_njch_acknowledge(const char* text, int16_t row);
// FWSW;<seconds>: sets the worker's wake-up cycle time; status 0, or -5.
int32_t ms32_njch_set_wakeup_cycle_time(const char* text, int16_t row);
// DLTS;<bytes>: sets the logger download budget for the rest of the worker's life.
int32_t ms32_njch_set_dl_max_transfer_size(const char* text, int16_t row);
// Unknown lines: nothing happens and no result line is written.
int32_t ms32_njch_syntax_error(const char* text, int16_t row);

// Sets the first-call flags of FWSW and DLTS (part of ms32_njch_reset_command_states).
void gv_njch_reset_simple_commands();
