// The stand-in skeleton: name, method answers, log of received messages, signals.
#include "standin.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

class Error {
  public:
    Error() { dbus_error_init(&error_); }
    ~Error() { dbus_error_free(&error_); }
    DBusError* get() { return &error_; }
    std::string text() const {
        return dbus_error_is_set(&error_) ? std::string(error_.name) + ": " + error_.message
                                          : std::string("no error text");
    }

  private:
    DBusError error_;
};

void append_value(DBusMessageIter* iter, const Value& value) {
    bool ok = true;
    if (value.type == DBUS_TYPE_STRING) {
        const char* text = value.text.c_str();
        ok = dbus_validate_utf8(text, nullptr) &&
             dbus_message_iter_append_basic(iter, DBUS_TYPE_STRING, &text);
    } else if (value.type == DBUS_TYPE_UINT32) {
        dbus_uint32_t number = value.number;
        ok = dbus_message_iter_append_basic(iter, DBUS_TYPE_UINT32, &number);
    } else {
        DBusMessageIter array;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(value.text.data());
        ok = dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, "y", &array) &&
             dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &bytes,
                                                  static_cast<int>(value.text.size())) &&
             dbus_message_iter_close_container(iter, &array);
    }
    if (!ok) throw std::runtime_error("cannot append a value");
}

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

}  // namespace

void SimLog::line(const std::string& text) {
    out_ << text << std::endl;
}

Value parse_value(const std::string& text) {
    Value value;
    if (text.rfind("s:", 0) == 0) {
        value.text = text.substr(2);
    } else if (text.rfind("u:", 0) == 0) {
        value.type = DBUS_TYPE_UINT32;
        size_t used = 0;
        unsigned long number = std::stoul(text.substr(2), &used);
        if (used != text.size() - 2 || number > 0xFFFFFFFFul) {
            throw std::invalid_argument("not a u32: " + text);
        }
        value.number = static_cast<uint32_t>(number);
    } else if (text.rfind("ay:", 0) == 0) {
        value.type = DBUS_TYPE_ARRAY;
        std::string hex = text.substr(3);
        if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length: " + text);
        for (size_t i = 0; i < hex.size(); i += 2) {
            value.text += static_cast<char>(std::stoul(hex.substr(i, 2), nullptr, 16));
        }
    } else {
        throw std::invalid_argument("a value is s:TEXT, u:NUMBER or ay:HEX, not " + text);
    }
    return value;
}

std::pair<std::string, std::string> split_target(const std::string& text) {
    size_t dot = text.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) {
        throw std::invalid_argument("expected STANDIN.Method, got " + text);
    }
    return {text.substr(0, dot), text.substr(dot + 1)};
}

std::string describe_args(DBusMessage* message) {
    std::ostringstream out;
    out << "(";
    DBusMessageIter iter;
    bool first = true;
    for (bool more = dbus_message_iter_init(message, &iter); more;
         more = dbus_message_iter_next(&iter)) {
        if (!first) out << ", ";
        first = false;
        int type = dbus_message_iter_get_arg_type(&iter);
        if (type == DBUS_TYPE_STRING) {
            const char* text = nullptr;
            dbus_message_iter_get_basic(&iter, &text);
            out << "s " << quote(text);
        } else if (type == DBUS_TYPE_UINT32) {
            dbus_uint32_t number = 0;
            dbus_message_iter_get_basic(&iter, &number);
            out << "u " << number;
        } else if (type == DBUS_TYPE_ARRAY &&
                   dbus_message_iter_get_element_type(&iter) == DBUS_TYPE_BYTE) {
            DBusMessageIter array;
            dbus_message_iter_recurse(&iter, &array);
            const unsigned char* bytes = nullptr;
            int count = 0;
            dbus_message_iter_get_fixed_array(&array, &bytes, &count);
            char hex[3];
            out << "ay ";
            for (int i = 0; i < count; ++i) {
                snprintf(hex, sizeof hex, "%02x", bytes[i]);
                out << hex;
            }
        } else {
            out << static_cast<char>(type) << " ?";
        }
    }
    out << ")";
    return out.str();
}

StandIn::StandIn(StandInRow row, std::string name, SimLog& log)
    : row_(std::move(row)),
      name_(std::move(name)),
      bus_name_("vel.kem." + name_),
      path_("/vel/kem/" + name_ + "/Object"),
      log_(log) {
    for (const MethodEntry& entry : row_.methods) {
        replies_[entry.method] = Reply{Reply::Kind::kText, entry.answer, 0};
    }
}

StandIn::~StandIn() {
    if (row_.hooks.on_end != nullptr) row_.hooks.on_end(*this);
    if (connection_ != nullptr) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }
}

void StandIn::start() {
    Error error;
    connection_ = dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get());
    if (connection_ == nullptr) throw std::runtime_error("no bus: " + error.text());
    // The simulator decides itself when to end; a vanished bus is reported by process().
    dbus_connection_set_exit_on_disconnect(connection_, FALSE);
    Error name_error;
    int answer = dbus_bus_request_name(connection_, bus_name_.c_str(), DBUS_NAME_FLAG_DO_NOT_QUEUE,
                                       name_error.get());
    if (answer != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        throw std::runtime_error("cannot own " + bus_name_ + ": " + name_error.text());
    }
    std::vector<std::string> rules = row_.signal_rules;
    rules.push_back("type='signal',interface='vel.kem.broadcast'");
    for (const std::string& rule : rules) {
        Error rule_error;
        dbus_bus_add_match(connection_, rule.c_str(), rule_error.get());
        if (dbus_error_is_set(rule_error.get())) {
            throw std::runtime_error("bad match rule " + rule + ": " + rule_error.text());
        }
    }
    if (row_.hooks.on_start != nullptr) row_.hooks.on_start(*this);
}

int StandIn::fd() const {
    int fd = -1;
    if (connection_ == nullptr || !dbus_connection_get_unix_fd(connection_, &fd)) return -1;
    return fd;
}

void StandIn::process() {
    if (!dbus_connection_read_write(connection_, 0)) {
        throw std::runtime_error(name_ + ": bus connection lost");
    }
    for (;;) {
        Message message{dbus_connection_pop_message(connection_)};
        if (!message) break;
        handle(message.get());
    }
    dbus_connection_flush(connection_);
}

void StandIn::set_reply(const std::string& method, const Reply& reply) {
    replies_[method] = reply;
}

Reply StandIn::refusal(const std::string& method) const {
    for (const MethodEntry& entry : row_.methods) {
        if (method == entry.method && entry.refusal != nullptr) {
            return Reply{Reply::Kind::kText, entry.refusal, 0};
        }
    }
    return Reply{Reply::Kind::kText, "ERROR", 0};
}

Reply StandIn::normal(const std::string& method) const {
    for (const MethodEntry& entry : row_.methods) {
        if (method == entry.method) return Reply{Reply::Kind::kText, entry.answer, 0};
    }
    throw std::invalid_argument(name_ + " has no method " + method + " in its table");
}

bool StandIn::answers_normally(const std::string& method) const {
    auto found = replies_.find(method);
    if (found == replies_.end() || found->second.kind != Reply::Kind::kText) return false;
    for (const MethodEntry& entry : row_.methods) {
        if (method == entry.method) return found->second.text == entry.answer;
    }
    return false;
}

void StandIn::emit(const std::string& interface, const std::string& member,
                   const std::vector<Value>& values) {
    if (!dbus_validate_interface(interface.c_str(), nullptr) ||
        !dbus_validate_member(member.c_str(), nullptr)) {
        throw std::invalid_argument("bad interface or member: " + interface + " " + member);
    }
    Message signal{dbus_message_new_signal(path_.c_str(), interface.c_str(), member.c_str())};
    if (!signal) throw std::runtime_error("cannot create a signal");
    DBusMessageIter iter;
    dbus_message_iter_init_append(signal.get(), &iter);
    for (const Value& value : values) append_value(&iter, value);
    if (!dbus_connection_send(connection_, signal.get(), nullptr)) {
        throw std::runtime_error("cannot send a signal");
    }
    dbus_connection_flush(connection_);
    log_.line(name_ + ": emitted " + interface + "." + member + " " + describe_args(signal.get()));
}

void StandIn::handle(DBusMessage* message) {
    const char* sender = dbus_message_get_sender(message);
    // The bus's own notices (NameAcquired and the like) are not what a test looks for.
    if (sender != nullptr && std::string(sender) == DBUS_SERVICE_DBUS) return;
    // Its own broadcasts come back through its match rules; they are not news.
    const char* own = dbus_bus_get_unique_name(connection_);
    if (sender != nullptr && own != nullptr && std::string(sender) == own) return;
    int type = dbus_message_get_type(message);
    const char* member = dbus_message_get_member(message);
    const char* interface = dbus_message_get_interface(message);
    const char* path = dbus_message_get_path(message);
    if (type == DBUS_MESSAGE_TYPE_METHOD_CALL) {
        log_.line(name_ + ": method " + (member ? member : "?") + " " + describe_args(message) +
                  " on " + (interface ? interface : "-") + " at " + (path ? path : "-"));
        // A call on a foreign interface goes straight to the refusal in answer().
        const bool own_interface =
            row_.interface == nullptr || dbus_message_has_interface(message, row_.interface);
        if (row_.hooks.on_call == nullptr || !own_interface ||
            !row_.hooks.on_call(*this, message)) {
            answer(message);
        }
    } else if (type == DBUS_MESSAGE_TYPE_SIGNAL) {
        log_.line(name_ + ": signal " + (interface ? interface : "-") + "." +
                  (member ? member : "?") + " " + describe_args(message) + " from " +
                  (path ? path : "-"));
        // Like the real daemons, every stand-in answers WhoIsThere with its HELLO.
        if (hello_ && dbus_message_is_signal(message, "vel.kem.broadcast", "WhoIsThere")) {
            emit("vel.kem.broadcast", "HELLO",
                 {parse_value("s:" + name_), parse_value("s:sim"), parse_value("s:running"),
                  parse_value("s:stand-in of " + name_)});
        }
    }
}

void StandIn::answer(DBusMessage* call) {
    const char* member = dbus_message_get_member(call);
    // A client that calls on the wrong interface gets what a real daemon would answer.
    if (row_.interface != nullptr && !dbus_message_has_interface(call, row_.interface)) {
        Message error{dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_INTERFACE,
                                             "the stand-in has no such interface")};
        if (error) dbus_connection_send(connection_, error.get(), nullptr);
        log_.line(name_ + ": refused " + (member ? member : "?") + " on a foreign interface");
        return;
    }
    auto found = replies_.find(member != nullptr ? member : "");
    if (found == replies_.end()) {
        Message error{dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_METHOD,
                                             "the stand-in has no answer for this method")};
        if (error) dbus_connection_send(connection_, error.get(), nullptr);
        log_.line(name_ + ": refused unknown " + (member ? member : "?"));
        return;
    }
    reply(call, found->second);
}

void StandIn::reply(DBusMessage* call, const Reply& reply) {
    const char* member = dbus_message_get_member(call);
    if (member == nullptr) member = "?";
    if (reply.kind == Reply::Kind::kSilent) {
        log_.line(name_ + ": left " + member + " unanswered");
        return;
    }
    Message message{dbus_message_new_method_return(call)};
    if (!message) throw std::runtime_error("cannot create a reply");
    DBusMessageIter iter;
    dbus_message_iter_init_append(message.get(), &iter);
    if (reply.kind == Reply::Kind::kText) {
        append_value(&iter, parse_value("s:" + reply.text));
    } else if (reply.kind == Reply::Kind::kU32) {
        append_value(&iter, parse_value("u:" + std::to_string(reply.number)));
    }
    dbus_connection_send(connection_, message.get(), nullptr);
    log_.line(name_ + ": answered " + member + " " + describe_args(message.get()));
}

void StandIn::set(const std::string& key, const std::string& value) {
    if (row_.hooks.on_set == nullptr || !row_.hooks.on_set(*this, key, value)) {
        throw std::invalid_argument(name_ + " has no setting " + key);
    }
}

}  // namespace sim
