// The daemon's one log: time-stamped lines to a file shared by all processes, or to stdout.
#pragma once

#include <cstddef>
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

// A text from outside (a name or path from a server, an answer of another daemon) as it may
// go into a log line: control bytes shown as \r, \n or \xNN, so that it can never start a
// line of its own. out holds size bytes (at least 1); a text that does not fit is cut.
// Returns out.
const char* gpc_log_escape(const char* text, char* out, size_t size);

// The escaped copy of one outside text, for one log call:
//   gs32_log_from(kHandler, "name %s", LogSafe(name).text);
struct LogSafe {
    explicit LogSafe(const char* raw) { gpc_log_escape(raw != nullptr ? raw : "", text, sizeof text); }
    char text[1024];
};
