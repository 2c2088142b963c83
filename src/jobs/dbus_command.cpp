// The DBUS command on the worker's bus connection, through the shared method-call and
// signal helpers of the bus layer.
#include "jobs/dbus_command.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bus/dbus.h"
#include "bus/method_call.h"
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
// Target and member are decoded into buffers of this size (255 characters).
constexpr uint32_t kParamTextSize = 256;
// Destination, object path and interface each have a field of this size. A target that does
// not fit is refused instead of cut: a cut name would address another daemon. The object
// path is the tightest, so 47 characters is the longest target that is accepted.
constexpr uint32_t kNameFieldSize = 64;

uint8_t g_dbus_first_call = 1;

int pid() {
    return static_cast<int>(getpid());
}

struct DbusLine {
    uint32_t kind = 0;
    char target[kParamTextSize] = {};
    char member[kParamTextSize] = {};
    uint32_t length = 0;
    HeapBuffer payload;
};

struct BusNames {
    char destination[kNameFieldSize];
    char path[kNameFieldSize];
    char interface[kNameFieldSize];
};

// The line reader took the payload length from the field's leading decimal digits; the
// numeric decoder also reads blanks, a sign and hexadecimal. They must agree, or the payload
// would be taken from bytes the reader did not count as payload.
bool mb_dbus_length_is_decimal(const char* text, uint32_t length) {
    char field[15];
    if (gs32_ch_nextjob_get_param_str(4, text, field, sizeof field) != 0) return false;
    uint64_t digits = 0;
    for (const char* p = field; *p >= '0' && *p <= '9'; ++p) digits = digits * 10 + (*p - '0');
    return digits == length;
}

// Parameters 1 to 5 in their order; the first failure ends the walk. 0 or -5.
int32_t ms32_dbus_decode(const char* text, DbusLine* line) {
    if (gs32_ch_nextjob_get_param_u32(1, text, &line->kind) != 0 ||
        gs32_ch_nextjob_get_param_str(2, text, line->target, sizeof line->target) != 0 ||
        gs32_ch_nextjob_get_param_str(3, text, line->member, sizeof line->member) != 0 ||
        gs32_ch_nextjob_get_param_u32(4, text, &line->length) != 0) {
        return -5;
    }
    if (!mb_dbus_length_is_decimal(text, line->length)) {
        gs32_log_printf("%d: %s: length not in decimal", pid(), kHandler);
        return -5;
    }
    if (line->length == 0) return 0;
    // The payload lies inside the line: a length the line cannot hold is refused before it
    // is allocated.
    if (line->length > gu32_ch_text_size(text)) {
        gs32_log_printf("%d: %s: payload longer than its line", pid(), kHandler);
        return -5;
    }
    line->payload.reset(static_cast<char*>(malloc(line->length)));
    if (!line->payload) {
        gs32_log_printf("%d: %s: Malloc error", pid(), kHandler);
        return -5;
    }
    return gs32_ch_nextjob_get_param_binary(5, text, line->payload.get(), line->length) == 0 ? 0
                                                                                             : -5;
}

// One name field; false when the name does not fit.
bool mb_dbus_format_field(char* field, const char* format, const char* component) {
    const int written = snprintf(field, kNameFieldSize, format, component);
    return written >= 0 && static_cast<uint32_t>(written) < kNameFieldSize;
}

// The names of the message: from the target, or for a broadcast from the worker's own name
// component. The bus helpers form the same destination and path from the same component.
bool mb_dbus_form_names(const char* target, const char* own_name, BusNames* names) {
    if (target[0] == '\0') {
        names->destination[0] = '\0';
        return mb_dbus_format_field(names->path, kBusPathFormat, own_name) &&
               mb_dbus_format_field(names->interface, "%s", kBusBroadcastInterface);
    }
    return mb_dbus_format_field(names->destination, kBusNameFormat, target) &&
           mb_dbus_format_field(names->path, kBusPathFormat, target) &&
           mb_dbus_format_field(names->interface, "%s", names->destination);
}

int32_t ms32_dbus_signal_status(int32_t point, const char* not_created) {
    if (point == kBusOk) return 0;
    if (point == kBusSendRefused) {
        gs32_log_printf("%d: %s: out of memory error!", pid(), kHandler);
    } else {
        gs32_log_printf("%d: %s: %s", pid(), kHandler, not_created);
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
            gs32_log_printf("%d: %s: out of memory error! or timeout", pid(), kHandler);
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
            gs32_log_printf("%d: %s: DBUS method error!", pid(), kHandler);
            return -1;
    }
}

// Builds and sends the message of a decoded line; the reply text, if any, goes to reply
// (kReplyTextSize bytes). The status of the result line.
int32_t ms32_dbus_send(const DbusLine& line, char* reply) {
    const BusContext* context = gp_dbus_own_context();
    const char* own_name = context != nullptr ? context->name : "";
    BusNames names;
    if (!mb_dbus_form_names(line.target, own_name, &names)) {
        gs32_log_printf("%d: %s: target name too long", pid(), kHandler);
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

int32_t ms32_njch_send_nextjob_cmd_to_dbus(const char* text, int16_t row) {
    if (g_dbus_first_call) {
        char reply[kReplyTextSize] = "";
        DbusLine line;
        int32_t status = ms32_dbus_decode(text, &line);
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
