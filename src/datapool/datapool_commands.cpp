// KFGV and KFSV over datapool 0. Every variable access asks the service for the base
// directory and reloads the tables, so each access sees the DatapoolListFiles as they are.
#include "datapool/datapool_commands.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bus/dbus.h"
#include "connection/worker_state.h"
#include "core/heap.h"
#include "core/log.h"
#include "core/util.h"
#include "datapool/datapool.h"
#include "datapool/datapool_client.h"
#include "jobs/command_rows.h"
#include "jobs/datablock.h"
#include "jobs/params.h"
#include "jobs/result_buffer.h"

namespace {

KfgvState g_kfgv;
KfsvState g_kfsv;

constexpr uint32_t kBasePathSize = 512;
constexpr uint16_t kHeadPieceLength = 24;
constexpr uint16_t kRequestHeader = 16;
constexpr uint16_t kVarRefSize = 2;


// The datapool service on the worker's bus.
int32_t ms32_base_path_from_service(char* buffer, uint32_t size) {
    return gs32_dp_get_base_path(gp_dbus_own_context(), buffer, size);
}

DpBasePathSource g_base_path_source = ms32_base_path_from_service;

// Variable preparation: base directory, both loads, the variable's info. -1 after logging
// the failed step with the operation's name (the value pass writes its info failure
// without the blank after the colon, as servers' log scanners expect).
// A variable outside the connection's allow-list (kind) counts as one that is not there.
int32_t ms32_prepare(const char* who, uint8_t list, uint8_t var, VarInfo* info,
                     AllowKind kind) {
    char base[kBasePathSize];
    const char* failed = nullptr;
    if (g_base_path_source(base, sizeof base) != 0) {
        failed = "Can't get DP base path";
    } else if (gs32_dp_load_names(base) != 0) {
        failed = "Can't load DP names";
    } else if (gs32_dp_load(0, base) != 0) {
        failed = "Can't load DP";
    } else if (gs32_dp_get_var_info(0, list, var, info) != 0) {
        const bool tight = strcmp(who, "ms32_njch_get_variable") == 0;
        gs32_log_printf(tight ? "%d:%s: Can't get Var Info" : "%d: %s: Can't get Var Info",
                        static_cast<int>(getpid()), who);
        return -1;
    } else {
        const char* list_name = gr_dp_table().pools[0].lists[list].name;
        if (!gb_allowed_pair(gpc_ch_get_allow_list(kind), list_name, info->name)) {
            gs32_log_from(kind == kAllowKfgv ? "ms32_njch_get_var_value" : "ms32_njch_set_var_value",
                          "%s.%s not allowed", LogSafe(list_name).text, LogSafe(info->name).text);
            return -1;
        }
    }
    if (failed == nullptr) return 0;
    gs32_log_from(who, "%s", failed);
    return -1;
}

ResultLineBuffer& line_buffer() { return g_worker_process.result_line; }

// Appends the pending output. A full ResultBuffer parks the command in the resuming mode
// with status kept; otherwise the status is the answer.
int32_t ms32_append(uint8_t* first_call, int32_t* saved_status, int32_t status) {
    if (gs32_ch_store_result_line(first_call) == -4) {
        *saved_status = status;
        return -4;
    }
    return status;
}

// The rest of an output cut by a full ResultBuffer.
int32_t ms32_resume(uint8_t* first_call, int32_t saved_status) {
    return gs32_ch_store_result_line(first_call) == -4 ? -4 : saved_status;
}

// Sizing pass over the request: each reference's variable prepared, T grown by its entry.
// The first piece must hold at least one whole reference and be the only piece: answering
// later pieces' references, or counting them into T without answering them, would make T
// and D disagree with the bytes sent.
int32_t ms32_njch_get_size_of_variable(const char* text) {
    DataBlockPieces pieces;
    DataBlockPiece request;
    if (!gb_datablock_at(text, &pieces) || !pieces.next(&request) ||
        request.length <= kRequestHeader || (request.length - kRequestHeader) % 2 != 0) {
        return -1;
    }
    if (pieces.count() > 1) {
        gs32_log_from("ms32_njch_get_size_of_variable", "More than one piece");
        return -1;
    }
    uint32_t total = g_kfgv.total;
    for (uint16_t at = kRequestHeader; at < request.length; at += kVarRefSize) {
        const char* ref = request.data + at;
        VarInfo info{};
        if (ms32_prepare("ms32_njch_get_size_of_variable", static_cast<uint8_t>(ref[1]),
                         static_cast<uint8_t>(ref[0]), &info, kAllowKfgv) != 0) {
            return -1;
        }
        total += kVarRefSize + static_cast<uint32_t>(info.size);
        if (total > 0xffff) {
            // T and D are 16 bits on the wire: a longer answer could not say its length.
            gs32_log_from("ms32_njch_get_size_of_variable", "Answer too long");
            return -1;
        }
    }
    g_kfgv.total = static_cast<uint16_t>(total);
    g_kfgv.request = request;
    return 0;
}

// The head: the answer's first piece (the request header, T, the time stamp's size and the
// time stamp) and the length D of the second piece, whose entries follow in later calls.
void mv_kfgv_head() {
    DataBlockWriter answer{line_buffer()};
    answer.resume();
    char head[kHeadPieceLength];
    memcpy(head, g_kfgv.request.data, kRequestHeader);
    gv_store_le16(head + kRequestHeader, g_kfgv.total);
    gv_store_le16(head + kRequestHeader + 2, 4);
    gv_store_le32(head + kRequestHeader + 4, static_cast<uint32_t>(time(nullptr)));
    answer.put_piece(head, kHeadPieceLength);
    answer.begin_piece(static_cast<uint16_t>(g_kfgv.total - 6));
    g_kfgv.position = 0;
    g_kfgv.first_piece = 0;
}

// Numbers of the datapool (native order) turned little-endian by type id.
bool mb_to_wire(int32_t type_id, char* value, int32_t size) {
    const uint8_t convert = gu8_host_is_big_endian();
    switch (type_id) {
        case 1: case 2: case 8: case 9:
            return true;
        case 3: case 4: {
            if (size < 2) return false;
            uint16_t v;
            memcpy(&v, value, 2);
            v = gu16_swap_bytes(v, convert);
            memcpy(value, &v, 2);
            return true;
        }
        case 5: case 6: {
            if (size < 4) return false;
            uint32_t v;
            memcpy(&v, value, 4);
            v = gu32_swap_bytes(v, convert);
            memcpy(value, &v, 4);
            return true;
        }
        case 7: {
            if (size < 4) return false;
            float v;
            memcpy(&v, value, 4);
            v = gf32_swap_bytes(convert, v);
            memcpy(value, &v, 4);
            return true;
        }
        default:
            return false;
    }
}

// The value pass: entries from position on, as many as the answer's room takes. -4 when the
// room is used up and entries remain.
int32_t ms32_njch_get_variable() {
    DataBlockWriter answer{line_buffer()};
    answer.resume();
    g_kfgv.step = 0;
    const char* refs = g_kfgv.request.data + kRequestHeader;
    const uint32_t ref_bytes = g_kfgv.request.length - kRequestHeader;
    uint32_t entries = 0;
    int32_t status = 0;
    while (g_kfgv.position < ref_bytes) {
        const char* ref = refs + g_kfgv.position;
        VarInfo info{};
        if (ms32_prepare("ms32_njch_get_variable", static_cast<uint8_t>(ref[1]),
                         static_cast<uint8_t>(ref[0]), &info, kAllowKfgv) != 0) {
            status = -1;
            break;
        }
        const uint32_t size = static_cast<uint32_t>(info.size);
        if (uint64_t{kVarRefSize} + size > answer.room()) {
            if (entries == 0) {
                // Not even alone in an empty buffer: waiting would never help.
                gs32_log_from("ms32_njch_get_variable", "Variable too large");
                status = -1;
                break;
            }
            g_kfgv.step = 1;
            status = -4;
            break;
        }
        HeapBuffer work{static_cast<char*>(malloc(size))};
        if (!work) {
            status = -1;
            break;
        }
        if (gs32_dp_get_variable(0, static_cast<uint8_t>(ref[1]), static_cast<uint8_t>(ref[0]),
                                 work.get(), size) != 0) {
            gs32_log_from("ms32_njch_get_variable", "Can't get Variable");
            status = -1;
            break;
        }
        if (!mb_to_wire(info.type_id, work.get(), info.size)) {
            gs32_log_from("ms32_njch_get_variable", "No kind of variable type");
            status = -1;
            break;
        }
        answer.put(ref, kVarRefSize);
        answer.put(work.get(), size);
        ++entries;
        g_kfgv.position = static_cast<uint16_t>(g_kfgv.position + kVarRefSize);
    }
    if (status != -4) answer.close(status);
    return status;
}

int32_t ms32_kfgv_start(const char* text, int16_t row) {
    g_kfgv.first_piece = 1;
    g_kfgv.total = 6;
    int32_t status = -4;
    if (strncmp(text, ";DAT[", 5) != 0) {
        g_kfgv.step = 2;
    } else if (strncmp(text + 5, "VL1", 3) != 0) {
        gs32_log_from("ms32_njch_get_var_value", "Unknown Mode");
        status = -1;
    } else if (ms32_njch_get_size_of_variable(text) != 0) {
        status = -1;
    } else {
        g_kfgv.step = 1;
    }
    if (status == -1) g_kfgv.step = 0;
    DataBlockWriter answer{line_buffer()};
    answer.open(gpc_ch_command_keyword(row), "VL1");
    if (status == -1) answer.close(-1);
    return status;
}

}  // namespace

int32_t ms32_njch_get_var_value(const char* text, int16_t row) {
    if (!g_kfgv.first_call) return ms32_resume(&g_kfgv.first_call, g_kfgv.saved_status);
    if (text == nullptr || !line_buffer().data) return -1;
    int32_t status;
    if (g_kfgv.step == 0) {
        status = ms32_kfgv_start(text, row);
    } else if (g_kfgv.step == 1 && g_kfgv.first_piece) {
        mv_kfgv_head();
        status = -4;
    } else if (g_kfgv.step == 1) {
        status = ms32_njch_get_variable();
    } else {
        g_kfgv.step = 0;
        DataBlockWriter answer{line_buffer()};
        answer.resume();
        answer.close(-1);
        status = -1;
    }
    return ms32_append(&g_kfgv.first_call, &g_kfgv.saved_status, status);
}

int32_t ms32_njch_set_dp_var(uint8_t list, uint8_t var, const void* data, uint32_t length) {
    VarInfo info{};
    if (ms32_prepare("ms32_njch_set_dp_var", list, var, &info, kAllowKfsv) != 0) return -1;
    if (static_cast<uint32_t>(info.size) != length) {
        gs32_log_from("ms32_njch_set_dp_var", "Var have wrong size: %ld != %d",
                      static_cast<long>(info.size), static_cast<int>(length));
        return -1;
    }
    if (gs32_dp_set_variable(0, list, var, data, length) != 0) {
        gs32_log_from("ms32_njch_set_dp_var", "Can't set Variable");
        return -1;
    }
    return 0;
}

namespace {

// Step 0: which form, and for a DataBlock whether it is the line's. -4 to go on.
int32_t ms32_kfsv_start(const char* text) {
    g_kfsv.param_index = 1;
    if (strncmp(text, ";DAT[", 5) != 0) {
        g_kfsv.step = 2;
        return -4;
    }
    if (strncmp(text + 5, "VL2", 3) != 0) return -1;
    if (!gb_datablock_at(text, &g_kfsv.pieces)) return -1;
    g_kfsv.step = 1;
    return -4;
}

// Step 1: one binary piece (variable index, list index, the value's bytes unchanged).
int32_t ms32_kfsv_piece() {
    g_kfsv.step = 0;
    DataBlockPiece piece;
    if (!g_kfsv.pieces.next(&piece)) return 0;
    if (piece.length < kVarRefSize) {
        gs32_log_from("ms32_njch_set_var_value", "Piece of %u bytes holds no variable reference",
                      static_cast<unsigned>(piece.length));
        return -1;
    }
    if (ms32_njch_set_dp_var(static_cast<uint8_t>(piece.data[1]),
                             static_cast<uint8_t>(piece.data[0]), piece.data + kVarRefSize,
                             piece.length - kVarRefSize) != 0) {
        return -1;
    }
    g_kfsv.step = 1;
    return -4;
}

// Step 2: one text pair; a reference that does not decode ends the list.
int32_t ms32_kfsv_pair(const char* text) {
    g_kfsv.step = 0;
    uint16_t reference = 0;
    if (gs32_ch_nextjob_get_param_u16(g_kfsv.param_index, text, &reference) != 0) return 0;
    uint32_t value = 0;
    if (gs32_ch_nextjob_get_param_u32(static_cast<uint16_t>(g_kfsv.param_index + 1), text,
                                      &value) != 0) {
        gs32_log_from("ms32_njch_set_var_value", "Can't get value");
        return -1;
    }
    if (ms32_njch_set_dp_var(static_cast<uint8_t>(reference >> 8),
                             static_cast<uint8_t>(reference & 0xff), &value, 4) != 0) {
        return -1;
    }
    g_kfsv.param_index = static_cast<uint16_t>(g_kfsv.param_index + 2);
    g_kfsv.step = 2;
    return -4;
}

}  // namespace

int32_t ms32_njch_set_var_value(const char* text, int16_t row) {
    if (!g_kfsv.first_call) return ms32_resume(&g_kfsv.first_call, g_kfsv.saved_status);
    if (text == nullptr) return -1;
    int32_t status;
    if (g_kfsv.step == 1) {
        status = ms32_kfsv_piece();
    } else if (g_kfsv.step == 2) {
        status = ms32_kfsv_pair(text);
    } else {
        status = ms32_kfsv_start(text);
    }
    if (status == -4) return -4;  // more to do, nothing to answer yet
    gu32_ch_format_result_line("%s;%d\r\n", gpc_ch_command_keyword(row), status);
    return ms32_append(&g_kfsv.first_call, &g_kfsv.saved_status, status);
}

void gv_njch_set_dp_base_path_source(DpBasePathSource source) {
    g_base_path_source = source != nullptr ? source : ms32_base_path_from_service;
}

void gv_njch_reset_datapool_commands() {
    g_kfgv = KfgvState{};
    g_kfsv = KfsvState{};
}
