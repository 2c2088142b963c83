// The whole daemon on a private bus: korvad started from generated configuration files,
// with the simulator's stand-ins, the job server and a bus recorder around it.
#pragma once

#include <sys/types.h>

#include <chrono>
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

    // A connection file in the configuration folder.
    void add_connection(const std::string& name, const std::string& content);
    // The lines of a connection file aimed at the job server on port (more lines may be
    // appended); exchange is its ServerExchangeFolder.
    static std::string connection(int port, const std::string& client_id,
                                  const std::string& exchange = "/tmp/");

    // Starts korvad; speed > 1 runs it under libfaketime at that speed. The
    // system file gets watchdog_interval 100 and the log file of this fixture.
    void start(int speed = 1);
    // Starts it with one connection "a.config" of client "dev" (more: extra lines), whose
    // job the server has.
    void start_with_job(const JobServer& server, const std::string& job,
                        const std::string& more = "", int speed = 1);
    // Sends a signal and waits for the exit; the exit status (128 + signal when killed).
    // After timeout_ms it is killed.
    int stop(int signal_number, int timeout_ms = 3000);
    pid_t pid() const { return pid_; }
    // Whether it still runs; once it has ended, its status is kept for exit_status().
    bool running();
    int exit_status() const { return exit_status_; }

    std::string log() const;
    // More lines of the system file, for the next start.
    std::string system_more;
    // Waits until the log holds text (count times); true when it does.
    bool wait_log(const std::string& text, int timeout_ms, int count = 1) const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int exit_status_ = -1;
};

// Path of libfaketime, or "" when it is not installed or cannot be used (cross build).
std::string faketime_library();

// What the daemon meets: the stand-ins hodrad and wenlod, a bus recorder and a job server.
struct World {
    // Starts them on the bus at address; sim_args are extra simulator options.
    testing::AssertionResult start(const std::string& address,
                                   const std::vector<std::string>& sim_args = {});

    SimProcess sim;
    BusRecorder recorder;
    JobServer server;
};

// A test with a world on the program's private bus and a daemon.
class DaemonTest : public testing::Test {
protected:
    // Starts the world (world_ unless given); sim_args are extra simulator options. Skips
    // the test when the bus cannot be had. Call from the test body (ASSERT inside).
    void start_world(const std::vector<std::string>& sim_args = {}, World* world = nullptr);
    // Sets a datapool value through the datapool stand-in ("num pool/a/u8 7") and waits
    // until it is taken.
    void datapool_set(const std::string& what);

    World world_;
    SimProcess& sim_ = world_.sim;
    BusRecorder& recorder_ = world_.recorder;
    JobServer& server_ = world_.server;
    Korvad korvad_;
};

// Start the world, or end the test when it was skipped or could not be started.
#define KORVAD_START_WORLD(...)                           \
    do {                                                  \
        start_world(__VA_ARGS__);                         \
        if (IsSkipped() || HasFatalFailure()) return;     \
    } while (0)
// End the test, skipped, when the daemon's clock cannot be sped up here.
#define KORVAD_REQUIRE_FAKETIME()                                                           \
    do {                                                                                    \
        if (faketime_library().empty()) {                                                   \
            GTEST_SKIP() << "libfaketime is needed to reach the daemon's long intervals, "  \
                            "and it cannot reach a program run under the emulator";         \
        }                                                                                   \
    } while (0)

// How many records match filter now.
size_t count(BusRecorder& recorder, const BusFilter& filter);
// Filters for a signal or a method call by member and, optionally, first argument.
BusFilter signal_filter(const std::string& member, const std::string& arg0 = "");
BusFilter call_filter(const std::string& member, const std::string& arg0 = "");
// Equal bytes, or where they first differ, shown briefly: answers are long and binary.
testing::AssertionResult same(const std::string& expected, const std::string& actual);
// text, n times over.
std::string repeat(const std::string& text, int n);
// Two bytes little-endian, as numbers go on the wire.
std::string le16(uint32_t v);
// Waits for the next watchdog trigger of korvad's one worker, which its loop sends every 5
// daemon seconds: a check made after it covers the passes before, so that it can show that
// something did not happen.
bool next_worker_trigger(BusRecorder& recorder, Korvad& korvad, int timeout_ms = 6000);
// How many GETs the job server has received.
size_t gets(const JobServer& server);
// Waits until the last part posted is a final one; true when it is.
bool wait_final(const JobServer& server, int timeout_ms = 20000);
// Every part posted so far, joined in posting order.
std::string all_posted(const JobServer& server);
// The final part of the first upload of client "dev".
inline const std::string kFinal = "results/dev/result.txt.00001.end";
double seconds_since(std::chrono::steady_clock::time_point start);

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
