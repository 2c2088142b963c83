// DLGN and DLCN over the LoggerFile reader. A DLGN command is one setup call and block calls,
// each returning -4 until the answer's DataBlock is closed; every call's output goes through
// the ResultLineBuffer and the re-call protocol of a full ResultBuffer.
#include "logger/logger_commands.h"

#include <fcntl.h>

#include <cstdio>
#include <cstring>

#include "bus/dbus.h"
#include "bus/method_call.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "core/util.h"
#include "jobs/command_rows.h"
#include "jobs/datablock.h"
#include "jobs/params.h"
#include "jobs/result_buffer.h"
#include "logger/logger_client.h"
#include "logger/logger_file.h"
#include "logger/position_file.h"

namespace {

DlgnState g_dlgn;
uint8_t g_dlcn_first_call = 1;

constexpr const char* kDlgn = "ms32_njch_dl_get_by_name";
constexpr const char* kDlcn = "ms32_njch_dl_clear_by_name";
constexpr uint32_t kNameField = sizeof DlgnState{}.logger_name;
// The LoggerFile's path as the logger or the intermediary answers it.
constexpr uint32_t kRequestPathSize = 512;
static_assert(kNameField == 16, "the head piece carries 16 name bytes");

ResultLineBuffer& line_buffer() { return g_worker_process.result_line; }

// Where the logger service or the intermediary daemon put the LoggerFile.
int32_t ms32_dlf_fetch_path(const char* name, char* path) {
    const BusContext* context = gp_dbus_own_context();
    const char* middle = gpc_ch_get_man_in_the_middle();
    if (middle != nullptr && middle[0] != '\0') {
        return gs32_dbus_request_string(context, middle, "GetLoggerDLGN", name, path,
                                        static_cast<int32_t>(kRequestPathSize));
    }
    return gs32_tulvad_RequestDLF(context, name, path, kRequestPathSize);
}

// The dataset size from the logger, for a working copy that ends behind its data start (the
// reader cannot see the size there).
void mv_dlgn_ask_dataset_size() {
    uint32_t size = 0;
    if (ms32_connhandler_request_max_dataset_size(g_dlgn.logger_name, &size) == 0 && size != 0) {
        g_dlgn.max_dataset_size = size;
        return;
    }
    gs32_log_from("ms32_dlf_get_max_dataset_size", "No valid max dataset size received");
    gs32_log_from("gs32_dlf_set_startpos", "Error can't set max dataset size");
    g_dlgn.max_dataset_size = 0;
}

// The logger name of parameter 1: decoded, not empty and one file name component (it
// becomes part of the working copy's path).
bool mb_decode_name(const char* text, char* name, const char* who) {
    if (gs32_ch_nextjob_get_param_str(1, text, name, kNameField) == 0 && name[0] != '\0' &&
        strchr(name, '/') == nullptr) {
        return true;
    }
    gs32_log_from(who, "Parameter 1 not found");
    memset(name, 0, kNameField);
    return false;
}

// Removes a working copy or position file that is a regular file of its own; a link in its
// place is left alone and logged.
void mv_remove_plain(const char* path, const char* who) {
    if (gs32_dlf_check_entry(path, who) != 0 || !gs32_dlf_is_plain_file(path)) return;
    if (remove(path) != 0) gv_dlf_log_failure(who, "remove", path);
}

// Appends the pending output; a full ResultBuffer keeps the status for the repeated call.
int32_t ms32_output_end(int32_t status) {
    if (gs32_ch_store_result_line(&g_dlgn.first_call) == -4) {
        g_dlgn.saved_status = status;
        return -4;
    }
    return status;
}

// Ends the command with status; the next call starts a new command.
int32_t ms32_dlgn_stop(int32_t status) {
    g_dlgn.new_command = 1;
    g_dlgn.file.reset();
    return status;
}

// A setup that failed: its answer is the keyword (at used) and ";<status>\r\n".
int32_t ms32_failure_end(uint32_t used, int32_t status) {
    ResultLineBuffer& out = line_buffer();
    const int n = snprintf(out.data.get() + used, out.capacity - used, ";%d\r\n", status);
    out.pending_length = used + static_cast<uint32_t>(n);
    return ms32_dlgn_stop(status);
}

// The end of the file or of the budget: the resume point is kept when a budget is in force,
// and a spent budget has the next connection cycle start at once.
int32_t ms32_normal_end(DataBlockWriter& answer, bool budget_spent) {
    DlgnState& s = g_dlgn;
    s.new_command = 1;
    s.finished = 1;
    s.bytes_delivered = 0;
    if (s.transfer_size != 0) {
        const long position = ftell(s.file.get());
        uint32_t offset = position > 0 ? static_cast<uint32_t>(position) : 0;
        if (budget_spent) {
            s.finished = 0;
            gv_ch_request_next_cycle();
            // The full block just read was dropped: the next command reads it again.
            if (offset >= s.max_dataset_size) offset -= s.max_dataset_size;
        }
        s.saved_offset = offset;
        s.saved_block = s.block_number;
    }
    answer.close(0);
    s.file.reset();
    return 0;
}

// The resume point for this command, from memory or from the position file. -10 when the
// point in memory cannot be recorded: the command must not deliver blocks that a restart
// would deliver again.
int32_t ms32_dlgn_resume_point() {
    DlgnState& s = g_dlgn;
    if (s.transfer_size == 0) {
        s.saved_block = 0;
        s.saved_offset = 0;
    } else if (s.saved_block != 0 && s.saved_offset != 0) {
        return gs32_write_actual_dlf_pos_to_file(s.pos_path, s.saved_block, s.saved_offset);
    } else if (gs32_read_actual_dlf_pos_from_file(s.pos_path, &s.saved_block,
                                                  &s.saved_offset) != 0) {
        gs32_log_from(kDlgn, "Can't read out stored actual pos, reset to zero");
        s.saved_block = 0;
        s.saved_offset = 0;
    }
    return 0;
}

// Whether the connection's allow-list lets the server reach logger name; logged when not.
bool mb_logger_allowed(const char* name, const char* handler) {
    if (gb_allowed_name(gpc_ch_get_allow_list(kAllowLogger), name)) return true;
    gs32_log_from(handler, "%s not allowed", LogSafe(name).text);
    return false;
}

// The setup call: parameters, the working copy (a new one when there is none), the budget,
// the resume point, the data start, and the head of the DataBlock behind the keyword.
int32_t ms32_dlgn_setup(const char* text, int16_t row) {
    DlgnState& s = g_dlgn;
    memset(s.logger_name, 0, sizeof s.logger_name);
    const uint32_t used = gu32_ch_format_result_line("%s", gpc_ch_command_keyword(row));
    if (!mb_decode_name(text, s.logger_name, kDlgn)) return ms32_failure_end(used, -5);
    if (!mb_logger_allowed(s.logger_name, kDlgn)) return ms32_failure_end(used, -5);
    uint32_t block_offset = 0;
    if (gs32_ch_nextjob_get_param_u32(4, text, &block_offset) != 0) {
        gs32_log_from(kDlgn, "Parameter 4 not found");
        return ms32_failure_end(used, -5);
    }
    const char* folder = gpc_ch_get_server_exchange_folder();
    char copy_path[kDlfPathSize];
    if (gs32_dlf_working_paths(folder, s.logger_name, copy_path, s.pos_path) != 0) {
        return ms32_failure_end(used, -5);
    }
    // Nothing in an unsafe or unwritable folder is touched, and no logger is asked for a
    // file that could not be taken over.
    if (gs32_dlf_check_folder(folder, 1, 1, kDlgn) != 0 ||
        gs32_dlf_check_entry(copy_path, kDlgn) != 0 ||
        gs32_dlf_check_entry(s.pos_path, kDlgn) != 0) {
        return ms32_failure_end(used, -10);
    }
    if (block_offset == 0 && s.finished) {
        mv_remove_plain(copy_path, kDlgn);
        mv_remove_plain(s.pos_path, kDlgn);
        s.finished = 0;
        s.saved_block = 0;
        s.saved_offset = 0;
    }
    if (!gs32_dlf_is_plain_file(copy_path) && !gs32_dlf_is_plain_file(s.pos_path)) {
        const int32_t requested = gs32_dlf_request(s.logger_name);
        if (requested != 0) return ms32_failure_end(used, requested);
        // A resume point in memory belonged to the working copy that is gone.
        s.saved_block = 0;
        s.saved_offset = 0;
    }
    const uint32_t transfer_size = static_cast<uint32_t>(gs32_ch_get_dl_max_transfer_size());
    if (transfer_size != s.transfer_size) {
        s.transfer_size = transfer_size;
        if (gs32_ch_send_max_transfer_size(gp_dbus_own_context(), s.logger_name,
                                           transfer_size) != 0) {
            gs32_log_from(kDlgn, "Error sending max transfer size");
        }
    }
    if (ms32_dlgn_resume_point() != 0) return ms32_failure_end(used, -10);
    s.file.reset(gp_dlf_open_plain(copy_path, O_RDONLY, "rb"));
    if (!s.file) {
        gv_dlf_log_failure(kDlgn, "open", copy_path);
        return ms32_failure_end(used, -5);
    }
    uint8_t ask_logger = 0;
    const int32_t start = gs32_dlf_set_startpos(s.file.get(), 1, &s.max_dataset_size,
                                                &ask_logger);
    if (ask_logger) mv_dlgn_ask_dataset_size();
    if (start != 0) {
        gs32_log_from(kDlgn, "Can't get startpos, delete actual tmp file");
        s.finished = 1;
        return ms32_failure_end(used, start);
    }
    if (block_offset != 0) {
        s.skip = 1;
    } else if (s.saved_block != 0 || s.saved_offset != 0) {
        fseek(s.file.get(), static_cast<long>(s.saved_offset), SEEK_SET);
        s.skip = 0;
    } else {
        s.skip = 1;
    }
    // Saturating: an offset beyond the file only means that every block is skipped.
    s.block_number = block_offset > UINT32_MAX - s.saved_block ? UINT32_MAX
                                                                : s.saved_block + block_offset;
    DataBlockWriter answer{line_buffer()};
    answer.open(gpc_ch_command_keyword(row), "DLN");
    answer.put_piece(s.logger_name, kNameField);
    s.new_command = 0;
    return -4;
}

// A block call: as many pieces as the answer's room takes, filled from the buffer's start.
int32_t ms32_dlgn_blocks() {
    DlgnState& s = g_dlgn;
    DataBlockWriter answer{line_buffer()};
    answer.resume();
    bool delivered = false;  // a block went into this call's output
    for (;;) {
        uint16_t length = 0;
        uint8_t ask_logger = 0;
        int32_t r = gs32_dlf_get_next_block(s.file.get(), s.block_number, s.skip,
                                            answer.free_bytes(), answer.room(), &length,
                                            &s.max_dataset_size, &ask_logger);
        if (ask_logger) mv_dlgn_ask_dataset_size();
        s.skip = 0;
        if (r == -4 && s.transfer_size != 0 && s.bytes_delivered >= s.transfer_size &&
            length == s.max_dataset_size) {
            return ms32_normal_end(answer, true);  // the full block just read is dropped
        }
        if (r == -4) {
            answer.commit(length);
            delivered = true;
            s.bytes_delivered += length;
            s.block_number += 1;
            continue;
        }
        if (r == 0) {
            // The end of the data counts as a block too: a later DLGN with an offset n skips
            // n blocks past the one the finished file was counted to.
            if (s.block_number != UINT32_MAX) s.block_number += 1;
            return ms32_normal_end(answer, false);
        }
        if (r == -6 && delivered) return -4;  // the next call goes on with an empty buffer
        if (r == -6) {
            gs32_log_from(kDlgn, "Block larger than the result line, download ended");
        }
        answer.close(r);
        return ms32_dlgn_stop(r);
    }
}

int32_t ms32_dlcn_clear(const char* text) {
    char name[kNameField] = {};
    if (!mb_decode_name(text, name, kDlcn)) return -5;
    if (!mb_logger_allowed(name, kDlcn)) return -5;
    const char* folder = gpc_ch_get_server_exchange_folder();
    char copy_path[kDlfPathSize];
    char pos_path[kDlfPathSize];
    if (gs32_dlf_working_paths(folder, name, copy_path, pos_path) != 0) return -5;
    // A missing folder holds nothing to remove; an unsafe one is not touched.
    if (gs32_dlf_check_folder(folder, 0, 0, kDlcn) != 0) return -10;
    mv_remove_plain(copy_path, kDlcn);
    mv_remove_plain(pos_path, kDlcn);
    const char* middle = gpc_ch_get_man_in_the_middle();
    if (middle != nullptr && middle[0] != '\0') {
        return gs32_dbus_send_signal(gp_dbus_own_context(), middle, "ClearLoggerDLCN", name);
    }
    return gs32_tulvad_DeleteLF(gp_dbus_own_context(), name, 1);
}

}  // namespace

int32_t gs32_dlf_request(const char* name) {
    if (name == nullptr) return -10;
    char path[kRequestPathSize] = {};
    if (ms32_dlf_fetch_path(name, path) != 0) return -10;
    return gs32_dlf_take_over(path, name, gpc_ch_get_server_exchange_folder());
}

int32_t ms32_njch_dl_get_by_name(const char* text, int16_t row) {
    if (!g_dlgn.first_call) {
        return gs32_ch_store_result_line(&g_dlgn.first_call) == -4 ? -4 : g_dlgn.saved_status;
    }
    ResultLineBuffer& out = line_buffer();
    if (text == nullptr || !out.data || out.capacity < kMinResultLineCapacity) return -1;
    const int32_t status = g_dlgn.new_command ? ms32_dlgn_setup(text, row) : ms32_dlgn_blocks();
    return ms32_output_end(status);
}

int32_t ms32_njch_dl_clear_by_name(const char* text, int16_t row) {
    if (g_dlcn_first_call) {
        const int32_t status = text != nullptr ? ms32_dlcn_clear(text) : -5;
        gu32_ch_format_result_line("%s;%d\r\n", gpc_ch_command_keyword(row), status);
    }
    return gs32_ch_store_result_line(&g_dlcn_first_call);
}

void gv_njch_reset_logger_commands() {
    g_dlgn = DlgnState{};
    g_dlcn_first_call = 1;
}

const DlgnState& gr_njch_dlgn_state() { return g_dlgn; }
