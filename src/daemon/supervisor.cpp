// The supervisor loop and its shutdown.
#include "daemon/supervisor.h"

#include <signal.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <memory>

#include "bus/dbus.h"
#include "bus/owners.h"
#include "bus/sys.h"
#include "connection/worker.h"
#include "core/log.h"

namespace {

volatile sig_atomic_t g_quit_requested = 0;

struct Supervisor {
    BusContext bus;
    int toggle_id = -1;                       // the request toggle byte's segment, -1 for none
    volatile uint8_t* toggle = nullptr;       // where it is attached, nullptr for not attached
    const ConnectionList* workers = nullptr;  // worker_pid of each record, once started
};
Supervisor g_supervisor;

// exit_status is 0 for an orderly end and 1 when the bus went away: the init system is to
// start the daemon again then.
[[noreturn]] void mv_supervisor_shutdown(int exit_status = 0) {
    Supervisor& s = g_supervisor;
    if (gb_dbus_is_connected(&s.bus)) {
        gs32_sys_cancel_watchdog(&s.bus);
        gs32_dbus_send_goodbye(&s.bus);
    }
    gs32_log_close();
    if (s.toggle_id >= 0) {
        if (s.toggle != nullptr) shmdt(const_cast<uint8_t*>(s.toggle));
        shmctl(s.toggle_id, IPC_RMID, nullptr);
    }
    exit(exit_status);
}

// After the bus went away: waits until every worker has ended. Each one notices the loss on
// its own connection at its next loop pass (a transfer in flight is finished first, at most
// the guard's 240 seconds) and logs it; ending first would kill them at once with SIGHUP, in
// the middle of a transfer and before their line. The ended workers are not reaped, so
// their exit status stays for the process that adopts them. SIGINT or SIGTERM stops the
// wait.
void mv_supervisor_await_workers() {
    const ConnectionList* list = g_supervisor.workers;
    for (uint16_t i = 0; list != nullptr && i < list->count && g_quit_requested == 0; ++i) {
        const pid_t pid = list->items[i].worker_pid;
        if (pid <= 0) continue;
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR && g_quit_requested == 0) {
        }
    }
}

// Handles at most one message: WhoIsThere is answered with HELLO, RequestNextJobNow flips
// the toggle byte that every worker watches. Anything else, method calls included, is
// dropped in the same pass, so that a flood of broadcasts the supervisor has no use for
// never queues up in front of the two it answers.
void mv_supervisor_handle_one_message() {
    Supervisor& s = g_supervisor;
    for (;;) {
        DbusMessage message{dbus_connection_pop_message(s.bus.connection)};
        if (!message) return;
        if (dbus_message_is_signal(message.get(), kBusBroadcastInterface, "WhoIsThere")) {
            gs32_dbus_send_hello(&s.bus);
            return;
        }
        if (dbus_message_is_signal(message.get(), "vel.kem.korvad", "RequestNextJobNow")) {
            *s.toggle = *s.toggle == 0 ? 1 : 0;
            return;
        }
    }
}

}  // namespace

void mv_on_quit_signal(int signal_number) {
    if (signal_number != SIGCHLD) g_quit_requested = 1;
}

void mv_supervisor_run(StartupState* state) {
    Supervisor& s = g_supervisor;
    SystemConfig* system = &state->system;

    struct sigaction action {};
    action.sa_handler = mv_on_quit_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGCHLD}) sigaction(signal_number, &action, nullptr);

    memset(&s.bus, 0, sizeof s.bus);
    snprintf(s.bus.name, sizeof s.bus.name, "korvad");
    snprintf(s.bus.version, sizeof s.bus.version, "%s", kKorvadVersion);
    snprintf(s.bus.state, sizeof s.bus.state, "unknown");
    snprintf(s.bus.description, sizeof s.bus.description,
             "daemon handles communication between client and server");

    if (gs32_dbus_connect(&s.bus) != 0) {
        gs32_log_write("korva daemon can't register on dbus");
        mv_supervisor_shutdown();
    }
    if (gs32_dbus_send_hello(&s.bus) != 0) {
        gs32_log_write("korva daemon can't send hello signal");
        mv_supervisor_shutdown();
    }
    gs32_dbus_add_match(&s.bus, "type='signal',interface='vel.kem.broadcast'");
    gs32_dbus_add_match(&s.bus, "type='signal',interface='vel.kem.korvad'");

    if (system->watchdog_interval > 0) {
        s.bus.watchdog_interval = system->watchdog_interval;
        snprintf(s.bus.CMDOnWatchdog, sizeof s.bus.CMDOnWatchdog, "%s", system->CMDOnWatchdog);
        if (gs32_sys_register_watchdog(&s.bus) != 0) {
            // Neither the supervisor nor any worker started from now on triggers or registers.
            system->watchdog_interval = 0;
            gs32_log_printf("%d: Can't register WD, prepare for reset", getpid());
        }
    }

    s.toggle_id = shmget(IPC_PRIVATE, 1, IPC_CREAT | 0600);
    if (s.toggle_id < 0) {
        gs32_log_printf("%d: Shmget failed", getpid());
        mv_supervisor_shutdown();
    }
    void* address = shmat(s.toggle_id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        gs32_log_printf("%d: Shmat failed", getpid());
        mv_supervisor_shutdown();
    }
    s.toggle = static_cast<volatile uint8_t*>(address);
    *s.toggle = 0;
    // Marked for removal at once: the attachment stays usable, the workers inherit it, and
    // the segment goes with the last process that has it attached, however that one ends.
    shmctl(s.toggle_id, IPC_RMID, nullptr);

    gs32_log_printf("%d: Korvad started", getpid());
    s.workers = &state->connections;
    for (uint16_t i = 0; i < state->connections.count; ++i) {
        gs32_ch_handle_connection(&state->connections.items[i], s.toggle, system);
    }

    time_t next_trigger = 0;
    for (;;) {
        if (system->watchdog_interval > 0 && time(nullptr) >= next_trigger) {
            gs32_sys_trigger_watchdog(&s.bus);
            next_trigger = time(nullptr) + 5;
        }
        dbus_connection_read_write(s.bus.connection, 500);
        if (!gb_dbus_is_connected(&s.bus)) {
            gs32_log_printf("%d: bus connection lost, ending", getpid());
            mv_supervisor_await_workers();
            mv_supervisor_shutdown(1);
        }
        mv_supervisor_handle_one_message();
        if (g_quit_requested == 1) mv_supervisor_shutdown();
    }
}
