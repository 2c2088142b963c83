// Feeds arbitrary bytes as a position file. Checks the codes, that a failed read leaves the
// resume point at zero, and that a resume point read back from what was written is the same.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log.h"
#include "logger/position_file.h"

namespace {

#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

std::string g_path;
void mv_remove_file() { unlink(g_path.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        g_path = "/tmp/korvad_fuzz_pos_" + std::to_string(getpid());
        atexit(mv_remove_file);
        return gs32_log_open("/dev/null") == 0;
    }();
    (void)ready;
    FILE* file = fopen(g_path.c_str(), "wb");
    mv_check(file != nullptr);
    mv_check(size == 0 || fwrite(data, 1, size, file) == size);
    fclose(file);

    uint32_t block = 1, offset = 1;
    const int32_t r = gs32_read_actual_dlf_pos_from_file(g_path.c_str(), &block, &offset);
    mv_check(r == 0 || r == -10);
    if (r == -10) {
        mv_check(block == 0 && offset == 0);
        return 0;
    }
    mv_check(gs32_write_actual_dlf_pos_to_file(g_path.c_str(), block, offset) == 0);
    uint32_t block_again = 0, offset_again = 0;
    mv_check(gs32_read_actual_dlf_pos_from_file(g_path.c_str(), &block_again, &offset_again) ==
             0);
    mv_check(block_again == block && offset_again == offset);
    return 0;
}
