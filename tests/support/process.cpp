// Test helpers: temporary folders and child processes.
#include "support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace korvad_test {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    // No '-' before the random part: korvad reads "-v", "-h" or "-m" anywhere in its first
    // argument as an option, and paths in these folders are handed to it.
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/korvad_test_XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    std::string full = path_ + "/" + name;
    std::ofstream out(full, std::ios::binary);
    out << content;
    return full;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string binary_path(const std::string& relative) {
    return std::string(KORVAD_BINARY_DIR) + "/" + relative;
}

std::vector<std::string> target_command(const std::string& program,
                                        const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    std::istringstream words(KORVAD_EMULATOR);
    for (std::string word; words >> word;) argv.push_back(word);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

namespace {

void apply_env(const std::vector<std::string>& env) {
    for (const std::string& entry : env) {
        size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            unsetenv(entry.c_str());
        } else {
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
    }
}

// Starts argv with stdout into out_path and stderr into err_path (and stdin from in_fd when
// given), in a process group of its own when asked.
pid_t start_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& out_path, const std::string& err_path, int in_fd,
                  bool own_group) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (own_group) setpgid(0, 0);
    if (in_fd >= 0) dup2(in_fd, 0);
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    int out = open(out_path.c_str(), flags, 0644);
    int err = err_path == out_path ? out : open(err_path.c_str(), flags, 0644);
    if (out >= 0) dup2(out, 1);
    if (err >= 0) dup2(err, 2);
    // The program gets the two streams only, not the descriptors they were opened on.
    if (out > 2) close(out);
    if (err > 2 && err != out) close(err);
    apply_env(env);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              int timeout_ms) {
    TempDir dir;
    const std::string out = dir.path() + "/out", err = dir.path() + "/err";
    RunResult result;
    result.exit_status = reap(start_child(argv, env, out, err, -1, false), timeout_ms);
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_path, int in_fd) {
    // A group of its own: everything it starts can be found by the group.
    return start_child(argv, env, out_path, out_path, in_fd, true);
}

// A child's end has no descriptor to wait on, so it is polled.
int reap(pid_t pid, int timeout_ms) {
    int status = 0;
    pid_t done;
    for (int waited = 0; (done = waitpid(pid, &status, WNOHANG)) == 0; waited += 2) {
        if (waited >= timeout_ms) kill(pid, SIGKILL);
        usleep(2000);
    }
    if (done < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace korvad_test
