// Position file helpers.
#include "logger/position_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/heap.h"
#include "core/log.h"
#include "core/util.h"
#include "logger/logger_file.h"

namespace {

// The leading decimal digits of text; a value beyond 32 bits is clamped.
uint32_t mu32_leading_digits(const char* text) {
    uint64_t value = 0;
    gu32_leading_digits(text, nullptr, &value);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

}  // namespace

int32_t gs32_write_actual_dlf_pos_to_file(const char* path, uint32_t block_number,
                                          uint32_t byte_offset) {
    if (path == nullptr) return -10;
    UniqueFile file{gp_dlf_open_plain(path, O_WRONLY | O_CREAT | O_TRUNC, "w")};
    // Unsigned, so that a value above 2^31 is not printed negative where long has 32 bits.
    if (!file ||
        fprintf(file.get(), "%lu\r\n%lu\r\n", static_cast<unsigned long>(block_number),
                static_cast<unsigned long>(byte_offset)) < 0 ||
        fflush(file.get()) != 0) {
        gv_dlf_log_failure("gs32_write_actual_dlf_pos_to_file", "write", path);
        return -10;
    }
    return 0;
}

int32_t gs32_read_actual_dlf_pos_from_file(const char* path, uint32_t* block_number_out,
                                           uint32_t* byte_offset_out) {
    if (path == nullptr || block_number_out == nullptr || byte_offset_out == nullptr) {
        return -10;
    }
    UniqueFile file{gp_dlf_open_plain(path, O_RDONLY, "r")};
    if (!file) {
        // No position file is an ordinary start from the data start; anything else is told.
        if (errno != ENOENT) gv_dlf_log_failure("gs32_read_actual_dlf_pos_from_file", "read", path);
        return 0;
    }
    char line[50];
    uint32_t* const outputs[] = {block_number_out, byte_offset_out};
    for (int i = 0; i < 2; ++i) {
        if (fgets(line, sizeof line, file.get()) == nullptr) {
            gs32_log_from("gs32_read_actual_dlf_pos_from_file",
                          "Error occured, read out %d line, byte format!\r\n", i + 1);
            *block_number_out = 0;
            *byte_offset_out = 0;
            return -10;
        }
        *outputs[i] = mu32_leading_digits(line);
    }
    return 0;
}
