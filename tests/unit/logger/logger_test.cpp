// The LoggerFile reader over hand-built files and the position file: the damaged and rare
// forms that the whole-cycle logger tests (tests/system) do not produce.
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "../jobs/job_harness.h"
#include "core/util.h"
#include "logger/logger_file.h"
#include "logger/position_file.h"
#include "support/process.h"

using namespace std::string_literals;
using jobs_test::LogCapture;
using jobs_test::with_pids;
using korvad_test::TempDir;

namespace {

const std::string kHeader =
    "LogFile=log1\r\nLogFileFormat=2\r\nComment=test\r\nMaxSize=100000\r\n"
    "Date+Time=01.02.24_10:00:00\r\nTimestamp=1706781600\r\n";

std::string le16(uint32_t value) {
    return {static_cast<char>(value & 0xff), static_cast<char>(value >> 8 & 0xff)};
}

// One block: START_TAG, length, length bytes of fill.
std::string block(uint32_t length, char fill) {
    return "\xB2\x07"s + le16(length) + std::string(length, fill);
}

std::string data_start() { return "DATASTART\r\n"; }

// The file's blocks read one call after the other: "L:c" for a piece of L data bytes
// starting with c, else the code. The first call skips `skip` blocks in `first_room`;
// the others skip none in a room large enough for any piece.
std::string read_trace(FILE* file, uint32_t skip, uint32_t first_room, uint32_t* max_size) {
    std::string trace;
    std::vector<char> out(70000);
    int32_t last = -4;
    for (int call = 0; call < 20; ++call) {
        uint16_t length = 0;
        uint8_t ask = 0;
        const uint32_t room = call == 0 ? first_room : static_cast<uint32_t>(out.size());
        const int32_t r = gs32_dlf_get_next_block(file, skip, call == 0 && skip > 0 ? 1 : 0,
                                                  out.data(), room, &length, max_size, &ask);
        if (!trace.empty()) trace += ' ';
        if (r == -4) {
            const uint32_t l = static_cast<uint8_t>(out[2]) | static_cast<uint8_t>(out[3]) << 8;
            const uint32_t piece = static_cast<uint8_t>(out[0]) | static_cast<uint8_t>(out[1]) << 8;
            EXPECT_EQ(l + 2, piece);
            EXPECT_EQ(l + 4, length);
            trace += std::to_string(l) + (l > 0 ? ":" + std::string(1, out[4]) : "");
        } else {
            trace += std::to_string(r);
            if (r != -6 || last == -6) break;
        }
        last = r;
    }
    return trace;
}

}  // namespace

// Whole files, a plain skip and a missing data start are proved by the whole-cycle tests.
TEST(LoggerFile, BlocksAreReadSkippedAndSteppedBack) {
    const std::string two_sections =
        kHeader + data_start() + block(10, 'a') + block(10, 'b') + data_start() +
        block(20, 'c') + block(10, 'd');
    struct Case {
        const char* what;
        std::string file;
        uint32_t max_size;  // its dataset size
        uint32_t skip;
        uint32_t first_room;
        std::string trace;
        std::vector<std::string> log;
        uint8_t ask = 0;  // the size is left to the logger
    } cases[] = {
        {"a block length cut by the end", kHeader + data_start() + "\xB2\x07\x05", 0, 0, 100, "0",
         {"ms32_dlf_get_max_dataset_size: Error can't read block length"}, 1},
        {"no block behind the data start", kHeader + data_start() + "xy", 0, 0, 100, "0",
         {"gs32_dlf_set_startpos Error. Datastart not found:.",
          "gs32_dlf_get_next_block: Start TAG not found: 0x7879",
          "gs32_dlf_get_next_block: Error occured!!!!: -2"}},
        {"a piece of 1004 bytes fits in 1005", kHeader + data_start() + block(1000, 'a') +
         block(1000, 'b'), 1004, 0, 1005, "1000:a 1000:b 0", {}},
        {"a piece that does not fit steps back to its START_TAG",
         kHeader + data_start() + block(1000, 'a'), 1004, 0, 1004, "-6 1000:a 0", {}},
        {"another section after the blocks ends the data", two_sections, 14, 0, 100,
         "10:a 10:b 0", {}},
        {"a skip goes on into the next section", two_sections, 14, 3, 100, "10:d 0", {}},
        {"a block cut short by the end", kHeader + data_start() + block(100, 'a').substr(0, 50),
         104, 0, 200, "0",
         {"gs32_dlf_get_next_block: Block of 100 bytes cut short by the end of the file"}},
        // Block lengths at their edges: an empty block, the largest piece a 16-bit length can
        // say (L + 4 = 65535), one beyond, and the largest length a block can carry.
        {"blocks of 0 and 1 bytes", kHeader + data_start() + block(0, 'a') + block(1, 'b'), 4, 0,
         100, "0 1:b 0", {}},
        {"the largest piece", kHeader + data_start() + block(65531, 'a'), 65535, 0, 70000,
         "65531:a 0", {}},
        {"a piece longer than 16 bits can say", kHeader + data_start() + block(65532, 'a'),
         65536, 0, 70000, "-6 -6", {}},
        {"the largest block", kHeader + data_start() + block(65535, 'a'), 65539, 0, 70000,
         "-6 -6", {}},
        {"a skip past every block", two_sections, 14, UINT32_MAX, 100, "0", {}},
    };
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log;
        UniqueFile file{fopen(dir.write("log1.dlf", c.file).c_str(), "rb")};
        ASSERT_TRUE(file);
        uint32_t max_size = 77;
        uint8_t ask = 7;
        EXPECT_EQ(0, gs32_dlf_set_startpos(file.get(), 1, &max_size, &ask));
        EXPECT_EQ(c.max_size, max_size);
        EXPECT_EQ(c.ask, ask);
        EXPECT_EQ(c.trace, read_trace(file.get(), c.skip, c.first_room, &max_size));
        EXPECT_EQ(with_pids(c.log), log.lines());
    }
}

// Where the file ends behind its data start, DLGN asks the logger for the size (no bus here).
TEST(LoggerFile, DlgnAsksTheLoggerForASizeTheFileDoesNotShow) {
    TempDir dir;
    jobs_test::start_worker();
    snprintf(gpc_ch_get_server_exchange_folder(), sizeof ConnectionConfig{}.ServerExchangeFolder,
             "%s", dir.path().c_str());
    dir.write("log1_tmp", kHeader + data_start());
    LogCapture log;
    EXPECT_EQ("DLGN;DAT[DLN" + le16(16) + "log1" + std::string(12, '\0') + "\0\0];0\r\n"s,
              jobs_test::run_job("DLGN;log1;;;0\r\n").text());
    EXPECT_EQ(with_pids({"ms32_dlf_get_max_dataset_size: Error can't find START_TAG",
                         "ms32_dlf_get_max_dataset_size: No valid max dataset size received",
                         "gs32_dlf_set_startpos: Error can't set max dataset size"}),
              log.lines());
}

TEST(LoggerFile, HeaderNameIsAPrefixOfLogFile) {
    struct Case {
        std::string header;
        const char* name;
        int32_t result;
        std::vector<std::string> log;
    } cases[] = {
        {kHeader, "log1", 0, {}},
        {"LogFile=log10\r\n" + kHeader.substr(14), "log1", 0, {}},
        {kHeader, "log12", -10, {"gs32_dlf_request: Logger name does not fit!: log1 != log12"}},
        // A key matches any line that begins with it.
        {"LogFileFormat=2\r\nLogFile=log1\r\nComment=c\r\nMaxSize=1\r\nDate+Time=d\r\n"
         "Timestamp=1\r\n",
         "log1", -10, {"gs32_dlf_request: Logger name does not fit!: ormat=2 != log1"}},
        {"Comment=c\r\nTimestamp=1\r\n", "log1", -10,
         {"ms32_read_dlf_header: Error in file %s. Configuration error at parameter "
          "\"LogFile\".",
          "gs32_dlf_request: Logger name does not fit!:  != log1"}},
        {"LogFile=log1\r\nLogFileFormat=2\r\nTimestamp=1\r\n", "log1", 0,
         {"ms32_read_dlf_header: Error in file %s. Configuration error at parameter Comment.",
          "ms32_read_dlf_header: Error in file %s. Configuration error at parameter MaxSize.",
          "ms32_read_dlf_header: Error in file %s. Configuration error at parameter "
          "Date+Time."}},
    };
    TempDir dir;
    const std::string path = dir.path() + "/log1.dlf";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        LogCapture log;
        dir.write("log1.dlf", c.header + data_start() + block(4, 'a'));
        EXPECT_EQ(c.result, gs32_dlf_check_header(path.c_str(), c.name));
        std::vector<std::string> expected = c.log;
        for (std::string& line : expected) {
            if (line.find("%s") != std::string::npos) line.replace(line.find("%s"), 2, path);
        }
        EXPECT_EQ(with_pids(expected), log.lines());
    }
}

// Each resume point read back, and where a budgeted DLGN then goes on in a working copy of
// the blocks a, b and c (block b's START_TAG is at byte 137; the data ends at 165).
TEST(LoggerFile, PositionFileRoundTripAndDamage) {
    TempDir dir;
    const std::string path = dir.path() + "/log1_tmp_pos";
    const std::string error = "gs32_read_actual_dlf_pos_from_file: Error occured, read out ";
    // 49 characters, its CR LF included, are the longest line read whole.
    const std::string whole = std::string(46, '0') + "7\r\n137\r\n";
    const std::string cut = "0" + whole;
    dir.write("log1_tmp", kHeader + data_start() + block(10, 'a') + block(10, 'b') +
                              block(10, 'c'));
    struct Case {
        const char* content;  // null: no file
        int32_t result;
        uint32_t block, offset;
        std::vector<std::string> log;
        std::string delivered;  // by DLGN, the blocks' fill bytes
    } cases[] = {
        {nullptr, 0, 99, 99, {}, "abc"},  // no file: both unchanged
        {"0\r\n1\r\n", 0, 0, 1, {}, ""},  // inside the header: no block there
        {"1\r\n137\r\n", 0, 1, 137, {}, "bc"},
        {"4294967295\r\n2147483647\r\n", 0, UINT32_MAX, 2147483647u, {}, ""},
        {"4294967296\r\n99999999999999999999\r\n", 0, UINT32_MAX, UINT32_MAX, {}, ""},
        {whole.c_str(), 0, 7, 137, {}, "bc"},
        {cut.c_str(), 0, 7, 0, {}, ""},  // its LF reads as the second line
        {"12abc\r\n34 5\r\n", 0, 12, 34, {}, ""},
        {"x\r\n\r\n", 0, 0, 0, {}, "abc"},
        {"", -10, 0, 0, {error + "1 line, byte format!\r"}, "abc"},
        {"5\r\n", -10, 0, 0, {error + "2 line, byte format!\r"}, "abc"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content == nullptr ? "no file" : c.content);
        {
            LogCapture log;
            if (c.content != nullptr) dir.write("log1_tmp_pos", c.content);
            uint32_t block = 99, offset = 99;
            EXPECT_EQ(c.result, gs32_read_actual_dlf_pos_from_file(path.c_str(), &block, &offset));
            EXPECT_EQ(c.block, block);
            EXPECT_EQ(c.offset, offset);
            // The text ends with its own CR LF, so the log shows an empty line behind it.
            std::vector<std::string> expected = with_pids(c.log);
            if (!expected.empty()) expected.push_back("");
            EXPECT_EQ(expected, log.lines());
        }
        LogCapture dlgn_log;  // what DLGN logs without a bus is proved elsewhere
        jobs_test::start_worker(8192, 100000);
        snprintf(gpc_ch_get_server_exchange_folder(),
                 sizeof ConnectionConfig{}.ServerExchangeFolder, "%s", dir.path().c_str());
        std::string pieces;
        for (char fill : c.delivered) pieces += le16(12) + block(10, fill).substr(2);
        EXPECT_EQ("DLGN;DAT[DLN" + le16(16) + "log1" + std::string(12, '\0') + pieces +
                      "\0\0];0\r\n"s,
                  jobs_test::run_job("DLGN;log1;;;0\r\n").text());
    }
    EXPECT_EQ(0, gs32_write_actual_dlf_pos_to_file(path.c_str(), 3000000000u, 4096));
    EXPECT_EQ("3000000000\r\n4096\r\n", korvad_test::read_file(path));
    EXPECT_EQ(-10, gs32_write_actual_dlf_pos_to_file(nullptr, 1, 1));
    uint32_t offset = 0;
    EXPECT_EQ(-10, gs32_read_actual_dlf_pos_from_file(path.c_str(), nullptr, &offset));
}

// Nothing is opened, moved or created through a link that stands where the exchange folder's
// files go, or that a logger hands over.
TEST(LoggerFile, LinksAreNeverFollowed) {
    TempDir outside, folder;
    const std::string pos = folder.path() + "/log1_tmp_pos";
    const std::string missing = outside.path() + "/missing";
    const std::string dlf = outside.write("log1.dlf", kHeader + data_start() + block(4, 'a'));
    uint32_t block_number = 99, offset = 99;
    struct Case {
        const char* what;
        std::string link, target;  // the link planted, and where it points
        std::function<int32_t()> run;
        int32_t result;
        std::string target_after;  // "" when the target must not exist
        size_t log_lines;
    } cases[] = {
        {"position file written", pos, missing,
         [&] { return gs32_write_actual_dlf_pos_to_file(pos.c_str(), 1, 2); }, -10, "", 1},
        {"position file read", pos, outside.write("pos", "7\r\n8\r\n"),
         [&] { return gs32_read_actual_dlf_pos_from_file(pos.c_str(), &block_number, &offset); },
         0, "7\r\n8\r\n", 1},
        {"position file created", pos, missing,
         [&] {
             const std::string moved = outside.write("moved.dlf", korvad_test::read_file(dlf));
             return gs32_dlf_take_over(moved.c_str(), "log1", folder.path().c_str());
         },
         -10, "", 2},
        {"a LoggerFile handed over as a link", outside.path() + "/handed", dlf,
         [&] {
             const std::string handed = outside.path() + "/handed";
             return gs32_dlf_take_over(handed.c_str(), "log1", folder.path().c_str());
         },
         -10, kHeader + data_start() + block(4, 'a'), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(c.link.c_str());
        ASSERT_EQ(0, symlink(c.target.c_str(), c.link.c_str()));
        LogCapture log;
        EXPECT_EQ(c.result, c.run());
        EXPECT_EQ(c.target_after, korvad_test::read_file(c.target));
        EXPECT_EQ(c.log_lines, log.lines().size());
        unlink(c.link.c_str());
    }
    EXPECT_EQ(99u, block_number);
    EXPECT_EQ(99u, offset);

}
