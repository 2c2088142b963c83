// Command line and start-up of korvad, up to the supervisor phase.
#include "core/startup.h"

#include <dirent.h>
#include <pwd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/heap.h"
#include "core/log.h"
#include "core/util.h"

namespace {

const char kUsage[] = "Usage: korvad <config-file> [-h] [-v] [-m] \n";

void mv_startup_print_help() {
    printf("\n"
           "korvad %s - daemon handles communication between client and server \n"
           "\n"
           "%s"
           "Requires: configuration file \n"
           "Options: \n"
           "    -v   version number of the daemon \n"
           "    -h   usage and options (this help) \n"
           "    -m   manual page \n"
           "\n",
           kKorvadVersion, kUsage);
}

void mv_startup_print_manual() {
    printf("\n"
           "NAME \n"
           "    korvad - daemon handles communication between client and server \n"
           "\n"
           "SYNOPSIS \n"
           "    korvad <config-file> [-h] [-v] [-m] \n"
           "\n"
           "DESCRIPTION \n"
           "    The server daemon communicates with an external server. For this request \n"
           "    it uses one of the selected interfaces in the wenlod. In a periodic \n"
           "    interval, the server daemon requests a specific file on the server \n"
           "    (configurable in the korvad specific configuration file). The file is \n"
           "    requested via HTTP and afterwards interpreted. All known commands are sent \n"
           "    to the corresponding daemons. After command completion, it is also \n"
           "    possible to send a response to the external server. \n"
           "\n"
           "    For further information, see the User Manual. \n"
           "\n"
           "OPTIONS \n"
           "    <config-file> \n"
           "         Configuration file of the daemon. \n"
           "\n"
           "    -v   Version number of the daemon. \n"
           "\n"
           "    -h   Usage and options (help). \n"
           "\n"
           "FILES \n"
           "    /etc/init.d/korvad.config \n"
           "         The system wide configuration file of the daemon. \n"
           "\n"
           "    /opt/korvad/configuration/<CONFIG_NAME>.config \n"
           "         Contains communication specific settings, e.g. communication URL, \n"
           "         port, protocol, etc.. \n"
           "\n"
           "AUTHOR \n"
           "    The korvad maintainers, through the device's support contact. \n"
           "\n"
           "\n");
}

bool mb_startup_is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Forms "<folder>/<name>" in 512 bytes; a longer path is reported and refused, never cut,
// since a cut path would name another file.
bool mb_startup_join_path(const char* folder, const char* name, char (&path)[512]) {
    int length = snprintf(path, sizeof path, "%s/%s", folder, name);
    if (length >= 0 && length < static_cast<int>(sizeof path)) return true;
    printf("Config file path longer than 511 characters, skipped: %.100s.../%s\n", folder, name);
    return false;
}

// Appends one zero-filled record named name; false when the array cannot grow.
bool mb_startup_append_connection(ConnectionList* list, const char* name) {
    if (list->count == UINT16_MAX) return false;
    void* grown = realloc(list->items, (list->count + 1u) * sizeof(ConnectionConfig));
    if (grown == nullptr) return false;  // the old array stays valid and owned by the list
    list->items = static_cast<ConnectionConfig*>(grown);
    ConnectionConfig* record = &list->items[list->count];
    memset(record, 0, sizeof *record);
    gu32_copy_bounded(record->config_name, name, sizeof record->config_name);
    ++list->count;
    return true;
}

void mv_startup_read_connections(StartupState* state) {
    for (uint16_t index = 0; index < state->connections.count; ++index) {
        char path[512];
        const char* name = state->connections.items[index].config_name;
        if (!mb_startup_join_path(state->system.ConfigFileFolderPath, name, path)) continue;
        UniqueFile file{fopen(path, "a+")};
        if (!file) {
            printf("Could not open config file: %s\n", path);
            continue;
        }
        if (gs32_cfg_read_connection(file.get(), &state->connections, index) != 0) {
            printf("Quit because of an error while reading the config file %s\n", path);
        }
    }
}

}  // namespace

int32_t gs32_startup_scan_config_dir(const SystemConfig* system, ConnectionList* list) {
    gv_cfg_release_connections(list);
    UniqueDir dir{opendir(system->ConfigFileFolderPath)};
    if (!dir) return -1;
    while (const struct dirent* entry = readdir(dir.get())) {
        if (strstr(entry->d_name, ".config") == nullptr) continue;
        char path[512];
        if (!mb_startup_join_path(system->ConfigFileFolderPath, entry->d_name, path)) continue;
        if (!gs32_is_regular_file(path)) continue;
        if (strlen(entry->d_name) >= sizeof list->items[0].config_name) {
            printf("Config file name longer than 31 characters, skipped: %s\n", entry->d_name);
            continue;
        }
        bool known = false;
        for (uint16_t i = 0; i < list->count && !known; ++i) {
            known = strcmp(list->items[i].config_name, entry->d_name) == 0;
        }
        if (known) continue;
        if (!mb_startup_append_connection(list, entry->d_name)) {
            printf("No memory for another connection, skipped: %s\n", entry->d_name);
        }
    }
    return 0;
}

int32_t gs32_startup_run(int argc, char** argv, StartupState* state, int* exit_status_out) {
    memset(&state->system, 0, sizeof state->system);
    state->connections.count = 0;
    state->connections.items = nullptr;
    state->config_path[0] = '\0';
    state->has_transfer_user = false;
    *exit_status_out = 1;

    if (argc < 2 || argv[1] == nullptr) {
        printf("invalid argument, type korvad -h for help \n%s", kUsage);
        return 1;
    }
    const char* argument = argv[1];
    if (strstr(argument, "-v") != nullptr) {
        printf("%s\n", kKorvadVersion);
        *exit_status_out = 0;
        return 1;
    }
    if (strstr(argument, "-h") != nullptr) {
        mv_startup_print_help();
        *exit_status_out = 0;
        return 1;
    }
    if (strstr(argument, "-m") != nullptr) {
        mv_startup_print_manual();
        *exit_status_out = 0;
        return 1;
    }
    while (mb_startup_is_blank(*argument)) ++argument;
    size_t word = 0;
    while (argument[word] != '\0' && !mb_startup_is_blank(argument[word])) ++word;
    if (word == 0) {
        mv_startup_print_help();
        return 1;
    }
    if (word >= sizeof state->config_path) {
        printf("Config file path longer than %zu characters\n", sizeof state->config_path - 1);
        return 1;
    }
    memcpy(state->config_path, argument, word);
    state->config_path[word] = '\0';

    if (!gs32_is_regular_file(state->config_path)) {
        printf("No valid config file '%s'\n", state->config_path);
        return 1;
    }
    {
        UniqueFile file{fopen(state->config_path, "r")};
        if (!file) {
            printf("Could not open config file: %s", state->config_path);
            return 1;
        }
        gs32_cfg_read_system(file.get(), &state->system);
    }
    if (state->system.Log_File[0] == '\0') {
        printf("No log file entry found in config file -> send log msg to stdout\n");
    } else if (gs32_log_open(state->system.Log_File) != 0) {
        printf("Could not open log file: %s\n", state->system.Log_File);
        return 1;
    }
    if (state->system.transfer_user[0] != '\0') {
        const passwd* user = getpwnam(state->system.transfer_user);
        if (user == nullptr) {
            gs32_log_from("gs32_startup_run", "transfer_user '%s' is no user of this system",
                          LogSafe(state->system.transfer_user).text);
            return 1;
        }
        state->has_transfer_user = true;
        state->transfer_uid = user->pw_uid;
        state->transfer_gid = user->pw_gid;
    }
    if (gs32_startup_scan_config_dir(&state->system, &state->connections) != 0) {
        printf("Can't open configuration directory!");
        fflush(stdout);
    } else {
        mv_startup_read_connections(state);
    }
    *exit_status_out = 0;
    return 0;
}

void gv_startup_release(StartupState* state) {
    gv_cfg_release_connections(&state->connections);
}
