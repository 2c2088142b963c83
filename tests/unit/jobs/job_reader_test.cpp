// The JobFileReader: keyword lookup, format errors, restart and re-calls. DBUS and DataBlock
// lines are read in whole cycles as well (tests/system dbus and datapool).
#include "job_harness.h"

using namespace std::string_literals;
using namespace jobs_test;

namespace {

// Reads the first line of job and returns its row; the line stays current for inspection.
int16_t first_row(const std::string& job) {
    EXPECT_EQ(0, gs32_ch_set_job_data(job.data(), static_cast<uint32_t>(job.size())));
    gv_connhandler_reset_job_reader();
    EXPECT_EQ(-4, ms32_connhandler_get_nextjobFileLine());
    return gp_connhandler_job_line()->command;
}

class JobReader : public testing::Test {
  protected:
    void SetUp() override { start_worker(); }
};

}  // namespace

TEST_F(JobReader, KeywordMatchesOnlyWhenNoLetterOrDigitFollowsAndBlanksLead) {
    struct Case {
        std::string job;
        std::string results;
    } cases[] = {
        {"FWLO\r\n", "FWLO;0\r\n"}, {"FWLOX\r\n", ""}, {"FWLO7\r\n", ""}, {"fwlo\r\n", ""},
        {"FWLO-x\r\n", "FWLO;0\r\n"}, {"FWLO_x\r\n", "FWLO;0\r\n"},
        {"   FWLO;\r\n", "FWLO;0\r\n"}, {"\tFWLO\r\n", ""},  // a tab is not a blank
        {"APLI\r\n", ""}, {"APLI;\r\n", "APLI;0\r\n"}, {"#\r\n", "#;0\r\n"},
        {"  # any; FWLO\r\n", "#;0\r\n"}, {"#FWLO\r\n", "#;0\r\n"}, {"SYNTAXERR;1\r\n", ""},
        {"\r\n", ""}, {"   \r\n", ""},  // an empty line passes silently
        {"FWLO\r\nFWLOX\r\n# c\r\nAPLI;1\r\n", "FWLO;0\r\n#;0\r\nAPLI;0\r\n"},
        // A DataBlock with CR LF inside is one line; KFSV refuses its unknown mode.
        {"KFSV;DAT[VL3\x03\x00;\r\n\x00\x00]\r\nFWLO\r\n"s, "KFSV;-1\r\nFWLO;0\r\n"},
    };
    for (const Case& c : cases) {
        start_worker();
        JobRun run = run_job(c.job);
        EXPECT_EQ(0, run.result) << c.job;
        EXPECT_EQ(c.results, run.text()) << c.job;
    }
}

TEST_F(JobReader, EveryRowNeedsItsMinimumOfSeparators) {
    struct Case {
        const char* keyword;
        int16_t row;
        int minimum;
    } cases[] = {
        {"FWLI", 1, 3}, {"FWSW", 3, 1}, {"APLI", 4, 1}, {"DLGN", 5, 4},
        {"DLCN", 6, 1}, {"KFGV", 7, 1}, {"KFSV", 8, 2}, {"DLTS", 9, 1},
    };
    for (const Case& c : cases) {
        std::string enough = c.keyword;
        for (int i = 0; i < c.minimum; ++i) enough += ";1";
        std::string short_one = enough.substr(0, enough.size() - 2);
        EXPECT_EQ(c.row, first_row(enough + "\r\n")) << enough;
        EXPECT_EQ(kSyntaxErrorRow, first_row(short_one + "\r\n")) << short_one;
        // Separators count to the end of the line, a trailing comment included.
        EXPECT_EQ(c.row, first_row(short_one + "#;\r\n")) << short_one;
    }
    // Only a KFSV DataBlock skips the count (its pieces may hold no ';' before a zero byte):
    // any other DataBlock line is counted, and FWLI has 1 of its 3.
    EXPECT_EQ(kSyntaxErrorRow, first_row("FWLI;DAT[XXX\x00\x00]\r\n"s));
}

// A DataBlock line is copied whole, its trailing blanks and CR LF included; its pieces may
// hold CR LF, ';' and zero bytes.
TEST_F(JobReader, DataBlockLineIsCopiedWhole) {
    const std::string line = "KFGV;DAT[VL1\x03\x00;\r\n\x00\x00]   \r\n"s;
    first_row(line + "FWLO\r\n");
    const JobLine* read = gp_connhandler_job_line();
    EXPECT_EQ(line, std::string(read->text.get(), read->length));
}

TEST_F(JobReader, MalformedLinesEndTheJobWithTheirLogLine) {
    const std::string reader = "ms32_connhandler_get_nextjobFileLine: ";
    struct Case {
        std::string job;
        std::vector<std::string> logged;
    } cases[] = {
        {"FWLO\r\nAPLI;1", {reader + "Syntax error"}},
        {"FWLO\r\nAP\0LI;1\r\n"s, {reader + "Syntax error"}},
        {"FWLO\r\nDBUS;1;x;y\r\n", {reader + "NextJob format error"}},
        // A DataBlock's own walk is tested with the DataBlock module; here what follows it.
        {"FWLO\r\nFWSW;DATA\r\n", {}},                           // ";DAT" makes a DataBlock line
        {"FWLO\r\nKFGV;DAT[VL1\x02\x00xy\x00\x00\r\n"s, {}},     // no ']'
        {"FWLO\r\nKFGV;DAT[VL1\x02\x00xy\x00\x00] x\r\n"s, {}},  // not a blank
        {"FWLO\r\nKFGV;DAT[VL1\x02\x00xy\x00\x00]  "s, {}},      // no CR LF
    };
    for (const Case& c : cases) {
        LogCapture log;
        start_worker();
        JobRun run = run_job(c.job);
        EXPECT_EQ(-1, run.result) << c.job;
        // Earlier lines were processed; the rest of the job is not.
        EXPECT_EQ("FWLO;0\r\n", run.text()) << c.job;
        EXPECT_EQ(with_pids(c.logged), log.lines()) << c.job;
        // The next read starts again at the first line.
        EXPECT_EQ(-4, ms32_connhandler_get_nextjobFileLine()) << c.job;
        EXPECT_EQ(2, gp_connhandler_job_line()->command) << c.job;
    }
}

TEST_F(JobReader, HandlerIsCalledAgainWithTheSameLineWhileTheBufferIsFull) {
    // Capacity 4 holds 2 bytes per part: an 8-byte result line takes four calls.
    start_worker(4);
    JobRun run = run_job("FWLI;1;2;3\r\nFWLO\r\n");
    EXPECT_EQ(0, run.result);
    EXPECT_EQ((std::vector<std::string>{"FW", "LI", ";0", "\r\n", "FW", "LO", ";0", "\r\n"}),
              run.parts);
    // read, 4 calls; read, 5 calls (the first finds the buffer already full); end.
    EXPECT_EQ(12, run.steps);

    // The work of a handler with a first-call flag happens once across its calls, and
    // again for its next line.
    LogCapture log;
    start_worker(4);
    run = run_job("DLTS;x\r\nDLTS;7\r\n");
    EXPECT_EQ("DLTS;-5\r\nDLTS;0\r\n", run.text());
    EXPECT_EQ(7, gs32_ch_get_dl_max_transfer_size());
    // Each line: read, four calls fill a part each, the fifth ends it; then the end.
    EXPECT_EQ(13, run.steps);
    EXPECT_EQ(with_pids({"ms32_njch_set_dl_max_transfer_size: Parameter not found"}),
              log.lines());
}

// The DBUS length field at its edges. The reader takes its leading decimal digits and needs
// CR LF right behind that many bytes; the handler's numeric decoder then reads the whole
// field (at most 14 characters, any base) and its payload decoder must find the same CR LF.
// Without a bus a line that passes both ends in "DBUS;-1".
TEST_F(JobReader, DbusLengthFieldAtItsEdges) {
    const std::string sent = "ms32_njch_send_nextjob_cmd_to_dbus: DBUS method error!";
    const std::string no_crlf = "ms32_connhandler_get_nextjobFileLine: No \\r\\n";
    const std::string format = "gs32_ch_nextjob_get_param_binary: Format ERROR";
    const std::string largest(65535, 'p');
    struct Case {
        std::string field, payload;
        int32_t result;  // of the job
        std::string results;
        std::vector<std::string> logged;
    } cases[] = {
        {"0", "", 0, "DBUS;-1\r\n", {sent}},
        {"1", "\n", 0, "DBUS;-1\r\n", {sent}},
        {"3", "a\0;"s, 0, "DBUS;-1\r\n", {sent}},
        {"3", "ab", -1, "", {no_crlf}},  // one byte short: the CR LF is not behind it
        {"3", "abcd", -1, "", {no_crlf}},
        {"9", "ab", -1, "", {no_crlf}},  // beyond the data
        {"65535", largest, 0, "DBUS;-1\r\n", {sent}},
        {"65536", largest, -1, "", {no_crlf}},
        {"2147483647", "xyz", -1, "", {no_crlf}},
        {"4294967295", "xyz", -1, "", {no_crlf}},
        {"99999999999999999999", "xyz", -1, "", {no_crlf}},
        {" 3", "xyz", -1, "", {no_crlf}},  // only leading digits count: 0
        {"00000000000003", "abc", 0, "DBUS;-1\r\n", {sent}},
        {"000000000000003", "abc", 0, "DBUS;-5\r\n",
         {"gs32_ch_nextjob_get_param_str: Overflow, string to long",
          "gs32_ch_nextjob_get_param_u32: ERROR value:0"}},
        // The reader takes no payload, the decoder 3 or 4294967295 bytes: nothing is
        // allocated for them, and the payload decoder fails.
        {"0x3", "", 0, "DBUS;-5\r\n", {format}},
        {"-1", "", 0, "DBUS;-5\r\n", {format}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        LogCapture log;
        start_worker();
        const JobRun run = run_job("DBUS;1;x;y;" + c.field + ";" + c.payload + "\r\n");
        EXPECT_EQ(c.result, run.result);
        EXPECT_EQ(c.results, run.text());
        EXPECT_EQ(with_pids(c.logged), log.lines());
    }
}
