// A job as the connection worker runs it: one interpreter pass with the part accounting
// around it, and the reset that starts a job afresh.
#pragma once

#include <cstdint>

// One pass of the interpreter (ms32_connhandler_process_nextjob), made once per pass of the
// worker's loop while a job is open:
//   -4  a line was read or a handler step ran, and no part is ready: pass again.
//   -6  the ResultBuffer filled up: its part is ready and is not the last one. Take it
//       (gs32_ch_take_part), upload it, then pass again: the handler goes on where it stopped.
//    0  the job has ended: its last part is closed and ready. Take and upload it.
//   -1  the JobFile is malformed (or memory ran out): abandon the job with gv_ch_reset_job.
int32_t gs32_ch_run_job_pass();

// Every handler back in its first-call state, the ResultBuffer empty with the part numbering
// at 0, no follow-up job, and the reader at the first line of the next JobFile. The worker
// calls it when it starts and whenever it abandons a job.
void gv_ch_reset_job();
