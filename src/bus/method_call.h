// The one blocking method call that every service client of korvad is built on, and its
// one-text instance gs32_dbus_request_string.
#pragma once

#include <cstdint>

#include "bus/dbus.h"

// The library's default reply time-out (libdbus waits 25 seconds).
constexpr int32_t kBusDefaultTimeout = -1;

// What to call. The destination is "vel.kem.<target>", the object "/vel/kem/<target>/Object".
struct BusMethodCall {
    const char* target;            // name component of the daemon, e.g. "hodrad"
    const char* method;            // member name, e.g. "RegisterWatchdog"
    const BusArg* args = nullptr;  // appended in order
    uint32_t arg_count = 0;
    const char* interface = nullptr;          // nullptr: the bus name "vel.kem.<target>"
    int32_t timeout_ms = kBusDefaultTimeout;  // reply time-out; -1 the library's default
    // When set, the library's own error reply for a time-out counts as no reply (kBusNoReply)
    // instead of as its text.
    bool timeout_is_no_reply = false;
};

// Makes the call on context->connection and blocks until its reply or the time-out:
// create the call, append the arguments, send with reply, flush, release the request, block,
// take the reply, release the pending call, read the reply's first argument as a text.
//
// Returns kBusOk or the failure point (BusPoint in bus/dbus.h), in the order they can occur:
//   kBusBadArgument    no context or connection, no target or method
//   kBusNotCreated     the call could not be created (or target/interface/method do not
//                      form valid bus names)
//   kBusNotAppended    an argument could not be appended
//   kBusSendRefused    the library refused to send
//   kBusNoPendingCall  no pending call came back (the connection is gone)
//   kBusNoReply        the call completed without a reply
//   kBusNoArguments    the reply has no arguments
//   kBusNotText        the reply's first argument is not a text
// The reply's message type is not examined: an error reply from the bus or the library
// (for instance "Did not receive a reply..." when the time-out passes) carries its error
// text as first argument, and that text is the answer; only timeout_is_no_reply makes the
// time-out's error a kBusNoReply.
//
// On kBusOk the answer text is copied, while the reply is still held, into answer (at most
// size-1 characters, always terminated; answer may be nullptr when size is 0), and its full
// length goes to *length_out when length_out is given, so a caller sees when it was cut.
// Every message, the pending call and the reply are released on every path.
int32_t gs32_dbus_method_call(const BusContext* context, const BusMethodCall& call, char* answer,
                              uint32_t size, uint32_t* length_out);

// The reply step of gs32_dbus_method_call on its own: kBusNoReply (no reply, or with
// timeout_is_no_reply the library's time-out error), kBusNoArguments, kBusNotText, or kBusOk
// with the first text copied as described there. The reply stays the caller's.
int32_t gs32_dbus_reply_text(DBusMessage* reply, bool timeout_is_no_reply, char* answer,
                             uint32_t size, uint32_t* length_out);

// The codes most clients give the failure points: 0 for kBusOk, -9 when no usable answer
// came back (no reply, no arguments, no text), -1 when the call never got out.
int32_t gs32_dbus_point_code(int32_t point);

// Calls method on target (interface = its bus name) with text as the one argument, and
// copies the answer into answer. 0; -5 an argument missing or size not positive; -1 call not
// created, argument not appended, send refused or no pending call; -9 no reply or a reply
// without a first text argument; -6 the answer has size characters or more (answer holds its
// first size-1); -8 the answer begins with "ERROR" (the answer is in the buffer).
int32_t gs32_dbus_request_string(const BusContext* context, const char* target, const char* method,
                                 const char* text, char* answer, int32_t size);
