// Guarded transfers: every HTTP transfer of a worker runs in a transfer process, watched by
// a guard process that keeps the worker's watchdog alive and ends a transfer that hangs.
// Both are plain forks of the worker that share nothing with it but one output file.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/heap.h"

// Runs in the transfer process: performs the HTTP operation, writes what it produced for
// the worker (a body or a reply) to output_fd and returns the mapped result. Nothing else
// it changes in memory reaches the worker.
using TransferOperation = int32_t (*)(void* context, int output_fd);
// Runs in the guard every trigger_every_s seconds while the transfer lasts.
using TransferTrigger = void (*)(void* context);

// The guard's timing. The daemon always runs with these values; tests shorten them to see
// a guard end a transfer without waiting four minutes.
struct TransferLimits {
    uint32_t guard_limit_s = 240;
    uint32_t trigger_every_s = 5;
};

// Runs one guarded transfer and waits for it. Returns the operation's result; -9 when the
// guard ended a transfer that hung (or the transfer process died) before it stored a
// result; -4 when a process or the output file could not be created. On any stored result
// *output_out holds what the operation wrote, followed by one zero byte that
// *output_length_out does not count (none when it wrote nothing).
//
// Whatever ends the worker also ends both processes within a moment (they ask the kernel
// for SIGKILL at their parent's death), and neither keeps a socket of the worker open: the
// bus connections they inherit are closed in them at their start.
int32_t gs32_transfer_run(TransferOperation operation, TransferTrigger trigger, void* context,
                          HeapBuffer* output_out, uint32_t* output_length_out,
                          const TransferLimits& limits = TransferLimits{});

// From now on every transfer process takes this identity (the system file's transfer_user)
// before its operation: that user and group alone, no supplementary groups, and no way to
// gain privileges again. The worker and the guard keep theirs. Without a call, transfer
// processes keep the worker's identity.
void gv_transfer_set_identity(uid_t uid, gid_t gid);

// Writes the whole buffer to fd; 0, or -1 when the file refused it.
int32_t gs32_transfer_write_all(int fd, const char* data, uint32_t length);
