// The private bus daemon and the simulator process of the bus tests.
#include "support/bus_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace korvad_test {

namespace {

using Clock = std::chrono::steady_clock;

int left_ms(Clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for the child to end, at most timeout_ms (then kills it); a child's end has no
// descriptor to wait on, so it is polled.
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

// A permissive policy that lets the recorder monitor everything; reply_timeout_ms > 0 makes
// the bus answer a call that got no reply by then.
std::string bus_config(const std::string& socket, int reply_timeout_ms) {
    std::string limit = reply_timeout_ms > 0 ? "<limit name=\"reply_timeout\">" +
                                                   std::to_string(reply_timeout_ms) + "</limit>"
                                             : "";
    return "<busconfig><listen>unix:path=" + socket + "</listen><auth>EXTERNAL</auth>" +
           "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>" +
           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy>" + limit + "</busconfig>\n";
}

}  // namespace

// Until test_bus() has started the private bus, the system bus address points nowhere: a
// test that connects too early fails instead of reaching the machine's real system bus.
const struct NoBusYet {
    NoBusYet() { setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/korvad-no-bus-yet", 1); }
} g_no_bus_yet;

PrivateBus::~PrivateBus() {
    stop();
}

bool PrivateBus::start(std::string* why, int reply_timeout_ms) {
    dir_ = std::make_unique<TempDir>();
    std::string config =
        dir_->write("bus.conf", bus_config(dir_->path() + "/bus", reply_timeout_ms));
    std::string log = dir_->path() + "/daemon.log";
    int address_pipe[2];
    if (pipe(address_pipe) != 0) {
        *why = "pipe failed";
        return false;
    }
    pid_ = spawn({"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                  "--print-address=" + std::to_string(address_pipe[1])},
                 {}, log);
    owner_ = getpid();
    close(address_pipe[1]);
    // The daemon prints its address once it listens.
    std::string printed;
    auto deadline = Clock::now() + std::chrono::seconds(3);
    pollfd fd = {address_pipe[0], POLLIN, 0};
    while (printed.find('\n') == std::string::npos && left_ms(deadline) > 0) {
        if (poll(&fd, 1, left_ms(deadline)) <= 0) continue;
        char buffer[256];
        ssize_t n = read(address_pipe[0], buffer, sizeof buffer);
        if (n <= 0) break;
        printed.append(buffer, static_cast<size_t>(n));
    }
    close(address_pipe[0]);
    size_t end = printed.find('\n');
    if (end == std::string::npos) {  // exit status 127: there is no program to start
        int status = pid_ > 0 && kill(pid_, SIGTERM) == 0 ? reap(pid_, 2000) : -1;
        pid_ = -1;
        *why = status == 127 ? "dbus-daemon is not installed (Debian package dbus-daemon)"
                             : "dbus-daemon did not start: " + read_file(log);
        return false;
    }
    address_ = printed.substr(0, end);
    return true;
}

void PrivateBus::stop() {
    if (pid_ <= 0 || getpid() != owner_) return;
    kill(pid_, SIGTERM);
    reap(pid_, 2000);
    pid_ = -1;
}

PrivateBus* test_bus(std::string* why, int reply_timeout_ms) {
    static PrivateBus bus;
    static bool tried = false;
    static bool ready = false;
    static std::string reason;
    if (!tried) {
        tried = true;
        ready = bus.start(&reason, reply_timeout_ms);
        if (ready) setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    }
    if (!ready) {
        *why = reason;
        return nullptr;
    }
    return &bus;
}

SimProcess::~SimProcess() {
    stop();
}

bool SimProcess::start(const std::vector<std::string>& args, std::string* why, int timeout_ms) {
    std::string program = binary_path("sim/korvad-sim");
    if (access(program.c_str(), X_OK) != 0) {
        *why = program + " is not built";
        return false;
    }
    int out_pipe[2];
    int in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
        *why = "pipe failed";
        return false;
    }
    std::vector<std::string> argv = target_command(program, args);
    std::vector<char*> words;
    for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
    words.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {  // dup2 keeps the copies open across exec, the originals close
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(out_pipe[1], 2);
        execvp(words[0], words.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    pid_ = pid;
    out_fd_ = out_pipe[0];
    in_fd_ = in_pipe[1];
    reader_ = std::thread(&SimProcess::read_all, this);
    if (!wait_for_line("sim: ready", timeout_ms)) {
        *why = "korvad-sim did not get ready: " + output();
        stop();
        return false;
    }
    return true;
}

void SimProcess::read_all() {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(out_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        if (n <= 0) {
            ended_ = true;
            changed_.notify_all();
            return;
        }
        partial_.append(buffer, static_cast<size_t>(n));
        for (size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, end));
            taken_.push_back(false);
            partial_.erase(0, end + 1);
        }
        changed_.notify_all();
    }
}

std::optional<std::string> SimProcess::wait_for_line(const std::string& text, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lock(mutex_);
    size_t checked = 0;
    for (;;) {
        for (; checked < lines_.size(); ++checked) {
            if (!taken_[checked] && lines_[checked].find(text) != std::string::npos) {
                taken_[checked] = true;
                return lines_[checked];
            }
        }
        if (ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
            return std::nullopt;
        }
    }
}

void SimProcess::command(const std::string& line) {
    if (in_fd_ < 0) return;
    std::string text = line + "\n";
    if (write(in_fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fprintf(stderr, "korvad-sim did not take: %s", text.c_str());
    }
}

int SimProcess::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = reap(pid_, 3000);
    pid_ = -1;
    // The reader ends when the last writer of the pipe, the simulator, is gone.
    if (reader_.joinable()) reader_.join();
    if (out_fd_ >= 0) close(out_fd_);
    if (in_fd_ >= 0) close(in_fd_);
    out_fd_ = in_fd_ = -1;
    return status;
}

std::string SimProcess::output() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const std::string& line : lines_) all += line + "\n";
    return all + partial_;
}

}  // namespace korvad_test
