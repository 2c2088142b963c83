// A private dbus-daemon for tests, reached as the "system bus" through
// DBUS_SYSTEM_BUS_ADDRESS, and the simulator process that hosts stand-ins on it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace korvad_test {

class PrivateBus {
  public:
    ~PrivateBus();

    // Starts dbus-daemon on a unix socket in a temporary folder; reply_timeout_ms > 0 makes
    // the bus answer a call that got no reply by then. false, with the reason in *why.
    bool start(std::string* why, int reply_timeout_ms = 0);
    // Stops the daemon by its pid (only in the process that started it).
    void stop();
    const std::string& address() const { return address_; }

  private:
    TempDir dir_;
    std::string address_;
    pid_t pid_ = -1;
    pid_t owner_ = -1;
};

// The test program's one private bus, started (and DBUS_SYSTEM_BUS_ADDRESS set) on first
// use with that call's options. nullptr, with the reason in *why, when it cannot start.
PrivateBus* test_bus(std::string* why, int reply_timeout_ms = 0);
// Before the first test_bus(): the bus runs the machine's standard system policy, which
// denies by default, with the policy file include added.
void use_system_policy(const std::string& include);

// korvad-sim as a child process: its stdin is a command pipe, its log goes to a file that
// is read line by line, so that a talkative simulator never blocks on a full pipe.
class SimProcess {
  public:
    ~SimProcess();

    // Starts the simulator (under the emulator in the cross build) and waits for its
    // "sim: ready" line. false, with the reason and its output in *why, otherwise.
    bool start(const std::vector<std::string>& args, std::string* why, int timeout_ms = 5000);
    // The first not yet returned log line that contains text, waiting up to timeout_ms.
    std::optional<std::string> wait_for_line(const std::string& text, int timeout_ms = 2000);
    // Sends one command line ("answer hodrad.GetIgnition OFF", "emit ...").
    void command(const std::string& line);
    // SIGTERM, then waits; the exit status (128 + signal), -1 when not running.
    int stop();
    std::string output() const;  // everything it printed so far

  private:
    TempDir dir_;
    pid_t pid_ = -1;
    int in_fd_ = -1;
    std::vector<bool> taken_;  // per complete log line
};

}  // namespace korvad_test
