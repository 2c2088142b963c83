// The JobFileReader: walks the worker's JobFile line by line, finds each line's command in
// the CommandTable and runs its handler, one step per call.
//
// The connection worker drives it through gs32_ch_run_job_pass (jobs/job_pass.h), which
// adds the accounting of result parts. After 0 and -1 the reader starts again at the first
// line of whatever JobFile the worker holds next.
#pragma once

#include <cstdint>

#include "jobs/job_line.h"

// One interpreter step: -4 a line was read or one handler step ran, 0 the job has ended,
// -1 the JobFile is malformed (or memory ran out).
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
