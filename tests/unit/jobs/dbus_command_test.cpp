// The DBUS handler's parameters over lines the reader accepts; without a bus every message
// that gets built fails to go out. Sent messages are proved in whole cycles (tests/system).
#include "job_harness.h"

using namespace jobs_test;

// The reader takes the length's leading decimal digits, the handler's numeric decoder the
// whole field (hexadecimal and a sign too): where they disagree, the payload decoder fails.
TEST(DbusCommand, PayloadLengthMustMeanWhatTheReaderFound) {
    const std::string format = "gs32_ch_nextjob_get_param_binary: Format ERROR";
    const std::string handler = "ms32_njch_send_nextjob_cmd_to_dbus: ";
    struct Case {
        const char* job;
        const char* result;
        std::vector<std::string> logged;
    } cases[] = {
        {"DBUS;1;zielad;Echo;0x3;\r\n", "DBUS;-5\r\n", {format}},
        {"DBUS;1;zielad;Echo;-3;\r\n", "DBUS;-5\r\n", {format}},  // 4294967293, not allocated
        {"DBUS;0;zielad;Poke;003;abc\r\n", "DBUS;-1\r\n", {handler + "DBUS signal error!"}},
    };
    for (const Case& c : cases) {
        LogCapture log;
        start_worker();
        EXPECT_EQ(c.result, run_job(c.job).text()) << c.job;
        EXPECT_EQ(with_pids(c.logged), log.lines()) << c.job;
    }
}
