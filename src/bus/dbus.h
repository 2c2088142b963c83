// The process's bus context: registration on the system bus, the naming scheme of the
// device's daemons, typed message arguments and the signals korvad sends.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <type_traits>

// One per process: the supervisor's and every worker's own. Zero-filled at start; the texts
// are set before registration, `connection` by it.
struct BusContext {
    DBusConnection* connection;
    char name[128];     // own name component: "korvad", or "korvad_<pid>" in a worker
    char version[128];  // the three presence texts (empty in a worker)
    char state[128];
    char description[128];
    int32_t watchdog_interval;  // copied from the SystemConfig before the watchdog registration
    char CMDOnWatchdog[512];
    uint8_t connection_is_private;  // set by the registration: 1 for gs32_dbus_connect_private
};
static_assert(std::is_trivially_copyable_v<BusContext>);

// Naming scheme: a daemon with the name component X owns the bus name "vel.kem.X", serves
// the object "/vel/kem/X/Object", and its methods live on the interface "vel.kem.X" (the
// logger services use "vel.kem.method"). Broadcasts use "vel.kem.broadcast".
constexpr const char* kBusNameFormat = "vel.kem.%s";
constexpr const char* kBusPathFormat = "/vel/kem/%s/Object";
constexpr const char* kBusBroadcastInterface = "vel.kem.broadcast";
// Large enough for any name built from a 128-byte name component.
constexpr uint32_t kBusNameSize = 256;

// Fills out (kBusNameSize bytes) with "vel.kem.<component>" / "/vel/kem/<component>/Object".
// 0; -1 when an argument is missing, the result does not fit, or it is not a valid bus name,
// interface or object path (libdbus aborts the process on invalid names, so they never
// reach it).
int32_t gs32_dbus_bus_name(const char* component, char* out);
int32_t gs32_dbus_object_path(const char* component, char* out);

// Failure points of building, sending and calling. They are deliberately outside the range
// of the operations' own codes: every caller maps them to the codes of its operation.
enum BusPoint : int32_t {
    kBusOk = 0,
    kBusBadArgument = -101,    // no context or connection, a missing name or text
    kBusNotCreated = -102,     // message not created (also: names that do not form valid ones)
    kBusNotAppended = -103,    // argument not appended (also: a text that is not UTF-8)
    kBusSendRefused = -104,    // the library refused to queue the message
    kBusNoPendingCall = -105,  // send with reply returned no pending call (connection gone)
    kBusNoReply = -106,        // the pending call completed without a reply
    kBusNoArguments = -107,    // the reply carries no arguments
    kBusNotText = -108,        // the reply's first argument is not a text ('s')
};

// The phrase that clients end their log line with for a point, e.g. "No reply error!".
const char* gpc_dbus_point_text(int32_t point);

// One typed argument of a bus message: a text ('s'), an unsigned 32-bit number ('u') or an
// array of bytes ("ay"). The pointed-to data must live until the message is built.
struct BusArg {
    int type;  // DBUS_TYPE_STRING, DBUS_TYPE_UINT32 or DBUS_TYPE_ARRAY (of bytes)
    const char* text;
    uint32_t number;
    const uint8_t* bytes;
    uint32_t length;

    static BusArg Text(const char* value) { return {DBUS_TYPE_STRING, value, 0, nullptr, 0}; }
    static BusArg U32(uint32_t value) { return {DBUS_TYPE_UINT32, nullptr, value, nullptr, 0}; }
    static BusArg Bytes(const void* data, uint32_t count) {
        return {DBUS_TYPE_ARRAY, nullptr, 0, static_cast<const uint8_t*>(data), count};
    }
};

// Appends args in order; kBusOk or kBusNotAppended (also for a missing or non-UTF-8 text).
int32_t gs32_dbus_append_args(DBusMessage* message, const BusArg* args, uint32_t count);

// Registration. Gets the shared system-bus connection (gs32_dbus_connect, the supervisor)
// or a private one of its own (gs32_dbus_connect_private, a worker), stores it in
// context->connection and requests "vel.kem.<name>" with DBUS_NAME_FLAG_REPLACE_EXISTING.
// 0 only when the process became the primary owner; -5 no context; -9 no connection; -10
// the name was not obtained (queued behind an owner that does not allow replacement,
// already owner, invalid name, or an error). The context becomes the process's own
// (gp_dbus_own_context) as soon as it holds a connection.
int32_t gs32_dbus_connect(BusContext* context);
int32_t gs32_dbus_connect_private(BusContext* context);

// Opens a private connection without a bus name and makes the context the process's own.
// A forked helper that has closed the connections it inherited (the guard of a transfer)
// sends its worker's watchdog triggers on it; a lost bus does not end the process. 0; -5 no
// context; -9 no connection.
int32_t gs32_dbus_connect_unnamed(BusContext* context);

// The context of the last registration in this process (a forked child sees its parent's),
// or nullptr. The watchdog trigger on behalf of a worker sends on it.
BusContext* gp_dbus_own_context();

// Releases the context's connection: a private one is closed and released, the shared one
// only released. The supervisor never calls it (its connection lives as long as it does).
void gv_dbus_disconnect(BusContext* context);

// Whether the context holds a connection that the bus has not closed. A registered
// connection does not end the process when the bus goes away (the library's default);
// every loop asks this after letting the library read, and ends on false.
bool gb_dbus_is_connected(const BusContext* context);

// Adds a match rule and flushes; errors of the rule are not requested. 0, or -5 when an
// argument is missing.
int32_t gs32_dbus_add_match(BusContext* context, const char* rule);

// Sends a signal with the object path of path_component, the given interface and member,
// and args; flushed, released. kBusOk, kBusBadArgument, kBusNotCreated, kBusNotAppended or
// kBusSendRefused.
int32_t gs32_dbus_emit_signal(const BusContext* context, const char* path_component,
                              const char* interface, const char* member, const BusArg* args,
                              uint32_t count);

// Presence signals on "vel.kem.broadcast" from the own object path, carrying the texts
// name, version, state, description. 0; -5 no context or connection; -1 signal not created;
// -10 argument not appended; -1 (HELLO, GOODBYE) or -2 (WhoIsThere) send refused.
int32_t gs32_dbus_send_hello(const BusContext* context);
int32_t gs32_dbus_send_goodbye(const BusContext* context);
int32_t gs32_dbus_send_who_is_there(const BusContext* context);

// A signal to the daemon `target`: its object path, its interface (= its bus name), member,
// and text as the only argument. 0; -5 an argument missing; -1 signal not created or
// argument not appended; -2 send refused.
int32_t gs32_dbus_send_signal(const BusContext* context, const char* target, const char* member,
                              const char* text);
