// Feeds arbitrary parameter bytes through the DBUS handler, whose bus helpers are replaced
// here by a fake send layer that checks what it is asked to send and answers as the input
// says.
//
// Input: byte 0 chooses the ResultBuffer's capacity (3 to 66 bytes, so that result lines
// are split across parts); byte 1 the fake's outcome (a failure point, or a text reply);
// byte 2 the length of that reply (up to 255 characters, with CR, LF, ';' and '#' in it);
// the rest is the handler's text, copied into the current job line as the reader would.
//
// Besides the sanitizers it checks: at most one message per line; a target that fits the
// name fields, the 7000 ms time-out, a broadcast without payload from the worker's own
// object; the exact result line for the fake's outcome (-5 when nothing was sent), the reply
// cut to 99 characters with CR and LF as blanks; and the same bytes whether the line was
// stored in one part or split across many, with no second send on a re-call.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bus/method_call.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/command_rows.h"
#include "jobs/dbus_command.h"
#include "jobs/job_line.h"
#include "jobs/result_buffer.h"

namespace {

void mv_check(bool condition) {
    if (!condition) abort();
}

BusContext g_context{};
int32_t g_point = kBusOk;  // what the fake send layer reports
std::string g_answer;
uint32_t g_sends = 0;
int32_t g_signal_point = kBusOk;  // what the last signal send reported; kBusNoReply: a call

const int32_t kPoints[] = {kBusOk,          kBusBadArgument, kBusNotCreated,
                           kBusNotAppended, kBusSendRefused, kBusNoPendingCall,
                           kBusNoReply,     kBusNoArguments, kBusNotText};

// Names the handler passes on must have fitted its 64-byte fields.
void mv_check_target(const char* component, const char* interface) {
    mv_check(strlen(component) <= 47);
    mv_check(std::string(interface) == "vel.kem." + std::string(component));
}

// Reads every payload byte, so that the sanitizers see a payload that is not all there.
void mv_check_args(const BusArg* args, uint32_t count) {
    mv_check(count <= 1);
    if (count == 0) return;
    mv_check(args->type == DBUS_TYPE_ARRAY && args->length > 0 && args->bytes != nullptr);
    volatile uint8_t sum = 0;
    for (uint32_t i = 0; i < args->length; ++i) sum = static_cast<uint8_t>(sum + args->bytes[i]);
}

}  // namespace

BusContext* gp_dbus_own_context() {
    return &g_context;
}

int32_t gs32_dbus_method_call(const BusContext* context, const BusMethodCall& call, char* answer,
                              uint32_t size, uint32_t* length_out) {
    ++g_sends;
    g_signal_point = kBusNoReply;
    mv_check(context == &g_context && call.timeout_ms == 7000 && call.interface != nullptr);
    mv_check(call.target[0] != '\0');
    mv_check_target(call.target, call.interface);
    mv_check_args(call.args, call.arg_count);
    mv_check(answer != nullptr && size == 100);
    answer[0] = '\0';
    if (length_out != nullptr) *length_out = 0;
    if (g_point != kBusOk) return g_point;
    const size_t copied = g_answer.size() < size ? g_answer.size() : size - 1;
    memcpy(answer, g_answer.data(), copied);
    answer[copied] = '\0';
    return kBusOk;
}

int32_t gs32_dbus_emit_signal(const BusContext* context, const char* path_component,
                              const char* interface, const char* member, const BusArg* args,
                              uint32_t count) {
    ++g_sends;
    mv_check(context == &g_context && member != nullptr);
    if (strcmp(interface, kBusBroadcastInterface) == 0) {
        mv_check(strcmp(path_component, g_context.name) == 0 && count == 0);
    } else {
        mv_check_target(path_component, interface);
        mv_check_args(args, count);
    }
    // A signal has no reply: the points after the send cannot occur.
    g_signal_point = g_point >= kBusSendRefused ? g_point : kBusOk;
    return g_signal_point;
}

namespace {

void mv_set_line(const uint8_t* text, size_t size) {
    JobLine& line = g_job_line;
    line.text.reset(static_cast<char*>(calloc(size + 5, 1)));
    mv_check(line.text != nullptr);
    memcpy(line.text.get(), "DBUS", 4);
    memcpy(line.text.get() + 4, text, size);
    line.capacity = static_cast<uint32_t>(size + 5);
    line.length = static_cast<uint32_t>(size + 4);
    line.cursor = line.text.get() + 4;
    line.command = kDbusRow;
    line.form = JobLineForm::kDbus;
}

// The handler on the current line with a ResultBuffer of capacity bytes, re-called and
// uploaded until its line is stored; returns everything stored.
std::string run_handler(uint32_t capacity) {
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    gv_ch_worker_state_start(&record);
    mv_check(gs32_ch_alloc_result_buffers() == 0);
    gv_njch_reset_dbus_command();
    g_sends = 0;
    std::string stored;
    ResultPart part;
    for (int call = 0;; ++call) {
        mv_check(call < 200);
        const int32_t result = ms32_njch_send_nextjob_cmd_to_dbus(g_job_line.cursor, kDbusRow);
        mv_check(g_sends <= 1);
        if (result != -4) gv_ch_close_final_part();  // the line is the job's last
        if (gs32_ch_take_part(&part) == 0) stored.append(part.data, part.length);
        if (result == 0) return stored;
        mv_check(result == -4);
    }
}

// The result line that the outcome of the one send must give.
std::string expected_line() {
    int status = 0;
    std::string reply;
    if (g_signal_point != kBusNoReply) {
        status = g_signal_point == kBusOk ? 0 : -1;
    } else if (g_point == kBusOk) {
        reply = g_answer.substr(0, 99);
        for (char& c : reply) c = (c == '\r' || c == '\n') ? ' ' : c;
    } else {
        status = g_point >= kBusNoPendingCall ? -1 : -10;
    }
    return "DBUS;" + std::to_string(status) + (reply.empty() ? "" : ";" + reply) + "\r\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        strcpy(g_context.name, "korvad_4242");
        return gs32_log_open("/dev/null") == 0;
    }();
    (void)ready;
    if (size < 3 || size > 65536) return 0;
    const uint32_t capacity = 3 + data[0] % 64;
    g_point = kPoints[data[1] % (sizeof kPoints / sizeof kPoints[0])];
    const char pattern[] = "ok\r\n;#x y";
    g_answer.clear();
    for (uint32_t i = 0; i < data[2]; ++i) {
        g_answer += pattern[(data[1] + i) % (sizeof pattern - 1)];
    }
    mv_set_line(data + 3, size - 3);

    const std::string split = run_handler(capacity);
    const uint32_t sends = g_sends;
    const std::string whole = run_handler(8192);
    mv_check(split == whole && g_sends == sends);
    // Nothing sent: refused before any message was built.
    mv_check(whole == (sends == 0 ? std::string("DBUS;-5\r\n") : expected_line()));
    return 0;
}
