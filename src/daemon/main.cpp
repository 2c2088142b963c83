// Entry of korvad: the start-up, then the supervisor phase, which never returns.
#include "connection/transfer.h"
#include "core/startup.h"
#include "daemon/supervisor.h"

#include <sys/stat.h>

#include <cstdio>

int main(int argc, char** argv) {
    // Without a log file every process writes its lines to standard output; line buffering
    // keeps them whole and in order when it is a pipe or a file.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // Files and folders the daemon creates (log, exchange folder, position files) are never
    // writable by group or others, whatever mask the starting shell or init system left.
    umask(022);
    static StartupState state;
    int exit_status = 1;
    if (gs32_startup_run(argc, argv, &state, &exit_status) != 0) return exit_status;
    if (state.has_transfer_user) gv_transfer_set_identity(state.transfer_uid, state.transfer_gid);
    mv_supervisor_run(&state);
}
