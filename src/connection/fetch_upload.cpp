// Job fetch and result upload in guarded transfers.
#include "connection/fetch_upload.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bus/sys.h"
#include "connection/transfer.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "http/http.h"
#include "jobs/result_buffer.h"

namespace {

// What the transfer process needs; it reaches the process as a copy. body is null for the
// fetch.
struct HttpJob {
    const char* path;
    const char* user;
    const char* password;
    const char* body;
    uint32_t body_length;
};

const char* mpc_credential(const char* text) { return text[0] != '\0' ? text : nullptr; }

// The transfer's result for a JobFile that announces kMaxJobFileSize bytes or more (or whose
// chunks reach it): refused before its body is read, so that no process of the daemon
// takes memory for a job it would refuse anyway.
constexpr int32_t kJobTooLarge = -10;

// Runs in the guard: keeps the worker's watchdog registration alive under its pid, and only
// when the worker has one (none after a refused registration: then nobody triggers). The
// guard has closed the worker's bus connection it inherited, so the triggers go out on a
// connection of its own, from the worker's object path, opened when the first one is due:
// most transfers end before that.
void mv_transfer_trigger(void*) {
    static BusContext guard_bus;  // the guard's own; a fresh guard starts with it empty
    if (guard_bus.connection == nullptr) {
        const BusContext* worker = gp_dbus_own_context();
        if (worker == nullptr || worker->watchdog_interval <= 0) return;
        guard_bus = *worker;
        guard_bus.connection = nullptr;
        if (gs32_dbus_connect_unnamed(&guard_bus) != 0) return;  // tried again at the next
    }
    gs32_sys_trigger_watchdog_for(g_worker_state.self_pid);
}

// Runs in the transfer process: a GET of the JobFile (no body to send) or a POST of a
// result part; what comes back for the worker goes to output_fd. A 201 to the GET carries
// no body and reaches the worker as an empty JobFile.
int32_t ms32_transfer_operation(void* context, int output_fd) {
    const auto* job = static_cast<const HttpJob*>(context);
    char* data = nullptr;
    int32_t length = 0;
    gv_http_set_body_limit(kMaxJobFileSize);
    int32_t status =
        job->body == nullptr
            ? gs32_http_get(job->path, &data, &length, nullptr, kTransferHttpTimeoutS, job->user,
                            job->password)
            : gs32_http_post(job->path, job->body, job->body_length, 0, &data, &length,
                             "text/plain", kTransferHttpTimeoutS, job->user, job->password);
    HeapBuffer owned{data};
    if (status == HTTP_E_TOO_LARGE) return kJobTooLarge;
    int32_t result = ms32_connhandler_http_errors(status);
    if (result == 0 && data != nullptr && length > 0 &&
        gs32_transfer_write_all(output_fd, data, static_cast<uint32_t>(length)) != 0) {
        result = -9;
    }
    return result;
}

// Parses "http://<server>:<port>/<path>" into the process-wide HTTP target; the path text
// comes back in *path_out and is freed by the caller's owner.
int32_t ms32_connhandler_set_target(const char* server_path, HeapBuffer* path_out) {
    const ConnectionConfig& config = g_worker_state.config;
    char url[sizeof config.com_server_url + 16 + 1024];
    snprintf(url, sizeof url, "http://%s:%d/%s", config.com_server_url, config.port_no,
             server_path);
    char* path = nullptr;
    int32_t parsed = gs32_http_set_target_from_url(url, &path);
    path_out->reset(path);
    return ms32_connhandler_http_errors(parsed);
}

bool mb_next_cycle_due() {
    uint32_t now = static_cast<uint32_t>(time(nullptr));
    return g_worker_state.cycle_start + g_worker_state.wait_interval < now ||
           g_worker_state.request_now == 1;
}

// Takes a JobFile from the reply to the final part: "OK", two bytes, then the job.
// Returns UP_DONE, or UP_FAILED when the job cannot be taken.
uint32_t mu_upload_take_followup(const char* reply, uint32_t length) {
    if (strncmp(reply, "OK", 2) != 0 || !g_worker_state.upload_part.final || !mb_next_cycle_due()) {
        return UP_DONE;
    }
    if (length >= kMaxJobFileSize) {
        gs32_log_printf("%d: mv_connhandler_gprs_job_send_result_data_task: NextJob to large: "
                        ">= %ld",
                        g_worker_state.self_pid, static_cast<long>(kMaxJobFileSize));
        return UP_FAILED;
    }
    // A follow-up job is at least one byte behind "OK" and the line end. "OK\r\n" alone is
    // the plain acknowledgement: taken as an empty job, it would post an empty final part
    // at once under the same name, over the real result, and again at every due cycle.
    if (length <= 4) return UP_DONE;
    if (gs32_ch_set_job_data(reply + 4, length - 4) != 0) return UP_FAILED;
    g_worker_state.followup_job_ready = 1;
    return UP_DONE;
}

}  // namespace

int32_t ms32_connhandler_http_errors(int32_t code) {
    const int pid = g_worker_state.self_pid;
    if (code == 0 || code == 200 || code == 201) return 0;
    if (code >= -13 && code <= -1) {
        gs32_log_printf("%d: ms32_connhandler_http_errors: Client ERROR: %d", pid, code);
        return -9;
    }
    switch (code) {
        case 400:
        case 401:
        case 403:
        case 408:
        case 500:
        case 501:
        case 503:
            gs32_log_printf("%d: ms32_connhandler_http_errors: Server ERROR: %d", pid, code);
            return -8;
        default:
            gs32_log_printf("%d: ms32_connhandler_http_errors: Unknown ERROR: %d", pid, code);
            return -1;
    }
}

int32_t ms32_connhandler_get_nextjob() {
    WorkerState& state = g_worker_state;
    HeapBuffer path;
    int32_t result = ms32_connhandler_set_target(state.job_path, &path);
    if (result != 0) return result;
    state.job_data.reset();
    state.job_length = 0;

    HttpJob job{path.get(), mpc_credential(state.config.http_user),
                mpc_credential(state.config.http_passwd), nullptr, 0};
    HeapBuffer data;
    uint32_t length = 0;
    result = gs32_transfer_run(ms32_transfer_operation, mv_transfer_trigger, &job, &data, &length);
    const bool too_large = result == kJobTooLarge || (result == 0 && length > kMaxJobFileSize - 1);
    if (result != 0 && !too_large) {
        gs32_log_printf("%d: ms32_connhandler_get_nextjob: Error occured", state.self_pid);
        return result;
    }
    if (too_large) {
        gs32_log_printf("%d: ms32_connhandler_get_nextjob: NextJob to large: >= %ld",
                        state.self_pid, static_cast<long>(kMaxJobFileSize));
        return -10;
    }
    if (!data) return gs32_ch_set_job_data("", 0) == 0 ? 0 : -10;
    state.job_data = std::move(data);
    state.job_length = length;
    return 0;
}

void mv_connhandler_gprs_job_send_result_data_task() {
    WorkerState& state = g_worker_state;
    ResultPart& part = state.upload_part;
    switch (state.upload_state) {
        case UP_IDLE:
            if (gs32_ch_take_part(&part) == 0) state.upload_state = UP_NAME;
            return;
        case UP_NAME: {
            int length = snprintf(state.result_name, sizeof state.result_name, "%s.%.5ld",
                                  state.result_path, static_cast<long>(part.number));
            if (part.final && length >= 0 &&
                static_cast<size_t>(length) < sizeof state.result_name) {
                snprintf(state.result_name + length, sizeof state.result_name - length, ".end");
            }
            state.upload_state = UP_SEND;
            return;
        }
        case UP_SEND: {
            HeapBuffer path;
            if (ms32_connhandler_set_target(state.result_name, &path) != 0) return;
            HttpJob job{path.get(), mpc_credential(state.config.http_user),
                        mpc_credential(state.config.http_passwd), part.data, part.length};
            HeapBuffer reply;
            uint32_t reply_length = 0;
            int32_t sent = gs32_transfer_run(ms32_transfer_operation, mv_transfer_trigger, &job,
                                             &reply, &reply_length);
            if (sent != 0) {
                state.upload_state = UP_FAILED;
            } else if (reply_length == 0) {
                gs32_log_printf("%d: mv_connhandler_gprs_job_send_result_data_task: No "
                                "response message received",
                                state.self_pid);
                state.upload_state = UP_FAILED;
            } else {
                state.followup_job_ready = 0;
                state.upload_state = mu_upload_take_followup(reply.get(), reply_length);
            }
            return;
        }
        case UP_DONE:
            state.upload_state = UP_IDLE;
            state.cycle_state = part.final ? CH_CYCLE_DONE : CH_PROCESS;
            return;
        default:
            state.upload_state = UP_IDLE;
            state.cycle_state = CH_RESET;
            return;
    }
}
