// The skeleton of a stand-in for a sibling daemon: it owns "vel.kem.<name>", answers the
// methods of its table (answers changeable at run time), writes one log line for every
// message it receives and emits signals on demand.
#pragma once

#include <dbus/dbus.h>

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

// How a stand-in answers one method.
struct Reply {
    enum class Kind { kText, kU32, kNoArguments, kSilent };
    Kind kind = Kind::kText;
    std::string text;
    uint32_t number = 0;
};

struct MethodEntry {
    const char* method;
    const char* answer;   // the normal answer
    const char* refusal;  // the answer after "refuse"
};

class StandIn;

// Behaviour beyond fixed answers (files written, segments created), for the rows that need
// it. Every hook is optional.
struct StandInHooks {
    // Called for every method call before the answer table; true when the hook handled it
    // (answered with StandIn::reply, or left it unanswered on purpose).
    bool (*on_call)(StandIn& self, DBusMessage* call) = nullptr;
    // "set X KEY VALUE" on standard input and "--set X.KEY=VALUE": true when the key is known.
    bool (*on_set)(StandIn& self, const std::string& key, const std::string& value) = nullptr;
    // After the name is taken, and before the stand-in ends (cleanup of what it made).
    void (*on_start)(StandIn& self) = nullptr;
    void (*on_end)(StandIn& self) = nullptr;
};

// One row of the stand-in table: adding a daemon is one of these.
struct StandInRow {
    const char* name;       // name component, e.g. "hodrad"; "tulvad_" matches any tulvad_X
    const char* interface;  // interface of its methods (others are refused); nullptr: any
    const char* about;      // one line for --help
    std::vector<MethodEntry> methods;
    std::vector<std::string> signal_rules;  // match rules of the signals it listens to
    StandInHooks hooks = {};
};

// The stand-ins the simulator knows (standins.cpp).
const std::vector<StandInRow>& standin_table();
// The row for a name component; a generic row (no methods) for names not in the table.
StandInRow find_standin(const std::string& name);

// One typed value of a signal or reply, parsed from "s:TEXT", "u:NUMBER" or "y:HEX".
struct Value {
    int type = DBUS_TYPE_STRING;
    std::string text;
    uint32_t number = 0;
};
Value parse_value(const std::string& text);  // throws std::invalid_argument

// Every line goes to the stream at once (tests read it through a pipe).
class SimLog {
  public:
    explicit SimLog(std::ostream& out) : out_(out) {}
    void line(const std::string& text);

  private:
    std::ostream& out_;
};

class StandIn {
  public:
    StandIn(StandInRow row, std::string name, SimLog& log);
    ~StandIn();
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // Connects privately to the system bus, takes the name and adds the match rules.
    // Throws std::runtime_error when that fails.
    void start();
    int fd() const;
    // Reads and writes without waiting and handles every queued message.
    void process();

    const std::string& name() const { return name_; }
    void set_reply(const std::string& method, const Reply& reply);
    // Whether a WhoIsThere is answered with HELLO (on by default).
    void set_hello(bool on) { hello_ = on; }
    // The refusal text of the table, or "ERROR" for methods without one.
    Reply refusal(const std::string& method) const;
    // The table's normal answer, and whether method is still set to it (hooks make that
    // answer themselves, an answer set from outside wins).
    Reply normal(const std::string& method) const;
    bool answers_normally(const std::string& method) const;
    // Sends the answer to call (nothing for kSilent) and logs it.
    void reply(DBusMessage* call, const Reply& reply);
    // Applies "set X KEY VALUE"; throws std::invalid_argument for a key no hook knows.
    void set(const std::string& key, const std::string& value);
    SimLog& log() { return log_; }
    DBusConnection* connection() { return connection_; }
    // Free storage for a row's hooks (state of the behaviour they add).
    std::shared_ptr<void> extension;
    // Emits a signal from the stand-in's own object path.
    void emit(const std::string& interface, const std::string& member,
              const std::vector<Value>& values);

  private:
    void handle(DBusMessage* message);
    void answer(DBusMessage* call);

    StandInRow row_;
    std::string name_;
    std::string bus_name_;
    std::string path_;
    SimLog& log_;
    DBusConnection* connection_ = nullptr;
    std::map<std::string, Reply> replies_;
    bool hello_ = true;
};

// "name.Method" split at the last dot; throws std::invalid_argument.
std::pair<std::string, std::string> split_target(const std::string& text);

// Renders the arguments of a message as "(s "text", u 5, ay 3 bytes)".
std::string describe_args(DBusMessage* message);

}  // namespace sim
