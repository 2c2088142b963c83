// Key/value configuration files: the key lookup and the system and connection readers.
#include "core/config.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/heap.h"
#include "core/util.h"

int32_t gs32_cfg_get_value(FILE* file, const char* key, char* out, uint32_t size) {
    if (file == nullptr || key == nullptr || out == nullptr || size == 0) return -1;
    out[0] = '\0';
    HeapBuffer line{static_cast<char*>(malloc(size + 1u))};
    if (!line) return -1;
    rewind(file);
    size_t key_length = strlen(key);
    // fgets with size bytes reads at most size-1 characters, so a longer line arrives in
    // pieces and each piece is examined as a line of its own.
    while (fgets(line.get(), static_cast<int>(size), file) != nullptr) {
        if (strncmp(line.get(), key, key_length) != 0) continue;
        const char* value = line.get() + key_length;
        if (*value != '\0') ++value;  // exactly one separator character, whatever it is
        gu32_copy_bounded(out, value, size);
        size_t length = strlen(out);
        if (length > 0 && out[length - 1] == '\n') out[--length] = '\0';
        if (length > 0 && out[length - 1] == '\r') out[--length] = '\0';
        return 0;
    }
    return -1;
}

namespace {

// Reads "%d" the way sscanf would, without undefined behaviour on overflow; -1 without
// digits.
int32_t ms32_cfg_scan_int(const char* text, int32_t* value_out) {
    char* end = nullptr;
    (void)strtoll(text, &end, 10);
    if (end == text) return -1;
    *value_out = gs32_atoi(text);
    return 0;
}

// Stores a text value into a field; longer values are cut to the field and reported,
// never written past it.
void mv_cfg_store_text(const char* key, const char* value, char* field, uint32_t field_size) {
    if (gu32_copy_bounded(field, value, field_size) >= field_size) {
        printf("Value of %s longer than %u characters, cut to '%s'\n", key, field_size - 1u,
               field);
    }
}

// Forms "<host>_<index>" within the 31 characters of client_id. A long host name is cut,
// never the index, so that the connections of one device keep distinct identities.
void mv_cfg_generate_client_id(uint16_t index, char* out, uint32_t out_size) {
    char host[kConfigLineSize];
    gv_get_host_name(host, sizeof host);
    char suffix[16];
    int suffix_length = snprintf(suffix, sizeof suffix, "_%d", index);
    int host_room = static_cast<int>(out_size) - 1 - suffix_length;
    snprintf(out, out_size, "%.*s%s", host_room, host, suffix);
}

// True for an empty file or one whose last character is a line feed.
bool mb_cfg_ends_in_line_end(FILE* file) {
    if (fseek(file, 0, SEEK_END) != 0 || ftell(file) <= 0) return true;
    if (fseek(file, -1, SEEK_END) != 0) return true;
    return fgetc(file) == '\n';
}

// The optional TLS keys. None of them begins another key of a connection file, nor does one
// of those begin a TLS key, so the first-line-that-begins-with rule finds each one.
void mv_cfg_read_tls(FILE* file, ConnectionConfig* config, bool port_given) {
    char value[kConfigLineSize];
    if (gs32_cfg_get_value(file, "tls_ca_file", value, sizeof value) != 0) return;
    config->use_tls = 1;
    mv_cfg_store_text("tls_ca_file", value, config->tls_ca_file, sizeof config->tls_ca_file);
    if (!port_given) config->port_no = kDefaultTlsPort;
    const struct {
        const char* key;
        char* field;
        uint32_t size;
    } optional[] = {
        {"tls_server_name", config->tls_server_name, sizeof config->tls_server_name},
        {"tls_client_cert", config->tls_client_cert, sizeof config->tls_client_cert},
        {"tls_client_key", config->tls_client_key, sizeof config->tls_client_key},
        {"tls_pin_sha256", config->tls_pin_sha256, sizeof config->tls_pin_sha256},
    };
    for (const auto& key : optional) {
        if (gs32_cfg_get_value(file, key.key, value, sizeof value) == 0) {
            mv_cfg_store_text(key.key, value, key.field, key.size);
        }
    }
}

}  // namespace

int32_t gs32_cfg_read_system(FILE* file, SystemConfig* config) {
    char value[kConfigLineSize];
    if (gs32_cfg_get_value(file, "Log_File", value, sizeof value) == 0) {
        gu32_copy_bounded(config->Log_File, value, sizeof config->Log_File);
    } else {
        printf("Error in config file. No valid Log_File found\n");
    }
    int32_t interval = 100;
    if (gs32_cfg_get_value(file, "watchdog_interval", value, sizeof value) == 0) {
        if (ms32_cfg_scan_int(value, &interval) != 0 || interval <= 99) interval = 100;
    }
    config->watchdog_interval = interval;
    if (gs32_cfg_get_value(file, "CMDOnWatchdog", value, sizeof value) == 0) {
        gu32_copy_bounded(config->CMDOnWatchdog, value, sizeof config->CMDOnWatchdog);
    } else {
        gu32_copy_bounded(config->CMDOnWatchdog, "signal01.beep", sizeof config->CMDOnWatchdog);
    }
    if (gs32_cfg_get_value(file, "ConfigFileFolderPath", value, sizeof value) == 0) {
        gu32_copy_bounded(config->ConfigFileFolderPath, value,
                          sizeof config->ConfigFileFolderPath);
    }
    if (gs32_cfg_get_value(file, "transfer_user", value, sizeof value) == 0) {
        gu32_copy_bounded(config->transfer_user, value, sizeof config->transfer_user);
    }
    return 0;
}

void gv_cfg_release_allow(ConnectionConfig* config) {
    for (const char*& text : config->allow) {
        free(const_cast<char*>(text));
        text = nullptr;
    }
}

void gv_cfg_release_connections(ConnectionList* list) {
    for (uint16_t i = 0; list->items != nullptr && i < list->count; ++i) {
        gv_cfg_release_allow(&list->items[i]);
    }
    free(list->items);
    list->items = nullptr;
    list->count = 0;
}

int32_t gs32_cfg_read_connection(FILE* file, ConnectionList* list, uint16_t index) {
    if (list == nullptr || index >= list->count) return -10;
    ConnectionConfig* config = &list->items[index];
    char value[kConfigLineSize];

    if (gs32_cfg_get_value(file, "client_id", value, sizeof value) == 0) {
        mv_cfg_store_text("client_id", value, config->client_id, sizeof config->client_id);
    } else {
        mv_cfg_generate_client_id(index, config->client_id, sizeof config->client_id);
        char line[sizeof config->client_id + 16];
        // A last line without its line end would swallow the appended line (and the value
        // of that last key with it), so it gets its line end first.
        const char* start = mb_cfg_ends_in_line_end(file) ? "" : "\n";
        snprintf(line, sizeof line, "%sclient_id %s \n", start, config->client_id);
        if (fseek(file, 0, SEEK_END) != 0 || gs32_write_text(file, line) != 0) return -10;
    }

    // Required text keys: the first missing one ends the reading.
    struct TextKey {
        const char* key;
        char* field;
        uint32_t size;
        const char* missing;
    };
    const TextKey required[] = {
        {"com_server_url", config->com_server_url, sizeof config->com_server_url,
         "Error in config file. No valid com_server_url found!"},
        {"com_server_path_get", config->com_server_path_get, sizeof config->com_server_path_get,
         "Error in config file. No valid com_server_path_get found!"},
        {"com_server_path_put", config->com_server_path_put, sizeof config->com_server_path_put,
         "Error in config file. No valid com_server_path_put found!"},
        {"srv_cmd_file", config->srv_cmd_file, sizeof config->srv_cmd_file,
         "Error in config file. No valid server command found!"},
        {"usr_cmd_file", config->usr_cmd_file, sizeof config->usr_cmd_file,
         "Error in config file. No valid user command ound!"},
    };
    bool port_given = false;
    for (const TextKey& key : required) {
        if (gs32_cfg_get_value(file, key.key, value, sizeof value) != 0) {
            printf("%s\n", key.missing);
            return -10;
        }
        mv_cfg_store_text(key.key, value, key.field, key.size);
        if (key.field == config->com_server_url) {
            // The port stands between the server and its paths in the reading order.
            config->port_no = 80;
            if (gs32_cfg_get_value(file, "port_no", value, sizeof value) == 0) {
                port_given = true;
                config->port_no = static_cast<uint16_t>(gs32_atoi(value) & 0xFFFF);
            }
        }
    }
    if (gs32_cfg_get_value(file, "http_user", value, sizeof value) == 0) {
        snprintf(config->http_user, sizeof config->http_user, "%.30s", value);
    }
    if (gs32_cfg_get_value(file, "http_passwd", value, sizeof value) == 0) {
        snprintf(config->http_passwd, sizeof config->http_passwd, "%.30s", value);
    }
    if (gs32_cfg_get_value(file, "connection_cycle_timeout", value, sizeof value) != 0) {
        printf("Error in config file. No valid connection cycle timeout found. Note: Value must "
               "be a integer number!\n");
        return -10;
    }
    config->connection_cycle_timeout = gs32_atoi(value);
    config->DLTS = 0;
    if (gs32_cfg_get_value(file, "DLTS", value, sizeof value) == 0) {
        config->DLTS = gs32_atoi(value);
    }
    config->max_result_file_size = 8192;
    if (gs32_cfg_get_value(file, "max_result_file_size", value, sizeof value) == 0) {
        config->max_result_file_size = static_cast<uint32_t>(gs32_atoi(value));
        if (config->max_result_file_size < 4096) config->max_result_file_size = 4096;
    }
    if (gs32_cfg_get_value(file, "man_in_the_middle", value, sizeof value) == 0) {
        snprintf(config->man_in_the_middle, sizeof config->man_in_the_middle, "%.60s", value);
    }
    // Optional allow-lists. A longer line loses the entry that the cut went through, so
    // that the cut never allows a name that was not written.
    for (uint8_t kind = 0; kind < kAllowKinds; ++kind) {
        const char* key = gpc_allow_key(static_cast<AllowKind>(kind));
        free(const_cast<char*>(config->allow[kind]));
        config->allow[kind] = nullptr;
        HeapBuffer entries{static_cast<char*>(malloc(kAllowLineSize))};
        if (!entries || gs32_cfg_get_value(file, key, entries.get(), kAllowLineSize) != 0) continue;
        // The reader takes at most kAllowLineSize - 1 characters of a line, key and
        // separator included; a value that fills them lost its line end to the cut.
        if (strlen(entries.get()) >= kAllowLineSize - 2 - strlen(key)) {
            printf("Value of %s longer than %u characters, cut\n", key, kAllowLineSize - 1);
            char* end = entries.get() + strlen(entries.get());
            while (end > entries.get() && end[-1] != ' ' && end[-1] != '\t') --end;
            *end = '\0';
        }
        config->allow[kind] = strdup(entries.get());
        if (config->allow[kind] == nullptr) {
            printf("No memory for %s\n", key);
            return -10;
        }
    }
    if (gs32_cfg_get_value(file, "ServerExchangeFolder", value, sizeof value) == 0) {
        snprintf(config->ServerExchangeFolder, sizeof config->ServerExchangeFolder, "%.255s",
                 value);
        if (strchr(config->ServerExchangeFolder, ' ') != nullptr) {
            printf("Invalid path, maybe spaces?\nUsing default server exchange directory\n");
            gu32_copy_bounded(config->ServerExchangeFolder, kDefaultExchangeFolder,
                              sizeof config->ServerExchangeFolder);
        }
    } else {
        printf("No dlf base path!\nUsing default server exchange directory\n");
        gu32_copy_bounded(config->ServerExchangeFolder, kDefaultExchangeFolder,
                          sizeof config->ServerExchangeFolder);
    }
    mv_cfg_read_tls(file, config, port_given);
    return 0;
}
