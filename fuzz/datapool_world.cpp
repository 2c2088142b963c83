#include "datapool_world.h"

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

#include "bus/method_call.h"

namespace {

DatapoolWorld g_world;
int g_segment = -1, g_semaphore = -1;

void mv_remove_world() {
    if (g_segment >= 0) shmctl(g_segment, IPC_RMID, nullptr);
    if (g_semaphore >= 0) semctl(g_semaphore, 0, IPC_RMID);
    if (!g_world.base.empty()) {
        unlink(g_world.list_path.c_str());
        rmdir((g_world.base + "/pool").c_str());
        rmdir(g_world.base.c_str());
    }
}

// Removes the base directories, segments and semaphore sets of earlier runs whose process
// has ended (a finding aborts without the atexit clean-up).
void mv_remove_stale_worlds() {
    DIR* tmp = opendir("/tmp");
    if (tmp == nullptr) return;
    while (dirent* entry = readdir(tmp)) {
        int pid = 0;
        if (sscanf(entry->d_name, "korvad_fuzz_dp_%d", &pid) != 1 || pid <= 0) continue;
        if (kill(pid, 0) == 0 || errno != ESRCH) continue;
        const std::string base = std::string("/tmp/") + entry->d_name;
        const std::string list = base + "/pool/a.dpl";
        const key_t key = ftok(list.c_str(), 100);
        if (key != -1) {
            const int segment = shmget(key, 0, 0);
            if (segment >= 0) shmctl(segment, IPC_RMID, nullptr);
            const int semaphore = semget(key, 1, 0);
            if (semaphore >= 0) semctl(semaphore, 0, IPC_RMID);
        }
        unlink(list.c_str());
        rmdir((base + "/pool").c_str());
        rmdir(base.c_str());
    }
    closedir(tmp);
}

}  // namespace

// The bus as the datapool client sees it: only GetBasePath, answered with the base.
BusContext* gp_dbus_own_context() {
    static BusContext context{};
    return &context;
}

int32_t gs32_dbus_method_call(const BusContext* /*context*/, const BusMethodCall& call,
                              char* answer, uint32_t size, uint32_t* length_out) {
    if (strcmp(call.method, "GetBasePath") != 0 || answer == nullptr ||
        size <= g_world.base.size()) {
        abort();
    }
    memcpy(answer, g_world.base.c_str(), g_world.base.size() + 1);
    if (length_out != nullptr) *length_out = static_cast<uint32_t>(g_world.base.size());
    return kBusOk;
}

int32_t gs32_dbus_point_code(int32_t point) { return point == kBusOk ? 0 : -1; }

void gv_world_write_list(const uint8_t* data, size_t size) {
    FILE* file = fopen(g_world.list_path.c_str(), "r+");
    if (file == nullptr) abort();
    if (size > 0 && fwrite(data, 1, size, file) != size) abort();
    fflush(file);
    if (ftruncate(fileno(file), static_cast<off_t>(size)) != 0) abort();
    fclose(file);
}

const DatapoolWorld& gr_datapool_world(const std::string& initial_list) {
    if (g_world.segment != nullptr) return g_world;
    mv_remove_stale_worlds();
    g_world.base = "/tmp/korvad_fuzz_dp_" + std::to_string(getpid());
    if (mkdir(g_world.base.c_str(), 0700) != 0) abort();
    g_world.list_path = g_world.base + "/pool/a.dpl";
    mkdir((g_world.base + "/pool").c_str(), 0700);
    FILE* file = fopen(g_world.list_path.c_str(), "w");
    if (file == nullptr) abort();
    fputs(initial_list.c_str(), file);
    fclose(file);
    atexit(mv_remove_world);
    const key_t key = ftok(g_world.list_path.c_str(), 100);
    g_segment = shmget(key, kWorldSegmentSize, IPC_CREAT | IPC_EXCL | 0600);
    g_semaphore = semget(key, 1, IPC_CREAT | IPC_EXCL | 0600);
    if (g_segment < 0 || g_semaphore < 0) abort();
    sembuf raise{0, 1, 0};
    if (semop(g_semaphore, &raise, 1) != 0) abort();
    void* at = shmat(g_segment, nullptr, 0);
    if (at == reinterpret_cast<void*>(-1)) abort();
    g_world.segment = static_cast<uint8_t*>(at);
    return g_world;
}
