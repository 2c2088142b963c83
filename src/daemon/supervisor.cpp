// The supervisor loop and its shutdown.
#include "daemon/supervisor.h"

#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

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
    int toggle_id = -1;                   // the request toggle byte's segment, -1 for none
    volatile uint8_t* toggle = nullptr;   // where it is attached, nullptr for not attached
};
Supervisor g_supervisor;

[[noreturn]] void mv_supervisor_shutdown() {
    Supervisor& s = g_supervisor;
    if (s.bus.connection != nullptr) {
        gs32_sys_cancel_watchdog(&s.bus);
        gs32_dbus_send_goodbye(&s.bus);
    }
    gs32_log_close();
    if (s.toggle_id >= 0) {
        if (s.toggle != nullptr) shmdt(const_cast<uint8_t*>(s.toggle));
        shmctl(s.toggle_id, IPC_RMID, nullptr);
    }
    exit(0);
}

// Takes at most one message: WhoIsThere is answered with HELLO, RequestNextJobNow flips the
// toggle byte that every worker watches. Anything else, method calls included, is dropped.
void mv_supervisor_handle_one_message() {
    Supervisor& s = g_supervisor;
    DbusMessage message{dbus_connection_pop_message(s.bus.connection)};
    if (!message) return;
    if (dbus_message_is_signal(message.get(), kBusBroadcastInterface, "WhoIsThere")) {
        gs32_dbus_send_hello(&s.bus);
    } else if (dbus_message_is_signal(message.get(), "vel.kem.korvad", "RequestNextJobNow")) {
        *s.toggle = *s.toggle == 0 ? 1 : 0;
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
    snprintf(s.bus.version, sizeof s.bus.version, "v3_02r5");
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
        mv_supervisor_handle_one_message();
        if (g_quit_requested == 1) mv_supervisor_shutdown();
    }
}
