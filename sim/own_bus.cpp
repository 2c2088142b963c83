// The simulator's own bus: dbus-daemon in the foreground, its address read from a pipe.
#include "own_bus.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace sim {

OwnBus::OwnBus() {
    char pattern[] = "/tmp/korvad_sim_bus_XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("no temporary folder for the bus");
    folder_ = pattern;
    std::string config = folder_ + "/bus.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>unix:path="
        << folder_
        << "/bus.sock</listen><auth>EXTERNAL</auth>\n"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "</policy></busconfig>\n";
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("no pipe for the bus address");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execlp("dbus-daemon", "dbus-daemon", "--nofork", "--print-address=1",
               ("--config-file=" + config).c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    pollfd fd{out[0], POLLIN, 0};
    char buffer[512];
    ssize_t n = 0;
    if (pid_ > 0 && poll(&fd, 1, 5000) == 1) n = read(out[0], buffer, sizeof buffer - 1);
    close(out[0]);
    if (n <= 0) throw std::runtime_error("dbus-daemon did not start");
    address_.assign(buffer, static_cast<size_t>(n));
    while (!address_.empty() && (address_.back() == '\n' || address_.back() == '\r')) {
        address_.pop_back();
    }
}

OwnBus::~OwnBus() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::string command = "rm -rf '" + folder_ + "'";
    if (system(command.c_str()) != 0) {
        // Nothing more to do: the folder lives in /tmp.
    }
}

}  // namespace sim
