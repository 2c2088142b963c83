// Guarded transfers: every HTTP transfer of a worker runs in a transfer process (vfork),
// watched by a guard process (fork) that keeps the worker's watchdog alive and ends a
// transfer that hangs. The three processes meet in a 256-byte TransferSlot.
#pragma once

#include <cstdint>
#include <type_traits>

#include "core/heap.h"

// System V segment of one transfer, created private and zero-filled before it and removed
// after it. Native byte order: it never leaves the device.
struct TransferSlot {
    uint32_t transfer_pid;   // written by the transfer process at its start
    uint32_t guard_pid;      // written by the guard at its start
    int32_t result;          // -9 while the transfer runs, then its mapped result
    uint8_t guard_alive;     // fetch only
    uint8_t transfer_alive;  // fetch only
    uint8_t reserved[242];
};
static_assert(sizeof(TransferSlot) == 256);
static_assert(std::is_trivially_copyable_v<TransferSlot>);

enum class TransferKind { kFetch, kUpload };

// Runs in the transfer process: performs the HTTP operation, writes what it produced for
// the worker (a body or a reply) to output_fd and returns the mapped result. Nothing else
// it changes in memory reaches the worker: under qemu-user vfork behaves like fork.
using TransferOperation = int32_t (*)(void* context, int output_fd);
// Runs in the guard every 5 seconds while the transfer lasts.
using TransferTrigger = void (*)(void* context);

constexpr uint32_t kTransferGuardLimitS = 240;
constexpr uint32_t kTransferTriggerEveryS = 5;

// Runs one guarded transfer and waits for it. Returns the slot's result: the operation's
// result; -9 when the guard ended a hanging transfer; -4 when the transfer process, the
// guard, the slot or the output file could not be created. On 0 or any other result
// *output_out holds what the operation wrote, followed by one zero byte that
// *output_length_out does not count (none when it wrote nothing).
int32_t gs32_transfer_run(TransferKind kind, TransferOperation operation,
                          TransferTrigger trigger, void* context, HeapBuffer* output_out,
                          uint32_t* output_length_out);

// Writes the whole buffer to fd; 0, or -1 when the file refused it.
int32_t gs32_transfer_write_all(int fd, const char* data, uint32_t length);
