// Test helpers: temporary folders, files, and running built programs (under the target's
// emulator when the suite is cross-built).
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace korvad_test {

// A fresh folder under $TMPDIR, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes content to path()/name and returns the full path.
    std::string write(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

std::string read_file(const std::string& path);

struct RunResult {
    int exit_status = -1;  // exit code, or 128 + signal
    std::string out;       // standard output
    std::string err;       // standard error
};

// Path of a program built in this tree, e.g. binary_path("src/daemon/korvad").
std::string binary_path(const std::string& relative);

// The command prefix that runs a target binary: the emulator's words, if any, then program.
std::vector<std::string> target_command(const std::string& program,
                                        const std::vector<std::string>& args);

// Runs argv with extra environment entries ("NAME=value"; "NAME" alone unsets), waits at
// most timeout_ms (then SIGKILL), and returns what it printed.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              int timeout_ms = 20000);

// Starts argv in the background with stdout/stderr into out_path (and stdin from in_fd when
// given), as the leader of a process group of its own; returns its pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_path, int in_fd = -1);

// Waits for child pid to end, at most timeout_ms, then kills it; the exit status (128 +
// signal when killed), -1 when it is no child.
int reap(pid_t pid, int timeout_ms);

// Polls until predicate holds or timeout_ms passed; returns the last result.
template <typename Predicate>
bool eventually(Predicate predicate, int timeout_ms, int step_ms = 20) {
    for (int waited = 0;; waited += step_ms) {
        if (predicate()) return true;
        if (waited >= timeout_ms) return false;
        usleep(static_cast<useconds_t>(step_ms) * 1000);
    }
}

}  // namespace korvad_test
