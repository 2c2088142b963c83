// The bus recorder: a monitor connection and the records of what it saw.
#include "support/bus_recorder.h"

#include <chrono>
#include <memory>

namespace korvad_test {

namespace {

using Clock = std::chrono::steady_clock;

struct MessageUnref {
    void operator()(DBusMessage* m) const { dbus_message_unref(m); }
};
using Message = std::unique_ptr<DBusMessage, MessageUnref>;

BusRecord record_of(DBusMessage* message) {
    auto text = [](const char* t) { return std::string(t != nullptr ? t : ""); };
    BusRecord record{dbus_message_get_type(message),
                     text(dbus_message_get_sender(message)),
                     text(dbus_message_get_destination(message)),
                     text(dbus_message_get_path(message)),
                     text(dbus_message_get_interface(message)),
                     text(dbus_message_get_member(message)),
                     text(dbus_message_get_error_name(message)),
                     text(dbus_message_get_signature(message)),
                     {}};
    DBusMessageIter iter;
    for (bool more = dbus_message_iter_init(message, &iter); more;
         more = dbus_message_iter_next(&iter)) {
        int type = dbus_message_iter_get_arg_type(&iter);
        DBusBasicValue value{};
        if (type == DBUS_TYPE_STRING || type == DBUS_TYPE_UINT32 || type == DBUS_TYPE_INT32) {
            dbus_message_iter_get_basic(&iter, &value);
            record.args.push_back(type == DBUS_TYPE_STRING   ? std::string(value.str)
                                  : type == DBUS_TYPE_UINT32 ? std::to_string(value.u32)
                                                             : std::to_string(value.i32));
        } else if (type == DBUS_TYPE_ARRAY &&
                   dbus_message_iter_get_element_type(&iter) == DBUS_TYPE_BYTE) {
            DBusMessageIter array;
            dbus_message_iter_recurse(&iter, &array);
            const char* bytes = nullptr;
            int count = 0;
            dbus_message_iter_get_fixed_array(&array, &bytes, &count);
            record.args.emplace_back(bytes, static_cast<size_t>(count));
        } else {
            record.args.emplace_back("?");
        }
    }
    return record;
}

bool matches(const BusRecord& record, const BusFilter& filter) {
    auto same = [](const std::string& wanted, const std::string& seen) {
        return wanted.empty() || wanted == seen;
    };
    return (filter.type == 0 || filter.type == record.type) &&
           same(filter.interface, record.interface) && same(filter.member, record.member) &&
           same(filter.path, record.path) && same(filter.sender, record.sender) &&
           same(filter.destination, record.destination) &&
           (filter.arg0.empty() || (!record.args.empty() && record.args[0] == filter.arg0));
}

}  // namespace

BusRecorder::~BusRecorder() {
    if (connection_ != nullptr) {
        dbus_connection_close(connection_);
        dbus_connection_unref(connection_);
    }
}

bool BusRecorder::start(const std::string& address, std::string* why) {
    DBusError error;
    dbus_error_init(&error);
    connection_ = dbus_connection_open_private(address.c_str(), &error);
    if (connection_ != nullptr) {
        dbus_connection_set_exit_on_disconnect(connection_, FALSE);
        if (dbus_bus_register(connection_, &error)) {
            Message call{dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS,
                                                      "org.freedesktop.DBus.Monitoring",
                                                      "BecomeMonitor")};
            const char** no_rules = nullptr;  // no match rules: everything
            dbus_uint32_t flags = 0;
            dbus_message_append_args(call.get(), DBUS_TYPE_ARRAY, DBUS_TYPE_STRING, &no_rules, 0,
                                     DBUS_TYPE_UINT32, &flags, DBUS_TYPE_INVALID);
            Message reply{
                dbus_connection_send_with_reply_and_block(connection_, call.get(), 2000, &error)};
        }
    }
    bool ok = connection_ != nullptr && !dbus_error_is_set(&error);
    if (!ok) *why = std::string("bus monitor: ") + (error.message ? error.message : "no link");
    dbus_error_free(&error);
    return ok;
}

void BusRecorder::receive(int timeout_ms) {
    if (connection_ == nullptr) return;
    // One read takes only a part of what may be queued on the socket, and may end inside a
    // message: read on without waiting until three reads in a row bring nothing new.
    for (int wait = timeout_ms, idle = 0; idle < 3; wait = 0) {
        dbus_connection_read_write(connection_, wait);
        size_t before = records_.size();
        for (;;) {
            Message message{dbus_connection_pop_message(connection_)};
            if (!message) break;
            records_.push_back(record_of(message.get()));
            taken_.push_back(false);
        }
        idle = records_.size() == before ? idle + 1 : 0;
    }
}

std::optional<BusRecord> BusRecorder::wait_for(const BusFilter& filter, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t checked = 0;
    receive(0);
    for (;;) {
        for (; checked < records_.size(); ++checked) {
            if (!taken_[checked] && matches(records_[checked], filter)) {
                taken_[checked] = true;
                return records_[checked];
            }
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return std::nullopt;
        receive(static_cast<int>(left));
    }
}

std::vector<BusRecord> BusRecorder::matching(const BusFilter& filter) {
    receive(0);
    std::vector<BusRecord> found;
    for (const BusRecord& record : records_) {
        if (matches(record, filter)) found.push_back(record);
    }
    return found;
}

}  // namespace korvad_test
