// Entry of korvad: start-up, then the supervisor phase.
#include <unistd.h>

#include <cstdio>

#include "core/log.h"
#include "core/startup.h"

int main(int argc, char** argv) {
    static StartupState state;
    int exit_status = 1;
    if (gs32_startup_run(argc, argv, &state, &exit_status) != 0) return exit_status;
    for (uint16_t i = 0; i < state.connections.count; ++i) {
        const ConnectionConfig& c = state.connections.items[i];
        gs32_log_printf("%d: connection %s: client_id '%s', server %s:%u, get %s%s, put %s%s",
                        getpid(), c.config_name, c.client_id, c.com_server_url, c.port_no,
                        c.com_server_path_get, c.srv_cmd_file, c.com_server_path_put,
                        c.usr_cmd_file);
    }
    gs32_log_printf("%d: %u connection(s) read", getpid(), state.connections.count);
    gs32_log_close();
    gv_startup_release(&state);
    return 0;
}
