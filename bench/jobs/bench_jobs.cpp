// Interprets JobFiles of short lines step by step, as the connection worker does, and
// prints the CPU time per line and the peak memory for each JobFile size. The time per
// line must not grow with the size of the file.
//
//   bench_jobs                 200 KiB and 2 MiB JobFiles, each in a fresh process
//   bench_jobs --size <bytes>  one JobFile of that size in this process
//   --naive                    also allocate and zero-fill a buffer of the whole job for
//                              every line, as a reader that sizes its line buffer by the
//                              file would, to show what that costs
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "bench_clock.h"
#include "connection/worker_state.h"
#include "core/heap.h"
#include "jobs/job_pass.h"
#include "jobs/job_reader.h"
#include "jobs/result_buffer.h"

namespace {

// Largest JobFile the worker accepts is one byte below 2 MiB.
constexpr uint32_t kLargeJob = 2097151;
constexpr uint32_t kSmallJob = 200 * 1024;

// A mix of the commands a server sends most: 21 bytes a line on average.
const char* const kLines[] = {
    "FWLO\r\n",
    "# status poll of unit 0007\r\n",
    "FWSW;300\r\n",
    "DLTS;0x1000\r\n",
    "APLI;1;firmware-7.3.1\r\n",
    "FWLI;1;2;3;image-7.3.1.bin\r\n",
    "FWSW;0060#every minute\r\n",
    "XUNKNOWN;ignored line;2\r\n",
    "DLTS;20000\r\n",
};

// Keep the compiler from dropping or fusing the emulated work (malloc and memset of zero
// would become a calloc that clears nothing).
volatile unsigned g_sink = 0;
void* (*volatile g_fill)(void*, int, size_t) = memset;

long gl_max_rss_kib() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Whole lines from kLines, repeated, up to size bytes, and the zero byte behind them.
HeapBuffer gp_make_job(uint32_t size, uint32_t* length_out, uint32_t* lines_out) {
    HeapBuffer job{static_cast<char*>(malloc(size + 1))};
    uint32_t length = 0;
    uint32_t lines = 0;
    for (size_t i = 0; job; ++i) {
        const char* line = kLines[i % (sizeof kLines / sizeof kLines[0])];
        const size_t n = strlen(line);
        if (length + n > size) break;
        memcpy(job.get() + length, line, n);
        length += static_cast<uint32_t>(n);
        ++lines;
    }
    if (job) job.get()[length] = '\0';
    *length_out = length;
    *lines_out = lines;
    return job;
}

int gs_run_one(uint32_t size, bool naive) {
    const long rss_start = gl_max_rss_kib();
    ConnectionConfig record{};
    record.max_result_file_size = 8192;
    gv_ch_worker_state_start(&record);
    if (gs32_ch_alloc_result_buffers() != 0) return 1;
    gv_ch_reset_job();

    uint32_t length = 0;
    uint32_t lines = 0;
    g_worker_state.job_data = gp_make_job(size, &length, &lines);
    g_worker_state.job_length = length;
    if (!g_worker_state.job_data) return 1;
    const long rss_loaded = gl_max_rss_kib();

    uint32_t parts = 0;
    uint32_t line_buffer = 0;
    uint64_t result_bytes = 0;
    int32_t result;
    ResultPart part;
    const double start = bench::cpu_seconds();
    while ((result = gs32_ch_run_job_pass()) == -4 || result == -6) {
        const uint32_t capacity = gp_connhandler_job_line()->capacity;
        if (capacity > line_buffer) line_buffer = capacity;
        if (gs32_ch_take_part(&part) == 0) {  // the upload: the part leaves, the buffer empties
            result_bytes += part.length;
            ++parts;
        }
        if (naive && gp_connhandler_job_line()->pending) {
            // A line was just read: what sizing its buffer by the whole job would cost.
            HeapBuffer whole{static_cast<char*>(malloc(length + 1))};
            if (whole) {
                g_fill(whole.get(), 0, length + 1);
                g_sink = g_sink + static_cast<unsigned char>(whole.get()[length / 2]);
            }
        }
    }
    const double seconds = bench::cpu_seconds() - start;
    if (gs32_ch_take_part(&part) == 0) {  // the final part
        result_bytes += part.length;
        ++parts;
    }
    if (result != 0) {
        printf("bench_jobs: job ended with %d\n", result);
        return 1;
    }
    printf("%s%7u-byte JobFile, %6u lines: %6.3f us CPU per line (%.1f ms), %u parts, "
           "%llu result bytes; line buffer %u bytes; peak RSS %ld KiB (%ld KiB at start, %ld KiB "
           "with the job loaded)\n",
           naive ? "[whole-job line buffer] " : "", length, lines, seconds * 1e6 / lines,
           seconds * 1e3, parts, static_cast<unsigned long long>(result_bytes), line_buffer,
           gl_max_rss_kib(), rss_start, rss_loaded);
    return 0;
}

// Runs one size in a fresh process, so that each peak memory figure is its own.
int gs_run_child(const char* self, uint32_t size, bool naive) {
    char size_text[16];
    snprintf(size_text, sizeof size_text, "%u", size);
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child == 0) {
        const char* argv[] = {self, "--size", size_text, naive ? "--naive" : nullptr, nullptr};
        execv("/proc/self/exe", const_cast<char* const*>(argv));
        _exit(127);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    bool naive = false;
    uint32_t size = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--naive") == 0) {
            naive = true;
        } else if (strcmp(argv[i], "--size") == 0 && i + 1 < argc) {
            size = static_cast<uint32_t>(strtoul(argv[++i], nullptr, 10));
        } else {
            printf("usage: bench_jobs [--size <bytes>] [--naive]\n");
            return 2;
        }
    }
    if (size != 0) return gs_run_one(size, naive);
    int failed = gs_run_child(argv[0], kSmallJob, naive);
    failed |= gs_run_child(argv[0], kLargeJob, naive);
    return failed;
}
