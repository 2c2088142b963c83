// The connection worker: one process per connection, running the cycle of waiting for the
// network service, connecting, fetching the JobFile, interpreting it and uploading results.
#pragma once

#include <cstdint>

#include "core/config.h"

// Creates the worker with fork. In the supervisor: stores the worker's pid (or -1) in
// record->worker_pid and returns 0, or -1 after logging when fork failed. In the worker it
// never returns: the worker ends with exit status 0. request_toggle is the supervisor's
// shared byte that RequestNextJobNow flips.
int32_t gs32_ch_handle_connection(ConnectionConfig* record, volatile uint8_t* request_toggle,
                                  const SystemConfig* system);

// The worker's SIGTERM handler: asks the loop to end after the current pass.
void mv_ch_on_sigterm(int signal_number);

// Replaces the first "<client_id>" in path (a 512-byte field) by client_id. 0 (also when
// there is none); -1 when the result would exceed 511 characters. Exposed for tests.
int32_t gs32_ch_substitute_client_id(char* path, const char* client_id);
