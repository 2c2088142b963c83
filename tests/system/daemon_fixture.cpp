// The whole daemon as a child process, with its world.
#include "daemon_fixture.h"

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dbus/dbus.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace korvad_test {

namespace {

// Whether name has an owner on the test bus.
bool name_owned(const char* name) {
    DBusConnection* connection = dbus_bus_get_private(DBUS_BUS_SYSTEM, nullptr);
    if (connection == nullptr) return false;
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    const bool owned = dbus_bus_name_has_owner(connection, name, nullptr);
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
    return owned;
}

}  // namespace

Korvad::Korvad() {
    std::string folder = dir_.path() + "/connections";
    mkdir(folder.c_str(), 0700);
}

Korvad::~Korvad() {
    if (pid_ > 0) stop(SIGTERM, 2000);
}

void Korvad::add_connection(const std::string& name, const std::string& content) {
    std::ofstream(dir_.path() + "/connections/" + name) << content;
}

std::string Korvad::connection(int port, const std::string& client_id,
                               const std::string& exchange) {
    return "client_id " + client_id + "\ncom_server_url 127.0.0.1\nport_no " +
           std::to_string(port) +
           "\ncom_server_path_get jobs/<client_id>\ncom_server_path_put results/<client_id>"
           "\nsrv_cmd_file job.txt\nusr_cmd_file result.txt\nconnection_cycle_timeout 60"
           "\nServerExchangeFolder " + exchange + "\n";
}

std::string faketime_library() {
    const std::string path = KORVAD_FAKETIME;
    return !path.empty() && access(path.c_str(), R_OK) == 0 ? path : "";
}

void Korvad::start(int speed) {
    std::ofstream(dir_.path() + "/korvad.config")
        << "Log_File " << dir_.path() << "/korvad.log\nwatchdog_interval 100\n"
        << "ConfigFileFolderPath " << dir_.path() << "/connections\n"
        << system_more;
    std::vector<std::string> env;
    if (speed > 1) {
        env.push_back("LD_PRELOAD=" + faketime_library());
        env.push_back("FAKETIME=+0 x" + std::to_string(speed));
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
    }
    pid_ = spawn(target_command(binary_path("src/daemon/korvad"), {dir_.path() + "/korvad.config"}),
                 env, dir_.path() + "/korvad.out");
}

void Korvad::start_with_job(const JobServer& server, const std::string& job,
                            const std::string& more, int speed) {
    server.put_job("jobs/dev/job.txt", job);
    add_connection("a.config", connection(server.port(), "dev") + more);
    start(speed);
}

bool Korvad::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

int Korvad::stop(int signal_number, int timeout_ms) {
    if (pid_ <= 0) return exit_status_;
    kill(pid_, signal_number);
    exit_status_ = reap(pid_, timeout_ms);
    pid_ = -1;
    // The bus notices the end of a connection a moment later; the next daemon of the test
    // must not find the name still held.
    eventually([&] { return !name_owned("vel.kem.korvad"); }, 3000);
    return exit_status_;
}

std::string Korvad::log() const {
    return read_file(dir_.path() + "/korvad.log") + read_file(dir_.path() + "/korvad.out");
}

bool Korvad::wait_log(const std::string& text, int timeout_ms, int count) const {
    auto seen_enough = [&] {
        const std::string all = log();
        int seen = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) {
            ++seen;
        }
        return seen >= count;
    };
    return eventually(seen_enough, timeout_ms);
}

testing::AssertionResult World::start(const std::string& address,
                                      const std::vector<std::string>& sim_args) {
    std::string why;
    std::vector<std::string> args = {"hodrad", "wenlod"};
    args.insert(args.end(), sim_args.begin(), sim_args.end());
    if (!recorder.start(address, &why) || !sim.start(args, &why)) {
        return testing::AssertionFailure() << why;
    }
    return server.start();
}

void DaemonTest::start_world(const std::vector<std::string>& sim_args, World* world) {
    std::string why;
    PrivateBus* bus = test_bus(&why);
    if (bus == nullptr) GTEST_SKIP() << why;
    ASSERT_TRUE((world != nullptr ? *world : world_).start(bus->address(), sim_args));
}

void DaemonTest::datapool_set(const std::string& what) {
    sim_.command("set serkad." + what);
    const std::string ref = what.substr(4, what.find(' ', 4) - 4);
    ASSERT_TRUE(sim_.wait_for_line("serkad: set " + ref)) << what;
}

size_t count(BusRecorder& recorder, const BusFilter& filter) {
    return recorder.matching(filter).size();
}

BusFilter signal_filter(const std::string& member, const std::string& arg0) {
    return {DBUS_MESSAGE_TYPE_SIGNAL, "", member, "", "", "", arg0};
}

BusFilter call_filter(const std::string& member, const std::string& arg0) {
    return {DBUS_MESSAGE_TYPE_METHOD_CALL, "", member, "", "", "", arg0};
}

testing::AssertionResult same(const std::string& expected, const std::string& actual) {
    if (expected == actual) return testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    auto show = [&](const std::string& s) {
        std::string hex;
        for (size_t i = at; i < s.size() && i < at + 24; ++i) {
            char b[4];
            snprintf(b, sizeof b, "%02x ", static_cast<unsigned char>(s[i]));
            hex += b;
        }
        return hex;
    };
    return testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size()
                                       << ", first difference at " << at << ": expected "
                                       << show(expected) << "actual " << show(actual);
}

std::string repeat(const std::string& text, int n) {
    std::string all;
    for (int i = 0; i < n; ++i) all += text;
    return all;
}

std::string le16(uint32_t v) {
    return {static_cast<char>(v & 0xff), static_cast<char>(v >> 8 & 0xff)};
}

bool next_worker_trigger(BusRecorder& recorder, Korvad& korvad, int timeout_ms) {
    const std::vector<pid_t> workers = children_of(korvad.pid());
    if (workers.size() != 1) return false;
    const BusFilter trigger = signal_filter("TriggerWatchdog", std::to_string(workers[0]));
    while (recorder.wait_for(trigger, 0)) continue;  // those already recorded
    return recorder.wait_for(trigger, timeout_ms).has_value();
}

size_t gets(const JobServer& server) {
    const std::string letters = server.methods();
    return static_cast<size_t>(std::count(letters.begin(), letters.end(), 'G'));
}

bool wait_final(const JobServer& server, int timeout_ms) {
    auto final_last = [&] {
        const std::vector<std::string> names = server.posted_names();
        return !names.empty() && names.back().find(".end") != std::string::npos;
    };
    return eventually(final_last, timeout_ms);
}

std::string all_posted(const JobServer& server) {
    std::string all;
    for (const std::string& name : server.posted_names()) all += server.posted(name.substr(1));
    return all;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

namespace {

// The state letter, the parent and the process group of a process, from /proc/<pid>/stat.
struct ProcStat {
    char state = 0;
    long parent = 0;
    long group = 0;
};

// false when the process is gone.
bool stat_of(pid_t pid, ProcStat* out) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t name_end = stat.rfind(')');
    std::istringstream rest(name_end == std::string::npos ? "" : stat.substr(name_end + 1));
    return static_cast<bool>(rest >> out->state >> out->parent >> out->group);
}

// Every process in /proc whose ProcStat satisfies take.
template <typename Take>
std::vector<pid_t> processes_where(Take take) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = readdir(proc)) {
        const pid_t candidate = static_cast<pid_t>(atol(entry->d_name));
        ProcStat stat;
        if (candidate > 0 && stat_of(candidate, &stat) && take(stat)) found.push_back(candidate);
    }
    closedir(proc);
    return found;
}

}  // namespace

bool process_gone(pid_t pid) {
    ProcStat stat;
    return !stat_of(pid, &stat) || stat.state == 'Z';
}

std::vector<pid_t> children_of(pid_t pid) {
    return processes_where([pid](const ProcStat& stat) { return stat.parent == pid; });
}

std::vector<pid_t> live_in_group(pid_t group) {
    return processes_where(
        [group](const ProcStat& stat) { return stat.group == group && stat.state != 'Z'; });
}
std::vector<std::string> fd_targets(pid_t pid) {
    std::vector<std::string> targets;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    DIR* fds = opendir(folder.c_str());
    if (fds == nullptr) return targets;
    while (const dirent* entry = readdir(fds)) {
        char target[128];
        ssize_t n = readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        target[n] = '\0';
        targets.push_back(target);
    }
    closedir(fds);
    return targets;
}

size_t segments_created_by(const std::vector<pid_t>& pids, time_t since) {
    std::istringstream table(read_file("/proc/sysvipc/shm"));
    std::string line;
    std::getline(table, line);  // column names
    size_t found = 0;
    while (std::getline(table, line)) {
        // Column 5 is the creator's pid, column 14 the time of the last change.
        std::istringstream fields(line);
        const std::vector<std::string> column{std::istream_iterator<std::string>(fields), {}};
        if (column.size() >= 14 && atoll(column[13].c_str()) >= static_cast<long long>(since) &&
            std::find(pids.begin(), pids.end(), atol(column[4].c_str())) != pids.end()) {
            ++found;
        }
    }
    return found;
}

}  // namespace korvad_test
