// The datapool service stand-in: from a directory of DatapoolListFiles it creates each
// list's shared segment and semaphore set as the real service does (values in native order,
// VERSION 2 change counters), answers GetBasePath with that directory, sets and shows
// values while it runs, and removes what it created when it ends.
#include <dirent.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "standin.h"

namespace sim {
namespace {

struct Variable {
    std::string name, type;
    long address = -1, size = 0;
};

struct List {
    std::string path;  // datapool/list, as the commands address it
    int segment = -1, semaphore = -1;
    uint8_t* base = nullptr;
    size_t data_size = 0;
    bool counters = false;
    std::vector<Variable> vars;
};

struct Datapool {
    std::string dir;
    std::vector<List> lists;
};

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Parses the keys the service needs. The data size is where the last section ends: its
// ADDRESS plus a SIZE that follows it, the rule every reader of the file applies.
bool parse(const std::string& file, List* list, long* version) {
    std::ifstream in(file);
    if (!in) return false;
    std::string line;
    *version = 1;
    long end = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        auto value = [&](const char* key) -> const char* {
            size_t n = strlen(key);
            return line.compare(0, n, key) == 0 ? line.c_str() + n : nullptr;
        };
        const char* v;
        if (line.compare(0, 9, "[VARIABLE") == 0) {
            list->vars.emplace_back();
            end = -1;
        } else if ((v = value("VERSION=")) != nullptr) {
            *version = atol(v);
        } else if (list->vars.empty()) {
            continue;
        } else if ((v = value("NAME=")) != nullptr) {
            std::istringstream(v) >> list->vars.back().name;
        } else if ((v = value("TYPE=")) != nullptr) {
            std::istringstream(v) >> list->vars.back().type;
        } else if ((v = value("ADDRESS=")) != nullptr) {
            list->vars.back().address = atol(v);
            end = list->vars.back().address;
        } else if ((v = value("SIZE=")) != nullptr) {
            list->vars.back().size = atol(v);
            if (end >= 0) end += list->vars.back().size;
        }
    }
    if (list->vars.empty() || end <= 0) return false;
    list->data_size = static_cast<size_t>(end);
    return list->data_size > 0;
}

void lock(int semaphore, short delta) {
    sembuf op{0, delta, 0};
    while (semop(semaphore, &op, 1) != 0 && errno == EINTR) {
    }
}

uint32_t load32(const uint8_t* p) {
    uint32_t v;
    memcpy(&v, p, 4);
    return v;
}
void bump(uint8_t* p) {
    uint32_t v = load32(p) + 1;
    memcpy(p, &v, 4);
}

void create(StandIn& self, Datapool& pool) {
    for (const std::string& dp : entries(pool.dir)) {
        for (const std::string& file : entries(pool.dir + "/" + dp)) {
            if (file.size() < 4 || file.compare(file.size() - 4, 4, ".dpl") != 0) continue;
            List list;
            list.path = dp + "/" + file.substr(0, file.size() - 4);
            const std::string path = pool.dir + "/" + dp + "/" + file;
            long version = 1;
            if (!parse(path, &list, &version)) {
                self.log().line(self.name() + ": cannot use " + path);
                continue;
            }
            list.counters = version >= 2;
            const size_t size = list.data_size + (list.counters ? 8 + 4 * list.vars.size() : 0);
            const key_t key = ftok(path.c_str(), 100);
            // A segment left behind by an earlier run that was killed goes first.
            int old = shmget(key, 0, 0);
            if (old >= 0) shmctl(old, IPC_RMID, nullptr);
            old = semget(key, 1, 0);
            if (old >= 0) semctl(old, 0, IPC_RMID);
            list.segment = shmget(key, size, IPC_CREAT | IPC_EXCL | 0600);
            list.semaphore = semget(key, 1, IPC_CREAT | IPC_EXCL | 0660);
            void* at = list.segment >= 0 ? shmat(list.segment, nullptr, 0) : nullptr;
            if (list.semaphore < 0 || at == nullptr || at == reinterpret_cast<void*>(-1)) {
                if (list.segment >= 0) shmctl(list.segment, IPC_RMID, nullptr);
                if (list.semaphore >= 0) semctl(list.semaphore, 0, IPC_RMID);
                self.log().line(self.name() + ": cannot create " + list.path + ": " +
                                strerror(errno));
                continue;
            }
            list.base = static_cast<uint8_t*>(at);
            memset(list.base, 0, size);
            lock(list.semaphore, 1);
            self.log().line(self.name() + ": created " + list.path + " (" +
                            std::to_string(size) + " bytes)");
            pool.lists.push_back(std::move(list));
        }
    }
}

void remove_all(Datapool& pool) {
    for (List& list : pool.lists) {
        shmdt(list.base);
        shmctl(list.segment, IPC_RMID, nullptr);
        semctl(list.semaphore, 0, IPC_RMID);
    }
    pool.lists.clear();
}

Datapool& state(StandIn& self) {
    if (!self.extension) self.extension = std::make_shared<Datapool>();
    return *static_cast<Datapool*>(self.extension.get());
}

// "dp/list/var" to the list and the variable's index.
std::pair<List*, size_t> find(Datapool& pool, const std::string& ref) {
    size_t slash = ref.rfind('/');
    if (slash == std::string::npos) throw std::invalid_argument("expected DP/LIST/VAR");
    for (List& list : pool.lists) {
        if (list.path != ref.substr(0, slash)) continue;
        for (size_t i = 0; i < list.vars.size(); ++i) {
            if (list.vars[i].name == ref.substr(slash + 1)) return {&list, i};
        }
    }
    throw std::invalid_argument("no variable " + ref);
}

// The bytes of a value: "hex" raw bytes in the given order, "num" a number (or a float for
// FLOAT32, a text for STRING) in native order with the variable's size.
std::vector<uint8_t> encode(const std::string& how, const Variable& var, const std::string& text) {
    std::vector<uint8_t> bytes;
    if (how == "hex") {
        for (size_t i = 0; i + 1 < text.size() + 1 && i < text.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        }
    } else if (var.type == "FLOAT32") {
        float f = std::stof(text);
        bytes.resize(4);
        memcpy(bytes.data(), &f, 4);
    } else if (var.type == "STRING" || var.type == "AOBYTE") {
        bytes.assign(text.begin(), text.end());
        bytes.resize(static_cast<size_t>(var.size), 0);
    } else {
        long long n = std::stoll(text, nullptr, 0);
        uint8_t raw[8];
        if (var.size == 1) raw[0] = static_cast<uint8_t>(n);
        uint16_t v16 = static_cast<uint16_t>(n);
        uint32_t v32 = static_cast<uint32_t>(n);
        if (var.size == 2) memcpy(raw, &v16, 2);
        if (var.size == 4) memcpy(raw, &v32, 4);
        if (var.size != 1 && var.size != 2 && var.size != 4) {
            throw std::invalid_argument("num needs a variable of size 1, 2 or 4");
        }
        bytes.assign(raw, raw + var.size);
    }
    if (bytes.size() != static_cast<size_t>(var.size)) {
        throw std::invalid_argument("value of " + std::to_string(bytes.size()) +
                                    " bytes for a variable of " + std::to_string(var.size));
    }
    return bytes;
}

std::string hex(const uint8_t* p, size_t n) {
    std::ostringstream out;
    for (size_t i = 0; i < n; ++i) {
        out << (i ? " " : "") << std::hex << std::setw(2) << std::setfill('0') << int(p[i]);
    }
    return out.str();
}

bool on_set(StandIn& self, const std::string& key, const std::string& value) {
    Datapool& pool = state(self);
    if (key == "dir") {
        remove_all(pool);
        pool.dir = value;
        self.set_reply("GetBasePath", Reply{Reply::Kind::kText, value, 0});
        if (self.connection() != nullptr) create(self, pool);
        return true;
    }
    if (key != "hex" && key != "num" && key != "show") return false;
    std::istringstream words(value);
    std::string ref, text;
    words >> ref;
    std::getline(words >> std::ws, text);
    auto [list, index] = find(pool, ref);
    const Variable& var = list->vars[index];
    uint8_t* at = list->base + var.address;
    if (key == "show") {
        lock(list->semaphore, -1);
        std::string shown = hex(at, static_cast<size_t>(var.size));
        lock(list->semaphore, 1);
        self.log().line(self.name() + ": " + ref + " = " + shown);
        return true;
    }
    std::vector<uint8_t> bytes = encode(key, var, text);
    // A writer like any other client: the value and both counters under the semaphore.
    lock(list->semaphore, -1);
    memcpy(at, bytes.data(), bytes.size());
    if (list->counters) {
        const size_t area = (list->data_size + 3) / 4 * 4;
        bump(list->base + area + 4 * (index + 1));
        bump(list->base + area);
    }
    lock(list->semaphore, 1);
    self.log().line(self.name() + ": set " + ref + " = " + hex(bytes.data(), bytes.size()));
    return true;
}

void on_start(StandIn& self) {
    Datapool& pool = state(self);
    if (!pool.dir.empty()) create(self, pool);
}

void on_end(StandIn& self) {
    if (self.extension) remove_all(state(self));
}

}  // namespace

extern const StandInHooks kDatapoolHooks;
const StandInHooks kDatapoolHooks = {nullptr, on_set, on_start, on_end};

}  // namespace sim
