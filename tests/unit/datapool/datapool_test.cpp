// The shared datapool between processes: real segments and semaphore sets made here as the
// datapool service makes them, read and written by this process and by forked ones.
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "datapool/datapool.h"
#include "support/process.h"

using korvad_test::TempDir;

namespace {

struct Var {
    const char* name;
    const char* type;
    int64_t address, size;
};

class SharedDatapool : public testing::Test {
  protected:
    ~SharedDatapool() override {
        for (int id : segments_) shmctl(id, IPC_RMID, nullptr);
        for (int id : semaphores_) semctl(id, 0, IPC_RMID);
    }

    // Writes pool/a.dpl and creates its segment (segment_size bytes, 0: as the file needs)
    // and its semaphore, raised; then loads the table. NUMOFVARS is numofvars if given.
    void make_list(int version, const std::vector<Var>& vars, size_t segment_size = 0,
                   const char* numofvars = nullptr) {
        mkdir((dir_.path() + "/pool").c_str(), 0755);
        std::string text = "VERSION=" + std::to_string(version) + "\nNUMOFVARS=" +
                           (numofvars ? numofvars : std::to_string(vars.size())) + "\n";
        size_t end = 0;
        for (size_t i = 0; i < vars.size(); ++i) {
            text += "[VARIABLE" + std::to_string(i) + "]\nNAME=" + vars[i].name +
                    "\nTYPE=" + vars[i].type + "\nADDRESS=" + std::to_string(vars[i].address) +
                    "\nSIZE=" + std::to_string(vars[i].size) + "\n";
            end = static_cast<size_t>(vars[i].address + vars[i].size);
        }
        const std::string path = dir_.write("pool/a.dpl", text);
        if (segment_size == 0) segment_size = end + (version >= 2 ? 8 + 4 * vars.size() : 0);
        const key_t key = ftok(path.c_str(), 100);
        const int segment = shmget(key, segment_size, IPC_CREAT | 0600);
        ASSERT_GE(segment, 0);
        segments_.push_back(segment);
        int32_t semaphore = -1;
        ASSERT_EQ(0, gs32_sem_get_or_create(key, 1, &semaphore));
        semaphores_.push_back(semaphore);
        load();
    }

    void load() {
        ASSERT_EQ(0, gs32_dp_load_names(dir_.path().c_str()));
        ASSERT_EQ(0, gs32_dp_load(0, dir_.path().c_str()));
    }

    // Runs body in a child process; its exit status is body's result.
    template <typename Body>
    static pid_t in_child(Body body) {
        const pid_t pid = fork();
        if (pid == 0) _exit(body());
        return pid;
    }

    // Waits for a child; true when it exited with status 0.
    static bool exited_ok(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    TempDir dir_;
    std::vector<int> segments_, semaphores_;
};

TEST_F(SharedDatapool, ChangeCountersSeeOtherProcessesOnly) {
    make_list(2, {{"w4", "UINT32", 0, 4}, {"t57", "AOBYTE", 4, 57}});
    const uint32_t five = 5;
    ASSERT_EQ(0, gs32_dp_set_variable(0, 0, 0, &five, 4));
    EXPECT_EQ(-8, gs32_dp_var_changed(0, 0, 0));  // this process's own write
    EXPECT_EQ(-8, gs32_dp_list_changed(0, 0));
    ASSERT_TRUE(exited_ok(in_child([this] {
        load();
        const uint32_t six = 6;
        return gs32_dp_set_variable(0, 0, 0, &six, 4) == 0 ? 0 : 1;
    })));
    EXPECT_EQ(0, gs32_dp_var_changed(0, 0, 0));
    EXPECT_EQ(-8, gs32_dp_var_changed(0, 0, 0));  // seen now
    EXPECT_EQ(0, gs32_dp_list_changed(0, 0));
    EXPECT_EQ(-8, gs32_dp_var_changed(0, 0, 1));
    uint32_t value = 0;
    ASSERT_EQ(0, gs32_dp_get_variable(0, 0, 0, &value, 4));
    EXPECT_EQ(6u, value);
}

TEST_F(SharedDatapool, AWriterUnderTheSemaphoreNeverTearsAValue) {
    make_list(2, {{"w4", "UINT32", 0, 4}, {"t57", "AOBYTE", 4, 57}});
    // Writes each value in two halves under the list's semaphore, with a yield between,
    // so a reader that did not hold the semaphore would see halves of two rounds.
    const pid_t writer = in_child([this] {
        load();
        const int32_t semaphore = gr_dp_table().pools[0].lists[0].semaphore_id;
        VarInfo vars[2];
        if (gs32_dp_get_var_info(0, 0, 0, &vars[0]) != 0 ||
            gs32_dp_get_var_info(0, 0, 1, &vars[1]) != 0) {
            return 1;
        }
        for (int round = 0; round < 20000; ++round) {
            for (const VarInfo& v : vars) {
                const size_t half = static_cast<size_t>(v.size) / 2;
                if (gs32_sem_lock(semaphore, 0) != 0) return 1;
                memset(v.value, round & 0xff, half);
                sched_yield();
                memset(v.value + half, round & 0xff, static_cast<size_t>(v.size) - half);
                gs32_sem_unlock(semaphore, 0);
            }
        }
        return 0;
    });
    int torn = 0, reads = 0, status = 0;
    while (waitpid(writer, &status, WNOHANG) == 0) {
        uint8_t bytes[57];
        for (auto [var, length] : {std::pair{0, 4}, std::pair{1, 57}}) {
            ASSERT_EQ(0, gs32_dp_get_variable(0, 0, var, bytes, static_cast<uint32_t>(length)));
            for (int i = 1; i < length; ++i) torn += bytes[i] != bytes[0];
            ++reads;
        }
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(0, torn) << "in " << reads << " reads";
}

TEST_F(SharedDatapool, TwoProcessesCreatingOneSemaphoreSetLeaveItAtOne) {
    const std::string path = dir_.write("key", "");
    for (int round = 1; round <= 40; ++round) {
        const key_t key = ftok(path.c_str(), round);
        int go[2];
        ASSERT_EQ(0, pipe(go));
        auto racer = [&] {
            char byte;
            close(go[1]);
            if (read(go[0], &byte, 1) != 0) return 2;  // released by the close below
            int32_t id = -1;
            return gs32_sem_get_or_create(key, 1, &id) == 0 ? 0 : 1;
        };
        const pid_t racers[] = {in_child(racer), in_child(racer)};
        close(go[0]);
        close(go[1]);
        for (pid_t pid : racers) EXPECT_TRUE(exited_ok(pid)) << "round " << round;
        const int id = semget(key, 1, 0);
        ASSERT_GE(id, 0);
        EXPECT_EQ(1, semctl(id, 0, GETVAL)) << "round " << round;
        semctl(id, 0, IPC_RMID);
    }
}

// ADDRESS, SIZE and NUMOFVARS at their edges. A variable outside the segment as it really is
// is absent; a data size beyond what the segment or 32 bits hold, or a NUMOFVARS other than
// the sections' count, leaves the whole list without variables.
TEST_F(SharedDatapool, VariablesOutsideTheSegmentAreAbsent) {
    const Var tail = {"b", "UINT32", 4, 4};  // the data end: 8
    struct Case {
        const char* what;
        std::vector<Var> vars;
        size_t segment_size;
        std::vector<int32_t> codes;  // gs32_dp_get_var_info per variable
        const char* numofvars = nullptr;
    };
    std::vector<Case> cases = {
        {"exactly as the file says", {{"a", "UINT16", 0, 2}, tail}, 0, {0, 0}},
        {"segment smaller than the file says", {{"a", "UINT16", 0, 2}, tail}, 6, {-5, -5}},
        {"SIZE 0", {{"a", "AOBYTE", 0, 0}, tail}, 16, {-5, 0}},
        {"SIZE 1", {{"a", "UINT8", 0, 1}, tail}, 16, {0, 0}},
        {"SIZE up to the segment's end", {{"a", "AOBYTE", 0, 16}, tail}, 16, {0, 0}},
        {"SIZE one beyond it", {{"a", "AOBYTE", 0, 17}, tail}, 16, {-5, 0}},
        {"SIZE 65535", {{"a", "STRING", 0, 65535}, {"b", "UINT32", 65536, 4}}, 65540, {0, 0}},
        {"SIZE 2^31-1", {{"a", "AOBYTE", 0, 2147483647}, tail}, 16, {-5, 0}},
        {"SIZE 2^32-1", {{"a", "AOBYTE", 0, 4294967295}, tail}, 16, {-5, 0}},
        {"SIZE -1", {{"a", "AOBYTE", 0, -1}, tail}, 16, {-5, 0}},
        {"ADDRESS at the last byte", {{"a", "UINT8", 15, 1}, tail}, 16, {0, 0}},
        {"ADDRESS at the segment's end", {{"a", "UINT8", 16, 1}, tail}, 16, {-5, 0}},
        {"ADDRESS 2^31-1", {{"a", "UINT8", 2147483647, 1}, tail}, 16, {-5, 0}},
        {"ADDRESS 2^32-1", {{"a", "UINT8", 4294967295, 1}, tail}, 16, {-5, 0}},
        {"ADDRESS -1", {{"a", "UINT8", -1, 1}, tail}, 16, {-5, 0}},
        {"a data size beyond 2^31-1", {tail, {"a", "AOBYTE", 8, 2147483647}}, 16, {-5, -5}},
        {"NUMOFVARS 1", {{"a", "UINT8", 0, 1}, tail}, 16, {-5, -5}, "1"},
        {"NUMOFVARS 3", {{"a", "UINT8", 0, 1}, tail}, 16, {-5, -5}, "3"},
    };
    // NUMOFVARS that never equals a count: no table is made for it.
    for (const char* numofvars : {"0", "-1", "2147483647", "4294967295", "x"}) {
        cases.push_back({numofvars, {{"a", "UINT8", 0, 1}, tail}, 16, {-5, -5}, numofvars});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        make_list(1, c.vars, c.segment_size, c.numofvars);
        for (size_t i = 0; i < c.codes.size(); ++i) {
            VarInfo info{};
            EXPECT_EQ(c.codes[i], gs32_dp_get_var_info(0, 0, static_cast<int32_t>(i), &info)) << i;
            uint8_t bytes[4];
            EXPECT_EQ(c.codes[i] == 0 ? 0 : -5,
                      gs32_dp_get_variable(0, 0, static_cast<int32_t>(i), bytes, 4)) << i;
        }
        for (int id : segments_) shmctl(id, IPC_RMID, nullptr);
        segments_.clear();
    }
}

TEST_F(SharedDatapool, ReloadsLeaveOneAttachment) {
    make_list(2, {{"w4", "UINT32", 0, 4}});
    for (int i = 0; i < 300; ++i) load();
    shmid_ds stat{};
    ASSERT_EQ(0, shmctl(segments_[0], IPC_STAT, &stat));
    EXPECT_EQ(1u, stat.shm_nattch);
}

}  // namespace
