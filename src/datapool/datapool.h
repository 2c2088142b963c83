// The datapool as this process sees it: the tables read from the DatapoolListFiles below the
// base directory, the lists' shared segments attached, values copied under each list's
// semaphore; and the semaphore helpers.
#pragma once

#include <cstdint>
#include <type_traits>

#include "core/heap.h"
#include "datapool/ipc_owners.h"

constexpr uint32_t kDpTextSize = 64;   // names, units, comments: 63 characters and a zero
constexpr uint32_t kDpTypeSize = 12;   // type text as written in the file, cut to 11
constexpr uint32_t kDpPathLimit = 128;  // longest base directory accepted

// One variable of a list, handed out by value. A size of 0 or less means absent.
struct VarInfo {
    char name[kDpTextSize];
    char type[kDpTypeSize];
    int32_t type_id;
    int32_t size;
    char unit[kDpTextSize];
    char comment[kDpTextSize];
    uint8_t* value;     // inside the attached segment
    int32_t address;
    uint8_t* counter;   // change counter (u32, native order); null below VERSION 2
    uint32_t counter_seen;
};
static_assert(std::is_trivially_copyable_v<VarInfo>);

struct VarListRecord {
    char name[kDpTextSize] = {};
    int32_t var_count = 0;
    int32_t segment_id = -1;
    int32_t semaphore_id = -1;
    ShmAttachment attachment;
    uint8_t* list_counter = nullptr;  // null below VERSION 2
    uint32_t list_seen = 0;           // also the cursor of a list without counters
    HeapArray<VarInfo> vars;
};

struct DatapoolRecord {
    char name[kDpTextSize] = {};
    int32_t list_count = 0;
    HeapArray<VarListRecord> lists;
};

// The one table of this process.
struct DatapoolTable {
    int32_t count = 0;
    HeapArray<DatapoolRecord> pools;
};
const DatapoolTable& gr_dp_table();

// Replaces the table by one empty DatapoolRecord per entry of base (alphabetical, byte
// order, "." and ".." left out); the previous table and its attachments are released first.
// 0; -1 no text; -5 longer than 128 characters, not a directory, or no entries.
int32_t gs32_dp_load_names(const char* base);
// Reads the lists of datapool index: one VarListRecord per entry containing ".dpl",
// alphabetical; each list's file parsed, its segment attached and its semaphore had. A list
// that fails stays without variables. 0 (also when lists failed); -1 no text; -5 text too
// long, index out of range, no datapool directory, or no list entry.
int32_t gs32_dp_load(int32_t index, const char* base);

// Accessors; -5 when the variable is absent or an argument is missing.
int32_t gs32_dp_get_var_info(int32_t dp, int32_t list, int32_t var, VarInfo* out);
int32_t gs32_dp_get_variable(int32_t dp, int32_t list, int32_t var, void* buffer,
                             uint32_t length);
int32_t gs32_dp_set_variable(int32_t dp, int32_t list, int32_t var, const void* data,
                             uint32_t length);

// Change queries: 0 changed (the new value becomes last seen), -8 not, -5 not found.
int32_t gs32_dp_var_changed(int32_t dp, int32_t list, int32_t var);
int32_t gs32_dp_list_changed(int32_t dp, int32_t list);
int32_t gs32_dp_next_changed_var(int32_t dp, int32_t list, int32_t* var_out);

// Name lookups: the index of the first whole, case-sensitive match; -1 no text; -5 empty,
// longer than 64 characters or not found.
int32_t gs32_dp_get_dp_index(const char* name);
int32_t gs32_dp_get_list_index(int32_t dp, const char* name);
int32_t gs32_dp_get_var_index(int32_t dp, int32_t list, const char* name);

// Semaphore 0 of a set, taken (-1) or given back (+1), without undo. 0; -10 id below 0;
// -8 semop failed.
int32_t gs32_sem_lock(int32_t id, int32_t nowait);
int32_t gs32_sem_unlock(int32_t id, int32_t nowait);
// 0 and the id of an existing set; -10 none.
int32_t gs32_sem_get(int32_t key, int32_t* id_out);
// 0 when the set was removed; -10 otherwise.
int32_t gs32_sem_remove(int32_t id);
// 0 and the id of the set of key, created with one semaphore raised by initial when it did
// not exist (a creator racing us is waited for by looking again). -10 no place or initial 0
// (the place then holds -1); -8 neither found nor created and raised.
int32_t gs32_sem_get_or_create(int32_t key, int32_t initial, int32_t* id_out);

// Holds a list's semaphore for one copy; gives it back when the scope ends.
class SemaphoreHold {
  public:
    explicit SemaphoreHold(int32_t id) : id_(gs32_sem_lock(id, 0) == 0 ? id : -1) {}
    ~SemaphoreHold() {
        if (id_ >= 0) gs32_sem_unlock(id_, 0);
    }
    SemaphoreHold(const SemaphoreHold&) = delete;
    SemaphoreHold& operator=(const SemaphoreHold&) = delete;
    bool held() const { return id_ >= 0; }

  private:
    int32_t id_;
};
