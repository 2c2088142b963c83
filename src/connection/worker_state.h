// The connection worker's record (cycle state, timers, flags, paths, JobFile, result
// buffers) and the accessors through which the command handlers reach it.
#pragma once

#include <csignal>
#include <cstdint>

#include "core/config.h"
#include "core/heap.h"

// Values of WorkerState::cycle_state; values above CH_RESET make the worker do nothing.
constexpr uint32_t CH_WAIT_SERVICE = 0;
constexpr uint32_t CH_IDLE = 1;
constexpr uint32_t CH_CONNECT = 2;
constexpr uint32_t CH_FETCH = 3;
constexpr uint32_t CH_PROCESS = 4;
constexpr uint32_t CH_UPLOAD = 5;
constexpr uint32_t CH_CYCLE_DONE = 6;
constexpr uint32_t CH_RESET = 7;

// Smallest capacity the result buffers accept: at least one byte must fit below the
// two-byte reserve, or a long line could never make progress across parts.
constexpr uint32_t kMinResultCapacity = 3;
// The ResultLineBuffer is never smaller than the smallest configurable part size, so a
// handler's line is never cut when a test or a fuzz run makes the ResultBuffer tiny.
constexpr uint32_t kMinResultLineCapacity = 4096;

// Collects the result lines of one job until a part is full. At most capacity - 2 bytes
// are filled; carry_length is how much of the output being appended already went into an
// earlier part, so that the next call continues where the full buffer cut it.
struct ResultBuffer {
    HeapBuffer data;
    uint32_t capacity = 0;
    uint32_t fill_length = 0;
    uint32_t carry_length = 0;
    uint32_t part_number = 0;
    uint8_t part_ready = 0;
};

// A finished part as the upload takes it out of the ResultBuffer (gs32_ch_take_part).
struct ResultPart {
    const char* data = nullptr;  // the ResultBuffer's own bytes, unchanged until the next append
    uint32_t length = 0;
    uint32_t number = 0;  // counted from 1 within a job; names the uploaded part
    bool final = false;   // the job's last part, uploaded under a name ending in ".end"
};

// Scratch space of the handler that is running: its output and the length to append.
struct ResultLineBuffer {
    HeapBuffer data;
    uint32_t capacity = 0;
    uint32_t pending_length = 0;
};

// One per worker process, zero at start except where a start value is given. The worker's
// BusContext is kept by the worker next to this record, so that this library and the
// handlers that use it do not depend on the bus.
struct WorkerState {
    uint32_t wait_interval = 0;          // seconds from cycle start to cycle start
    uint32_t dl_max_transfer_size = 0;   // byte budget of one logger download
    uint8_t request_now = 0;             // start the next cycle at once
    // Written by the SIGTERM handler, hence the type a handler may write.
    volatile sig_atomic_t stop_requested = 0;
    ConnectionConfig config{};           // private copy, server paths after substitution
    uint32_t cycle_state = CH_WAIT_SERVICE;
    ResultBuffer result;
    uint8_t link_up = 0;
    uint32_t upload_state = 0;
    ResultPart upload_part;              // the part being uploaded
    char result_name[256] = {};
    char result_path[512] = {};
    int32_t self_pid = 0;
    uint8_t followup_job_ready = 0;
    uint32_t cycle_start = 0;            // seconds since the epoch
    // The JobFile: job_length bytes followed by one zero byte that the length does not
    // count. malloc'd, so that a buffer filled by the HTTP client can be adopted.
    HeapBuffer job_data;
    uint32_t job_length = 0;
    char job_path[512] = {};
    uint8_t seen_request_toggle = 0;
};

// Process-wide values of the worker whose start values are not zero. (The JobFileReader's
// restart flag, also 1 at start, lives with the reader in jobs/job_reader.h.)
struct WorkerProcess {
    uint8_t final_part = 1;
    uint32_t poll_step_us = 100000;
    uint8_t query_interface = 1;
    ResultLineBuffer result_line;
};

extern WorkerState g_worker_state;
extern WorkerProcess g_worker_process;

// Puts both records back to their start values (releasing every buffer they own), then
// copies record into config, takes its DLTS as the first dl_max_transfer_size and notes
// the own pid.
void gv_ch_worker_state_start(const ConnectionConfig* record);

// Allocates the ResultBuffer (config.max_result_file_size bytes) and the ResultLineBuffer
// (as large, at least kMinResultLineCapacity). 0, or -1 (nothing allocated, nothing
// logged) when memory runs out or the size is below kMinResultCapacity.
int32_t gs32_ch_alloc_result_buffers();
void gv_ch_free_result_buffers();

// Empties the ResultBuffer for a new job: fill, carry and part number 0, no part ready.
void gv_ch_reset_result_buffer();

// Replaces the JobFile by a copy of length bytes followed by a zero byte. 0, or -1 when
// memory runs out (the JobFile is then empty).
int32_t gs32_ch_set_job_data(const char* data, uint32_t length);

// Accessors for the command handlers.
void gv_ch_set_wakeup_cycle_time(uint32_t seconds);
int32_t gs32_ch_set_dl_max_transfer_size(uint32_t size);
int32_t gs32_ch_get_dl_max_transfer_size();
void gv_ch_request_next_cycle();
char* gpc_ch_get_man_in_the_middle();
char* gpc_ch_get_server_exchange_folder();
// The connection's allow-list of that kind; nullptr when its file has none.
const char* gpc_ch_get_allow_list(AllowKind kind);
