// The append into the ResultBuffer and the handlers' re-call protocol around it.
#include "jobs/result_buffer.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/log.h"

namespace {
}  // namespace

int32_t gs32_ch_cp_to_result_buffer(const char* data, uint32_t length) {
    ResultBuffer& buffer = g_worker_state.result;
    if (!buffer.data || buffer.capacity < kMinResultCapacity ||
        (data == nullptr && length > 0)) {
        gs32_log_from("gs32_ch_cp_to_result_buffer", "No result buffer");
        return -1;
    }
    // Two bytes are always kept free at the end of a part.
    const uint32_t limit = buffer.capacity - 2;
    // The remembered stored part is longer than this output: it cannot be its rest.
    if (buffer.carry_length > length) {
        gs32_log_from("gs32_ch_cp_to_result_buffer", "Warning, overflow.");
        buffer.carry_length = 0;
        return 0;
    }
    const uint32_t rest = length - buffer.carry_length;
    if (static_cast<uint64_t>(buffer.fill_length) + rest <= limit) {
        memcpy(buffer.data.get() + buffer.fill_length, data + buffer.carry_length, rest);
        buffer.fill_length += rest;
        buffer.carry_length = 0;
        return 0;
    }
    const uint32_t room = buffer.fill_length < limit ? limit - buffer.fill_length : 0;
    memcpy(buffer.data.get() + buffer.fill_length, data + buffer.carry_length, room);
    buffer.fill_length = limit;
    buffer.carry_length += room;
    buffer.part_number += 1;
    buffer.part_ready = 1;
    g_worker_process.final_part = 0;  // the rest of this output follows in a later part
    return -6;
}

void gv_ch_close_final_part() {
    ResultBuffer& buffer = g_worker_state.result;
    buffer.part_number += 1;
    buffer.part_ready = 1;
    g_worker_process.final_part = 1;
}

int32_t gs32_ch_take_part(ResultPart* out) {
    ResultBuffer& buffer = g_worker_state.result;
    if (buffer.part_ready != 1 || out == nullptr) return -1;
    const bool final = g_worker_process.final_part != 0;
    *out = ResultPart{buffer.data.get(), buffer.fill_length, buffer.part_number, final};
    // The bytes stay where they are: nothing is appended before the upload has ended.
    buffer.part_ready = 0;
    buffer.fill_length = 0;
    if (final) buffer.part_number = 0;
    return 0;
}

uint32_t gu32_ch_format_result_line(const char* format, ...) {
    ResultLineBuffer& line = g_worker_process.result_line;
    line.pending_length = 0;
    if (!line.data || line.capacity == 0) return 0;
    va_list args;
    va_start(args, format);
    const int written = vsnprintf(line.data.get(), line.capacity, format, args);
    va_end(args);
    if (written > 0) {
        line.pending_length = static_cast<uint32_t>(written) < line.capacity
                                  ? static_cast<uint32_t>(written)
                                  : line.capacity - 1;
    }
    return line.pending_length;
}

int32_t gs32_ch_store_result_line(uint8_t* first_call) {
    const ResultLineBuffer& line = g_worker_process.result_line;
    const int32_t result = gs32_ch_cp_to_result_buffer(line.data.get(), line.pending_length);
    if (result == -6) {
        *first_call = 0;
        return -4;
    }
    *first_call = 1;
    return 0;
}
