// The datapool tables of this process: directory listings, the two passes over each
// DatapoolListFile, the lists' segments and semaphores, and the value copies under them.
#include "datapool/datapool.h"

#include <dirent.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/heap.h"
#include "core/util.h"
#include "datapool/var_types.h"

namespace {

DatapoolTable g_table;

constexpr int kLineSize = 512;  // lines up to 511 characters
constexpr int kProjectId = 100;

// A scandir result, each entry and the array freed at the end of the scope.
class DirListing {
  public:
    ~DirListing() {
        for (int i = 0; i < count_; ++i) free(entries_[i]);
        free(entries_);
    }
    int32_t scan(const char* path, int (*filter)(const dirent*)) {
        count_ = scandir(path, &entries_, filter, ms32_byte_order);
        if (count_ < 0) count_ = 0;
        return count_;
    }
    const char* name(int i) const { return entries_[i]->d_name; }

  private:
    // Byte order whatever the locale, so that numbering is the same on every device.
    static int ms32_byte_order(const dirent** a, const dirent** b) {
        return strcmp((*a)->d_name, (*b)->d_name);
    }
    dirent** entries_ = nullptr;
    int count_ = 0;
};

int ms32_not_dots(const dirent* entry) {
    return strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0;
}

int ms32_list_entry(const dirent* entry) {
    return ms32_not_dots(entry) && strstr(entry->d_name, ".dpl") != nullptr;
}

// Copies a name into a record's field; 1 when it had to be cut.
uint8_t mu8_copy_name(char* field, const char* name) {
    return gu32_copy_bounded(field, name, kDpTextSize) >= kDpTextSize ? 1 : 0;
}

// Reads one line of at most kLineSize - 1 characters; the rest of a longer line is skipped,
// so that it cannot pass as a line of its own.
bool mb_read_line(FILE* file, char* line) {
    if (fgets(line, kLineSize, file) == nullptr) return false;
    if (strchr(line, '\n') == nullptr) {
        int c;
        while ((c = fgetc(file)) != EOF && c != '\n') {
        }
    }
    return true;
}

// The value behind key when line starts with it, else nullptr.
const char* mpc_value(const char* line, const char* key) {
    const size_t n = strlen(key);
    return strncmp(line, key, n) == 0 ? line + n : nullptr;
}

// A decimal number (blanks and a sign may lead); false without digits. Clamped to 32 bits.
bool mb_number(const char* text, int64_t* out) {
    const char* p = text;
    while (*p == ' ') ++p;
    const bool negative = *p == '-';
    if (*p == '+' || *p == '-') ++p;
    uint64_t digits = 0;
    if (gu32_leading_digits(p, nullptr, &digits) == 0) return false;
    if (negative) {
        *out = digits > uint64_t{1} << 31 ? INT32_MIN : -static_cast<int64_t>(digits);
    } else {
        *out = digits > INT32_MAX ? INT32_MAX : static_cast<int64_t>(digits);
    }
    return true;
}

// One word: leading blanks skipped, ended by a blank or the line end; cut to size - 1.
void mv_word(const char* text, char* out, uint32_t size) {
    while (*text == ' ') ++text;
    uint32_t n = 0;
    while (text[n] != '\0' && text[n] != ' ' && text[n] != '\t' && text[n] != '\r' &&
           text[n] != '\n' && n + 1 < size) {
        out[n] = text[n];
        ++n;
    }
    out[n] = '\0';
}

uint32_t mu32_load_u32(const uint8_t* p) {
    uint32_t value;
    memcpy(&value, p, 4);
    return value;
}

void mv_store_u32(uint8_t* p, uint32_t value) { memcpy(p, &value, 4); }

// What the first pass learns about a list file.
struct ListScan {
    int32_t sections = 0;
    int64_t numofvars = 0;
    bool numofvars_bad = false;
    int64_t version = 1;
    int64_t end = 0;  // end of the current section; the data size after the last line
};

void mv_first_pass(FILE* file, ListScan* scan) {
    char line[kLineSize];
    const char* value;
    while (mb_read_line(file, line)) {
        int64_t number = 0;
        if (strncmp(line, "[VARIABLE", 9) == 0) {
            ++scan->sections;
            scan->end = -1;
        } else if ((value = mpc_value(line, "NUMOFVARS=")) != nullptr) {
            scan->numofvars_bad = !mb_number(value, &scan->numofvars);
        } else if ((value = mpc_value(line, "VERSION=")) != nullptr) {
            if (mb_number(value, &number)) scan->version = number;
        } else if ((value = mpc_value(line, "ADDRESS=")) != nullptr) {
            scan->end = mb_number(value, &number) && number >= 0 ? number : -1;
        } else if ((value = mpc_value(line, "SIZE=")) != nullptr && scan->end >= 0) {
            scan->end = mb_number(value, &number) && number >= 0 ? scan->end + number : -1;
            if (scan->end > INT32_MAX) scan->end = -1;
        }
    }
}

// The fields of one section, collected by the second pass.
struct Section {
    char name[kDpTextSize];
    char type[kLineSize];  // whole, for the lookup; the record keeps it cut
    char unit[kDpTextSize];
    char comment[kDpTextSize];
    int64_t size;
    int64_t address;
};

// Everything the second pass needs to place a variable.
struct ListPlace {
    uint8_t* base;
    uint64_t segment_size;  // the real size of the attached segment
    int64_t counter_area;   // offset of the list counter; -1 without counters
};

// Stores a section into info; false when its TYPE is invalid and the list stops here.
bool mb_store(const Section& s, int32_t index, const ListPlace& place, VarInfo* info) {
    char size_text[24];
    snprintf(size_text, sizeof size_text, "%lld", static_cast<long long>(s.size));
    const uint32_t id = gs32_dp_get_type_id(s.type, size_text);
    if (id == kVarTypeInvalid) return false;
    VarInfo v{};
    gu32_copy_bounded(v.name, s.name, sizeof v.name);
    gu32_copy_bounded(v.type, s.type, sizeof v.type);
    gu32_copy_bounded(v.unit, s.unit, sizeof v.unit);
    gu32_copy_bounded(v.comment, s.comment, sizeof v.comment);
    v.type_id = static_cast<int32_t>(id);
    v.address = static_cast<int32_t>(s.address);
    v.size = static_cast<int32_t>(s.size);
    // A value or counter outside the segment as it really is would be read or written out
    // of bounds: such a variable is absent.
    bool inside = s.address >= 0 && s.size > 0 &&
                  static_cast<uint64_t>(s.address + s.size) <= place.segment_size;
    if (place.counter_area >= 0) {
        const int64_t at = place.counter_area + 4 * (static_cast<int64_t>(index) + 1);
        inside = inside && static_cast<uint64_t>(at + 4) <= place.segment_size;
        if (inside) {
            v.counter = place.base + at;
            v.counter_seen = mu32_load_u32(v.counter);
        }
    }
    if (inside) {
        v.value = place.base + s.address;
    } else {
        v.size = 0;
        v.counter = nullptr;
    }
    *info = v;
    return true;
}

void mv_second_pass(FILE* file, const ListPlace& place, VarListRecord* list) {
    char line[kLineSize];
    Section s{};
    int32_t index = -1;  // -1: the header
    const char* value;
    bool more = true;
    while (more) {
        more = mb_read_line(file, line);
        const bool boundary = !more || strncmp(line, "[VARIABLE", 9) == 0;
        if (boundary) {
            if (index >= 0 && index < list->var_count &&
                !mb_store(s, index, place, &list->vars[index])) {
                return;
            }
            ++index;
            s = Section{};
            continue;
        }
        int64_t number = 0;
        if ((value = mpc_value(line, "NAME=")) != nullptr) {
            mv_word(value, s.name, sizeof s.name);
        } else if ((value = mpc_value(line, "TYPE=")) != nullptr) {
            mv_word(value, s.type, sizeof s.type);
        } else if ((value = mpc_value(line, "UNIT=")) != nullptr) {
            mv_word(value, s.unit, sizeof s.unit);
        } else if ((value = mpc_value(line, "COMMENT=")) != nullptr) {
            mv_word(value, s.comment, sizeof s.comment);
        } else if ((value = mpc_value(line, "SIZE=")) != nullptr) {
            s.size = mb_number(value, &number) ? number : 0;
        } else if ((value = mpc_value(line, "ADDRESS=")) != nullptr) {
            s.address = mb_number(value, &number) ? number : -1;
        }
    }
}

// Loads one list from its file; a failure leaves it without variables.
void mv_load_list(const char* path, VarListRecord* list) {
    UniqueFile file{fopen(path, "r")};
    if (!file) return;
    ListScan scan;
    mv_first_pass(file.get(), &scan);
    if (scan.end <= 0 || scan.sections == 0 || scan.numofvars_bad || scan.numofvars <= 0 ||
        scan.numofvars != scan.sections) {
        return;
    }
    const key_t key = ftok(path, kProjectId);
    if (key <= 0) return;
    const bool counters = scan.version >= 2;
    const uint64_t size = static_cast<uint64_t>(scan.end) +
                          (counters ? 8 + 4 * static_cast<uint64_t>(scan.sections) : 0);
    // The segment belongs to the datapool service: look it up with its exact size, never
    // create it. A segment smaller than asked is refused by shmget.
    const int segment = shmget(key, size, 0600);
    if (segment < 0) return;
    shmid_ds status{};
    if (shmctl(segment, IPC_STAT, &status) != 0) return;
    int32_t semaphore = -1;
    if (gs32_sem_get_or_create(key, 1, &semaphore) != 0) return;
    void* address = shmat(segment, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) return;
    ShmAttachment attachment{address};

    HeapArray<VarInfo> vars{static_cast<size_t>(scan.sections)};
    if (!vars) return;
    ListPlace place{attachment.get(), status.shm_segsz, -1};
    if (counters) {
        place.counter_area = (scan.end + 3) / 4 * 4;
        list->list_counter = attachment.get() + place.counter_area;
        list->list_seen = mu32_load_u32(list->list_counter);
    }
    list->segment_id = segment;
    list->semaphore_id = semaphore;
    list->attachment = std::move(attachment);
    list->vars = std::move(vars);
    list->var_count = scan.sections;
    rewind(file.get());
    mv_second_pass(file.get(), place, list);
}

VarListRecord* mp_list(int32_t dp, int32_t list) {
    if (dp < 0 || dp >= g_table.count) return nullptr;
    DatapoolRecord& pool = g_table.pools[dp];
    if (list < 0 || list >= pool.list_count) return nullptr;
    return &pool.lists[list];
}

VarInfo* mp_var(int32_t dp, int32_t list, int32_t var, VarListRecord** list_out) {
    VarListRecord* record = mp_list(dp, list);
    if (record == nullptr || var < 0 || var >= record->var_count) return nullptr;
    VarInfo* info = &record->vars[var];
    if (info->size <= 0) return nullptr;
    *list_out = record;
    return info;
}

// A counter against its last seen value: 0 and taken over when it moved, -8 when not.
int32_t ms32_counter_moved(int32_t semaphore, const uint8_t* counter, uint32_t* seen) {
    SemaphoreHold hold{semaphore};
    if (!hold.held()) return -8;
    const uint32_t now = mu32_load_u32(counter);
    if (now == *seen) return -8;
    *seen = now;
    return 0;
}

int32_t ms32_name_check(const char* name) {
    if (name == nullptr) return -1;
    const size_t n = strlen(name);
    return n == 0 || n > 64 ? -5 : 0;
}

int32_t ms32_sem_step(int32_t id, int32_t nowait, short delta) {
    if (id < 0) return -10;
    sembuf op{0, delta, static_cast<short>(nowait != 0 ? IPC_NOWAIT : 0)};
    return semop(id, &op, 1) == 0 ? 0 : -8;
}

}  // namespace

const DatapoolTable& gr_dp_table() { return g_table; }

int32_t gs32_dp_load_names(const char* base) {
    if (base == nullptr) return -1;
    if (strlen(base) > kDpPathLimit || gs32_is_directory(base) != 1) return -5;
    DirListing listing;
    const int32_t count = listing.scan(base, ms32_not_dots);
    if (count <= 0) return -5;
    g_table = DatapoolTable{};  // lists, variables and attachments of the last load go
    HeapArray<DatapoolRecord> pools{static_cast<size_t>(count)};
    if (!pools) return -5;
    for (int32_t i = 0; i < count; ++i) {
        // A cut name would point at another directory: it keeps its number, stays empty.
        if (mu8_copy_name(pools[i].name, listing.name(i))) pools[i].name[0] = '\0';
    }
    g_table.pools = std::move(pools);
    g_table.count = count;
    return 0;
}

int32_t gs32_dp_load(int32_t index, const char* base) {
    if (base == nullptr) return -1;
    if (strlen(base) > kDpPathLimit || index < 0 || index >= g_table.count) return -5;
    DatapoolRecord& pool = g_table.pools[index];
    char directory[kDpPathLimit + kDpTextSize + 2];
    snprintf(directory, sizeof directory, "%s/%s", base, pool.name);
    if (pool.name[0] == '\0' || gs32_is_directory(directory) != 1) return -5;
    DirListing listing;
    const int32_t count = listing.scan(directory, ms32_list_entry);
    if (count <= 0) return -5;
    pool.lists.reset();
    pool.list_count = 0;
    HeapArray<VarListRecord> lists{static_cast<size_t>(count)};
    if (!lists) return -5;
    pool.lists = std::move(lists);
    pool.list_count = count;
    for (int32_t i = 0; i < count; ++i) {
        char path[sizeof directory + NAME_MAX + 8];
        snprintf(path, sizeof path, "%s/%s", directory, listing.name(i));
        if (gs32_is_regular_file(path) != 1) continue;
        VarListRecord& list = pool.lists[i];
        const size_t n = strlen(listing.name(i));
        char name[NAME_MAX + 1];
        gu32_copy_bounded(name, listing.name(i), n > 4 ? static_cast<uint32_t>(n - 3) : 1);
        // A cut list name stays as it is but its file is not read: the record would name
        // another file than the one its variables came from.
        if (mu8_copy_name(list.name, name)) continue;
        snprintf(path, sizeof path, "%s/%s.dpl", directory, list.name);
        mv_load_list(path, &list);
    }
    return 0;
}

int32_t gs32_dp_get_var_info(int32_t dp, int32_t list, int32_t var, VarInfo* out) {
    VarListRecord* record = nullptr;
    const VarInfo* info = mp_var(dp, list, var, &record);
    if (info == nullptr || out == nullptr) return -5;
    *out = *info;
    return 0;
}

int32_t gs32_dp_get_variable(int32_t dp, int32_t list, int32_t var, void* buffer,
                             uint32_t length) {
    VarListRecord* record = nullptr;
    VarInfo* info = mp_var(dp, list, var, &record);
    if (info == nullptr || buffer == nullptr) return -5;
    SemaphoreHold hold{record->semaphore_id};
    if (!hold.held()) return -8;
    const uint32_t size = static_cast<uint32_t>(info->size);
    memcpy(buffer, info->value, length < size ? length : size);
    if (info->counter != nullptr) info->counter_seen = mu32_load_u32(info->counter);
    return 0;
}

int32_t gs32_dp_set_variable(int32_t dp, int32_t list, int32_t var, const void* data,
                             uint32_t length) {
    VarListRecord* record = nullptr;
    VarInfo* info = mp_var(dp, list, var, &record);
    if (info == nullptr || data == nullptr || length > static_cast<uint32_t>(info->size)) {
        return -5;
    }
    SemaphoreHold hold{record->semaphore_id};
    if (!hold.held()) return -8;
    memcpy(info->value, data, length);
    if (info->counter != nullptr) {
        info->counter_seen = mu32_load_u32(info->counter) + 1;
        mv_store_u32(info->counter, info->counter_seen);
    }
    if (record->list_counter != nullptr) {
        // Our own write moves our last seen value along, so only other readers see it.
        const uint32_t now = mu32_load_u32(record->list_counter);
        if (record->list_seen == now) record->list_seen += 1;
        mv_store_u32(record->list_counter, now + 1);
    }
    return 0;
}

int32_t gs32_dp_var_changed(int32_t dp, int32_t list, int32_t var) {
    VarListRecord* record = nullptr;
    VarInfo* info = mp_var(dp, list, var, &record);
    if (info == nullptr) return -5;
    if (info->counter == nullptr) return 0;
    return ms32_counter_moved(record->semaphore_id, info->counter, &info->counter_seen);
}

int32_t gs32_dp_list_changed(int32_t dp, int32_t list) {
    VarListRecord* record = mp_list(dp, list);
    if (record == nullptr) return -5;
    if (record->list_counter == nullptr) return 0;
    return ms32_counter_moved(record->semaphore_id, record->list_counter, &record->list_seen);
}

int32_t gs32_dp_next_changed_var(int32_t dp, int32_t list, int32_t* var_out) {
    VarListRecord* record = mp_list(dp, list);
    if (record == nullptr || var_out == nullptr) return -5;
    if (record->list_counter == nullptr) {
        // Without counters every variable counts as changed, one per call, then one -8.
        if (record->list_seen < static_cast<uint32_t>(record->var_count)) {
            *var_out = static_cast<int32_t>(record->list_seen++);
            return 0;
        }
        record->list_seen = 0;
        return -8;
    }
    SemaphoreHold hold{record->semaphore_id};
    if (!hold.held()) return -8;
    for (int32_t i = 0; i < record->var_count; ++i) {
        VarInfo& info = record->vars[i];
        if (info.size <= 0 || info.counter == nullptr) continue;
        const uint32_t now = mu32_load_u32(info.counter);
        if (now != info.counter_seen) {
            info.counter_seen = now;
            *var_out = i;
            return 0;
        }
    }
    record->list_seen = mu32_load_u32(record->list_counter);
    return -8;
}

int32_t gs32_dp_get_dp_index(const char* name) {
    const int32_t check = ms32_name_check(name);
    if (check != 0) return check;
    for (int32_t i = 0; i < g_table.count; ++i) {
        if (strcmp(g_table.pools[i].name, name) == 0) return i;
    }
    return -5;
}

int32_t gs32_dp_get_list_index(int32_t dp, const char* name) {
    const int32_t check = ms32_name_check(name);
    if (check != 0) return check;
    if (dp < 0 || dp >= g_table.count) return -5;
    const DatapoolRecord& pool = g_table.pools[dp];
    for (int32_t i = 0; i < pool.list_count; ++i) {
        if (strcmp(pool.lists[i].name, name) == 0) return i;
    }
    return -5;
}

int32_t gs32_dp_get_var_index(int32_t dp, int32_t list, const char* name) {
    const int32_t check = ms32_name_check(name);
    if (check != 0) return check;
    const VarListRecord* record = mp_list(dp, list);
    if (record == nullptr) return -5;
    for (int32_t i = 0; i < record->var_count; ++i) {
        if (record->vars[i].size > 0 && strcmp(record->vars[i].name, name) == 0) return i;
    }
    return -5;
}

int32_t gs32_sem_lock(int32_t id, int32_t nowait) { return ms32_sem_step(id, nowait, -1); }
int32_t gs32_sem_unlock(int32_t id, int32_t nowait) { return ms32_sem_step(id, nowait, 1); }

int32_t gs32_sem_get(int32_t key, int32_t* id_out) {
    const int id = semget(key, 1, 0);
    if (id < 0 || id_out == nullptr) return -10;
    *id_out = id;
    return 0;
}

int32_t gs32_sem_remove(int32_t id) {
    return id >= 0 && semctl(id, 0, IPC_RMID) == 0 ? 0 : -10;
}

int32_t gs32_sem_get_or_create(int32_t key, int32_t initial, int32_t* id_out) {
    if (id_out == nullptr) return -10;
    *id_out = -1;
    if (initial == 0) return -10;
    int id = semget(key, 1, 0);
    if (id >= 0) {
        *id_out = id;
        return 0;
    }
    id = semget(key, 1, IPC_CREAT | IPC_EXCL | 0660);
    if (id < 0) {
        if (errno != EEXIST) return -8;
        // Another process created it between our two looks; it raises it.
        id = semget(key, 1, 0);
        if (id < 0) return -8;
        *id_out = id;
        return 0;
    }
    sembuf raise{0, static_cast<short>(initial), 0};
    if (semop(id, &raise, 1) != 0) return -8;
    *id_out = id;
    return 0;
}
