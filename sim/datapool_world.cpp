// The datapool world: list files, their segments and semaphore sets, and their removal.
#include "sim/datapool_world.h"

#include <dirent.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

DatapoolWorld g_world;
size_t g_segment_size = kWorldSegmentSize;
uint32_t g_base_path_calls = 0;

// Removes the segment and semaphore set of path's key, the file, and the folders around it.
void mv_remove_list(const std::string& path) {
    const key_t key = ftok(path.c_str(), 100);
    if (key != -1) {
        const int segment = shmget(key, 0, 0);
        if (segment >= 0) shmctl(segment, IPC_RMID, nullptr);
        const int semaphore = semget(key, 1, 0);
        if (semaphore >= 0) semctl(semaphore, 0, IPC_RMID);
    }
    unlink(path.c_str());
}

void mv_remove_base(const std::string& base) {
    DIR* pool = opendir((base + "/pool").c_str());
    while (dirent* entry = pool != nullptr ? readdir(pool) : nullptr) {
        if (entry->d_name[0] != '.') mv_remove_list(base + "/pool/" + entry->d_name);
    }
    if (pool != nullptr) closedir(pool);
    rmdir((base + "/pool").c_str());
    rmdir(base.c_str());
}

void mv_remove_world() { mv_remove_base(g_world.base); }

// Removes the base directories, segments and semaphore sets of earlier runs whose process
// has ended (a finding aborts without the atexit clean-up).
void mv_remove_stale_worlds() {
    DIR* tmp = opendir("/tmp");
    if (tmp == nullptr) return;
    while (dirent* entry = readdir(tmp)) {
        int pid = 0;
        if (sscanf(entry->d_name, "korvad_fuzz_dp_%d", &pid) != 1 || pid <= 0) continue;
        if (kill(pid, 0) == 0 || errno != ESRCH) continue;
        mv_remove_base(std::string("/tmp/") + entry->d_name);
    }
    closedir(tmp);
}

}  // namespace

int32_t gs32_world_base_path(char* buffer, uint32_t size) {
    ++g_base_path_calls;
    if (buffer == nullptr || size <= g_world.base.size()) return -5;
    memcpy(buffer, g_world.base.c_str(), g_world.base.size() + 1);
    return 0;
}

uint32_t gu32_world_base_path_calls() { return g_base_path_calls; }

void gv_world_write_list(size_t index, const uint8_t* data, size_t size) {
    FILE* file = fopen(g_world.list_paths.at(index).c_str(), "r+");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    fflush(file);
    if (ftruncate(fileno(file), static_cast<off_t>(size)) != 0) abort();
    fclose(file);
}

void gv_world_clear_segments() {
    for (const std::string& path : g_world.list_paths) {
        const int segment = shmget(ftok(path.c_str(), 100), 0, 0);
        void* bytes = segment >= 0 ? shmat(segment, nullptr, 0) : reinterpret_cast<void*>(-1);
        if (bytes == reinterpret_cast<void*>(-1)) abort();
        memset(bytes, 0, g_segment_size);
        shmdt(bytes);
    }
}

std::string gs_world_list_from_bytes(const uint8_t* data, size_t size, size_t* used_out) {
    static const char* const kTypes[] = {"UINT8",  "SINT8",   "UINT16", "SINT16",
                                         "UINT32", "SINT32",  "FLOAT32", "AOBYTE",
                                         "STRING", "UINT",    "BOGUS",  ""};
    size_t at = 0;
    // Seven bits a byte, low first, while bit 7 is set; at most five bytes (32 bits).
    auto number = [&]() -> uint32_t {
        uint32_t value = 0;
        for (int shift = 0; shift < 35 && at < size; shift += 7) {
            const uint8_t byte = data[at++];
            value |= static_cast<uint32_t>(byte & 0x7f) << shift;
            if ((byte & 0x80) == 0) break;
        }
        return value;
    };
    if (size == 0) {
        *used_out = 0;
        return "VERSION=1\n";
    }
    const uint8_t head = data[at++];
    const uint32_t count = number();
    std::string text = "VERSION=" + std::to_string((head & 1) ? 2 : 1) +
                       "\nNUMOFVARS=" + std::to_string(count) + "\n";
    for (uint32_t i = 0; i < count && at < size; ++i) {
        const char* type = kTypes[data[at++] % (sizeof kTypes / sizeof kTypes[0])];
        const uint32_t var_size = number();
        const uint32_t address = number();
        text += "[VARIABLE" + std::to_string(i) + "]\nNAME=v" + std::to_string(i) +
                "\nTYPE=" + type + "\nADDRESS=" + std::to_string(address) +
                "\nSIZE=" + std::to_string(var_size) + "\n";
    }
    *used_out = at;
    return text;
}

const DatapoolWorld& gr_datapool_world(const std::vector<std::string>& lists,
                                       size_t segment_size) {
    if (!g_world.base.empty()) return g_world;
    g_segment_size = segment_size;
    mv_remove_stale_worlds();
    g_world.base = "/tmp/korvad_fuzz_dp_" + std::to_string(getpid());
    if (mkdir(g_world.base.c_str(), 0700) != 0) abort();
    atexit(mv_remove_world);
    mkdir((g_world.base + "/pool").c_str(), 0700);
    for (size_t i = 0; i < lists.size(); ++i) {
        const std::string path = g_world.base + "/pool/l" + std::to_string(i) + ".dpl";
        FILE* file = fopen(path.c_str(), "w");
        if (file == nullptr) abort();
        fputs(lists[i].c_str(), file);
        fclose(file);
        g_world.list_paths.push_back(path);
        const key_t key = ftok(path.c_str(), 100);
        const int segment = shmget(key, segment_size, IPC_CREAT | IPC_EXCL | 0600);
        const int semaphore = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
        sembuf raise{0, 1, 0};
        if (segment < 0 || semaphore < 0 || semop(semaphore, &raise, 1) != 0) abort();
    }
    return g_world;
}
