// Test helpers: temporary folders and child processes.
#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
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

[[noreturn]] void exec_argv(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              int timeout_ms) {
    RunResult result;
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        apply_env(env);
        exec_argv(argv);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open_count = 2;
    while (open_count > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& out_path, int in_fd) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // a group of its own: everything it starts can be found by the group
        if (in_fd >= 0) dup2(in_fd, 0);
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        apply_env(env);
        exec_argv(argv);
    }
    return pid;
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
