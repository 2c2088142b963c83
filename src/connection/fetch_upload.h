// The two network steps of a cycle: fetching the JobFile and uploading result parts, each
// in a guarded transfer, and the mapping of HTTP outcomes to the cycle's result codes.
#pragma once

#include <cstdint>

// Values of WorkerState::upload_state.
constexpr uint32_t UP_IDLE = 0;
constexpr uint32_t UP_NAME = 1;
constexpr uint32_t UP_SEND = 2;
constexpr uint32_t UP_DONE = 4;
constexpr uint32_t UP_FAILED = 5;

// A JobFile of this many bytes or more is refused.
constexpr uint32_t kMaxJobFileSize = 2097152;
// Every HTTP operation of a cycle gets this time-out, in seconds.
constexpr uint32_t kTransferHttpTimeoutS = 60;

// Maps an HTTP client result (negative) or status code (positive) to 0, -1 (unknown), -8
// (server error status) or -9 (client error), logging every code it does not map to 0.
int32_t ms32_connhandler_http_errors(int32_t code);

// Fetches the JobFile into the worker's job_data/job_length. 0; -1, -8 or -9 from the HTTP
// outcome; -4 when the transfer could not be run; -10 when the JobFile is 2 MiB or more.
int32_t ms32_connhandler_get_nextjob();

// One step of the upload of the ready result part; sets cycle_state to CH_PROCESS,
// CH_CYCLE_DONE or CH_RESET when the upload ends.
void mv_connhandler_gprs_job_send_result_data_task();
