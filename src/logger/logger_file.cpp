// LoggerFile reader. The file is read through stdio's buffer; positions are moved with
// fseek only where a block is skipped, stepped back over, or a read fell short.
#include "logger/logger_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/config.h"
#include "core/heap.h"
#include "core/log.h"
#include "core/util.h"
#include "jobs/datablock.h"

namespace {

constexpr char kDataStart[] = "DATASTART";
constexpr uint32_t kDataStartLength = sizeof kDataStart - 1;


// Reads exactly two bytes into value (little-endian, on any host). 1 when read; 0 at the
// end of the file, -1 on a read error. A short read is stepped back, so a failed read
// leaves the file where it stood.
int32_t ms32_read_le16(FILE* file, uint16_t* value) {
    uint8_t bytes[2];
    const size_t got = fread(bytes, 1, 2, file);
    if (got == 2) {
        *value = gu16_load_le(bytes);
        return 1;
    }
    const bool error = ferror(file) != 0;
    if (got > 0) fseek(file, -static_cast<long>(got), SEEK_CUR);
    return error ? -1 : 0;
}

// The size of the block the file stands at, with its head; the file stays at its START_TAG.
// When the head cannot be read, the size is left to the logger.
void mv_dlf_get_max_dataset_size(FILE* file, uint32_t* max_dataset_size, uint8_t* ask_logger) {
    *max_dataset_size = 0;
    *ask_logger = 0;
    uint16_t tag = 0;
    if (ms32_read_le16(file, &tag) != 1) {
        gs32_log_from("ms32_dlf_get_max_dataset_size", "Error can't find START_TAG");
        *ask_logger = 1;
        return;
    }
    if (tag != kDlfStartTag) {
        fseek(file, -2, SEEK_CUR);
        return;
    }
    uint16_t length = 0;
    if (ms32_read_le16(file, &length) != 1) {
        gs32_log_from("ms32_dlf_get_max_dataset_size", "Error can't read block length");
        fseek(file, -2, SEEK_CUR);
        *ask_logger = 1;
        return;
    }
    fseek(file, -static_cast<long>(kDlfBlockHead), SEEK_CUR);
    *max_dataset_size = length + kDlfBlockHead;
}

// The header's LogFile value into log_file (empty when missing); every missing key logged.
void mv_read_dlf_header(FILE* file, const char* path, char* log_file, uint32_t size) {
    static const char* const kKeys[] = {"LogFile",   "LogFileFormat", "Comment",
                                        "MaxSize",   "Date+Time",     "Timestamp"};
    char value[kConfigLineSize];
    for (const char* key : kKeys) {
        if (gs32_cfg_get_value(file, key, value, sizeof value) == 0) {
            if (key == kKeys[0]) gu32_copy_bounded(log_file, value, size);
            continue;
        }
        if (key == kKeys[0]) {
            gs32_log_from("ms32_read_dlf_header",
                          "Error in file %s. Configuration error at parameter \"%s\".",
                          LogSafe(path).text, key);
            return;
        }
        gs32_log_from("ms32_read_dlf_header",
                      "Error in file %s. Configuration error at parameter %s.",
                      LogSafe(path).text, key);
    }
}

// Creates folder and every missing folder above it, as "mkdir -p" would, without a shell;
// what it makes is the daemon's alone (0700). A level that cannot be made is logged; the
// check or the rename after it reports what is missing then.
void mv_make_directories(const char* folder, const char* function) {
    char path[sizeof ConnectionConfig{}.ServerExchangeFolder];
    if (gu32_copy_bounded(path, folder, sizeof path) >= sizeof path || path[0] == '\0') return;
    for (char* p = path + 1;; ++p) {
        if (*p != '/' && *p != '\0') continue;
        const char end = *p;
        *p = '\0';
        if (mkdir(path, 0700) != 0 && errno != EEXIST) {
            gv_dlf_log_failure(function, "create folder", path);
        }
        if (end == '\0') break;
        *p = '/';
    }
}

// The folder as lstat must see it: without trailing slashes, which would make lstat follow
// a link. false when it does not fit.
bool mb_folder_without_slash(const char* folder, char* out, uint32_t size) {
    uint32_t length = gu32_copy_bounded(out, folder, size);
    if (length >= size) return false;
    while (length > 1 && out[length - 1] == '/') out[--length] = '\0';
    return true;
}

}  // namespace

FILE* gp_dlf_open_plain(const char* path, int flags, const char* mode) {
    const int fd = open(path, flags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, mode);
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        errno = error;
    }
    return file;
}

void gv_dlf_log_failure(const char* function, const char* operation, const char* path) {
    const int error = errno;
    gs32_log_from(function, "Can't %s %s: %s", operation, LogSafe(path).text, strerror(error));
}

int32_t gs32_dlf_is_plain_file(const char* path) {
    struct stat info {};
    if (path == nullptr || lstat(path, &info) != 0) return 0;
    return S_ISREG(info.st_mode) ? 1 : 0;
}

int32_t gs32_dlf_check_entry(const char* path, const char* function) {
    struct stat info {};
    if (path == nullptr) return -10;
    if (lstat(path, &info) != 0) {
        if (errno == ENOENT) return 0;
        gv_dlf_log_failure(function, "inspect", path);
        return -10;
    }
    if (S_ISREG(info.st_mode)) return 0;
    gs32_log_from(function, "%s is %s, not a regular file: left alone, unsafe",
                  LogSafe(path).text, S_ISLNK(info.st_mode) ? "a link" : "something else");
    return -10;
}

int32_t gs32_dlf_check_folder(const char* folder, uint8_t create, uint8_t writable,
                              const char* function) {
    char path[sizeof ConnectionConfig{}.ServerExchangeFolder];
    if (folder == nullptr || !mb_folder_without_slash(folder, path, sizeof path)) return -10;
    struct stat info {};
    if (lstat(path, &info) != 0) {
        if (errno != ENOENT) {
            gv_dlf_log_failure(function, "inspect exchange folder", path);
            return -10;
        }
        if (!create) return 0;
        mv_make_directories(path, function);
        if (lstat(path, &info) != 0) {
            gv_dlf_log_failure(function, "create exchange folder", path);
            return -10;
        }
    }
    const char* why = nullptr;
    if (S_ISLNK(info.st_mode)) {
        why = "is a link";
    } else if (!S_ISDIR(info.st_mode)) {
        why = "is no folder";
    } else if (info.st_uid != geteuid()) {
        why = "belongs to another user";
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "is writable by group or others";
    }
    if (why != nullptr) {
        gs32_log_from(function, "Exchange folder %s %s: unsafe, refused", LogSafe(folder).text,
                      why);
        return -10;
    }
    // access() reports a read-only file system (EROFS) even to root, who passes every mode
    // check; it leaves nothing behind, unlike a probe file.
    if (writable && access(path, W_OK) != 0) {
        const int error = errno;
        gs32_log_from(function, "Exchange folder %s is not writable: %s, refused",
                      LogSafe(folder).text, strerror(error));
        return -10;
    }
    return 0;
}

int32_t gs32_dlf_working_paths(const char* folder, const char* name, char* copy_path,
                               char* pos_path) {
    if (folder == nullptr || name == nullptr || copy_path == nullptr) return -1;
    int written = snprintf(copy_path, kDlfPathSize, "%s/%s%s", folder, name, "_tmp");
    if (written < 0 || static_cast<uint32_t>(written) >= kDlfPathSize) return -1;
    if (pos_path == nullptr) return 0;
    written = snprintf(pos_path, kDlfPathSize, "%s/%s%s%s", folder, name, "_tmp", "_pos");
    return written < 0 || static_cast<uint32_t>(written) >= kDlfPathSize ? -1 : 0;
}

int32_t gs32_dlf_check_header(const char* path, const char* name) {
    if (path == nullptr || name == nullptr) return -10;
    char log_file[kConfigLineSize] = {};
    {
        // A link swapped in after the take-over's check is not followed either.
        UniqueFile file{gp_dlf_open_plain(path, O_RDONLY, "r")};
        if (file) mv_read_dlf_header(file.get(), path, log_file, sizeof log_file);
    }
    // Compared over the requested name's length: "log1" accepts "log10".
    if (log_file[0] == '\0' || strncmp(log_file, name, strlen(name)) != 0) {
        gs32_log_from("gs32_dlf_request", "Logger name does not fit!: %s != %s",
                      LogSafe(log_file).text, LogSafe(name).text);
        return -10;
    }
    return 0;
}

int32_t gs32_dlf_take_over(const char* path, const char* name, const char* folder) {
    if (path == nullptr || name == nullptr || folder == nullptr) return -10;
    struct stat info {};
    if (lstat(path, &info) != 0) return -10;
    if (!S_ISREG(info.st_mode)) {
        gs32_log_from("gs32_dlf_request", "Logger file %s is not a regular file, not taken",
                      LogSafe(path).text);
        return -10;
    }
    if (gs32_dlf_check_header(path, name) != 0) return -10;
    if (!gs32_is_directory(folder)) mv_make_directories(folder, "gs32_dlf_request");
    char copy_path[kDlfPathSize];
    char pos_path[kDlfPathSize];
    if (gs32_dlf_working_paths(folder, name, copy_path, pos_path) != 0) {
        gs32_log_from("gs32_dlf_request", "Can't move file :%s", LogSafe(path).text);
        return -10;
    }
    if (rename(path, copy_path) != 0) {
        gv_dlf_log_failure("gs32_dlf_request", "rename the logger file to", copy_path);
        gs32_log_from("gs32_dlf_request", "Can't move file :%s", LogSafe(path).text);
        return -10;
    }
    if (gs32_dlf_is_plain_file(pos_path)) return 0;
    // Not through a link that may stand in its place: O_NOFOLLOW fails on it instead.
    UniqueFile pos{gp_dlf_open_plain(pos_path, O_RDWR | O_CREAT | O_TRUNC, "w+")};
    if (!pos || fputs("0\r\n0\r\n", pos.get()) < 0 || fflush(pos.get()) != 0) {
        gv_dlf_log_failure("gs32_dlf_request", "write", pos_path);
        gs32_log_from("gs32_dlf_request", "Can't create tmp_pos file");
        return -10;
    }
    return 0;
}

int32_t gs32_dlf_set_startpos(FILE* file, uint8_t from_start, uint32_t* max_dataset_size,
                              uint8_t* ask_logger_out) {
    if (ask_logger_out != nullptr) *ask_logger_out = 0;
    if (file == nullptr || max_dataset_size == nullptr || ask_logger_out == nullptr ||
        from_start > 1) {
        return -10;
    }
    if (from_start == 1) rewind(file);
    char window[kDataStartLength] = {};
    uint32_t seen = 0;
    for (;;) {
        const int c = getc(file);
        if (c == EOF) {
            gs32_log_printf("%d: gs32_dlf_set_startpos Error. Datastart not found:.", static_cast<int>(getpid()));
            return -2;
        }
        memmove(window, window + 1, kDataStartLength - 1);
        window[kDataStartLength - 1] = static_cast<char>(c);
        if (seen < kDataStartLength) ++seen;
        if (seen == kDataStartLength && memcmp(window, kDataStart, kDataStartLength) == 0) break;
    }
    fseek(file, 2, SEEK_CUR);  // two bytes behind the marker are not part of the data
    mv_dlf_get_max_dataset_size(file, max_dataset_size, ask_logger_out);
    return 0;
}

int32_t gs32_dlf_get_next_block(FILE* file, uint32_t block_number, uint8_t skip, char* out,
                                uint32_t room, uint16_t* length_out, uint32_t* max_dataset_size,
                                uint8_t* ask_logger_out) {
    if (length_out != nullptr) *length_out = 0;
    if (ask_logger_out != nullptr) *ask_logger_out = 0;
    if (file == nullptr || out == nullptr || room == 0 || length_out == nullptr ||
        max_dataset_size == nullptr || ask_logger_out == nullptr) {
        return -5;
    }
    const uint32_t to_skip = skip == 1 ? block_number : 0;
    uint32_t seen = 0;
    uint16_t length = 0;
    uint16_t pending = 0;  // data of the block read last: skipped blocks are never copied
    for (;;) {
        if (pending > 0 && fseek(file, pending, SEEK_CUR) != 0) return 0;
        pending = 0;
        uint16_t tag = 0;
        int32_t read = ms32_read_le16(file, &tag);
        if (read == 1 && tag == kDlfStartTag) read = ms32_read_le16(file, &length);
        if (read != 1) {
            if (read < 0) gs32_log_from("gs32_dlf_get_next_block", "Read Error");
            return 0;
        }
        if (tag == kDlfStartTag) {
            if (++seen > to_skip) break;
            pending = length;
            continue;
        }
        // Not a block. While blocks are still to be skipped, the skip goes on in the next
        // data section; where the block to deliver was expected, the data has ended. The
        // search starts at the two bytes just read, which may begin the next "DATASTART".
        fseek(file, -2, SEEK_CUR);
        if (gs32_dlf_set_startpos(file, 0, max_dataset_size, ask_logger_out) != 0) {
            const unsigned shown = static_cast<unsigned>((tag & 0xff) << 8 | tag >> 8);
            gs32_log_from("gs32_dlf_get_next_block", "Start TAG not found: 0x%x", shown);
            gs32_log_from("gs32_dlf_get_next_block", "Error occured!!!!: %d", -2);
            return 0;
        }
        if (seen >= to_skip) return 0;
    }
    // The piece holds the block without its START_TAG: its length field and its data. It
    // never fills the room to its last byte.
    constexpr uint32_t kLengthField = 2;
    DataBlockPieceSlot piece{out, room - 1};
    char* content = piece.claim(kLengthField + length);
    if (content == nullptr) {
        fseek(file, -static_cast<long>(kDlfBlockHead), SEEK_CUR);
        return -6;
    }
    gv_store_le16(content, length);
    if (fread(content + kLengthField, 1, length, file) != length) {
        gs32_log_from("gs32_dlf_get_next_block",
                      "Block of %u bytes cut short by the end of the file", static_cast<unsigned>(length));
        return 0;
    }
    *length_out = static_cast<uint16_t>(piece.size());
    return -4;
}
