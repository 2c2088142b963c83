// The JobFileReader: walks the worker's JobFile line by line, finds each line's command in
// the CommandTable and runs its handler, one step per call.
//
// How the connection worker drives it, once per pass of its loop while a job is open:
//   int32_t r = ms32_connhandler_process_nextjob();
//   -4: a line was read, or one handler step ran. If g_worker_state.result.part_ready is
//       set, upload data[0, fill_length) as a part, then set fill_length to 0 and clear
//       part_ready (leave carry_length alone: the next call of the same handler continues
//       the line that did not fit). Then call again.
//    0: the job has ended: count one more part and upload the rest as the final part.
//   -1: the JobFile is malformed (or memory ran out): abandon the job.
// After 0 and -1 the reader starts again at the first line of whatever JobFile the worker
// holds next. When the worker resets it calls gv_connhandler_reset_job_reader() and
// ms32_njch_reset_command_states().
#pragma once

#include <cstdint>

#include "jobs/job_line.h"

// Interpreter step, see above: -4, 0 or -1.
int32_t ms32_connhandler_process_nextjob();

// Reads the next line of the JobFile, looks its command up and makes it pending (-4); a
// line that matches no command is replaced by "SYNTAXERR\r\n". 0 at the end of the job, -1
// on a malformed line; both leave the reader set to start again at the first line.
int32_t ms32_connhandler_get_nextjobFileLine();

// Looks up the command at the current line's cursor and moves the cursor behind the
// keyword: the row, or -10 when no row matches or the line holds too few ';'.
int32_t ms32_connhandler_lookup_command();

// Forgets the pending line and makes the next read start at the first line.
void gv_connhandler_reset_job_reader();
