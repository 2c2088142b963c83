// The DBUS command: a method call, a signal or a broadcast to any daemon on the bus, built
// from a job line, with the daemon's text reply in the result line.
#pragma once

#include <cstdint>

#include "core/heap.h"

// Target and member are decoded into buffers of this size (255 characters).
constexpr uint32_t kDbusParamTextSize = 256;
// Destination, object path and interface each have a field of this size.
constexpr uint32_t kDbusNameFieldSize = 64;

// The parameters of a DBUS line.
struct DbusLine {
    uint32_t kind = 0;
    char target[kDbusParamTextSize] = {};
    char member[kDbusParamTextSize] = {};
    uint32_t length = 0;
    HeapBuffer payload;  // length bytes; none when length is 0
};

// The names of the message of a DBUS line.
struct DbusNames {
    char destination[kDbusNameFieldSize];  // empty for a broadcast
    char path[kDbusNameFieldSize];
    char interface[kDbusNameFieldSize];
};

// Decodes parameters 1 to 5 of the handler's text in their order; the first failure ends
// the walk and is logged by its decoder. The length (parameter 4) is read by the numeric
// decoder, hexadecimal too, and the payload by the binary decoder with that length: when it
// disagrees with the length the line reader found in decimal ("0x3" is 0 to the reader,
// which took no payload), the payload decoder finds no CR LF behind it and fails. 0, or -5.
int32_t gs32_njch_dbus_decode_line(const char* text, DbusLine* out);

// The names for target, or for a broadcast (empty target) the worker's own object path from
// own_name and the interface "vel.kem.broadcast". 0, or -5 when a name does not fit its
// field: a target of more than 47 characters is refused, not cut, since a cut name would
// address another daemon.
int32_t gs32_njch_dbus_form_names(const char* target, const char* own_name, DbusNames* out);

// DBUS;<kind>;<target>;<member>;<length>;<payload>\r\n, where the payload is <length> raw
// bytes. An empty target sends the broadcast <member> on "vel.kem.broadcast" from the
// worker's own object, without the payload; kind 0 sends the signal <member> to the target's
// object and interface; any other kind calls <member> on the target and waits up to 7000 ms
// for its reply. The payload travels as one byte array ("ay").
//
// Result line "DBUS;<status>;<reply>\r\n" when a non-empty reply text came back (at most 99
// characters, CR and LF shown as blanks), else "DBUS;<status>\r\n". Status 0 sent, or a text
// reply; -1 the message could not be built or sent; -5 a parameter missing or invalid (also
// a target whose names do not fit their 64-byte fields); -10 no reply, or one that does not
// start with a text. Returns 0 when the line is stored, -4 when the ResultBuffer filled up:
// the next call appends the rest of the same line and sends nothing.
int32_t ms32_njch_send_nextjob_cmd_to_dbus(const char* text, int16_t row);

// Sets the DBUS first-call flag (part of ms32_njch_reset_command_states).
void gv_njch_reset_dbus_command();
