// The daemon's one log: time-stamped lines to a file shared by all processes, or to stdout.
#pragma once

#include <cstdint>

// Opens the log file for appending ("a+"); 0, or -1 after printing why on stdout.
int32_t gs32_log_open(const char* path);
// Writes "<stamp> <text>\n" to the log file (flushed at once) or to stdout; always 0.
int32_t gs32_log_write(const char* text);
// Closes the log file; the result of fclose, or -1 when no log is open.
int32_t gs32_log_close();
// Fills buffer (at least kTimeStampSize bytes) with the local time as "%d.%m.%y_%X".
char* gv_local_time_stamp(char* buffer);

constexpr int kTimeStampSize = 31;

// Formats a text into a bounded local buffer and writes it as one log line.
int32_t gs32_log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes "<pid>: <function>: <message>" as one log line: the form of every line that an
// operation of the daemon logs about itself.
int32_t gs32_log_from(const char* function, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
