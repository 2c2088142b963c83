// Owners of libdbus objects: every message, pending call, error and private connection is
// released by exactly one of these, on every path.
#pragma once

#include <dbus/dbus.h>

#include <memory>

struct DbusMessageUnref {
    void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
using DbusMessage = std::unique_ptr<DBusMessage, DbusMessageUnref>;

// A pending call that is dropped before it completed is cancelled first, so that libdbus
// forgets the reply it still waits for.
struct PendingCallRelease {
    void operator()(DBusPendingCall* pending) const {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
    }
};
using PendingCall = std::unique_ptr<DBusPendingCall, PendingCallRelease>;

// A connection of our own from dbus_bus_get_private: closed, then released. Shared
// connections (dbus_bus_get) must never be closed and are not held by this owner.
struct PrivateConnectionClose {
    void operator()(DBusConnection* connection) const {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
};
using PrivateConnection = std::unique_ptr<DBusConnection, PrivateConnectionClose>;

// A DBusError that libdbus may fill; freed when it goes out of scope.
class DbusError {
  public:
    DbusError() { dbus_error_init(&error_); }
    ~DbusError() { dbus_error_free(&error_); }
    DbusError(const DbusError&) = delete;
    DbusError& operator=(const DbusError&) = delete;
    DBusError* get() { return &error_; }
    bool is_set() const { return dbus_error_is_set(&error_) != 0; }

  private:
    DBusError error_;
};
