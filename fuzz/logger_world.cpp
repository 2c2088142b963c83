#include "logger_world.h"

#include <cstdlib>
#include <cstring>

#include "bus/method_call.h"
#include "core/util.h"

namespace {
const char* g_answer = "OK 1004";
uint32_t g_calls = 0;
}  // namespace

void gv_logger_world_answer(const char* answer) { g_answer = answer; }
uint32_t gu32_logger_world_calls() { return g_calls; }

BusContext* gp_dbus_own_context() {
    static BusContext context{};
    return &context;
}

int32_t gs32_dbus_method_call(const BusContext* /*context*/, const BusMethodCall& call,
                              char* answer, uint32_t size, uint32_t* length_out) {
    ++g_calls;
    if (strcmp(call.method, "ReqMaxDatasetSize") != 0 || answer == nullptr || size == 0) abort();
    const uint32_t length = gu32_copy_bounded(answer, g_answer, size);
    if (length_out != nullptr) *length_out = length;
    return kBusOk;
}

// The reader never asks for a LoggerFile in these targets.
int32_t gs32_dbus_request_string(const BusContext*, const char*, const char*, const char*, char*,
                                 int32_t) {
    abort();
}
