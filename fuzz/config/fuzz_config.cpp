// Feeds arbitrary bytes as a system file and as a connection file through their readers,
// and looks up keys in them. Besides the sanitizers it checks that every text field of the
// records is terminated inside its field, that the watchdog interval stays in its bounds,
// and that a connection file read again (after a generated client_id was appended) gives
// the same record.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "core/config.h"

#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

namespace {

template <size_t N>
bool terminated(const char (&field)[N]) {
    return memchr(field, '\0', N) != nullptr;
}

char g_path[] = "/tmp/korvad_fuzz_config_XXXXXX";

FILE* mp_file_with(const uint8_t* data, size_t size, const char* mode) {
    FILE* file = fopen(g_path, "w");
    mv_check(file != nullptr);
    mv_check(fwrite(data, 1, size, file) == size);
    fclose(file);
    return fopen(g_path, mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        const int fd = mkstemp(g_path);
        mv_check(fd >= 0);
        close(fd);
        atexit([] { unlink(g_path); });
        return true;
    }();
    (void)ready;
    if (size > 65536) return 0;

    FILE* file = mp_file_with(data, size, "r");
    SystemConfig system;
    memset(&system, 0, sizeof system);
    FILE* saved = stdout;
    stdout = fopen("/dev/null", "w");  // the reader prints what it misses
    gs32_cfg_read_system(file, &system);
    fclose(stdout);
    stdout = saved;
    fclose(file);
    mv_check(terminated(system.Log_File) && terminated(system.CMDOnWatchdog) &&
             terminated(system.ConfigFileFolderPath));

    // Read twice: the first reading may append a generated client_id, the second reads it.
    ConnectionConfig items[2];
    memset(items, 0, sizeof items);
    ConnectionList list{2, items};
    int32_t results[2];
    for (uint16_t pass = 0; pass < 2; ++pass) {
        file = pass == 0 ? mp_file_with(data, size, "a+") : fopen(g_path, "a+");
        mv_check(file != nullptr);
        results[pass] = gs32_cfg_read_connection(file, &list, pass);
        fclose(file);
        const ConnectionConfig& c = items[pass];
        mv_check(results[pass] == 0 || results[pass] == -10);
        mv_check(terminated(c.config_name) && terminated(c.client_id) &&
                 terminated(c.com_server_url) && terminated(c.com_server_path_get) &&
                 terminated(c.com_server_path_put) && terminated(c.ServerExchangeFolder) &&
                 terminated(c.http_user) && terminated(c.http_passwd) &&
                 terminated(c.srv_cmd_file) && terminated(c.usr_cmd_file) &&
                 terminated(c.man_in_the_middle));
    }
    mv_check(results[0] == results[1]);
    if (results[0] == 0) mv_check(strcmp(items[0].client_id, items[1].client_id) == 0);
    for (uint8_t kind = 0; kind < kAllowKinds; ++kind) {
        mv_check((items[0].allow[kind] == nullptr) == (items[1].allow[kind] == nullptr));
        if (items[0].allow[kind] != nullptr) {
            mv_check(strcmp(items[0].allow[kind], items[1].allow[kind]) == 0);
        }
    }
    for (ConnectionConfig& c : items) gv_cfg_release_allow(&c);

    file = mp_file_with(data, size, "r");
    char value[8];
    for (const char* key : {"Log_File", "port_no", "k", ""}) {
        rewind(file);
        const int32_t found = gs32_cfg_get_value(file, key, value, sizeof value);
        mv_check((found == 0 || found == -1) && memchr(value, '\0', sizeof value) != nullptr);
    }
    fclose(file);
    return 0;
}
