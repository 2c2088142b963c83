// Drives the interpreter over a JobFile the way the connection worker does, and reads back
// what the jobs code logged.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/command_table.h"
#include "jobs/job_pass.h"
#include "jobs/job_reader.h"
#include "jobs/result_buffer.h"
#include "support/process.h"

namespace jobs_test {

// A worker with a ResultBuffer of capacity bytes and the job machinery at its start.
inline void start_worker(uint32_t capacity = 8192, int32_t dlts = 0) {
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    record.DLTS = dlts;
    gv_ch_worker_state_start(&record);
    ASSERT_EQ(0, gs32_ch_alloc_result_buffers());
    gv_ch_reset_job();
}

struct JobRun {
    int32_t result = 0;              // 0 or -1, the code that ended the job
    std::vector<std::string> parts;  // uploaded parts in order; after 0 the last is final
    std::string abandoned;           // what the buffer held when -1 abandoned the job
    int steps = 0;                   // interpreter passes
    std::string text() const {       // all parts and the abandoned rest, joined
        std::string all;
        for (const std::string& part : parts) all += part;
        return all + abandoned;
    }
};

// Passes the interpreter over the job as the worker does, uploading every part it makes
// ready; after -1 it keeps what the buffer held and abandons the job as the worker does.
inline JobRun run_job(const std::string& job, int max_steps = 1000000) {
    JobRun run;
    EXPECT_EQ(0, gs32_ch_set_job_data(job.data(), static_cast<uint32_t>(job.size())));
    ResultPart part;
    do {
        run.result = gs32_ch_run_job_pass();
        if (gs32_ch_take_part(&part) == 0) run.parts.emplace_back(part.data, part.length);
    } while ((run.result == -4 || run.result == -6) && ++run.steps < max_steps);
    EXPECT_LT(run.steps++, max_steps) << "the job did not end";
    if (run.result != 0) {
        run.abandoned.assign(g_worker_state.result.data.get(), g_worker_state.result.fill_length);
        gv_ch_reset_job();
    }
    return run;
}

// Sends the log to a file of its own for the life of the object.
class LogCapture {
  public:
    LogCapture() { EXPECT_EQ(0, gs32_log_open(path_.c_str())); }
    ~LogCapture() { gs32_log_close(); }
    // The lines written so far, without their time stamps.
    std::vector<std::string> lines() const {
        std::vector<std::string> lines;
        std::istringstream in(korvad_test::read_file(path_));
        for (std::string line; std::getline(in, line);)
            lines.push_back(line.substr(line.find(' ') + 1));
        return lines;
    }

  private:
    korvad_test::TempDir dir_;
    std::string path_ = dir_.path() + "/korvad.log";
};

// "<pid>: " followed by text: how the daemon's failure lines begin.
inline std::string with_pid(const std::string& text) {
    return std::to_string(getpid()) + ": " + text;
}

// The log lines expected for texts, each with the process id in front.
inline std::vector<std::string> with_pids(const std::vector<std::string>& texts) {
    std::vector<std::string> lines;
    for (const std::string& text : texts) lines.push_back(with_pid(text));
    return lines;
}

}  // namespace jobs_test
