// The job line being processed, kept below the interpreter so that command handlers can
// measure their binary parameters without depending on the reader or the CommandTable.
#pragma once

#include <cstdint>

#include "core/heap.h"
#include "jobs/datablock.h"

// How a line was delimited: the form decides where it ends and what the copy holds.
enum class JobLineForm : uint8_t { kOrdinary, kDataBlock, kDbus };

// The line being processed. The copy is zero-terminated; DataBlock and DBUS lines are
// copied through their final CR LF and may hold zero bytes, so length, not the first zero,
// tells where the copy ends.
struct JobLine {
    HeapBuffer text;
    uint32_t capacity = 0;  // bytes allocated for text
    uint32_t length = 0;    // bytes copied, without the terminating zero
    const char* cursor = nullptr;  // the handler's text
    int16_t command = -1;
    uint8_t pending = 0;  // read and looked up; its handler has not finished
    JobLineForm form = JobLineForm::kOrdinary;
    // A DataBlock line's block as the reader walked it; empty for the other forms.
    DataBlockLayout datablock;
};

// The worker's one current line; the reader fills it.
extern JobLine g_job_line;

// The current line, for inspection.
const JobLine* gp_connhandler_job_line();

// Whether p points into the current line's copy (its terminating zero included).
bool gb_ch_in_line(const char* p);

// Number of bytes of the handler's text from text to the end of the current line (zero
// bytes inside included, the terminating zero not). For a text outside the current line
// it is strlen(text). Handlers that read binary data use it to stay inside the line.
uint32_t gu32_ch_text_size(const char* text);
