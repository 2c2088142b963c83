// Feeds arbitrary bytes as a JobFile through the whole interpreter, driven as the connection
// worker drives it, over worlds the input chooses: a datapool list for KFGV and KFSV, and a
// working copy with its position file for DLGN and DLCN of the logger "L" in an exchange
// folder of its own. What needs a sibling on the bus fails as on a lost bus: DBUS lines, a
// new LoggerFile from the logger service (so the take-over of one is not reached here), the
// dataset size that only the logger knows, the announced budget and the clearing call.
//
// Input: byte 0 chooses the ResultBuffer's capacity (below 128: 3 to 130 bytes, so that
// results are split across parts; from 128 on: 4096, 8192, 65536 or 70000 bytes, so that
// pieces up to the largest a 16-bit length can say fit the result line); byte 1, bit 0: a
// position file holding the two 32-bit little-endian numbers that follow; then the datapool
// list as gs_world_list_from_bytes (sim/datapool_world.h) reads it; then a 32-bit
// little-endian length and that many bytes as the working copy (none when 0); the rest is
// the JobFile.
//
// Besides the sanitizers it checks: the job ends (0 or -1) within a bound of steps; a second
// run over the same worlds gives the same bytes; and the bytes do not depend on where the
// parts were cut (a small ResultBuffer against one of 4096 bytes, whose result line is as
// large). The runs are compared only when the clock did not move, for KFGV's time stamps.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "connection/worker_state.h"
#include "core/log.h"
#include "datapool/datapool_commands.h"
#include "jobs/job_pass.h"
#include "jobs/job_reader.h"
#include "jobs/result_buffer.h"
#include "sim/datapool_world.h"

namespace {

// A failed check names its line before aborting, so a finding says which rule broke.
#define mv_check(condition) \
    ((condition) ? (void)0 : (fprintf(stderr, "check failed at line %d\n", __LINE__), abort()))

// 64 KiB for the variables and 4 KiB for their change counters.
constexpr size_t kSegmentSize = 69632;

std::string g_folder;

void mv_remove_folder() {
    unlink((g_folder + "/L_tmp").c_str());
    unlink((g_folder + "/L_tmp_pos").c_str());
    rmdir(g_folder.c_str());
}

void mv_write_file(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    mv_check(file != nullptr);
    mv_check(bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
    fclose(file);
}

// What one input sets up before every run.
struct Worlds {
    uint32_t capacity = 0;
    std::string working_copy;  // empty: none
    bool position = false;
    uint32_t block = 0, offset = 0;
};

// The working copy and position file as the input has them, the datapool's values zeroed.
void mv_reset_worlds(const Worlds& worlds) {
    const std::string copy = g_folder + "/L_tmp", pos = g_folder + "/L_tmp_pos";
    unlink(copy.c_str());
    unlink(pos.c_str());
    if (!worlds.working_copy.empty()) mv_write_file(copy, worlds.working_copy);
    if (worlds.position) {
        char text[32];
        snprintf(text, sizeof text, "%lu\r\n%lu\r\n", static_cast<unsigned long>(worlds.block),
                 static_cast<unsigned long>(worlds.offset));
        mv_write_file(pos, text);
    }
    gv_world_clear_segments();
}

// Runs the job once as the worker would, with a ResultBuffer of capacity bytes; returns
// everything uploaded (after -1: what the buffer held when the job was abandoned).
std::string run_job(const Worlds& worlds, uint32_t capacity, const uint8_t* job,
                    size_t job_size) {
    mv_reset_worlds(worlds);
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    snprintf(record.ServerExchangeFolder, sizeof record.ServerExchangeFolder, "%s",
             g_folder.c_str());
    gv_ch_worker_state_start(&record);
    mv_check(gs32_ch_alloc_result_buffers() == 0);
    gv_ch_reset_job();
    mv_check(gs32_ch_set_job_data(reinterpret_cast<const char*>(job),
                                  static_cast<uint32_t>(job_size)) == 0);
    // Each step reads a line or stores at least one result byte; a line's output is at most
    // a KFGV answer or the whole working copy with its pieces' heads.
    const uint64_t lines = job_size / 2 + 1;
    const uint64_t max_steps =
        80 * (job_size + 2) + lines * (70000 + 2 * uint64_t{worlds.working_copy.size()});
    std::string uploaded;
    ResultPart part;
    for (uint64_t step = 0;; ++step) {
        mv_check(step < max_steps);
        const int32_t result = gs32_ch_run_job_pass();
        if (gs32_ch_take_part(&part) == 0) {
            mv_check(part.length <= capacity - 2);
            uploaded.append(part.data, part.length);
        }
        if (result == -4 || result == -6) continue;
        mv_check(result == 0 || result == -1);
        if (result == -1) {
            uploaded.append(g_worker_state.result.data.get(), g_worker_state.result.fill_length);
            gv_ch_reset_job();
        }
        return uploaded;
    }
}

uint32_t mu32_le32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        gr_datapool_world({"VERSION=1\n"}, kSegmentSize);
        gv_njch_set_dp_base_path_source(gs32_world_base_path);
        g_folder = "/tmp/korvad_fuzz_lf_" + std::to_string(getpid());
        mkdir(g_folder.c_str(), 0700);
        atexit(mv_remove_folder);
        return gs32_log_open("/dev/null") == 0;
    }();
    (void)ready;
    if (size < 2) return 0;
    static const uint32_t kLarge[] = {4096, 8192, 65536, 70000};
    Worlds worlds;
    worlds.capacity = data[0] < 128 ? 3u + data[0] : kLarge[data[0] % 4];
    worlds.position = data[1] & 1;
    size_t at = 2;
    if (worlds.position) {
        if (size - at < 8) return 0;
        worlds.block = mu32_le32(data + at);
        worlds.offset = mu32_le32(data + at + 4);
        at += 8;
    }
    size_t used = 0;
    const std::string list = gs_world_list_from_bytes(data + at, size - at, &used);
    gv_world_write_list(0, reinterpret_cast<const uint8_t*>(list.data()), list.size());
    at += used;
    if (size - at < 4) return 0;
    const uint32_t copy_size = mu32_le32(data + at);
    at += 4;
    if (size - at < copy_size) return 0;
    worlds.working_copy.assign(reinterpret_cast<const char*>(data + at), copy_size);
    at += copy_size;
    const uint8_t* job = data + at;
    const size_t job_size = size - at;
    if (job_size >= 2097152) return 0;  // a JobFile the transfer refuses before any step

    const time_t before = time(nullptr);
    const std::string first = run_job(worlds, worlds.capacity, job, job_size);
    const std::string again = run_job(worlds, worlds.capacity, job, job_size);
    std::string whole = first;
    if (worlds.capacity < 4096) whole = run_job(worlds, 4096, job, job_size);
    if (time(nullptr) == before) {
        mv_check(first == again);
        mv_check(first == whole);
    }
    return 0;
}
