// The private bus daemon and the simulator process of the bus tests.
#include "support/bus_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <sstream>

namespace korvad_test {

namespace {

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

// The machine's standard system bus policy (deny by default) with include added to it:
// everything of the real system bus but its socket, its user, its service helpers and the
// machine's own additions.
std::string system_policy_config(const std::string& socket, const std::string& include) {
    std::istringstream standard(read_file("/usr/share/dbus-1/system.conf"));
    std::string config;
    for (std::string line; std::getline(standard, line);) {
        const std::string text = line.substr(std::min(line.find_first_not_of(" \t"), line.size()));
        bool dropped = false;
        for (const char* element : {"<user>", "<fork/>", "<pidfile>", "<syslog/>", "<servicehelper>",
                                    "<standard_system_servicedirs/>", "<includedir>", "<include "}) {
            dropped = dropped || text.rfind(element, 0) == 0;
        }
        if (text.rfind("<listen>", 0) == 0) line = "<listen>unix:path=" + socket + "</listen>";
        if (text.rfind("</busconfig>", 0) == 0) config += "<include>" + include + "</include>\n";
        if (!dropped) config += line + "\n";
    }
    return config;
}

std::string g_system_policy;  // see use_system_policy()

}  // namespace

void use_system_policy(const std::string& include) {
    g_system_policy = include;
}

// Until test_bus() has started the private bus, the system bus address points nowhere: a
// test that connects too early fails instead of reaching the machine's real system bus.
const struct NoBusYet {
    NoBusYet() { setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/korvad-no-bus-yet", 1); }
} g_no_bus_yet;

PrivateBus::~PrivateBus() {
    stop();
}

bool PrivateBus::start(std::string* why, int reply_timeout_ms) {
    const std::string socket = dir_.path() + "/bus";
    std::string config = dir_.write("bus.conf", g_system_policy.empty()
                                                    ? bus_config(socket, reply_timeout_ms)
                                                    : system_policy_config(socket, g_system_policy));
    chmod(dir_.path().c_str(), 0755);  // other users reach the socket too
    std::string log = dir_.path() + "/daemon.log";
    pid_ = spawn(
        {"dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile", "--print-address"},
        {}, log);
    owner_ = getpid();
    // The daemon prints its address once it listens; exit status 127: there is no program.
    int status = -1;
    auto listens = [&] { return read_file(log).find("unix:path=") != std::string::npos; };
    eventually([&] { return listens() || waitpid(pid_, &status, WNOHANG) == pid_; }, 3000);
    if (!listens()) {
        if (status == -1) status = kill(pid_, SIGTERM) == 0 ? reap(pid_, 2000) : -1;
        const bool missing = WIFEXITED(status) && WEXITSTATUS(status) == 127;
        pid_ = -1;
        *why = missing ? "dbus-daemon is not installed (Debian package dbus-daemon)"
                       : "dbus-daemon did not start: " + read_file(log);
        return false;
    }
    address_ = "unix:path=" + socket;
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
    static std::string reason;
    static const bool ready = bus.start(&reason, reply_timeout_ms) &&
                              setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1) == 0;
    if (!ready) *why = reason;
    return ready ? &bus : nullptr;
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
    int in_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0) {
        *why = "pipe failed";
        return false;
    }
    pid_ = spawn(target_command(program, args), {}, dir_.path() + "/sim.out", in_pipe[0]);
    close(in_pipe[0]);
    in_fd_ = in_pipe[1];
    if (!wait_for_line("sim: ready", timeout_ms)) {
        *why = "korvad-sim did not get ready: " + output();
        stop();
        return false;
    }
    return true;
}

std::optional<std::string> SimProcess::wait_for_line(const std::string& text, int timeout_ms) {
    std::optional<std::string> found;
    eventually(
        [&] {
            std::istringstream lines(output());
            size_t i = 0;
            // A last line without its newline is still being written.
            for (std::string line; std::getline(lines, line) && !lines.eof(); ++i) {
                if (i == taken_.size()) taken_.push_back(false);
                if (!taken_[i] && line.find(text) != std::string::npos) {
                    taken_[i] = true;
                    found = line;
                    return true;
                }
            }
            return false;
        },
        timeout_ms, 5);
    return found;
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
    if (in_fd_ >= 0) close(in_fd_);
    in_fd_ = -1;
    return status;
}

std::string SimProcess::output() const {
    return read_file(dir_.path() + "/sim.out");
}

}  // namespace korvad_test
