// The whole daemon on a private bus: korvad started from generated configuration files,
// with the simulator's stand-ins, the job server and a bus recorder around it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/bus_fixture.h"
#include "support/bus_recorder.h"
#include "support/job_server.h"
#include "support/process.h"

namespace korvad_test {

// Runs korvad, optionally with its clock sped up by libfaketime so that the daemon's long
// intervals (60-second retry, 240-second guard) pass in seconds. Real time in the tests is
// always wall-clock time.
class Korvad {
public:
    Korvad();
    ~Korvad();
    Korvad(const Korvad&) = delete;
    Korvad& operator=(const Korvad&) = delete;

    // A connection file in the configuration folder.
    void add_connection(const std::string& name, const std::string& content);
    // The lines of a connection file aimed at the job server (more lines may be appended).
    static std::string connection(const JobServer& server, const std::string& client_id);

    // Starts korvad; speed > 1 runs it under libfaketime at that speed. The
    // system file gets watchdog_interval 100 and the log file of this fixture.
    void start(int speed = 1);
    // Sends a signal and waits for the exit; the exit status (128 + signal when killed), or
    // -1 when it did not end within timeout_ms (then it is killed).
    int stop(int signal_number, int timeout_ms = 3000);
    pid_t pid() const { return pid_; }
    // Whether it still runs; once it has ended, its status is kept for exit_status().
    bool running();
    int exit_status() const { return exit_status_; }

    std::string log() const;
    // Waits until the log holds text (count times); true when it does.
    bool wait_log(const std::string& text, int timeout_ms, int count = 1) const;
    const std::string& folder() const { return dir_.path(); }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

// Path of libfaketime, or "" when it is not installed or cannot be used (cross build).
std::string faketime_library();

// A test with a private bus, the stand-ins hodrad and wenlod, a recorder and a job server.
class DaemonTest : public testing::Test {
protected:
    // Starts everything; sim_args are extra simulator options. Skips the test when the
    // bus cannot be had. Call from the test body (ASSERT inside).
    void start_world(const std::vector<std::string>& sim_args = {});
    void skip_without_faketime();

    SimProcess sim_;
    BusRecorder recorder_;
    JobServer server_;
    Korvad korvad_;
};

// Start the world, or end the test when it was skipped or could not be started.
#define KORVAD_START_WORLD(...)                           \
    do {                                                  \
        start_world(__VA_ARGS__);                         \
        if (IsSkipped() || HasFatalFailure()) return;     \
    } while (0)
// End the test, skipped, when the daemon's clock cannot be sped up here.
#define KORVAD_REQUIRE_FAKETIME()    \
    do {                             \
        skip_without_faketime();     \
        if (IsSkipped()) return;     \
    } while (0)

// How many records match filter now.
size_t count(BusRecorder& recorder, const BusFilter& filter);
// Filters for a signal or a method call by member and, optionally, first argument.
BusFilter signal_filter(const std::string& member, const std::string& arg0 = "");
BusFilter call_filter(const std::string& member, const std::string& arg0 = "");
// Equal bytes, or where they first differ, shown briefly: answers are long and binary.
testing::AssertionResult same(const std::string& expected, const std::string& actual);
// Two bytes little-endian, as numbers go on the wire.
std::string le16(uint32_t v);
// How many GETs the job server has received.
size_t gets(const JobServer& server);

// Processes from /proc. A zombie counts as gone: it holds nothing but its pid.
bool process_gone(pid_t pid);
std::vector<pid_t> children_of(pid_t pid);  // zombies included
// The processes of a group that are not gone; korvad leads a group of its own, which its
// workers, transfers and guards stay in however they are re-parented.
std::vector<pid_t> live_in_group(pid_t group);
// What pid's descriptors refer to ("socket:[123]", "/tmp/x/korvad.log", ...).
std::vector<std::string> fd_targets(pid_t pid);
// How many System V segments one of pids has created or changed since the given time
// (marked for removal ones included). The time keeps out old segments of processes that
// had the same pid before.
size_t segments_created_by(const std::vector<pid_t>& pids, time_t since);

}  // namespace korvad_test
