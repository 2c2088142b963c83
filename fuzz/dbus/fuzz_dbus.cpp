// Feeds arbitrary parameter bytes through the decode and the name forming of a DBUS line,
// and through the DBUS handler over the bus library without a connection: every send fails
// there as on a lost bus, so the handler's whole path runs without a bus.
//
// Input: byte 0 chooses the ResultBuffer's capacity (3 to 66 bytes, so that result lines
// are split across parts); the rest is the handler's text, copied into the current job line
// as the reader would.
//
// Besides the sanitizers it checks: a decoded payload is the bytes behind the fifth ';',
// followed by CR LF inside the line; the names fit their fields exactly when the target has
// at most 47 characters, and are the target's; the result line is -5 exactly when the decode
// or the names fail and -1 otherwise (nothing can be sent); and the same bytes whether the
// line was stored in one part or split across many.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/command_rows.h"
#include "jobs/dbus_command.h"
#include "jobs/job_line.h"
#include "jobs/result_buffer.h"

namespace {

void mv_check(bool condition) {
    if (!condition) abort();
}

void mv_set_line(const uint8_t* text, size_t size) {
    JobLine& line = g_job_line;
    line.text.reset(static_cast<char*>(calloc(size + 5, 1)));
    mv_check(line.text != nullptr);
    memcpy(line.text.get(), "DBUS", 4);
    memcpy(line.text.get() + 4, text, size);
    line.capacity = static_cast<uint32_t>(size + 5);
    line.length = static_cast<uint32_t>(size + 4);
    line.cursor = line.text.get() + 4;
    line.command = kDbusRow;
    line.form = JobLineForm::kDbus;
}

// The handler on the current line with a ResultBuffer of capacity bytes, re-called and
// uploaded until its line is stored; returns everything stored.
std::string run_handler(uint32_t capacity) {
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    gv_ch_worker_state_start(&record);
    mv_check(gs32_ch_alloc_result_buffers() == 0);
    gv_njch_reset_dbus_command();
    std::string stored;
    ResultPart part;
    for (int call = 0;; ++call) {
        mv_check(call < 200);
        const int32_t result = ms32_njch_send_nextjob_cmd_to_dbus(g_job_line.cursor, kDbusRow);
        if (result != -4) gv_ch_close_final_part();  // the line is the job's last
        if (gs32_ch_take_part(&part) == 0) stored.append(part.data, part.length);
        if (result == 0) return stored;
        mv_check(result == -4);
    }
}

// The decode's checks; whether the line and its names are good.
bool mb_check_decode(const char* text) {
    DbusLine line;
    if (gs32_njch_dbus_decode_line(text, &line) != 0) return false;
    if (line.length > 0) {
        const char* payload = text;
        for (int separators = 0; separators < 5; ++payload) {
            if (*payload == ';') ++separators;
        }
        mv_check(static_cast<uint64_t>(line.length) + 2 <= gu32_ch_text_size(payload));
        mv_check(memcmp(line.payload.get(), payload, line.length) == 0);
        mv_check(payload[line.length] == '\r' && payload[line.length + 1] == '\n');
    }
    DbusNames names;
    const bool fits = gs32_njch_dbus_form_names(line.target, "korvad_4242", &names) == 0;
    if (line.target[0] == '\0') {
        mv_check(fits && names.destination[0] == '\0' &&
                 std::string(names.path) == "/vel/kem/korvad_4242/Object");
        return true;
    }
    mv_check(fits == (strlen(line.target) <= 47));
    if (fits) {
        const std::string destination = "vel.kem." + std::string(line.target);
        mv_check(destination == names.destination && destination == names.interface);
        mv_check("/vel/kem/" + std::string(line.target) + "/Object" == names.path);
    }
    return fits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = gs32_log_open("/dev/null") == 0;
    (void)ready;
    if (size < 1 || size - 1 >= 2097152) return 0;  // longer than any JobFile's line
    const uint32_t capacity = 3 + data[0] % 64;
    mv_set_line(data + 1, size - 1);

    const bool good = mb_check_decode(g_job_line.cursor);
    const std::string split = run_handler(capacity);
    const std::string whole = run_handler(8192);
    mv_check(split == whole);
    mv_check(whole == (good ? "DBUS;-1\r\n" : "DBUS;-5\r\n"));
    return 0;
}
