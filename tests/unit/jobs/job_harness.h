// Drives the interpreter over a JobFile the way the connection worker does, and reads back
// what the jobs code logged.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/process.h"

namespace jobs_test {

// A worker with a ResultBuffer of capacity bytes, the reader at its start and every
// handler in its first-call state.
void start_worker(uint32_t capacity = 8192, int32_t dlts = 0);

struct JobRun {
    int32_t result = 0;              // 0 or -1, the code that ended the job
    std::vector<std::string> parts;  // uploaded parts in order; after 0 the last is final
    std::string abandoned;           // what the buffer held when -1 abandoned the job
    int steps = 0;                   // interpreter calls
    std::string text() const;        // all parts and the abandoned rest, joined
};

// Calls the interpreter until the job ends, uploading every ready part and the final rest;
// after -1 it resets the worker's job state as the worker does.
JobRun run_job(const std::string& job, int max_steps = 1000000);

// Sends the log to a file of its own for the life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    // The lines written so far, without their time stamps.
    std::vector<std::string> lines() const;

private:
    korvad_test::TempDir dir_;
    std::string path_;
};

// "<pid>: " followed by text: how the daemon's failure lines begin.
std::string with_pid(const std::string& text);

}  // namespace jobs_test
