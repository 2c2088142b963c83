// The DBUS command: a method call, a signal or a broadcast to any daemon on the bus, built
// from a job line, with the daemon's text reply in the result line.
#pragma once

#include <cstdint>

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
