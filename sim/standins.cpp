// The table of stand-ins the simulator can host. Adding a daemon is one row here.
#include "standin.h"

namespace sim {

extern const StandInHooks kDatapoolHooks;  // sim/datapool.cpp
extern const StandInHooks kLoggerHooks;    // sim/logger.cpp

const std::vector<StandInRow>& standin_table() {
    static const std::vector<StandInRow> table = {
        {"hodrad",
         "vel.kem.hodrad",
         "system supervisor service: watchdog and ignition",
         {
             {"RegisterWatchdog", "OK", "ERROR: watchdog registration refused"},
             {"CancelWatchdog", "OK", "ERROR: no such watchdog"},
             {"GetIgnition", "ON", "OFF"},
         },
         {"type='signal',interface='vel.kem.hodrad'"}},
        {"wenlod",
         "vel.kem.wenlod",
         "network service: brings up the data link, tells the interface in use",
         {
             {"StartConnection", "OK", "ERROR: no network"},
             {"StopConnection", "OK", "ERROR: no network"},
             {"GetConInterface", "ppp0", "NotConnected"},
         },
         {}},
        {"serkad",
         "vel.kem.serkad",
         "datapool service: lists' segments from --set serkad.dir=DIR; set serkad.num|hex|show",
         {
             {"GetBasePath", "ERROR: no datapool directory", "ERROR: datapool not ready"},
         },
         {},
         kDatapoolHooks},
        {"tulvad_",
         "vel.kem.method",
         "logger service of logger N (tulvad_N): writes a LoggerFile per RequestDLF; set "
         "X.dir|blocks|size|sections|broken|datastart|logfile|dataset|file",
         {
             {"RequestDLF", "OK - <path of a new LoggerFile>", "ERROR: no logger file"},
             {"ReqMaxDatasetSize", "OK <first block size + 4>", "ERROR: size unknown"},
             {"SetFullDatasetInterval", "OK", "ERROR: interval refused"},
             {"DeleteDLF", "OK", "ERROR: nothing deleted"},
         },
         {},
         kLoggerHooks},
        {"mittlad",
         "vel.kem.mittlad",
         "intermediary daemon: GetLoggerDLGN writes a LoggerFile (settings as tulvad_N), "
         "hears ClearLoggerDLCN",
         {
             {"GetLoggerDLGN", "<path of a new LoggerFile>", "ERROR: no logger file"},
         },
         {"type='signal',interface='vel.kem.mittlad'"},
         kLoggerHooks},
    };
    return table;
}

StandInRow find_standin(const std::string& name) {
    for (const StandInRow& row : standin_table()) {
        std::string key = row.name;
        bool prefix_row = !key.empty() && key.back() == '_';
        if (name == key || (prefix_row && name.rfind(key, 0) == 0 && name.size() > key.size())) {
            return row;
        }
    }
    // A generic stand-in is any daemon a DBUS job line may address: it also hears the signals
    // sent to its own interface (names that form none, such as "a-b", hear only broadcasts).
    StandInRow generic{nullptr, nullptr, "generic stand-in: answers only what it is told", {}, {}};
    const std::string interface = "vel.kem." + name;
    if (dbus_validate_interface(interface.c_str(), nullptr)) {
        generic.signal_rules.push_back("type='signal',interface='" + interface + "'");
    }
    return generic;
}

}  // namespace sim
