// Feeds arbitrary bytes as a DatapoolListFile through the two-pass reader, over a real
// segment of 64 KiB (any file asking for no more attaches). Besides the sanitizers it checks
// that every variable handed out lies inside the segment with its counter, that every text
// field is terminated, that a reload gives the same table, and that the accessors and name
// lookups keep to their codes.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "datapool/datapool.h"
#include "sim/datapool_world.h"

namespace {

// A failed check names its line before aborting, so a finding says which rule broke.
#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

bool mb_terminated(const char* text, size_t size) { return memchr(text, '\0', size) != nullptr; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const DatapoolWorld& world = gr_datapool_world({"VERSION=1\n"});
    static const bool ready = gs32_log_open("/dev/null") == 0;
    (void)ready;
    gv_world_write_list(0, data, size);
    for (int pass = 0; pass < 2; ++pass) {
        mv_check(gs32_dp_load_names(world.base.c_str()) == 0);
        mv_check(gs32_dp_load(0, world.base.c_str()) == 0);
    }
    const DatapoolTable& table = gr_dp_table();
    mv_check(table.count == 1 && table.pools[0].list_count == 1);
    const VarListRecord& list = table.pools[0].lists[0];
    const uintptr_t first = reinterpret_cast<uintptr_t>(list.attachment.get());
    const uintptr_t last = first + kWorldSegmentSize;
    auto inside = [&](const uint8_t* p, int32_t n) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(p);
        return first != 0 && at >= first && at + static_cast<uint32_t>(n) <= last;
    };
    for (int32_t i = 0; i < list.var_count; ++i) {
        VarInfo info{};
        if (gs32_dp_get_var_info(0, 0, i, &info) != 0) continue;
        mv_check(info.size > 0 && inside(info.value, info.size));
        mv_check(info.counter == nullptr || inside(info.counter, 4));
        mv_check(mb_terminated(info.name, sizeof info.name) &&
                 mb_terminated(info.type, sizeof info.type) &&
                 mb_terminated(info.unit, sizeof info.unit) &&
                 mb_terminated(info.comment, sizeof info.comment));
        uint8_t bytes[64];
        const uint32_t length = info.size < 64 ? static_cast<uint32_t>(info.size) : 64;
        mv_check(gs32_dp_get_variable(0, 0, i, bytes, length) == 0);
        mv_check(gs32_dp_set_variable(0, 0, i, bytes, length) == 0);
        mv_check(gs32_dp_var_changed(0, 0, i) == (info.counter != nullptr ? -8 : 0));
        const int32_t found = gs32_dp_get_var_index(0, 0, info.name);
        mv_check(found == -5 || (found >= 0 && found <= i));
    }
    int32_t var = -1;
    const int32_t next = gs32_dp_next_changed_var(0, 0, &var);
    mv_check(next == -8 || next == -5 || (next == 0 && var >= 0 && var < list.var_count));
    mv_check(gs32_dp_get_list_index(0, "l0") == 0 || gs32_dp_get_list_index(0, "l0") == -5);
    return 0;
}
