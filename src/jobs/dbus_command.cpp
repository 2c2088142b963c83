// The DBUS command on the worker's bus connection, through the shared method-call and
// signal helpers of the bus layer.
#include "jobs/dbus_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bus/dbus.h"
#include "bus/method_call.h"
#include "connection/worker_state.h"
#include "core/heap.h"
#include "core/log.h"
#include "jobs/command_rows.h"
#include "jobs/job_line.h"
#include "jobs/params.h"
#include "jobs/result_buffer.h"

namespace {

constexpr const char* kHandler = "ms32_njch_send_nextjob_cmd_to_dbus";
constexpr int32_t kReplyTimeoutMs = 7000;
// The server reads the reply as the last field of one result line: 99 characters at most.
constexpr uint32_t kReplyTextSize = 100;

uint8_t g_dbus_first_call = 1;


// One name field; false when the name does not fit.
bool mb_dbus_format_field(char* field, const char* format, const char* component) {
    const int written = snprintf(field, kDbusNameFieldSize, format, component);
    return written >= 0 && static_cast<uint32_t>(written) < kDbusNameFieldSize;
}

int32_t ms32_dbus_signal_status(int32_t point, const char* not_created) {
    if (point == kBusOk) return 0;
    if (point == kBusSendRefused) {
        gs32_log_from(kHandler, "out of memory error!");
    } else {
        gs32_log_from(kHandler, "%s", not_created);
    }
    return -1;
}

// The failure texts of the method call; the four that follow the send are logged without
// the process id.
int32_t ms32_dbus_call_status(int32_t point) {
    switch (point) {
        case kBusOk:
            return 0;
        case kBusSendRefused:
            gs32_log_from(kHandler, "out of memory error! or timeout");
            return -1;
        case kBusNoPendingCall:
            gs32_log_printf("%s: DBUS pendig call null error!", kHandler);
            return -1;
        case kBusNoReply:
            gs32_log_printf("%s: No reply error!", kHandler);
            return -10;
        case kBusNoArguments:
            gs32_log_printf("%s: reply has no arguments error!", kHandler);
            return -10;
        case kBusNotText:
            gs32_log_printf("%s: reply is no string argument error", kHandler);
            return -10;
        default:  // no connection, invalid names, the payload not appended
            gs32_log_from(kHandler, "DBUS method error!");
            return -1;
    }
}

// Builds and sends the message of a decoded line; the reply text, if any, goes to reply
// (kReplyTextSize bytes). The status of the result line.
int32_t ms32_dbus_send(const DbusLine& line, char* reply) {
    const BusContext* context = gp_dbus_own_context();
    const char* own_name = context != nullptr ? context->name : "";
    DbusNames names;
    if (gs32_njch_dbus_form_names(line.target, own_name, &names) != 0) {
        gs32_log_from(kHandler, "target name too long");
        return -5;
    }
    const BusArg payload = BusArg::Bytes(line.payload.get(), line.length);
    const uint32_t arg_count = line.length > 0 ? 1 : 0;

    if (line.target[0] == '\0') {
        // A broadcast never carries the payload.
        const int32_t point =
            gs32_dbus_emit_signal(context, own_name, names.interface, line.member, nullptr, 0);
        return ms32_dbus_signal_status(point, "DBUS broadcast error!");
    }
    if (line.kind == 0) {
        const int32_t point = gs32_dbus_emit_signal(context, line.target, names.interface,
                                                    line.member, &payload, arg_count);
        return ms32_dbus_signal_status(point, "DBUS signal error!");
    }
    // A target that lets the time-out pass has not replied: -10. Other error replies (the
    // bus's when the target is not there, the target's own) carry their error text first
    // and count as a text reply, so the server reads why the call failed.
    const BusMethodCall call{line.target, line.member,     &payload, arg_count,
                             names.interface, kReplyTimeoutMs, true};
    const int32_t status =
        ms32_dbus_call_status(gs32_dbus_method_call(context, call, reply, kReplyTextSize, nullptr));
    // The reply is the last field of a CR LF terminated line: it must not end it early.
    for (char* p = reply; *p != '\0'; ++p) {
        if (*p == '\r' || *p == '\n') *p = ' ';
    }
    return status;
}

}  // namespace

int32_t gs32_njch_dbus_decode_line(const char* text, DbusLine* out) {
    if (out == nullptr) return -5;
    if (gs32_ch_nextjob_get_param_u32(1, text, &out->kind) != 0 ||
        gs32_ch_nextjob_get_param_str(2, text, out->target, sizeof out->target) != 0 ||
        gs32_ch_nextjob_get_param_str(3, text, out->member, sizeof out->member) != 0 ||
        gs32_ch_nextjob_get_param_u32(4, text, &out->length) != 0) {
        return -5;
    }
    if (out->length == 0) return 0;
    // The binary decoder copies only a payload that lies inside the line with its CR LF, so
    // the buffer never needs more than the line's bytes, whatever the length says (a "-3"
    // reads as 4294967293); a longer length fails in the decoder, which then writes one byte.
    const uint32_t line_size = gu32_ch_text_size(text);
    const uint32_t size = out->length < line_size ? out->length : line_size;
    out->payload.reset(static_cast<char*>(malloc(size > 0 ? size : 1)));
    if (!out->payload) {
        gs32_log_from(kHandler, "Malloc error");
        return -5;
    }
    return gs32_ch_nextjob_get_param_binary(5, text, out->payload.get(), out->length) == 0 ? 0
                                                                                           : -5;
}

int32_t gs32_njch_dbus_form_names(const char* target, const char* own_name, DbusNames* out) {
    if (target == nullptr || own_name == nullptr || out == nullptr) return -5;
    bool fits;
    if (target[0] == '\0') {
        out->destination[0] = '\0';
        fits = mb_dbus_format_field(out->path, kBusPathFormat, own_name) &&
               mb_dbus_format_field(out->interface, "%s", kBusBroadcastInterface);
    } else {
        // The bus helpers form the same destination and path from the same component.
        fits = mb_dbus_format_field(out->destination, kBusNameFormat, target) &&
               mb_dbus_format_field(out->path, kBusPathFormat, target) &&
               mb_dbus_format_field(out->interface, "%s", out->destination);
    }
    return fits ? 0 : -5;
}

int32_t ms32_njch_send_nextjob_cmd_to_dbus(const char* text, int16_t row) {
    if (g_dbus_first_call) {
        char reply[kReplyTextSize] = "";
        DbusLine line;
        int32_t status = gs32_njch_dbus_decode_line(text, &line);
        if (status == 0 && !gb_allowed_pair(gpc_ch_get_allow_list(kAllowDbus), line.target,
                                            line.member)) {
            gs32_log_from(kHandler, "%s.%s not allowed", LogSafe(line.target).text,
                          LogSafe(line.member).text);
            status = -5;
        }
        if (status == 0) status = ms32_dbus_send(line, reply);
        if (reply[0] != '\0') {
            gu32_ch_format_result_line("%s;%d;%s\r\n", gpc_ch_command_keyword(row), status, reply);
        } else {
            gu32_ch_format_result_line("%s;%d\r\n", gpc_ch_command_keyword(row), status);
        }
    }
    return gs32_ch_store_result_line(&g_dbus_first_call);
}

void gv_njch_reset_dbus_command() {
    g_dbus_first_call = 1;
}
