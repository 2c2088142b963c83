// The logger service stand-in (one per logger, tulvad_<N>) and the intermediary daemon
// stand-in: on request they write a real LoggerFile with numbered blocks, so that a test or
// a person can check what reached the server, in which order and how often.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin.h"

namespace sim {
namespace {

constexpr char kTulvadPrefix[] = "tulvad_";

// What the next LoggerFile looks like; every field is a setting of the same name.
struct LoggerFiles {
    std::string dir;                    // where new files go ("" = $TMPDIR or /tmp)
    std::string logfile;                // LogFile value ("" = the requested logger name)
    std::vector<unsigned> sizes{1000};  // block data lengths, used in turn
    unsigned blocks = 10;
    unsigned sections = 1;             // data sections the blocks are split into
    long broken = -1;                  // index of a block written without its START_TAG
    unsigned datastart = 1;            // 0: the file has no DATASTART
    unsigned dataset = 0;              // ReqMaxDatasetSize answer; 0 = first size + 4
    unsigned file = 1;                 // number of the next file
    std::vector<std::string> written;  // files made and not deleted by the stand-in
};

LoggerFiles& state(StandIn& self) {
    if (!self.extension) self.extension = std::make_shared<LoggerFiles>();
    return *static_cast<LoggerFiles*>(self.extension.get());
}

unsigned number(const std::string& text) {
    size_t used = 0;
    unsigned long value = std::stoul(text, &used, 0);
    if (used != text.size() || value > 0xFFFFFFFFul) throw std::invalid_argument("not a number");
    return static_cast<unsigned>(value);
}

using Setter = void (*)(LoggerFiles&, const std::string&);
struct Setting {
    const char* key;
    Setter set;
};

const Setting kSettings[] = {
    {"dir", [](LoggerFiles& f, const std::string& v) { f.dir = v; }},
    {"logfile", [](LoggerFiles& f, const std::string& v) { f.logfile = v; }},
    {"blocks", [](LoggerFiles& f, const std::string& v) { f.blocks = number(v); }},
    {"sections", [](LoggerFiles& f, const std::string& v) { f.sections = number(v); }},
    {"broken", [](LoggerFiles& f, const std::string& v) { f.broken = v == "-1" ? -1 : number(v); }},
    {"datastart", [](LoggerFiles& f, const std::string& v) { f.datastart = number(v); }},
    {"dataset", [](LoggerFiles& f, const std::string& v) { f.dataset = number(v); }},
    {"file", [](LoggerFiles& f, const std::string& v) { f.file = number(v); }},
    {"size",
     [](LoggerFiles& f, const std::string& v) {
         std::vector<unsigned> sizes;
         for (size_t at = 0; at <= v.size();) {
             size_t comma = v.find(',', at);
             if (comma == std::string::npos) comma = v.size();
             unsigned size = number(v.substr(at, comma - at));
             if (size > 0xFFFF) throw std::invalid_argument("a block holds at most 65535 bytes");
             sizes.push_back(size);
             at = comma + 1;
         }
         f.sizes = sizes;
     }},
};

void put16(std::string& out, unsigned value) {  // little-endian on every host
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8 & 0xFF);
}

// Block data: "F<file>B<block>:" (file and block number, the block counted from 0 over all
// sections), then letters; cut to the block's length.
std::string block_data(unsigned file, unsigned block, unsigned length) {
    char head[32];
    snprintf(head, sizeof head, "F%04uB%05u:", file, block);
    std::string data = head;
    for (unsigned i = 0; data.size() < length; ++i) data += static_cast<char>('a' + i % 26);
    data.resize(length);
    return data;
}

std::string file_bytes(const LoggerFiles& f, const std::string& logger, unsigned file) {
    const time_t now = time(nullptr);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", gmtime(&now));
    std::string out = "LogFile=" + (f.logfile.empty() ? logger : f.logfile) +
                      "\r\nLogFileFormat=1\r\nComment=korvad-sim stand-in\r\nMaxSize=1048576"
                      "\r\nDate+Time=" +
                      stamp + "\r\nTimestamp=" + std::to_string(now) + "\r\n";
    const unsigned sections = f.sections == 0 ? 1 : f.sections;
    const unsigned per_section = std::max(1u, (f.blocks + sections - 1) / sections);
    if (f.blocks == 0 && f.datastart != 0) out += "DATASTART\r\n";
    for (unsigned block = 0; block < f.blocks; ++block) {
        if (f.datastart != 0 && block % per_section == 0) out += "DATASTART\r\n";
        const unsigned length = f.sizes[block % f.sizes.size()];
        if (static_cast<long>(block) == f.broken) {
            out += "\xAA\xAA";  // no START_TAG: the reader looks for another DATASTART
        } else {
            put16(out, 1970);  // START_TAG
        }
        put16(out, length);
        out += block_data(file, block, length);
    }
    return out;
}

// Writes the next LoggerFile for logger and returns its path ("" when it cannot).
std::string write_file(StandIn& self, const std::string& logger) {
    LoggerFiles& f = state(self);
    std::string dir = f.dir;
    if (dir.empty()) dir = getenv("TMPDIR") != nullptr ? getenv("TMPDIR") : "/tmp";
    char name[64];
    snprintf(name, sizeof name, "/%.40s-%04u.dlf", logger.c_str(), f.file);
    const std::string path = dir + name;
    const std::string bytes = file_bytes(f, logger, f.file);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || static_cast<size_t>(info.st_size) != bytes.size()) {
        self.log().line(self.name() + ": cannot write " + path);
        return "";
    }
    self.log().line(self.name() + ": wrote " + path + " (file " + std::to_string(f.file) + ", " +
                    std::to_string(f.blocks) + " blocks, " + std::to_string(bytes.size()) +
                    " bytes)");
    f.written.push_back(path);
    ++f.file;
    return path;
}

std::string first_text(DBusMessage* call) {
    const char* text = nullptr;
    DBusMessageIter iter;
    if (dbus_message_iter_init(call, &iter) &&
        dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_STRING) {
        dbus_message_iter_get_basic(&iter, &text);
    }
    return text != nullptr ? text : "";
}

// The methods whose normal answer is made here; any answer set from outside (refuse,
// answer-u32, silent, no-args, answer) wins and is sent by the answer table.
bool on_call(StandIn& self, DBusMessage* call) {
    const std::string method = dbus_message_get_member(call) ? dbus_message_get_member(call) : "";
    if (!self.answers_normally(method)) return false;
    if (method == "RequestDLF" || method == "GetLoggerDLGN") {
        const bool service = method == "RequestDLF";
        const std::string logger =
            service ? self.name().substr(sizeof kTulvadPrefix - 1) : first_text(call);
        const std::string path = write_file(self, logger);
        if (path.empty()) {
            self.reply(call, self.refusal(method));
        } else {
            self.reply(call, Reply{Reply::Kind::kText, service ? "OK - " + path : path, 0});
        }
        return true;
    }
    if (method == "ReqMaxDatasetSize") {
        const LoggerFiles& f = state(self);
        const unsigned size = f.dataset != 0 ? f.dataset : f.sizes.front() + 4;
        self.reply(call, Reply{Reply::Kind::kText, "OK " + std::to_string(size), 0});
        return true;
    }
    if (method == "DeleteDLF") {
        LoggerFiles& f = state(self);
        unsigned removed = 0;
        for (const std::string& path : f.written) removed += unlink(path.c_str()) == 0 ? 1 : 0;
        f.written.clear();
        DBusMessageIter iter;
        dbus_uint32_t mode = 0;
        if (dbus_message_iter_init(call, &iter) && dbus_message_iter_next(&iter) &&
            dbus_message_iter_get_arg_type(&iter) == DBUS_TYPE_UINT32) {
            dbus_message_iter_get_basic(&iter, &mode);
        }
        self.log().line(self.name() + ": deleted " + std::to_string(removed) +
                        " waiting files, mode " + std::to_string(mode));
    }
    return false;  // the table's answer
}

bool on_set(StandIn& self, const std::string& key, const std::string& value) {
    for (const Setting& setting : kSettings) {
        if (key == setting.key) {
            setting.set(state(self), value);
            return true;
        }
    }
    return false;
}

}  // namespace

extern const StandInHooks kLoggerHooks;
const StandInHooks kLoggerHooks = {on_call, on_set, nullptr, nullptr};

}  // namespace sim
