// Reads JobFile lines in their three forms and runs their commands one step per call.
// Every search is bounded by the job data and stops at a zero byte, as a text search
// would, and a line costs time and memory in proportion to itself: nothing beyond it is
// scanned, copied or cleared, and the line buffer is reused from line to line.
#include "jobs/job_reader.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "connection/worker_state.h"
#include "core/log.h"
#include "core/util.h"
#include "jobs/command_rows.h"
#include "jobs/command_table.h"
#include "jobs/datablock.h"

namespace {

// Stands in for a line that matched no command; its lookup finds the SYNTAXERR row.
constexpr char kSyntaxErrorLine[] = "SYNTAXERR\r\n";
constexpr size_t kMinLineCapacity = 256;

struct JobFileReader {
    uint32_t next_line = 0;  // offset of the next line in the job data
    uint8_t restart = 1;     // the next read starts at the first line
};

JobFileReader g_reader;


void mv_release_line(JobLine& line) {
    line.text.reset();
    line.capacity = 0;
    line.length = 0;
    line.cursor = nullptr;
    line.datablock = DataBlockLayout{};
}

// Ends the job: the next read starts again at the first line.
int32_t ms32_reader_fail(const char* message) {
    if (message != nullptr) {
        gs32_log_from("ms32_connhandler_get_nextjobFileLine", "%s", message);
    }
    g_reader.restart = 1;
    g_job_line.pending = 0;
    mv_release_line(g_job_line);
    return -1;
}

bool mb_is_alnum(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Where the line at p leaves the ordinary form: at its first ";DAT" when that comes before
// any CR LF (a DataBlock line), else at its first CR LF. Both null when the text ends (zero
// byte or end of data) first.
struct LineScan {
    const char* dat;
    const char* crlf;
};

LineScan ms_scan_line(const char* p, const char* end) {
    for (; p < end && *p != '\0'; ++p) {
        if (*p == '\r' && end - p >= 2 && p[1] == '\n') return {nullptr, p};
        if (*p == ';' && end - p >= 4 && memcmp(p, ";DAT", 4) == 0) return {p, nullptr};
    }
    return {nullptr, nullptr};
}

// End of a DataBlock line (behind its CR LF) whose ";DAT" is at dat, or null when ']' or
// CR LF is missing or the piece walk leaves the data. The block is recorded in layout_out,
// with offsets from the line's start.
const char* mpc_datablock_line_end(const char* start, const char* dat, const char* end,
                                   DataBlockLayout* layout_out) {
    const auto length = static_cast<uint32_t>(end - start);
    if (!gb_datablock_walk(start, static_cast<uint32_t>(dat - start), length, layout_out)) {
        return nullptr;
    }
    uint32_t pos = layout_out->close + 1;
    while (pos < length && start[pos] == ' ') ++pos;
    if (length - pos < 2 || start[pos] != '\r' || start[pos + 1] != '\n') return nullptr;
    return start + pos + 2;
}

// End of a DBUS line (behind the CR LF that follows its payload), or null after logging
// why. The length field between the fourth and the fifth ';' gives the payload size; the
// ';' are searched as text, so the field may lie beyond the first CR LF.
const char* mpc_dbus_line_end(const char* start, const char* end) {
    const char* separators[5];
    int found = 0;
    for (const char* p = start; p < end && *p != '\0' && found < 5; ++p) {
        if (*p == ';') separators[found++] = p;
    }
    if (found < 5) {
        ms32_reader_fail("NextJob format error");
        return nullptr;
    }
    const size_t field_length = static_cast<size_t>(separators[4] - separators[3] - 1);
    HeapBuffer field{static_cast<char*>(malloc(field_length + 1))};
    if (!field) {
        ms32_reader_fail("Malloc error");
        return nullptr;
    }
    memcpy(field.get(), separators[3] + 1, field_length);
    field.get()[field_length] = '\0';
    // Only the field's leading decimal digits count: blanks, a sign or "0x" end the number
    // (an empty field is 0), and a number beyond the job data cannot be followed by CR LF.
    uint64_t payload_length = 0;
    gu32_leading_digits(field.get(), field.get() + field_length, &payload_length);
    const char* payload = separators[4] + 1;
    const auto available = static_cast<uint64_t>(end - payload);
    if (payload_length > available || available - payload_length < 2 ||
        payload[payload_length] != '\r' || payload[payload_length + 1] != '\n') {
        ms32_reader_fail("No \\r\\n");
        return nullptr;
    }
    return payload + payload_length + 2;
}

// Makes room for a copy of length bytes and its terminator. The buffer only grows while a
// job runs, so a job of short lines allocates once.
bool mb_reserve_line(JobLine& line, size_t length) {
    if (line.text && line.capacity > length) return true;
    size_t capacity = line.capacity * size_t{2};
    if (capacity < length + 1) capacity = length + 1;
    if (capacity < kMinLineCapacity) capacity = kMinLineCapacity;
    line.text.reset();
    line.capacity = 0;
    HeapBuffer fresh{static_cast<char*>(malloc(capacity))};
    if (!fresh) return false;
    line.text = std::move(fresh);
    line.capacity = static_cast<uint32_t>(capacity);
    return true;
}

}  // namespace

int32_t ms32_connhandler_get_nextjobFileLine() {
    JobFileReader& reader = g_reader;
    JobLine& line = g_job_line;
    line.cursor = nullptr;
    line.pending = 0;
    line.datablock = DataBlockLayout{};
    if (reader.restart) {
        reader.next_line = 0;
        reader.restart = 0;
    }
    // A missing buffer counts as an empty JobFile, whatever length was left behind.
    const char* data = g_worker_state.job_data.get();
    const uint32_t job_length = data != nullptr ? g_worker_state.job_length : 0;
    if (reader.next_line >= job_length) {
        reader.restart = 1;
        mv_release_line(line);
        return 0;
    }
    const char* start = data + reader.next_line;
    const char* end = data + job_length;

    const LineScan scan = ms_scan_line(start, end);
    const char* copy_end;  // end of the bytes copied into the line
    const char* next;      // where the next line begins
    if (scan.dat != nullptr) {
        next = mpc_datablock_line_end(start, scan.dat, end, &line.datablock);
        if (next == nullptr) return ms32_reader_fail(nullptr);
        copy_end = next;
        line.form = JobLineForm::kDataBlock;
    } else if (end - start >= 4 && memcmp(start, "DBUS", 4) == 0) {
        next = mpc_dbus_line_end(start, end);
        if (next == nullptr) return -1;
        copy_end = next;
        line.form = JobLineForm::kDbus;
    } else {
        if (scan.crlf == nullptr) return ms32_reader_fail("Syntax error");
        copy_end = scan.crlf;
        next = scan.crlf + 2;
        line.form = JobLineForm::kOrdinary;
    }

    const size_t length = static_cast<size_t>(copy_end - start);
    if (!mb_reserve_line(line, length)) {
        return ms32_reader_fail("Can not allocate space for new line");
    }
    memcpy(line.text.get(), start, length);
    line.text.get()[length] = '\0';
    line.length = static_cast<uint32_t>(length);
    reader.next_line = static_cast<uint32_t>(next - data);

    line.cursor = line.text.get();
    line.pending = 1;
    int32_t row = ms32_connhandler_lookup_command();
    if (row < 0) {
        line.cursor = kSyntaxErrorLine;
        row = ms32_connhandler_lookup_command();
    }
    line.command = static_cast<int16_t>(row);
    return -4;
}

int32_t ms32_connhandler_lookup_command() {
    JobLine& line = g_job_line;
    const char* cursor = line.cursor;
    if (cursor == nullptr) return -10;
    while (*cursor == ' ') ++cursor;
    line.cursor = cursor;

    int16_t row = -1;
    if (*cursor == '#' || (cursor[0] == '\r' && cursor[1] == '\n')) {
        // A comment: the cursor stays at the '#'.
        for (int16_t i = 0; i < g_command_count && row < 0; ++i) {
            if (strcmp(g_command_table[i].keyword, "#") == 0) row = i;
        }
    } else {
        for (int16_t i = 0; i < g_command_count; ++i) {
            const char* keyword = g_command_table[i].keyword;
            const size_t n = strlen(keyword);
            // A match needs n bytes before any zero, so cursor[n] is still inside the text.
            if (strncmp(cursor, keyword, n) == 0 && !mb_is_alnum(cursor[n])) {
                row = i;
                cursor += n;
                break;
            }
        }
    }
    if (row < 0) return -10;
    line.cursor = cursor;

    // Every line counts the ';' behind the keyword up to the first zero byte, DataBlock
    // lines too. The one exception is a KFSV DataBlock: its binary pieces stand for its
    // parameters, and their bytes may hold no ';' before a zero, so the count would drop a
    // line that the handler expects.
    const bool kfsv_block = row == kKfsvRow && line.form == JobLineForm::kDataBlock &&
                            gb_ch_in_line(cursor);
    if (!kfsv_block) {
        uint32_t separators = 0;
        for (const char* p = cursor; *p != '\0'; ++p) {
            if (*p == ';') ++separators;
        }
        if (separators < g_command_table[row].min_separators) return -10;
    }
    return row;
}

int32_t ms32_connhandler_process_nextjob() {
    JobLine& line = g_job_line;
    if (!line.pending) return ms32_connhandler_get_nextjobFileLine();

    const int16_t row = line.command;
    const CommandHandler handler =
        row >= 0 && row < g_command_count ? g_command_table[row].handler : nullptr;
    if (handler == nullptr) {
        gs32_log_printf("%d: ms32_connhandler_process_nextjob", static_cast<int>(getpid()));
        line.pending = 0;
        return -4;
    }
    if (handler(line.cursor, row) != -4) line.pending = 0;
    return -4;
}

void gv_connhandler_reset_job_reader() {
    g_reader.restart = 1;
    g_job_line.pending = 0;
    g_job_line.command = -1;
    mv_release_line(g_job_line);
}
