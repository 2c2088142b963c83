// Network service client: three method calls on the shared method-call helper.
#include "connection/network.h"

#include <cstring>

#include "bus/method_call.h"
#include "connection/worker_state.h"

namespace {

constexpr const char* kNetworkService = "wenlod";

int32_t ms32_nw_call(BusContext* context, const char* method, const BusArg* args,
                     uint32_t count) {
    if (context == nullptr) return -1;
    char answer[8];  // only the first five characters are compared
    BusMethodCall call{kNetworkService, method, args, count};
    int32_t point = gs32_dbus_method_call(context, call, answer, sizeof answer, nullptr);
    if (point != kBusOk) return gs32_dbus_point_code(point);
    return strncmp(answer, "ERROR", 5) == 0 ? -8 : 0;
}

}  // namespace

int32_t gs32_nw_start_connection(BusContext* context, uint32_t value) {
    const BusArg args[] = {BusArg::U32(value)};
    return ms32_nw_call(context, "StartConnection", args, 1);
}

int32_t gs32_nw_stop_connection(BusContext* context) {
    return ms32_nw_call(context, "StopConnection", nullptr, 0);
}

int32_t gs32_nw_get_con_interface(BusContext* context, char* answer, uint32_t size) {
    if (context == nullptr || answer == nullptr || size <= 12) return -10;
    BusMethodCall call{kNetworkService, "GetConInterface"};
    // The library's time-out error is no interface name: taken as an answer it would count
    // as a link that is up. It is a failed call (-9), which the worker asks again.
    call.timeout_is_no_reply = true;
    int32_t point = gs32_dbus_method_call(context, call, answer, size, nullptr);
    if (point != kBusOk) return gs32_dbus_point_code(point);
    return 0;
}

int32_t mv_connhandler_who_is_there(const char* daemon_name) {
    if (daemon_name == nullptr || strcmp(daemon_name, kNetworkService) != 0) return 1;
    if (g_worker_state.cycle_state == CH_WAIT_SERVICE) g_worker_state.cycle_state = CH_IDLE;
    return 0;
}

int32_t mv_connhandler_network_notification(const char* /*first*/, const char* status) {
    bool up = status != nullptr && strcmp(status, "UP") == 0;
    g_worker_state.link_up = up ? 1 : 0;
    return up ? 0 : 1;
}
