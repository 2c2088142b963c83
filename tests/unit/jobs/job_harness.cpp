// The worker's side of the interpreter, reduced to what tests need.
#include "job_harness.h"

#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/command_table.h"
#include "jobs/job_reader.h"

namespace jobs_test {

void start_worker(uint32_t capacity, int32_t dlts) {
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    record.DLTS = dlts;
    gv_ch_worker_state_start(&record);
    ASSERT_EQ(0, gs32_ch_alloc_result_buffers());
    gv_connhandler_reset_job_reader();
    ms32_njch_reset_command_states();
}

namespace {
std::string take_part() {
    ResultBuffer& buffer = g_worker_state.result;
    std::string part(buffer.data.get(), buffer.fill_length);
    buffer.fill_length = 0;
    buffer.part_ready = 0;
    return part;
}
}  // namespace

std::string JobRun::text() const {
    std::string all;
    for (const std::string& part : parts) all += part;
    return all + abandoned;
}

JobRun run_job(const std::string& job, int max_steps) {
    JobRun run;
    EXPECT_EQ(0, gs32_ch_set_job_data(job.data(), static_cast<uint32_t>(job.size())));
    for (;;) {
        if (run.steps >= max_steps) {
            ADD_FAILURE() << "job did not end within " << max_steps << " steps";
            run.result = -99;
            return run;
        }
        ++run.steps;
        run.result = ms32_connhandler_process_nextjob();
        if (run.result == -4) {
            if (g_worker_state.result.part_ready) run.parts.push_back(take_part());
            continue;
        }
        if (run.result == 0) {
            g_worker_state.result.part_number += 1;
            run.parts.push_back(take_part());
            g_worker_state.result.part_number = 0;
        } else {
            run.abandoned = take_part();
            gv_ch_reset_result_buffer();
            gv_connhandler_reset_job_reader();
            ms32_njch_reset_command_states();
        }
        return run;
    }
}

LogCapture::LogCapture() : path_(dir_.path() + "/korvad.log") {
    EXPECT_EQ(0, gs32_log_open(path_.c_str()));
}

LogCapture::~LogCapture() { gs32_log_close(); }

std::vector<std::string> LogCapture::lines() const {
    std::vector<std::string> lines;
    std::istringstream in(korvad_test::read_file(path_));
    for (std::string line; std::getline(in, line);) {
        const size_t blank = line.find(' ');
        lines.push_back(blank == std::string::npos ? line : line.substr(blank + 1));
    }
    return lines;
}

std::string with_pid(const std::string& text) {
    return std::to_string(getpid()) + ": " + text;
}

}  // namespace jobs_test
