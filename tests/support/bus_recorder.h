// A monitor of the private bus: records every message on it for tests to wait for and check.
#pragma once

#include <dbus/dbus.h>

#include <optional>
#include <string>
#include <vector>

namespace korvad_test {

struct BusRecord {
    int type = 0;        // DBUS_MESSAGE_TYPE_SIGNAL, _METHOD_CALL, _METHOD_RETURN or _ERROR
    std::string sender;  // unique name of the sending connection
    std::string destination;
    std::string path;
    std::string interface;
    std::string member;
    std::string error_name;
    std::string signature;  // e.g. "ssss", "u", "ay"
    // Per argument: texts as they are, numbers in decimal, byte arrays raw, others "?".
    std::vector<std::string> args;
};

// Which records a wait takes; empty fields and type 0 match anything.
struct BusFilter {
    int type = 0;
    std::string interface = {};
    std::string member = {};
    std::string path = {};
    std::string sender = {};
    std::string destination = {};
    std::string arg0 = {};  // the first argument, as recorded in BusRecord::args
};

class BusRecorder {
  public:
    BusRecorder() = default;
    ~BusRecorder();
    BusRecorder(const BusRecorder&) = delete;
    BusRecorder& operator=(const BusRecorder&) = delete;

    // Opens a monitor connection (BecomeMonitor, no filter) to the bus at address; from the
    // return on, everything sent on the bus is recorded. false with the reason otherwise.
    bool start(const std::string& address, std::string* why);

    // The first recorded match that no earlier wait returned, waiting up to timeout_ms.
    std::optional<BusRecord> wait_for(const BusFilter& filter, int timeout_ms = 2000);

    // Every match recorded up to now (reads what has arrived, no waiting).
    std::vector<BusRecord> matching(const BusFilter& filter);

  private:
    void receive(int timeout_ms);

    DBusConnection* connection_ = nullptr;
    std::vector<BusRecord> records_;
    std::vector<bool> taken_;
};

}  // namespace korvad_test
