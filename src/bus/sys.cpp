// The watchdog client: a few lines each on top of the shared method call and signal sender.
#include "bus/sys.h"

#include <unistd.h>

#include <cstring>

#include "bus/method_call.h"

namespace {

uint32_t mu32_sys_own_pid() {
    return static_cast<uint32_t>(getpid());
}

int32_t ms32_sys_signal(const BusContext* context, const char* member, uint32_t value) {
    const BusArg argument = BusArg::U32(value);
    int32_t point =
        gs32_dbus_emit_signal(context, context->name, kSysInterface, member, &argument, 1);
    return point == kBusOk ? 0 : -1;
}

// Only the first two characters of an answer are compared.
constexpr uint32_t kAnswerSize = 3;

}  // namespace

int32_t gs32_sys_register_watchdog(const BusContext* context) {
    if (context == nullptr) return -9;
    const BusArg args[] = {BusArg::Text(context->name), BusArg::U32(mu32_sys_own_pid()),
                           BusArg::Text(context->CMDOnWatchdog),
                           BusArg::U32(static_cast<uint32_t>(context->watchdog_interval))};
    char answer[kAnswerSize];
    switch (gs32_dbus_method_call(context, {kSysService, "RegisterWatchdog", args, 4}, answer,
                                  sizeof answer, nullptr)) {
        case kBusOk:
            return strncmp(answer, "OK", 2) == 0 ? 0 : -9;
        case kBusSendRefused:
            return -2;
        case kBusNoPendingCall:
            return -4;
        case kBusNoReply:
            return -1;
        case kBusNoArguments:
            return -10;
        default:  // no context, not created, not appended, not a text
            return -9;
    }
}

int32_t gs32_sys_trigger_watchdog(const BusContext* context) {
    if (context == nullptr || context->connection == nullptr) return -5;
    return ms32_sys_signal(context, "TriggerWatchdog", mu32_sys_own_pid());
}

int32_t gs32_sys_trigger_watchdog_for(int32_t pid) {
    const BusContext* context = gp_dbus_own_context();
    if (context == nullptr || context->connection == nullptr) return -1;
    return ms32_sys_signal(context, "TriggerWatchdog", static_cast<uint32_t>(pid));
}

int32_t gs32_sys_cancel_watchdog(const BusContext* context) {
    if (context == nullptr || context->connection == nullptr) return -5;
    const BusArg argument = BusArg::U32(mu32_sys_own_pid());
    char answer[kAnswerSize];
    switch (gs32_dbus_method_call(context, {kSysService, "CancelWatchdog", &argument, 1}, answer,
                                  sizeof answer, nullptr)) {
        case kBusOk:
            return strncmp(answer, "OK", 2) == 0 ? 0 : -9;
        case kBusNoArguments:
        case kBusNotText:
            return -9;
        default:
            return -1;
    }
}

int32_t gs32_sys_stay_alive(const BusContext* context, uint32_t value) {
    if (context == nullptr || context->connection == nullptr || value == 0) return -5;
    return ms32_sys_signal(context, "StayAlive", value);
}

int32_t gs32_sys_get_ignition(const BusContext* context) {
    if (context == nullptr || context->connection == nullptr) return -5;
    char answer[kAnswerSize];
    switch (gs32_dbus_method_call(context, {kSysService, "GetIgnition"}, answer, sizeof answer,
                                  nullptr)) {
        case kBusOk:
            return strncmp(answer, "OF", 2) == 0 ? 0 : 1;
        case kBusNoArguments:
        case kBusNotText:
            return -9;
        default:
            return -1;
    }
}
