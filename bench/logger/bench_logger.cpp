// DLGN of a 2 MB and a 20 MB LoggerFile in full blocks of 1004 bytes (1000 data bytes) with
// no budget, through the real handler and ResultBuffer of 8192 bytes, every full part
// drained as an upload would take it. Prints the time per MB (wall and CPU) next to
// reading the same file with read() and with cat, and the peak memory after each size:
// the handler reads through stdio's buffer into the fixed result buffers, so the peak must
// not grow with the file.
//
//   bench_logger [--rounds N]   each DLGN N times per size (default 3)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench_clock.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "jobs/command_rows.h"
#include "jobs/job_line.h"
#include "jobs/result_buffer.h"
#include "logger/logger_commands.h"

namespace {

constexpr uint32_t kBlockData = 1000;

// Writes the working copy of log1 with blocks of kBlockData bytes up to about mb MB, block
// by block, so that the file never sits in this process's memory; and its position file.
bool write_copy(const std::string& folder, uint32_t mb, uint32_t* blocks_out) {
    const std::string path = folder + "/log1_tmp";
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    fputs("LogFile=log1\r\nLogFileFormat=2\r\nComment=bench\r\nMaxSize=0\r\n"
          "Date+Time=01.01.26_00:00:00\r\nTimestamp=0\r\nDATASTART\r\n",
          file);
    unsigned char block[4 + kBlockData];
    block[0] = 0xB2;
    block[1] = 0x07;
    block[2] = kBlockData & 0xff;
    block[3] = kBlockData >> 8;
    const uint32_t count = mb * 1024u * 1024u / sizeof block;
    for (uint32_t i = 0; i < count; ++i) {
        memset(block + 4, 'a' + static_cast<int>(i % 26), kBlockData);
        fwrite(block, 1, sizeof block, file);
    }
    fclose(file);
    FILE* pos = fopen((path + "_pos").c_str(), "wb");
    if (pos == nullptr) return false;
    fputs("0\r\n0\r\n", pos);
    fclose(pos);
    *blocks_out = count;
    return true;
}

void set_line(const char* text) {
    JobLine& line = g_job_line;
    const size_t length = strlen(text);
    line.text.reset(static_cast<char*>(calloc(length + 1, 1)));
    memcpy(line.text.get(), text, length);
    line.capacity = static_cast<uint32_t>(length + 1);
    line.length = static_cast<uint32_t>(length);
    line.cursor = line.text.get() + 4;
    line.command = kDlgnRow;
    line.form = JobLineForm::kOrdinary;
}

// One DLGN through the handler until its answer is stored; the bytes it produced (-1 when
// the command failed).
long long run_dlgn() {
    gv_njch_reset_logger_commands();
    ResultPart part;
    long long produced = 0;
    for (;;) {
        const int32_t result = ms32_njch_dl_get_by_name(g_job_line.cursor, kDlgnRow);
        if (result != -4) gv_ch_close_final_part();  // the line is the job's last
        if (gs32_ch_take_part(&part) == 0) produced += part.length;
        if (result == 0) return produced;
        if (result != -4) return -1;
    }
}

// Reads the file with read() into a 64 KiB buffer that is thrown away; seconds taken.
double read_plain(const std::string& path) {
    static char buffer[65536];
    const double start = bench::wall_seconds();
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
    return bench::wall_seconds() - start;
}

double cat_plain(const std::string& path) {
    const std::string command = "cat '" + path + "' > /dev/null";
    const double start = bench::wall_seconds();
    if (system(command.c_str()) != 0) return -1;
    return bench::wall_seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 3;
    if (argc == 3 && strcmp(argv[1], "--rounds") == 0) rounds = atoi(argv[2]);
    if (rounds <= 0 || (argc != 1 && argc != 3)) {
        printf("usage: bench_logger [--rounds N]\n");
        return 2;
    }
    char folder_template[] = "/tmp/korvad_bench_logger_XXXXXX";
    if (mkdtemp(folder_template) == nullptr) return 1;
    const std::string folder = folder_template;
    gs32_log_open("/dev/null");
    ConnectionConfig record{};
    record.max_result_file_size = 8192;
    snprintf(record.ServerExchangeFolder, sizeof record.ServerExchangeFolder, "%s",
             folder.c_str());
    gv_ch_worker_state_start(&record);
    if (gs32_ch_alloc_result_buffers() != 0) return 1;
    set_line("DLGN;log1;;;0");
    printf("bench_logger: peak RSS before any DLGN %ld KB\n", bench::peak_kb());

    int status = 0;
    for (uint32_t mb : {2u, 20u}) {
        uint32_t blocks = 0;
        if (!write_copy(folder, mb, &blocks)) {
            status = 1;
            break;
        }
        const std::string path = folder + "/log1_tmp";
        struct stat info {};
        stat(path.c_str(), &info);
        const double file_mb = static_cast<double>(info.st_size) / (1024.0 * 1024.0);
        read_plain(path);  // into the page cache, so every reader below finds it there
        double wall = 0, cpu = 0, plain = 0, cat = 0;
        long long produced = 0;
        for (int round = 0; round < rounds; ++round) {
            const double wall_start = bench::wall_seconds();
            const double cpu_start = bench::cpu_seconds();
            produced = run_dlgn();
            wall += bench::wall_seconds() - wall_start;
            cpu += bench::cpu_seconds() - cpu_start;
            plain += read_plain(path);
            cat += cat_plain(path);
        }
        // The answer: "DLGN;DAT[DLN", the head piece, one piece of 1004 bytes a block, the
        // end of pieces and "];0\r\n".
        const long long expected = 12 + 18 + 1004LL * blocks + 2 + 5;
        if (produced != expected) {
            printf("bench_logger: DLGN of %u MB produced %lld bytes, expected %lld\n", mb,
                   produced, expected);
            status = 1;
            break;
        }
        printf("bench_logger: %5.1f MB, %u blocks: DLGN %6.2f ms/MB wall %6.2f ms/MB CPU | "
               "read() %5.2f ms/MB | cat %5.2f ms/MB | peak RSS %ld KB\n",
               file_mb, blocks, wall / rounds / file_mb * 1e3, cpu / rounds / file_mb * 1e3,
               plain / rounds / file_mb * 1e3, cat / rounds / file_mb * 1e3, bench::peak_kb());
        unlink(path.c_str());
        unlink((path + "_pos").c_str());
    }
    rmdir(folder.c_str());
    return status;
}
