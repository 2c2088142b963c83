// Client of the system supervisor service hodrad: watchdog registration, triggers,
// cancellation, stay-alive and the ignition state.
#pragma once

#include <cstdint>

#include "bus/dbus.h"

// Method calls go to "vel.kem.hodrad" at "/vel/kem/hodrad/Object" on the interface
// "vel.kem.hodrad"; the signals go out from the sender's own object path on that interface.
constexpr const char* kSysService = "hodrad";
constexpr const char* kSysInterface = "vel.kem.hodrad";

// "RegisterWatchdog"(name s, own pid u, CMDOnWatchdog s, watchdog_interval u). 0 when the
// answer begins with "OK"; -9 no context, call not created or argument not appended; -2 send
// refused; -4 no pending call; -1 no reply; -10 reply without arguments; -9 first argument
// not a text or not "OK".
int32_t gs32_sys_register_watchdog(const BusContext* context);

// Signal "TriggerWatchdog"(own pid u). 0 when sent; -5 no context; -1 not made, filled or
// sent.
int32_t gs32_sys_trigger_watchdog(const BusContext* context);

// Signal "TriggerWatchdog"(pid u) on the process's own context (gp_dbus_own_context): the
// guard of a worker's transfer keeps the worker's registration alive with it, on a
// connection of its own that carries the worker's name component. 0 when sent; -1 no own
// context, or not made, filled or sent.
int32_t gs32_sys_trigger_watchdog_for(int32_t pid);

// "CancelWatchdog"(own pid u). 0 when the answer begins with "OK"; -5 no context; -1 call
// not created, argument not appended, not sent or no reply; -9 a first argument that is
// missing, not a text or not "OK".
int32_t gs32_sys_cancel_watchdog(const BusContext* context);

// Signal "StayAlive"(value u). 0 when sent; -5 no context or value 0; -1 not made, filled or
// sent.
int32_t gs32_sys_stay_alive(const BusContext* context, uint32_t value);

// "GetIgnition"(). 1 when the answer does not begin with "OF", 0 when it does; -5 no
// context; -1 call not created, not sent or no reply; -9 a reply without a text first.
int32_t gs32_sys_get_ignition(const BusContext* context);
