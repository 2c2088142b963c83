// Test helpers: temporary folders, files, and running built programs (under the target's
// emulator when the suite is cross-built).
#pragma once

#include <sys/types.h>

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

// Starts argv in the background with stdout/stderr into files under dir, as the leader of
// a process group of its own; returns its pid.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_path);

}  // namespace korvad_test
