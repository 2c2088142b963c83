// korvad-sim: hosts stand-ins of the device's sibling daemons on a bus, for tests and demos.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "own_bus.h"
#include "standin.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
    g_stop = 1;
}

void print_help(std::ostream& out) {
    out << "Usage: korvad-sim [options] STANDIN...\n"
           "Hosts stand-ins of the device's daemons on the system bus given by\n"
           "DBUS_SYSTEM_BUS_ADDRESS (or --address). Each STANDIN is a name component X: the\n"
           "stand-in owns vel.kem.X and serves /vel/kem/X/Object. Known stand-ins:\n";
    for (const sim::StandInRow& row : sim::standin_table()) {
        out << "  " << row.name << "  " << row.about << "\n";
        for (const sim::MethodEntry& entry : row.methods) {
            out << "      " << entry.method << " answers \"" << entry.answer << "\", refused: \""
                << entry.refusal << "\"\n";
        }
    }
    out << "Any other name is hosted as a generic stand-in that answers only what it is told\n"
           "and also hears the signals sent to its interface vel.kem.X. Byte arrays are\n"
           "logged in hex (\"ay 0d0a00\").\n"
           "Every stand-in answers WhoIsThere with HELLO.\n"
           "\n"
           "Options (X.Method names a stand-in's method):\n"
           "  --address ADDRESS       bus address (else DBUS_SYSTEM_BUS_ADDRESS)\n"
           "  --log FILE              write the log there instead of standard output\n"
           "  --answer X.Method=TEXT  answer Method with the text TEXT\n"
           "  --answer-u32 X.Method=N answer with one u32 instead of a text\n"
           "  --refuse X.Method       answer with the table's refusal\n"
           "  --no-args X.Method      answer without any argument\n"
           "  --silent X.Method       never answer Method (the caller's time-out runs out)\n"
           "  --normal X.Method       back to the table's normal answer\n"
           "  --no-hello X            X does not answer WhoIsThere\n"
           "  --set X.KEY=VALUE       a setting of X's own behaviour (see the list above)\n"
           "  --script FILE           run the commands of FILE (one per line, # comments)\n"
           "                          once every stand-in is ready\n"
           "  --own-bus               start a private dbus-daemon, print \"sim: bus ADDRESS\"\n"
           "                          and host the stand-ins there (stopped with the sim)\n"
           "  -h, --help              this text\n"
           "\n"
           "Commands on standard input, one per line (the same as the options):\n"
           "  set X.KEY VALUE | answer X.Method TEXT | answer-u32 X.Method N | refuse X.Method\n"
           "  no-args X.Method | silent X.Method | normal X.Method | hello X on|off\n"
           "  emit X INTERFACE MEMBER [s:TEXT | u:N | ay:HEX]...   signal from /vel/kem/X/Object\n"
           "  quit\n"
           "\n"
           "Log lines: \"sim: ready X...\" once every name is owned, then per stand-in\n"
           "\"X: method M (args) on I at P\", \"X: answered M (args)\", \"X: signal I.M (args) "
           "from P\",\n"
           "\"X: emitted I.M (args)\". Ends on SIGINT, SIGTERM or quit.\n"
           "\n"
           "By hand:\n"
           "  dbus-daemon --session --nofork --print-address &   # a private bus; note the "
           "address\n"
           "  DBUS_SYSTEM_BUS_ADDRESS=<address> korvad-sim hodrad --refuse "
           "hodrad.RegisterWatchdog\n";
}

class Simulator {
  public:
    explicit Simulator(sim::SimLog& log) : log_(log) {}

    void add(const std::string& name) {
        standins_.push_back(std::make_unique<sim::StandIn>(sim::find_standin(name), name, log_));
    }

    sim::StandIn& standin(const std::string& name) {
        for (auto& standin : standins_) {
            if (standin->name() == name) return *standin;
        }
        throw std::invalid_argument("no stand-in named " + name);
    }

    // Applies "answer", "refuse" and the like to X.Method.
    void configure(const std::string& what, const std::string& target, const std::string& value) {
        auto [name, method] = sim::split_target(target);
        sim::StandIn& s = standin(name);
        if (what == "set") {
            s.set(method, value);
            return;
        }
        sim::Reply reply;
        if (what == "answer") {
            reply.text = value;
        } else if (what == "answer-u32") {
            reply.kind = sim::Reply::Kind::kU32;
            reply.number = sim::parse_value("u:" + value).number;
        } else if (what == "refuse") {
            reply = s.refusal(method);
        } else if (what == "normal") {
            reply = s.normal(method);
        } else if (what == "no-args") {
            reply.kind = sim::Reply::Kind::kNoArguments;
        } else if (what == "silent") {
            reply.kind = sim::Reply::Kind::kSilent;
        } else {
            throw std::invalid_argument("unknown setting " + what);
        }
        s.set_reply(method, reply);
    }

    void command(const std::string& line) {
        std::istringstream words(line);
        std::string verb;
        if (!(words >> verb)) return;
        if (verb == "quit") {
            g_stop = 1;
        } else if (verb == "hello") {
            std::string name, state;
            if (!(words >> name >> state) || (state != "on" && state != "off")) {
                throw std::invalid_argument("hello X on|off");
            }
            standin(name).set_hello(state == "on");
            log_.line("sim: hello " + name + " " + state);
        } else if (verb == "emit") {
            std::string name, interface, member, word;
            if (!(words >> name >> interface >> member)) {
                throw std::invalid_argument("emit X INTERFACE MEMBER [values]");
            }
            std::vector<sim::Value> values;
            while (words >> word) values.push_back(sim::parse_value(word));
            standin(name).emit(interface, member, values);
        } else {
            std::string target, value;
            if (!(words >> target)) throw std::invalid_argument(verb + " needs X.Method");
            std::getline(words >> std::ws, value);
            configure(verb, target, value);
            log_.line("sim: " + verb + " " + target + " set");
        }
    }

    void start() {
        for (auto& standin : standins_) standin->start();
        std::string names;
        for (auto& standin : standins_) names += " " + standin->name();
        log_.line("sim: ready" + names);
    }

    void run() {
        bool stdin_open = true;
        std::string pending;
        while (!g_stop) {
            std::vector<pollfd> fds;
            for (auto& standin : standins_) fds.push_back({standin->fd(), POLLIN, 0});
            if (stdin_open) fds.push_back({0, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 500) < 0 && errno != EINTR) {
                throw std::runtime_error("poll failed");
            }
            for (auto& standin : standins_) standin->process();
            if (stdin_open && fds.back().revents != 0) {
                char buffer[4096];
                ssize_t n = read(0, buffer, sizeof buffer);
                if (n <= 0) {
                    stdin_open = false;
                    continue;
                }
                pending.append(buffer, static_cast<size_t>(n));
                for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                    std::string line = pending.substr(0, end);
                    pending.erase(0, end + 1);
                    try {
                        command(line);
                    } catch (const std::exception& e) {
                        log_.line(std::string("sim: bad command: ") + e.what());
                    }
                }
            }
        }
    }

  private:
    sim::SimLog& log_;
    std::vector<std::unique_ptr<sim::StandIn>> standins_;
};

int run_simulator(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string log_path;
    std::vector<std::string> names;
    std::vector<std::array<std::string, 3>> settings;
    std::vector<std::string> no_hello;
    std::string script_path;
    bool own_bus = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto next = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") {
            print_help(std::cout);
            return 0;
        } else if (arg == "--address") {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", next().c_str(), 1);
        } else if (arg == "--log") {
            log_path = next();
        } else if (arg == "--answer" || arg == "--answer-u32" || arg == "--set") {
            const std::string& value = next();
            size_t eq = value.find('=');
            if (eq == std::string::npos) throw std::invalid_argument(arg + " X.Method=VALUE");
            settings.push_back({arg.substr(2), value.substr(0, eq), value.substr(eq + 1)});
        } else if (arg == "--refuse" || arg == "--no-args" || arg == "--silent" ||
                   arg == "--normal") {
            settings.push_back({arg.substr(2), next(), ""});
        } else if (arg == "--no-hello") {
            no_hello.push_back(next());
        } else if (arg == "--script") {
            script_path = next();
        } else if (arg == "--own-bus") {
            own_bus = true;
        } else if (arg.rfind("-", 0) == 0) {
            throw std::invalid_argument("unknown option " + arg + " (see --help)");
        } else {
            names.push_back(arg);
        }
    }
    if (names.empty()) throw std::invalid_argument("no stand-in named (see --help)");

    std::ofstream file;
    if (!log_path.empty()) {
        file.open(log_path, std::ios::app);
        if (!file) throw std::runtime_error("cannot open " + log_path);
    }
    sim::SimLog log(log_path.empty() ? std::cout : file);
    Simulator simulator(log);
    for (const std::string& name : names) simulator.add(name);
    for (const auto& setting : settings) simulator.configure(setting[0], setting[1], setting[2]);
    for (const std::string& name : no_hello) simulator.standin(name).set_hello(false);
    std::vector<std::string> script;
    if (!script_path.empty()) {
        std::ifstream in(script_path);
        if (!in) throw std::runtime_error("cannot open " + script_path);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] != '#') script.push_back(line);
        }
    }
    std::unique_ptr<sim::OwnBus> bus;
    if (own_bus) {
        bus = std::make_unique<sim::OwnBus>();
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str(), 1);
        log.line("sim: bus " + bus->address());
    }

    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    simulator.start();
    for (const std::string& line : script) simulator.command(line);
    simulator.run();
    log.line("sim: stopped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run_simulator(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "korvad-sim: " << e.what() << std::endl;
        return 2;
    }
}
