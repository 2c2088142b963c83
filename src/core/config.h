// Records of the system and connection configuration files and their readers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "core/allow.h"

struct SystemConfig {
    char Log_File[512];
    char CMDOnWatchdog[512];
    int32_t watchdog_interval;
    char ConfigFileFolderPath[512];
    // The user whose identity the transfer processes take; empty: they keep the daemon's.
    // As long as a line, so that no cut can turn one user's name into another's.
    char transfer_user[512];
};

struct ConnectionConfig {
    int32_t worker_pid;
    char config_name[32];
    char client_id[32];
    char com_server_url[512];
    char com_server_path_get[512];
    char com_server_path_put[512];
    uint16_t port_no;
    char ServerExchangeFolder[256];
    char http_user[64];
    char http_passwd[64];
    char srv_cmd_file[512];
    char usr_cmd_file[512];
    int32_t connection_cycle_timeout;
    int32_t DLTS;
    uint32_t max_result_file_size;
    char man_in_the_middle[64];
    // The allow-lists: nullptr without the key, else a malloc'd text owned by the
    // ConnectionList (gv_cfg_release_connections); a worker's copy only looks at them.
    const char* allow[kAllowKinds];
    // HTTPS, opt-in: a tls_ca_file line (even an empty one) makes the connection use TLS.
    uint8_t use_tls;
    char tls_ca_file[512];
    char tls_server_name[256];  // empty: com_server_url
    char tls_client_cert[512];  // both or neither
    char tls_client_key[512];
    char tls_pin_sha256[80];    // empty: no pin
};

// The supervisor's connections in directory order. The array is malloc'd and grows by one
// record per connection file; gv_cfg_release_connections releases it.
struct ConnectionList {
    uint16_t count;
    ConnectionConfig* items;
};

static_assert(std::is_trivially_copyable_v<SystemConfig>);
static_assert(std::is_trivially_copyable_v<ConnectionConfig>);

constexpr const char* kDefaultExchangeFolder = "/mnt/dataflash/vel/korvad/";
constexpr uint32_t kConfigLineSize = 512;
// The server port of a TLS connection without a port_no line.
constexpr uint16_t kDefaultTlsPort = 443;

// Looks key up: the first line (or line piece of size-1 characters) that begins with key
// wins; the value follows one separator character of any kind; a trailing LF and then a
// trailing CR are removed, nothing else. 0 when found, -1 when not found (out is then
// empty) or an argument is missing.
int32_t gs32_cfg_get_value(FILE* file, const char* key, char* out, uint32_t size);

// Fills SystemConfig (zero-filled by the caller); never fails.
int32_t gs32_cfg_read_system(FILE* file, SystemConfig* config);

// Frees the allow-lists of one record.
void gv_cfg_release_allow(ConnectionConfig* config);

// Frees the records and their allow-lists; the list is then empty.
void gv_cfg_release_connections(ConnectionList* list);

// Allow-list lines may be long: values up to this many characters are taken whole.
constexpr uint32_t kAllowLineSize = 16384;

// Fills list->items[index]; file must be open in "a+" mode since a generated client_id is
// appended to it. 0, or -10 on a missing required key or an unwritable client_id line.
int32_t gs32_cfg_read_connection(FILE* file, ConnectionList* list, uint16_t index);
