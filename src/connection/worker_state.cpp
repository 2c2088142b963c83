// The worker's record and its accessors: one per process, since every worker is a process.
#include "connection/worker_state.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

WorkerState g_worker_state;
WorkerProcess g_worker_process;

void gv_ch_worker_state_start(const ConnectionConfig* record) {
    g_worker_state = WorkerState{};
    g_worker_process = WorkerProcess{};
    if (record != nullptr) g_worker_state.config = *record;
    // A negative DLTS value in the file keeps its bit pattern, as any u32 copy of it would.
    g_worker_state.dl_max_transfer_size = static_cast<uint32_t>(g_worker_state.config.DLTS);
    g_worker_state.self_pid = static_cast<int32_t>(getpid());
}

int32_t gs32_ch_alloc_result_buffers() {
    const uint32_t capacity = g_worker_state.config.max_result_file_size;
    if (capacity < kMinResultCapacity) return -1;
    const uint32_t line_capacity =
        capacity < kMinResultLineCapacity ? kMinResultLineCapacity : capacity;
    HeapBuffer data{static_cast<char*>(calloc(capacity, 1))};
    HeapBuffer line{static_cast<char*>(calloc(line_capacity, 1))};
    if (!data || !line) return -1;
    ResultBuffer& result = g_worker_state.result;
    result.data = std::move(data);
    result.capacity = capacity;
    gv_ch_reset_result_buffer();
    ResultLineBuffer& scratch = g_worker_process.result_line;
    scratch.data = std::move(line);
    scratch.capacity = line_capacity;
    scratch.pending_length = 0;
    return 0;
}

void gv_ch_free_result_buffers() {
    g_worker_state.result = ResultBuffer{};
    g_worker_process.result_line = ResultLineBuffer{};
}

void gv_ch_reset_result_buffer() {
    ResultBuffer& result = g_worker_state.result;
    result.fill_length = 0;
    result.carry_length = 0;
    result.part_number = 0;
    result.part_ready = 0;
}

int32_t gs32_ch_set_job_data(const char* data, uint32_t length) {
    g_worker_state.job_data.reset();
    g_worker_state.job_length = 0;
    HeapBuffer copy{static_cast<char*>(malloc(static_cast<size_t>(length) + 1))};
    if (!copy) return -1;
    if (length > 0) memcpy(copy.get(), data, length);
    copy.get()[length] = '\0';
    g_worker_state.job_data = std::move(copy);
    g_worker_state.job_length = length;
    return 0;
}

void gv_ch_set_wakeup_cycle_time(uint32_t seconds) { g_worker_state.wait_interval = seconds; }

int32_t gs32_ch_set_dl_max_transfer_size(uint32_t size) {
    g_worker_state.dl_max_transfer_size = size;
    return 0;
}

int32_t gs32_ch_get_dl_max_transfer_size() {
    return static_cast<int32_t>(g_worker_state.dl_max_transfer_size);
}

void gv_ch_request_next_cycle() { g_worker_state.request_now = 1; }

char* gpc_ch_get_man_in_the_middle() { return g_worker_state.config.man_in_the_middle; }

const char* gpc_ch_get_allow_list(AllowKind kind) {
    return kind < kAllowKinds ? g_worker_state.config.allow[kind] : nullptr;
}

char* gpc_ch_get_server_exchange_folder() {
    return g_worker_state.config.ServerExchangeFolder;
}
