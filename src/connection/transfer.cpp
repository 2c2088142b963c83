// Transfer process, guard process and the worker's wait for them.
//
// The worker forks the guard, then the transfer process, and waits for the first of them to
// end: the transfer when it has stored its result, the guard when the transfer has lasted
// too long. It then kills and reaps both itself, so only a parent ever signals a pid, and
// no pid is signalled after it could have been reused. Both children are plain forks: what
// the HTTP client allocates, or leaves half changed when it is killed, stays in the child.
// The one thing they share with the worker is the output file, which carries the result:
//
//   offset 0: TransferHeader (written last, by the transfer process), then the output.
//
// A transfer that is killed before it has written the header leaves zeros or nothing
// there, which reads as "no result" (-9).
#include "connection/transfer.h"

#include <dirent.h>
#include <grp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <type_traits>

#include "core/log.h"

namespace {

// Native byte order: the file never leaves the device.
struct TransferHeader {
    char mark[4];
    int32_t result;
};
static_assert(std::is_trivially_copyable_v<TransferHeader>);
constexpr char kResultMark[4] = {'R', 'S', 'L', 'T'};

struct TransferIdentity {
    bool set;
    uid_t uid;
    gid_t gid;
};
TransferIdentity g_identity{};

constexpr useconds_t kGuardStepUs = 500000;
constexpr useconds_t kWaitStepUs = 10000;

void mv_transfer_close_socket(int fd) {
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode)) close(fd);
}

// Closes every socket the child inherited: the worker's bus connection and the supervisor's
// one that the worker inherited in turn. Without an exec, close-on-exec does not help, and
// a child that kept them would hold the daemon's bus names after the daemon ended. Files
// and pipes (the log, the output file) stay open. The HTTP client opens its own socket.
void mv_transfer_close_inherited_sockets() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) {
        for (int fd = 3; fd < 1024; ++fd) mv_transfer_close_socket(fd);
        return;
    }
    const int own = dirfd(fds);
    while (const dirent* entry = readdir(fds)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd < 3 || fd == own) continue;
        mv_transfer_close_socket(static_cast<int>(fd));
    }
    closedir(fds);
}

// Forks a child that ends with the worker, whatever ends the worker. Returns the child's
// pid (or -1) in the worker and 0 in the child, which has closed its inherited sockets.
pid_t mi_transfer_fork_child() {
    const pid_t worker = getpid();
    pid_t pid = fork();
    if (pid != 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The worker may have ended before the request took effect; then no signal will come.
    if (getppid() != worker) _exit(0);
    mv_transfer_close_inherited_sockets();
    return 0;
}

// The guard: triggers the worker's watchdog every trigger_every_s seconds and ends when the
// transfer has lasted guard_limit_s seconds; the worker then ends the transfer.
[[noreturn]] void mv_transfer_guard(TransferTrigger trigger, void* context,
                                    const TransferLimits& limits) {
    const time_t t0 = time(nullptr);
    time_t next_trigger = t0 + static_cast<time_t>(limits.trigger_every_s);
    for (;;) {
        time_t now = time(nullptr);
        if (now >= next_trigger) {
            if (trigger != nullptr) trigger(context);
            next_trigger = time(nullptr) + static_cast<time_t>(limits.trigger_every_s);
        } else if (now >= t0 + static_cast<time_t>(limits.guard_limit_s)) {
            _exit(0);
        }
        usleep(kGuardStepUs);
    }
}

// Takes the transfer identity, when one is set: group first, while the process may still
// change it, and the supplementary groups only where it is root. 0, or -1 when any step
// failed (the process must then not talk to anybody).
int32_t ms32_transfer_take_identity() {
    if (!g_identity.set) return 0;
    if ((geteuid() == 0 && setgroups(0, nullptr) != 0) || setgid(g_identity.gid) != 0 ||
        setuid(g_identity.uid) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        getuid() != g_identity.uid || geteuid() != g_identity.uid) {
        gs32_log_from("gs32_transfer_run", "Can't take the transfer user's identity (%s)",
                      strerror(errno));
        return -1;
    }
    return 0;
}

// The transfer process: takes its identity, runs the operation with its output behind the
// header's room, then stores the result in the header.
[[noreturn]] void mv_transfer_process(TransferOperation operation, void* context, int output_fd) {
    TransferHeader header{};
    memcpy(header.mark, kResultMark, sizeof header.mark);
    header.result = -9;
    if (ms32_transfer_take_identity() != 0) {
        header.result = -4;
    } else if (lseek(output_fd, sizeof header, SEEK_SET) == static_cast<off_t>(sizeof header)) {
        header.result = operation(context, output_fd);
    }
    if (pwrite(output_fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) {
        _exit(1);  // the worker finds no result
    }
    _exit(0);
}

// Whether the child has ended, without reaping it (its pid stays ours until then).
bool mb_transfer_child_ended(pid_t pid) {
    siginfo_t info{};
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return errno == ECHILD;  // EINTR: look again
    }
    return info.si_pid == pid;
}

void mv_transfer_end_child(pid_t pid) {
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
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

int32_t ms32_transfer_read_at(int fd, char* data, uint32_t length, off_t at) {
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = pread(fd, data + done, length - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<uint32_t>(n);
    }
    return 0;
}

// Reads the result the transfer process stored, and its output. -9 when there is no result;
// -4 when the output cannot be read back.
int32_t ms32_transfer_collect(int fd, HeapBuffer* output_out, uint32_t* length_out) {
    struct stat info {};
    TransferHeader header{};
    if (fstat(fd, &info) != 0) {
        gs32_log_from("gs32_transfer_run", "Can't read the transfer's output");
        return -4;
    }
    if (info.st_size < static_cast<off_t>(sizeof header) ||
        ms32_transfer_read_at(fd, reinterpret_cast<char*>(&header), sizeof header, 0) != 0 ||
        memcmp(header.mark, kResultMark, sizeof header.mark) != 0) {
        return -9;
    }
    const unsigned long long length = static_cast<unsigned long long>(info.st_size) - sizeof header;
    if (length == 0) return header.result;
    HeapBuffer data;
    if (length < 0xFFFFFFFFull) {
        data.reset(static_cast<char*>(malloc(static_cast<size_t>(length) + 1u)));
    }
    if (!data) {
        gs32_log_from("gs32_transfer_run", "No room for the transfer's output");
        return -4;
    }
    if (ms32_transfer_read_at(fd, data.get(), static_cast<uint32_t>(length), sizeof header) != 0) {
        gs32_log_from("gs32_transfer_run", "Can't read the transfer's output");
        return -4;
    }
    data.get()[length] = '\0';
    *output_out = std::move(data);
    *length_out = static_cast<uint32_t>(length);
    return header.result;
}

}  // namespace

void gv_transfer_set_identity(uid_t uid, gid_t gid) { g_identity = {true, uid, gid}; }

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

int32_t gs32_transfer_run(TransferOperation operation, TransferTrigger trigger, void* context,
                          HeapBuffer* output_out, uint32_t* output_length_out,
                          const TransferLimits& limits) {
    output_out->reset();
    *output_length_out = 0;
    UniqueFd output(mu_transfer_output_file());
    if (output.get() < 0) {
        gs32_log_from("gs32_transfer_run", "Can't create the output file (%s)", strerror(errno));
        return -4;
    }
    fflush(nullptr);  // nothing buffered may be written twice, by a child as well
    // The guard first: when it cannot be had, no request has gone out yet.
    const pid_t guard = mi_transfer_fork_child();
    if (guard == 0) mv_transfer_guard(trigger, context, limits);
    if (guard < 0) {
        gs32_log_from("gs32_transfer_run", "Can't start the guard (%s)", strerror(errno));
        return -4;
    }
    const pid_t transfer = mi_transfer_fork_child();
    if (transfer == 0) mv_transfer_process(operation, context, output.get());
    if (transfer < 0) {
        gs32_log_from("gs32_transfer_run", "Can't start the transfer (%s)", strerror(errno));
        mv_transfer_end_child(guard);
        return -4;
    }
    // A signal to the worker (SIGTERM) only interrupts a sleep here; it is acted on after
    // the transfer, as the worker's loop reads its flag after the step.
    while (!mb_transfer_child_ended(transfer) && !mb_transfer_child_ended(guard)) {
        usleep(kWaitStepUs);
    }
    mv_transfer_end_child(transfer);
    mv_transfer_end_child(guard);
    return ms32_transfer_collect(output.get(), output_out, output_length_out);
}
