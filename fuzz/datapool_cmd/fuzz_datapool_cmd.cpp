// Feeds arbitrary parameter bytes through the KFGV and KFSV handlers over a real datapool
// whose one list the input chooses; the datapool world names its base directory in place of
// the datapool service.
//
// Input: byte 0 chooses the ResultBuffer's capacity (3 to 130 bytes, so that answers are
// split across parts); byte 1 the command (bit 0: KFSV) and the line's form (bit 1: a
// DataBlock); then the list as gs_world_list_from_bytes (sim/datapool_world.h) reads it: any
// NUMOFVARS, TYPE, SIZE and ADDRESS up to 2^32-1, over a segment of 68 KiB, so that
// variables of 65535 bytes and more fit as well as variables that lie outside the segment;
// the rest is the handler's text (up to the longest line a JobFile under its limit holds),
// copied into the current job line as the reader would.
//
// Besides the sanitizers it checks: the handler ends within a bounded number of re-calls;
// its output ends with a status line; and a KFGV answer is the same bytes whether it was
// stored in one part or split across many (when the clock did not move between the runs).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "connection/worker_state.h"
#include "core/log.h"
#include "datapool/datapool_commands.h"
#include "jobs/command_rows.h"
#include "jobs/datablock.h"
#include "jobs/job_line.h"
#include "jobs/result_buffer.h"
#include "sim/datapool_world.h"

namespace {

// A failed check names its line before aborting, so a finding says which rule broke.
#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

// 64 KiB for the variables and 4 KiB for their change counters.
constexpr size_t kSegmentSize = 69632;

void mv_set_line(int16_t row, const uint8_t* text, size_t size, bool datablock) {
    JobLine& line = g_job_line;
    line.text.reset(static_cast<char*>(calloc(size + 5, 1)));
    mv_check(line.text != nullptr);
    memcpy(line.text.get(), row == kKfgvRow ? "KFGV" : "KFSV", 4);
    memcpy(line.text.get() + 4, text, size);
    line.capacity = static_cast<uint32_t>(size + 5);
    line.length = static_cast<uint32_t>(size + 4);
    line.cursor = line.text.get() + 4;
    line.command = row;
    line.form = datablock ? JobLineForm::kDataBlock : JobLineForm::kOrdinary;
    // The reader records the block it walked; a block it would refuse stays unrecorded.
    line.datablock = DataBlockLayout{};
    if (datablock) gb_datablock_walk(line.text.get(), 4, line.length, &line.datablock);
}

std::string run_handler(int16_t row, uint32_t capacity) {
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    gv_ch_worker_state_start(&record);
    mv_check(gs32_ch_alloc_result_buffers() == 0);
    gv_njch_reset_datapool_commands();
    std::string stored;
    ResultPart part;
    for (int call = 0;; ++call) {
        mv_check(call < 100 + 2 * static_cast<int64_t>(g_job_line.length));
        const int32_t result = row == kKfgvRow ? ms32_njch_get_var_value(g_job_line.cursor, row)
                                               : ms32_njch_set_var_value(g_job_line.cursor, row);
        if (result != -4) gv_ch_close_final_part();  // the line is the job's last
        if (gs32_ch_take_part(&part) == 0) stored.append(part.data, part.length);
        if (result != -4) return stored;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        gr_datapool_world({"VERSION=1\n"}, kSegmentSize);
        gv_njch_set_dp_base_path_source(gs32_world_base_path);
        return gs32_log_open("/dev/null") == 0;
    }();
    (void)ready;
    if (size < 2 || size > 2097152) return 0;
    const uint32_t capacity = 3 + data[0] % 128;
    const int16_t row = (data[1] & 1) ? kKfsvRow : kKfgvRow;
    size_t used = 0;
    const std::string list = gs_world_list_from_bytes(data + 2, size - 2, &used);
    gv_world_write_list(0, reinterpret_cast<const uint8_t*>(list.data()), list.size());
    gv_world_clear_segments();
    mv_set_line(row, data + 2 + used, size - 2 - used, (data[1] & 2) != 0);

    const time_t before = time(nullptr);
    const std::string split = run_handler(row, capacity);
    mv_check(split.size() >= 7 && split.compare(split.size() - 2, 2, "\r\n") == 0);
    if (row == kKfgvRow) {
        const std::string whole = run_handler(row, 8192);
        if (time(nullptr) == before) mv_check(split == whole);
    }
    return 0;
}
