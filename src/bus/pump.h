// A worker's non-blocking dispatcher of received signals to its handler slots.
#pragma once

#include <cstdint>

#include "bus/dbus.h"

// Handlers get texts that stay valid until the next gs32_dbus_pump_signals; their results
// are not used by the pump.
using BusTextHandler = int32_t (*)(const char* text);
using BusTwoTextHandler = int32_t (*)(const char* first, const char* second);
// Gets any message that no earlier rule took; the pump keeps owning it.
using BusMessageHandler = int32_t (*)(DBusMessage* message);

// The process's handler slots, each filled by its name (handlers.on_hello = ...), never by
// position; an empty slot takes nothing.
struct PumpHandlers {
    // "SMS" on "vel.kem.fimbad": sender <= 19, text <= 199 characters
    BusTwoTextHandler on_sms = nullptr;
    // "HELLO" on "vel.kem.broadcast": first text <= 199
    BusTextHandler on_hello = nullptr;
    // "Network_Notification" on "vel.kem.wenlod": two texts <= 9
    BusTwoTextHandler on_network_notification = nullptr;
    // "GOODBYE" on "vel.kem.broadcast": first text <= 199
    BusTextHandler on_goodbye = nullptr;
    // "NetworkResponseTimeIndicator" on "vel.kem.broadcast": first text <= 199
    BusTextHandler on_network_response_time = nullptr;
    // "WhoIsThere" on "vel.kem.broadcast": first text <= 199, or "" without an argument
    BusTextHandler on_who_is_there = nullptr;
    // any message that none of the rules before it took
    BusMessageHandler on_other_message = nullptr;
};

// Replaces the process's handler slots.
void gv_dbus_set_signal_handlers(const PumpHandlers& handlers);

// Reads and writes without waiting and hands each queued message to the first filled slot
// whose rule matches, in the order HELLO, GOODBYE, SMS, Network_Notification,
// NetworkResponseTimeIndicator, on_other_message, WhoIsThere; a message that no slot takes
// is dropped. Returns when the queue is empty: 0; -10 no context or connection; -9 at the
// first message with unusable arguments (a missing or non-text argument, a text over its
// slot's limit): that message is consumed without calling its handler, the rest stay queued.
int32_t gs32_dbus_pump_signals(BusContext* context);

// One message through the rules as the pump hands it on: 0 taken or dropped, -9 unusable
// arguments (its handler not called). The message stays the caller's.
int32_t gs32_dbus_dispatch_signal(DBusMessage* message);
