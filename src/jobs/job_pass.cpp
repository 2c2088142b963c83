// One interpreter pass with its part accounting, and the reset of a job.
#include "jobs/job_pass.h"

#include "connection/worker_state.h"
#include "jobs/command_table.h"
#include "jobs/job_reader.h"
#include "jobs/result_buffer.h"

int32_t gs32_ch_run_job_pass() {
    const int32_t result = ms32_connhandler_process_nextjob();
    if (result == 0) {
        gv_ch_close_final_part();
    } else if (result == -4 && g_worker_state.result.part_ready == 1) {
        return -6;
    }
    return result;
}

void gv_ch_reset_job() {
    ms32_njch_reset_command_states();
    gv_ch_reset_result_buffer();
    g_worker_state.followup_job_ready = 0;
    gv_connhandler_reset_job_reader();
}
