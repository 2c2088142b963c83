// The commands that the worker answers on its own. Results are "<keyword>;<status>\r\n".
#include "jobs/simple_commands.h"

#include <unistd.h>

#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/command_rows.h"
#include "jobs/params.h"
#include "jobs/result_buffer.h"

namespace {

uint8_t g_fwsw_first_call = 1;
uint8_t g_dlts_first_call = 1;


// The shared shape of FWSW and DLTS: decode parameter 1 and apply it on the first call,
// then append the result line until it is stored whole.
int32_t ms32_set_value_command(const char* text, int16_t row, uint8_t* first_call,
                               const char* name, void (*apply)(uint32_t)) {
    if (*first_call) {
        uint32_t value = 0;
        int32_t status = 0;
        if (gs32_ch_nextjob_get_param_u32(1, text, &value) == 0) {
            apply(value);
        } else {
            gs32_log_from(name, "Parameter not found");
            status = -5;
        }
        gu32_ch_format_result_line("%s;%d\r\n", gpc_ch_command_keyword(row), status);
    }
    return gs32_ch_store_result_line(first_call);
}

void mv_apply_wakeup(uint32_t seconds) { gv_ch_set_wakeup_cycle_time(seconds); }
void mv_apply_budget(uint32_t size) { gs32_ch_set_dl_max_transfer_size(size); }

}  // namespace

int32_t ms32_njch_acknowledge(const char* /*text*/, int16_t row) {
    // No work to skip on a repeated call: the same line is formatted again and its rest
    // appended.
    gu32_ch_format_result_line("%s;%d\r\n", gpc_ch_command_keyword(row), 0);
    uint8_t unused_flag = 1;
    return gs32_ch_store_result_line(&unused_flag);
}

int32_t ms32_njch_set_wakeup_cycle_time(const char* text, int16_t row) {
    return ms32_set_value_command(text, row, &g_fwsw_first_call,
                                  "ms32_njch_set_wakeup_cycle_time", mv_apply_wakeup);
}

int32_t ms32_njch_set_dl_max_transfer_size(const char* text, int16_t row) {
    return ms32_set_value_command(text, row, &g_dlts_first_call,
                                  "ms32_njch_set_dl_max_transfer_size", mv_apply_budget);
}

int32_t ms32_njch_syntax_error(const char* /*text*/, int16_t /*row*/) { return 0; }

void gv_njch_reset_simple_commands() {
    g_fwsw_first_call = 1;
    g_dlts_first_call = 1;
}
