// Feeds arbitrary bytes as a JobFile through the interpreter, driven as the connection
// worker drives it: a small ResultBuffer whose parts are uploaded (emptied) whenever one
// is ready, the re-call of a handler that found the buffer full, and the final part. Every
// line read is also put through the parameter decoders.
//
// Input: the first byte chooses the ResultBuffer's capacity (3 to 66 bytes, so that result
// lines are split across parts); the rest is the JobFile.
//
// Besides the sanitizers, three checks: the job ends (0 or -1) within a bound of steps; the
// bytes uploaded with the small buffer equal those uploaded with a large one (splitting
// loses and repeats nothing); and a second run of the same JobFile, which starts again at
// its first line, gives the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/job_pass.h"
#include "jobs/job_reader.h"
#include "jobs/params.h"
#include "jobs/result_buffer.h"

namespace {

void mv_check(bool condition) {
    if (!condition) abort();
}

// Every decoder on the handler's text, for the first few parameters.
void mv_decode_all(const char* text) {
    char out[64];
    for (uint16_t n = 0; n < 7; ++n) {
        uint16_t u16 = 0;
        uint32_t u32 = 0;
        gs32_ch_nextjob_get_param_str(n, text, out, sizeof out);
        gs32_ch_nextjob_get_param_str(n, text, out, 1);
        gs32_ch_nextjob_get_param_u16(n, text, &u16);
        gs32_ch_nextjob_get_param_u32(n, text, &u32);
        const uint32_t size = gu32_ch_text_size(text);
        for (uint32_t length : {0u, 1u, size > 2 ? size - 2 : 0u, size}) {
            if (length <= sizeof out) gs32_ch_nextjob_get_param_binary(n, text, out, length);
        }
    }
}

// Runs the job once as the worker would; returns everything uploaded (after -1: what the
// buffer held when the job was abandoned, as a last piece).
std::string run_job(size_t job_size, bool decode) {
    std::string uploaded;
    // Each step reads a line (at least two bytes) or stores at least one result byte.
    const size_t max_steps = 80 * (job_size + 2);
    ResultPart part;
    for (size_t step = 0;; ++step) {
        mv_check(step < max_steps);
        const bool was_pending = gp_connhandler_job_line()->pending != 0;
        const int32_t result = gs32_ch_run_job_pass();
        if (gs32_ch_take_part(&part) == 0) {
            mv_check(part.length <= g_worker_state.result.capacity - 2);
            uploaded.append(part.data, part.length);
        }
        if (result == -4 || result == -6) {
            const JobLine* line = gp_connhandler_job_line();
            if (decode && !was_pending && line->pending) mv_decode_all(line->cursor);
            continue;
        }
        mv_check(result == 0 || result == -1);
        if (result == -1) {
            uploaded.append(g_worker_state.result.data.get(), g_worker_state.result.fill_length);
            gv_ch_reset_job();
        }
        return uploaded;
    }
}

void mv_start_worker(uint32_t capacity, const uint8_t* job, size_t job_size) {
    ConnectionConfig record{};
    record.max_result_file_size = capacity;
    gv_ch_worker_state_start(&record);
    mv_check(gs32_ch_alloc_result_buffers() == 0);
    gv_ch_reset_job();
    mv_check(gs32_ch_set_job_data(reinterpret_cast<const char*>(job),
                                  static_cast<uint32_t>(job_size)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool log_silenced = gs32_log_open("/dev/null") == 0;
    (void)log_silenced;
    if (size < 1 || size - 1 >= 2097152) return 0;  // a JobFile the transfer would refuse
    const uint32_t capacity = 3 + data[0] % 64;
    const uint8_t* job = data + 1;
    const size_t job_size = size - 1;

    mv_start_worker(capacity, job, job_size);
    const std::string small = run_job(job_size, true);
    const std::string again = run_job(job_size, false);
    mv_check(small == again);

    mv_start_worker(8192, job, job_size);
    mv_check(run_job(job_size, false) == small);
    return 0;
}
