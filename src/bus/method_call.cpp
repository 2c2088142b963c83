// The blocking method call shared by every service client.
#include "bus/method_call.h"

#include <cstring>

#include "bus/owners.h"
#include "core/util.h"

int32_t gs32_dbus_method_call(const BusContext* context, const BusMethodCall& call, char* answer,
                              uint32_t size, uint32_t* length_out) {
    if (length_out != nullptr) *length_out = 0;
    if (answer != nullptr && size > 0) answer[0] = '\0';
    if (context == nullptr || context->connection == nullptr || call.target == nullptr ||
        call.method == nullptr || (answer == nullptr && size > 0)) {
        return kBusBadArgument;
    }

    char destination[kBusNameSize];
    char path[kBusNameSize];
    if (gs32_dbus_bus_name(call.target, destination) != 0 ||
        gs32_dbus_object_path(call.target, path) != 0) {
        return kBusNotCreated;
    }
    const char* interface = call.interface != nullptr ? call.interface : destination;
    if (!dbus_validate_interface(interface, nullptr) ||
        !dbus_validate_member(call.method, nullptr)) {
        return kBusNotCreated;
    }

    PendingCall pending;
    {
        DbusMessage request{
            dbus_message_new_method_call(destination, path, interface, call.method)};
        if (!request) return kBusNotCreated;
        int32_t appended = gs32_dbus_append_args(request.get(), call.args, call.arg_count);
        if (appended != kBusOk) return appended;
        DBusPendingCall* raw = nullptr;
        if (!dbus_connection_send_with_reply(context->connection, request.get(), &raw,
                                             call.timeout_ms)) {
            if (raw != nullptr) dbus_pending_call_unref(raw);
            return kBusSendRefused;
        }
        pending.reset(raw);
        if (!pending) return kBusNoPendingCall;
        dbus_connection_flush(context->connection);
    }  // the request is released here, before the wait

    dbus_pending_call_block(pending.get());
    DbusMessage reply{dbus_pending_call_steal_reply(pending.get())};
    pending.reset();
    return gs32_dbus_reply_text(reply.get(), call.timeout_is_no_reply, answer, size, length_out);
}

int32_t gs32_dbus_reply_text(DBusMessage* reply, bool timeout_is_no_reply, char* answer,
                             uint32_t size, uint32_t* length_out) {
    if (length_out != nullptr) *length_out = 0;
    if (answer != nullptr && size > 0) answer[0] = '\0';
    if (reply == nullptr) return kBusNoReply;
    if (timeout_is_no_reply && dbus_message_is_error(reply, DBUS_ERROR_NO_REPLY)) {
        return kBusNoReply;
    }
    DBusMessageIter iter;
    if (!dbus_message_iter_init(reply, &iter)) return kBusNoArguments;
    if (dbus_message_iter_get_arg_type(&iter) != DBUS_TYPE_STRING) return kBusNotText;
    const char* text = nullptr;
    dbus_message_iter_get_basic(&iter, &text);
    const uint32_t length = static_cast<uint32_t>(strlen(text));
    if (answer != nullptr && size > 0) gu32_copy_bounded(answer, text, size);
    if (length_out != nullptr) *length_out = length;
    return kBusOk;
}

int32_t gs32_dbus_request_string(const BusContext* context, const char* target, const char* method,
                                 const char* text, char* answer, int32_t size) {
    if (context == nullptr || context->connection == nullptr || target == nullptr ||
        method == nullptr || text == nullptr || answer == nullptr || size <= 0) {
        return -5;
    }
    const BusArg argument = BusArg::Text(text);
    uint32_t length = 0;
    int32_t point = gs32_dbus_method_call(context, {target, method, &argument, 1}, answer,
                                          static_cast<uint32_t>(size), &length);
    if (point == kBusBadArgument) return -5;
    if (point != kBusOk) return gs32_dbus_point_code(point);
    // A full buffer has no room for the terminator: the answer does not fit.
    if (length >= static_cast<uint32_t>(size)) return -6;
    if (strncmp(answer, "ERROR", 5) == 0) return -8;
    return 0;
}

int32_t gs32_dbus_point_code(int32_t point) {
    switch (point) {
        case kBusOk:
            return 0;
        case kBusNoReply:
        case kBusNoArguments:
        case kBusNotText:
            return -9;
        default:
            return -1;
    }
}
