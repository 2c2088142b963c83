// Transfer process, guard process and the worker's wait for them.
#include "connection/transfer.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"

namespace {

// One attachment of the slot, detached at the end of the scope. Every access attaches
// anew, so an attach that fails only skips that access.
class ShmAttachment {
public:
    explicit ShmAttachment(int id) : address_(shmat(id, nullptr, 0)) {}
    ~ShmAttachment() {
        if (valid()) shmdt(address_);
    }
    ShmAttachment(const ShmAttachment&) = delete;
    ShmAttachment& operator=(const ShmAttachment&) = delete;
    bool valid() const { return address_ != reinterpret_cast<void*>(-1); }
    TransferSlot* slot() const { return static_cast<TransferSlot*>(address_); }

private:
    void* address_;
};

// Removes the segment of one transfer when the worker leaves gs32_transfer_run.
class ShmSegment {
public:
    ShmSegment() : id_(shmget(IPC_PRIVATE, sizeof(TransferSlot), IPC_CREAT | 0600)) {}
    ~ShmSegment() {
        if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
    }
    ShmSegment(const ShmSegment&) = delete;
    ShmSegment& operator=(const ShmSegment&) = delete;
    int id() const { return id_; }

private:
    int id_;
};

template <typename Access>
void mv_transfer_slot_access(int id, Access access) {
    ShmAttachment attachment(id);
    if (attachment.valid()) access(attachment.slot());
}

[[noreturn]] void mv_transfer_kill_self() {
    kill(getpid(), SIGKILL);
    _exit(127);  // not reached
}

// The guard: triggers the worker's watchdog every 5 seconds and ends the transfer after
// 240 seconds. It never returns into the worker's code.
[[noreturn]] void mv_transfer_guard(int id, TransferKind kind, TransferTrigger trigger,
                                    void* context) {
    mv_transfer_slot_access(id, [&](TransferSlot* slot) {
        slot->guard_pid = static_cast<uint32_t>(getpid());
        if (kind == TransferKind::kFetch) slot->guard_alive = 1;
    });
    time_t t0 = time(nullptr);
    time_t next_trigger = t0 + kTransferTriggerEveryS;
    for (;;) {
        time_t now = time(nullptr);
        if (now >= next_trigger) {
            if (trigger != nullptr) trigger(context);
            next_trigger = time(nullptr) + kTransferTriggerEveryS;
        } else if (now >= t0 + static_cast<time_t>(kTransferGuardLimitS)) {
            mv_transfer_slot_access(id, [&](TransferSlot* slot) {
                bool alive = kind == TransferKind::kUpload || slot->transfer_alive == 1;
                if (alive && slot->transfer_pid != 0) {
                    kill(static_cast<pid_t>(slot->transfer_pid), SIGKILL);
                }
            });
            mv_transfer_kill_self();
        }
        usleep(500000);
    }
}

// The transfer process: starts the guard, runs the operation, stores the result and ends
// itself. It shares the worker's stack under vfork, so it never returns.
[[noreturn]] void mv_transfer_process(int id, TransferKind kind, TransferOperation operation,
                                      TransferTrigger trigger, void* context, int output_fd) {
    pid_t guard = fork();
    if (guard < 0) {
        mv_transfer_slot_access(id, [](TransferSlot* slot) { slot->result = -4; });
        mv_transfer_kill_self();
    }
    if (guard == 0) mv_transfer_guard(id, kind, trigger, context);
    mv_transfer_slot_access(id, [&](TransferSlot* slot) {
        slot->transfer_pid = static_cast<uint32_t>(getpid());
        slot->result = -9;
        if (kind == TransferKind::kFetch) slot->transfer_alive = 1;
        // The guard may not have been scheduled yet when a quick transfer ends; record it
        // here as well so that it is always ended with the transfer.
        slot->guard_pid = static_cast<uint32_t>(guard);
        if (kind == TransferKind::kFetch) slot->guard_alive = 1;
    });
    int32_t result = operation(context, output_fd);
    mv_transfer_slot_access(id, [&](TransferSlot* slot) {
        bool alive = kind == TransferKind::kUpload || slot->guard_alive == 1;
        if (alive && slot->guard_pid != 0) kill(static_cast<pid_t>(slot->guard_pid), SIGKILL);
        slot->result = result;
    });
    mv_transfer_kill_self();
}

// vfork lives in a function of its own that holds nothing but its arguments, so that no
// local of the caller can be clobbered by the child running on the same stack.
__attribute__((noinline)) pid_t mi_transfer_start(int id, TransferKind kind,
                                                  TransferOperation operation,
                                                  TransferTrigger trigger, void* context,
                                                  int output_fd) {
    pid_t transfer = vfork();
    if (transfer == 0) mv_transfer_process(id, kind, operation, trigger, context, output_fd);
    return transfer;
}

int mu_transfer_output_file() {
    int fd = memfd_create("korvad-transfer", MFD_CLOEXEC);
    if (fd >= 0) return fd;
    FILE* file = tmpfile();
    if (file == nullptr) return -1;
    fd = dup(fileno(file));
    fclose(file);
    return fd;
}

// Reads what the transfer process left in the output file.
int32_t ms32_transfer_collect(int fd, HeapBuffer* output_out, uint32_t* length_out) {
    struct stat info {};
    if (fstat(fd, &info) != 0) return -1;
    if (info.st_size <= 0) return 0;
    if (static_cast<unsigned long long>(info.st_size) >= 0xFFFFFFFFull) return -1;
    auto length = static_cast<uint32_t>(info.st_size);
    HeapBuffer data{static_cast<char*>(malloc(length + 1u))};
    if (!data) return -1;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, data.get() + done, length - done, done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<uint32_t>(n);
    }
    data.get()[length] = '\0';
    *output_out = std::move(data);
    *length_out = length;
    return 0;
}

}  // namespace

int32_t gs32_transfer_write_all(int fd, const char* data, uint32_t length) {
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<uint32_t>(n);
    }
    return 0;
}

int32_t gs32_transfer_run(TransferKind kind, TransferOperation operation,
                          TransferTrigger trigger, void* context, HeapBuffer* output_out,
                          uint32_t* output_length_out) {
    output_out->reset();
    *output_length_out = 0;
    ShmSegment segment;
    UniqueFd output(mu_transfer_output_file());
    bool attachable = false;
    mv_transfer_slot_access(segment.id(), [&](TransferSlot*) { attachable = true; });
    if (segment.id() < 0 || !attachable || output.get() < 0) {
        gs32_log_printf("%d: gs32_transfer_run: Can't prepare the transfer (%s)", getpid(),
                        strerror(errno));
        return -4;
    }
    // The slot starts zero-filled, so a result nobody stored reads as 0; -4 until the
    // transfer process has started makes a transfer that never ran fail.
    mv_transfer_slot_access(segment.id(), [](TransferSlot* slot) { slot->result = -4; });

    pid_t transfer = mi_transfer_start(segment.id(), kind, operation, trigger, context,
                                       output.get());
    if (transfer < 0) return -4;
    int status = 0;
    pid_t reported;
    while ((reported = waitpid(transfer, &status, WNOHANG)) == 0 ||
           (reported < 0 && errno == EINTR)) {
        usleep(10000);
    }
    int32_t result = -4;
    bool slot_read = false;
    mv_transfer_slot_access(segment.id(), [&](TransferSlot* slot) {
        if (WIFSIGNALED(status) && slot->guard_pid != 0) {
            kill(static_cast<pid_t>(slot->guard_pid), SIGKILL);
        }
        result = slot->result;
        slot_read = true;
    });
    if (!slot_read) return -4;
    if (ms32_transfer_collect(output.get(), output_out, output_length_out) != 0) {
        gs32_log_printf("%d: gs32_transfer_run: Can't read the transfer's output", getpid());
        return -4;
    }
    return result;
}
