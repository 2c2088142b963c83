// The first phase of the supervisor: command line, system file, log, connection files.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/config.h"

constexpr const char* kKorvadVersion = "v3_02r5";

// Start-up state owned by the supervisor for its whole life.
struct StartupState {
    SystemConfig system;
    ConnectionList connections;
    char config_path[512];
    // The transfer user's identity, when the system file names one.
    bool has_transfer_user;
    uid_t transfer_uid;
    gid_t transfer_gid;
};

// Runs the start-up. Returns 0 when the supervisor phase should follow, or 1 when the
// process must end now with *exit_status_out (help, version, manual, or a fatal error).
int32_t gs32_startup_run(int argc, char** argv, StartupState* state, int* exit_status_out);

// Scans ConfigFileFolderPath for regular files whose names contain ".config", in directory
// order; -1 when the directory cannot be opened.
int32_t gs32_startup_scan_config_dir(const SystemConfig* system, ConnectionList* list);

// Releases the connection array.
void gv_startup_release(StartupState* state);
