// The supervisor phase: bus registration, watchdog, the request toggle byte, the workers,
// and the loop that answers presence queries and passes on next-job requests.
#pragma once

#include "core/startup.h"

// Runs the supervisor phase on the state of the start-up; never returns (exit status 0).
[[noreturn]] void mv_supervisor_run(StartupState* state);

// SIGINT and SIGTERM end the loop; SIGCHLD does nothing.
void mv_on_quit_signal(int signal_number);
