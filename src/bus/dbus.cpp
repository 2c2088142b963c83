// Registration on the system bus, names, typed arguments and the signals korvad sends.
#include "bus/dbus.h"

#include <cstdio>

#include "bus/owners.h"

namespace {

BusContext* g_own_context = nullptr;

int32_t ms32_dbus_format(const char* format, const char* component, char* out) {
    if (component == nullptr || out == nullptr) return -1;
    int written = snprintf(out, kBusNameSize, format, component);
    if (written < 0 || static_cast<uint32_t>(written) >= kBusNameSize) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int32_t ms32_dbus_append_bytes(DBusMessageIter* iter, const BusArg& arg) {
    if (arg.bytes == nullptr && arg.length > 0) return kBusNotAppended;
    if (arg.length > DBUS_MAXIMUM_ARRAY_LENGTH) return kBusNotAppended;
    static const uint8_t kNothing = 0;
    const uint8_t* data = arg.bytes != nullptr ? arg.bytes : &kNothing;
    DBusMessageIter array;
    if (!dbus_message_iter_open_container(iter, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING,
                                          &array)) {
        return kBusNotAppended;
    }
    if (!dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data,
                                              static_cast<int>(arg.length))) {
        dbus_message_iter_abandon_container(iter, &array);
        return kBusNotAppended;
    }
    return dbus_message_iter_close_container(iter, &array) ? kBusOk : kBusNotAppended;
}

int32_t ms32_dbus_register(BusContext* context, bool private_connection) {
    if (context == nullptr) return -5;
    if (context->connection != nullptr) gv_dbus_disconnect(context);
    DBusConnection* connection = nullptr;
    {
        DbusError error;
        connection = private_connection ? dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get())
                                        : dbus_bus_get(DBUS_BUS_SYSTEM, error.get());
    }
    if (connection == nullptr) return -9;
    // The library would end the process with status 1 and no word when the bus goes away;
    // the supervisor and the workers notice it themselves, log it and end.
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    context->connection = connection;
    context->connection_is_private = private_connection ? 1 : 0;
    g_own_context = context;

    char bus_name[kBusNameSize];
    if (gs32_dbus_bus_name(context->name, bus_name) != 0) return -10;
    DbusError error;
    int answer =
        dbus_bus_request_name(connection, bus_name, DBUS_NAME_FLAG_REPLACE_EXISTING, error.get());
    return answer == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER ? 0 : -10;
}

int32_t ms32_dbus_send_presence(const BusContext* context, const char* member,
                                int32_t send_refused) {
    if (context == nullptr || context->connection == nullptr) return -5;
    const BusArg texts[] = {BusArg::Text(context->name), BusArg::Text(context->version),
                            BusArg::Text(context->state), BusArg::Text(context->description)};
    switch (
        gs32_dbus_emit_signal(context, context->name, kBusBroadcastInterface, member, texts, 4)) {
        case kBusOk:
            return 0;
        case kBusNotAppended:
            return -10;
        case kBusSendRefused:
            return send_refused;
        default:
            return -1;
    }
}

}  // namespace

int32_t gs32_dbus_bus_name(const char* component, char* out) {
    if (ms32_dbus_format(kBusNameFormat, component, out) != 0) return -1;
    if (!dbus_validate_bus_name(out, nullptr)) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int32_t gs32_dbus_object_path(const char* component, char* out) {
    if (ms32_dbus_format(kBusPathFormat, component, out) != 0) return -1;
    if (!dbus_validate_path(out, nullptr)) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

const char* gpc_dbus_point_text(int32_t point) {
    switch (point) {
        case kBusOk:
            return "";
        case kBusBadArgument:
            return "DBUS argument error!";
        case kBusNotCreated:
            return "DBUS create message null error!";
        case kBusNotAppended:
        case kBusSendRefused:
            return "DBUS out of memory!";
        case kBusNoPendingCall:
            return "DBUS pendig call null error!";
        case kBusNoReply:
            return "No reply error!";
        case kBusNoArguments:
            return "reply has no arguments error!";
        case kBusNotText:
            return "reply is no string argument error!";
        default:
            return "DBUS unknown error!";
    }
}

int32_t gs32_dbus_append_args(DBusMessage* message, const BusArg* args, uint32_t count) {
    if (message == nullptr || (args == nullptr && count > 0)) return kBusNotAppended;
    DBusMessageIter iter;
    dbus_message_iter_init_append(message, &iter);
    for (uint32_t i = 0; i < count; ++i) {
        const BusArg& arg = args[i];
        switch (arg.type) {
            case DBUS_TYPE_STRING:
                // libdbus aborts on texts that are not UTF-8; refuse them here instead.
                if (arg.text == nullptr || !dbus_validate_utf8(arg.text, nullptr)) {
                    return kBusNotAppended;
                }
                if (!dbus_message_iter_append_basic(&iter, DBUS_TYPE_STRING, &arg.text)) {
                    return kBusNotAppended;
                }
                break;
            case DBUS_TYPE_UINT32: {
                dbus_uint32_t value = arg.number;
                if (!dbus_message_iter_append_basic(&iter, DBUS_TYPE_UINT32, &value)) {
                    return kBusNotAppended;
                }
                break;
            }
            case DBUS_TYPE_ARRAY:
                if (ms32_dbus_append_bytes(&iter, arg) != kBusOk) return kBusNotAppended;
                break;
            default:
                return kBusNotAppended;
        }
    }
    return kBusOk;
}

int32_t gs32_dbus_connect(BusContext* context) {
    return ms32_dbus_register(context, false);
}

int32_t gs32_dbus_connect_private(BusContext* context) {
    return ms32_dbus_register(context, true);
}

int32_t gs32_dbus_connect_unnamed(BusContext* context) {
    if (context == nullptr) return -5;
    DBusConnection* connection = nullptr;
    {
        DbusError error;
        connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, error.get());
    }
    if (connection == nullptr) return -9;
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    context->connection = connection;
    context->connection_is_private = 1;
    g_own_context = context;
    return 0;
}

BusContext* gp_dbus_own_context() {
    return g_own_context;
}

void gv_dbus_disconnect(BusContext* context) {
    if (context == nullptr) return;
    if (g_own_context == context) g_own_context = nullptr;
    if (context->connection == nullptr) return;
    if (context->connection_is_private) {
        PrivateConnection owned{context->connection};
    } else {
        dbus_connection_unref(context->connection);
    }
    context->connection = nullptr;
    context->connection_is_private = 0;
}

bool gb_dbus_is_connected(const BusContext* context) {
    return context != nullptr && context->connection != nullptr &&
           dbus_connection_get_is_connected(context->connection);
}

int32_t gs32_dbus_add_match(BusContext* context, const char* rule) {
    if (context == nullptr || context->connection == nullptr || rule == nullptr) return -5;
    dbus_bus_add_match(context->connection, rule, nullptr);
    dbus_connection_flush(context->connection);
    return 0;
}

int32_t gs32_dbus_emit_signal(const BusContext* context, const char* path_component,
                              const char* interface, const char* member, const BusArg* args,
                              uint32_t count) {
    if (context == nullptr || context->connection == nullptr || path_component == nullptr ||
        interface == nullptr || member == nullptr) {
        return kBusBadArgument;
    }
    char path[kBusNameSize];
    if (gs32_dbus_object_path(path_component, path) != 0) return kBusNotCreated;
    if (!dbus_validate_interface(interface, nullptr) || !dbus_validate_member(member, nullptr)) {
        return kBusNotCreated;
    }
    DbusMessage signal{dbus_message_new_signal(path, interface, member)};
    if (!signal) return kBusNotCreated;
    int32_t appended = gs32_dbus_append_args(signal.get(), args, count);
    if (appended != kBusOk) return appended;
    if (!dbus_connection_send(context->connection, signal.get(), nullptr)) return kBusSendRefused;
    dbus_connection_flush(context->connection);
    return kBusOk;
}

int32_t gs32_dbus_send_hello(const BusContext* context) {
    return ms32_dbus_send_presence(context, "HELLO", -1);
}

int32_t gs32_dbus_send_goodbye(const BusContext* context) {
    return ms32_dbus_send_presence(context, "GOODBYE", -1);
}

int32_t gs32_dbus_send_who_is_there(const BusContext* context) {
    return ms32_dbus_send_presence(context, "WhoIsThere", -2);
}

int32_t gs32_dbus_send_signal(const BusContext* context, const char* target, const char* member,
                              const char* text) {
    if (context == nullptr || context->connection == nullptr || target == nullptr ||
        member == nullptr || text == nullptr) {
        return -5;
    }
    char interface[kBusNameSize];
    if (gs32_dbus_bus_name(target, interface) != 0) return -1;
    const BusArg argument = BusArg::Text(text);
    switch (gs32_dbus_emit_signal(context, target, interface, member, &argument, 1)) {
        case kBusOk:
            return 0;
        case kBusSendRefused:
            return -2;
        default:
            return -1;
    }
}
