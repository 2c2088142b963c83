// The connection worker process: start-up, the loop with its three timers, the cycle state
// machine, and the end sequence.
#include "connection/worker.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bus/dbus.h"
#include "bus/pump.h"
#include "bus/sys.h"
#include "connection/fetch_upload.h"
#include "connection/network.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/job_pass.h"
#ifdef KORVAD_TLS
#include "http/tls.h"
#endif

namespace {

constexpr const char kClientIdMarker[] = "<client_id>";
constexpr uint32_t kWhoIsThereEveryS = 3;
constexpr uint32_t kWatchdogEveryS = 5;
constexpr uint32_t kConnectEveryS = 60;
constexpr uint32_t kStartConnectionValue = 120;
constexpr uint32_t kRetryAfterFailureS = 60;
constexpr uint32_t kRunningStepUs = 20000;
constexpr uint32_t kIdleStepUs = 100000;
// A part name is the result path, "." and a part number of at least five digits, and
// ".end"; room is kept for a part number of up to ten digits.
constexpr size_t kPartSuffixRoom = 1 + 10 + 4;

BusContext g_worker_bus;

// The loop's timers, in seconds since the epoch.
struct WorkerTimers {
    uint32_t next_trigger = 0;
    uint32_t next_whoisthere = 0;
    uint32_t next_connect = 0;
};

uint32_t mu_now() { return static_cast<uint32_t>(time(nullptr)); }

int32_t ms32_connhandler_init_paramerters() {
    WorkerState& state = g_worker_state;
    if (gs32_ch_alloc_result_buffers() != 0) return -1;
    char* paths[] = {state.config.com_server_path_get, state.config.com_server_path_put};
    for (char* path : paths) {
        if (gs32_ch_substitute_client_id(path, state.config.client_id) != 0) {
            gs32_log_printf("%d: ms32_connhandler_init_paramerters: Client id does not fit in "
                            "string",
                            state.self_pid);
            return -1;
        }
    }
    return 0;
}

// A connection that asks for TLS gets it or nothing: its worker ends before it connects
// anywhere when the files are not right, or when the daemon was built without TLS.
bool mb_worker_setup_tls() {
    const ConnectionConfig& config = g_worker_state.config;
    if (config.use_tls == 0) return true;
#ifdef KORVAD_TLS
    TlsSettings settings{config.tls_ca_file,
                         config.tls_server_name[0] != '\0' ? config.tls_server_name
                                                           : config.com_server_url,
                         config.tls_client_cert, config.tls_client_key, config.tls_pin_sha256};
    return gs32_tls_setup(settings) == 0;
#else
    gs32_log_printf("%d: gs32_ch_handle_connection: TLS asked for, but this korvad is built "
                    "without it",
                    g_worker_state.self_pid);
    return false;
#endif
}

// Joins "<folder>/<file>" into a 512-byte field; false when it would exceed 511 characters.
bool mb_join_server_path(char (&out)[512], const char* folder, const char* file) {
    int length = snprintf(out, sizeof out, "%s/%s", folder, file);
    return length >= 0 && length <= 511;
}

int32_t ms32_worker_join_bus(const SystemConfig* system) {
    WorkerState& state = g_worker_state;
    if (gs32_dbus_connect_private(&g_worker_bus) != 0) return -1;
    gs32_dbus_add_match(&g_worker_bus, "type='signal',interface='vel.kem.broadcast'");
    gs32_dbus_add_match(&g_worker_bus, "type='signal',interface='vel.kem.wenlod'");
    PumpHandlers handlers;
    handlers.on_hello = mv_connhandler_who_is_there;
    handlers.on_network_notification = mv_connhandler_network_notification;
    gv_dbus_set_signal_handlers(handlers);
    if (system->watchdog_interval > 0) {
        g_worker_bus.watchdog_interval = system->watchdog_interval;
        snprintf(g_worker_bus.CMDOnWatchdog, sizeof g_worker_bus.CMDOnWatchdog, "%s",
                 system->CMDOnWatchdog);
        if (gs32_sys_register_watchdog(&g_worker_bus) != 0) {
            gs32_log_printf("%d: gs32_ch_handle_connection Can't register WD, prepare for reset",
                            state.self_pid);
            return -1;
        }
    }
    return 0;
}

// Calls StartConnection at most every 60 seconds while a cycle runs; true when it did.
bool mb_worker_connect_renewal(WorkerTimers& timers) {
    uint32_t now = mu_now();
    if (now <= timers.next_connect) return false;
    timers.next_connect = now + kConnectEveryS;
    gs32_nw_start_connection(&g_worker_bus, kStartConnectionValue);
    return true;
}

void mv_worker_step(WorkerTimers& timers, volatile uint8_t* request_toggle) {
    WorkerState& state = g_worker_state;
    WorkerProcess& process = g_worker_process;
    switch (state.cycle_state) {
        case CH_WAIT_SERVICE:
            if (mu_now() > timers.next_whoisthere) {
                gs32_dbus_send_who_is_there(&g_worker_bus);
                timers.next_whoisthere = mu_now() + kWhoIsThereEveryS;
            }
            break;
        case CH_IDLE: {
            uint32_t now = mu_now();
            uint8_t toggle = *request_toggle;
            if (state.cycle_start + state.wait_interval < now ||
                toggle != state.seen_request_toggle || state.request_now == 1) {
                state.request_now = 0;
                state.seen_request_toggle = toggle;
                state.cycle_start = now;
                process.poll_step_us = kRunningStepUs;
                state.cycle_state = CH_CONNECT;
            } else {
                process.poll_step_us = kIdleStepUs;
            }
            break;
        }
        case CH_CONNECT:
            if (mb_worker_connect_renewal(timers) && process.query_interface == 1) {
                process.query_interface = 0;
                char answer[20];
                // A failed or timed-out query leaves link_up as it was (only an answer tells
                // the state) and is asked again after the next StartConnection, 60 seconds on,
                // the same rhythm as the renewal: a worker whose query got lost does not wait
                // for a Network_Notification that may never come.
                int32_t asked = gs32_nw_get_con_interface(&g_worker_bus, answer, sizeof answer);
                if (asked != 0) {
                    process.query_interface = 1;
                } else if (strcmp(answer, "NotConnected") != 0) {
                    state.link_up = 1;
                }
            }
            if (state.link_up == 1) {
                process.query_interface = 1;
                state.cycle_state = state.followup_job_ready != 0 ? CH_PROCESS : CH_FETCH;
            }
            break;
        case CH_FETCH:
            mb_worker_connect_renewal(timers);
            state.cycle_state = ms32_connhandler_get_nextjob() == 0 ? CH_PROCESS : CH_RESET;
            break;
        case CH_PROCESS: {
            mb_worker_connect_renewal(timers);
            const int32_t result = gs32_ch_run_job_pass();
            if (result == 0 || result == -6) {
                state.cycle_state = CH_UPLOAD;
            } else if (result != -4) {
                state.cycle_state = CH_RESET;
            }
            break;
        }
        case CH_UPLOAD:
            mb_worker_connect_renewal(timers);
            mv_connhandler_gprs_job_send_result_data_task();
            break;
        case CH_CYCLE_DONE:
            state.cycle_state = CH_IDLE;
            break;
        case CH_RESET:
            gv_ch_reset_job();
            state.cycle_state = CH_WAIT_SERVICE;
            state.wait_interval = kRetryAfterFailureS;
            break;
        default:
            break;
    }
}

// exit_status is 0 for an orderly end, 1 when the bus went away.
[[noreturn]] void mv_worker_end(volatile uint8_t* request_toggle, int exit_status = 0) {
    if (request_toggle != reinterpret_cast<volatile uint8_t*>(-1) && request_toggle != nullptr) {
        shmdt(const_cast<uint8_t*>(request_toggle));
    }
    gv_ch_free_result_buffers();
    g_worker_state.job_data.reset();
    gs32_sys_cancel_watchdog(&g_worker_bus);
    gs32_log_printf("Connection has been killd, pid: %d", g_worker_state.self_pid);
    // The worker's private connection is closed so that nothing it owns outlives it.
    gv_dbus_disconnect(&g_worker_bus);
    exit(exit_status);
}

[[noreturn]] void mv_worker_main(const ConnectionConfig* record, volatile uint8_t* request_toggle,
                                 const SystemConfig* system) {
    WorkerState& state = g_worker_state;
    gv_ch_worker_state_start(record);
    bool ok = ms32_connhandler_init_paramerters() == 0;
    ok = ok && mb_join_server_path(state.job_path, state.config.com_server_path_get,
                                   state.config.srv_cmd_file) &&
         mb_join_server_path(state.result_path, state.config.com_server_path_put,
                             state.config.usr_cmd_file);
    if (ok && strlen(state.result_path) + kPartSuffixRoom >= sizeof state.result_name) {
        gs32_log_printf("%d: ms32_connhandler_init_paramerters: Result path longer than %zu "
                        "characters",
                        state.self_pid, sizeof state.result_name - 1 - kPartSuffixRoom);
        ok = false;
    }
    if (!ok || !mb_worker_setup_tls()) mv_worker_end(request_toggle);
    state.wait_interval = 0;

    memset(&g_worker_bus, 0, sizeof g_worker_bus);
    snprintf(g_worker_bus.name, sizeof g_worker_bus.name, "%s_%d", "korvad", state.self_pid);
    ok = ms32_worker_join_bus(system) == 0;

    struct sigaction action {};
    action.sa_handler = mv_ch_on_sigterm;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGHUP);
    gv_ch_reset_job();
    if (!ok) mv_worker_end(request_toggle);

    WorkerTimers timers;
    for (;;) {
        if (system->watchdog_interval > 0 && mu_now() >= timers.next_trigger) {
            gs32_sys_trigger_watchdog(&g_worker_bus);
            timers.next_trigger = mu_now() + kWatchdogEveryS;
        }
        gs32_dbus_pump_signals(&g_worker_bus);
        if (!gb_dbus_is_connected(&g_worker_bus)) {
            gs32_log_printf("%d: bus connection lost, ending", state.self_pid);
            mv_worker_end(request_toggle, 1);
        }
        mv_worker_step(timers, request_toggle);
        usleep(g_worker_process.poll_step_us);
        if (state.stop_requested == 1) break;
    }
    mv_worker_end(request_toggle);
}

}  // namespace

void mv_ch_on_sigterm(int) { g_worker_state.stop_requested = 1; }

int32_t gs32_ch_substitute_client_id(char* path, const char* client_id) {
    char* marker = strstr(path, kClientIdMarker);
    if (marker == nullptr) return 0;
    const size_t marker_length = sizeof kClientIdMarker - 1;
    const size_t id_length = strlen(client_id);
    if (strlen(path) + id_length - marker_length > 511) return -1;
    const char* rest = marker + marker_length;
    memmove(marker + id_length, rest, strlen(rest) + 1);
    memcpy(marker, client_id, id_length);
    return 0;
}

int32_t gs32_ch_handle_connection(ConnectionConfig* record, volatile uint8_t* request_toggle,
                                  const SystemConfig* system) {
    fflush(nullptr);  // nothing buffered may be written twice, by both processes
    pid_t pid = fork();
    if (pid == 0) mv_worker_main(record, request_toggle, system);
    record->worker_pid = pid;
    if (pid < 0) {
        gs32_log_write("ERROR: gs32_ch_handle_connection, Can't start child process");
        return -1;
    }
    return 0;
}
