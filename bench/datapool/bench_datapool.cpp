// KFGV of 1, 10 and 100 variables from a datapool of 10 lists of 10 variables each (real
// segments and semaphores), through the real handler and ResultBuffer. Every variable is
// prepared twice (its size, then its value), and each preparation asks for the base
// directory (here the datapool world answers in place of the datapool service, so no bus
// call is timed) and reloads the tables, so the reload is the cost: this prints the CPU time
// per variable, the base directory asks and reloads per variable, the time of one reload
// alone, and the peak memory, which must not grow with the number of KFGV lines.
//
//   bench_datapool [--rounds N]   each KFGV line N times (default 200)
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "datapool/datapool.h"
#include "datapool/datapool_commands.h"
#include "jobs/command_rows.h"
#include "jobs/job_line.h"
#include "jobs/result_buffer.h"
#include "sim/datapool_world.h"

namespace {

constexpr int kLists = 10;
constexpr int kVarsPerList = 10;

std::string list_text(int list) {
    std::string text = "DESCRIPTION=list " + std::to_string(list) + "\nVERSION=2\nNUMOFVARS=" +
                       std::to_string(kVarsPerList) + "\n";
    for (int i = 0; i < kVarsPerList; ++i) {
        text += "[VARIABLE" + std::to_string(i) + "]\nNAME=value" + std::to_string(i) +
                "\nTYPE=UINT32\nADDRESS=" + std::to_string(4 * i) +
                "\nSIZE=4\nUNIT=-\nCOMMENT=a counter of the benchmark\n";
    }
    return text;
}

// The KFGV parameter text for count VarRefs spread over every list.
std::string kfgv_text(int count) {
    std::string text = ";DAT[VL1";
    const uint32_t length = 16 + 2 * static_cast<uint32_t>(count);
    text += {static_cast<char>(length & 0xff), static_cast<char>(length >> 8)};
    text += "bench-header-016";
    for (int i = 0; i < count; ++i) {
        text += {static_cast<char>(i / kLists % kVarsPerList), static_cast<char>(i % kLists)};
    }
    return text + std::string("\0\0]\r\n", 5);
}

void set_line(const std::string& text) {
    JobLine& line = g_job_line;
    line.text.reset(static_cast<char*>(calloc(text.size() + 5, 1)));
    memcpy(line.text.get(), "KFGV", 4);
    memcpy(line.text.get() + 4, text.data(), text.size());
    line.capacity = static_cast<uint32_t>(text.size() + 5);
    line.length = static_cast<uint32_t>(text.size() + 4);
    line.cursor = line.text.get() + 4;
    line.command = kKfgvRow;
    line.form = JobLineForm::kDataBlock;
    gb_datablock_walk(line.text.get(), 4, line.length, &line.datablock);  // as the reader does
}

// One KFGV line through the handler until it is stored; its status.
int32_t run_kfgv() {
    ResultPart part;
    for (;;) {
        const int32_t result = ms32_njch_get_var_value(g_job_line.cursor, kKfgvRow);
        if (result != -4) gv_ch_close_final_part();  // the line is the job's last
        gs32_ch_take_part(&part);  // the upload: the part leaves and the buffer empties
        if (result != -4) return result;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 200;
    if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = atoi(argv[2]);
    if (rounds <= 0 || (argc != 1 && argc != 3)) {
        printf("usage: bench_datapool [--rounds N]\n");
        return 2;
    }
    std::vector<std::string> lists;
    for (int i = 0; i < kLists; ++i) lists.push_back(list_text(i));
    const DatapoolWorld& world = gr_datapool_world(lists);
    gv_njch_set_dp_base_path_source(gs32_world_base_path);
    gs32_log_open("/dev/null");
    ConnectionConfig record{};
    record.max_result_file_size = 8192;
    gv_ch_worker_state_start(&record);
    if (gs32_ch_alloc_result_buffers() != 0) return 1;

    double start = bench::cpu_seconds();
    for (int i = 0; i < rounds * 10; ++i) {
        gs32_dp_load_names(world.base.c_str());
        gs32_dp_load(0, world.base.c_str());
    }
    const double reload_us = (bench::cpu_seconds() - start) / (rounds * 10) * 1e6;
    printf("bench_datapool: one reload of %d lists of %d variables: %.1f us CPU\n", kLists,
           kVarsPerList, reload_us);

    for (int count : {1, 10, 100}) {
        set_line(kfgv_text(count));
        gv_njch_reset_datapool_commands();
        const uint32_t calls_before = gu32_world_base_path_calls();
        start = bench::cpu_seconds();
        for (int round = 0; round < rounds; ++round) {
            if (run_kfgv() != 0) {
                printf("bench_datapool: KFGV of %d variables failed\n", count);
                return 1;
            }
        }
        const double seconds = bench::cpu_seconds() - start;
        const double vars = static_cast<double>(count) * rounds;
        printf("bench_datapool: KFGV of %3d variables: %7.1f us CPU per variable, %.2f base "
               "directory asks and reloads per variable, peak RSS %ld KB\n",
               count, seconds / vars * 1e6,
               static_cast<double>(gu32_world_base_path_calls() - calls_before) / vars,
               bench::peak_kb());
    }
    return 0;
}
