// The commands that the worker answers itself, and the reset of their states.
#include "job_harness.h"

using namespace jobs_test;

// A value outlives its job: a later job without the command still has it.
TEST(SetValueCommands, ValidParameterIsAppliedOtherwiseMinusFiveAndTheOldValueStays) {
    const std::string missing = ": Parameter not found";
    struct Case {
        std::string line;
        std::string result;
        uint32_t wait_interval;  // starts at 999
        uint32_t budget;         // starts at 555
        std::vector<std::string> logged;
    } cases[] = {
        {"FWSW;300", "FWSW;0\r\n", 300, 555, {}},
        {"FWSW;", "FWSW;0\r\n", 0, 555, {}},
        {"FWSW;10 ", "FWSW;-5\r\n", 999, 555, {"ms32_njch_set_wakeup_cycle_time" + missing}},
        {"DLTS;4096", "DLTS;0\r\n", 999, 4096, {}},
        {"DLTS;0", "DLTS;0\r\n", 999, 0, {}},
        {"DLTS;4k", "DLTS;-5\r\n", 999, 555, {"ms32_njch_set_dl_max_transfer_size" + missing}},
    };
    for (const Case& c : cases) {
        start_worker(8192, 555);
        gv_ch_set_wakeup_cycle_time(999);
        LogCapture log;
        EXPECT_EQ(c.result, run_job(c.line + "\r\n").text()) << c.line;
        EXPECT_EQ("FWLO;0\r\n", run_job("FWLO\r\n").text());
        EXPECT_EQ(c.wait_interval, g_worker_state.wait_interval) << c.line;
        EXPECT_EQ(c.budget, static_cast<uint32_t>(gs32_ch_get_dl_max_transfer_size())) << c.line;
        EXPECT_EQ(with_pids(c.logged), log.lines()) << c.line;
    }
}

TEST(CommandStates, ResetMakesAnInterruptedCommandStartOver) {
    // DLTS fills the tiny buffer and waits for an upload; the worker abandons the job.
    start_worker(4, 1);
    const std::string first = "DLTS;5\r\n";
    ASSERT_EQ(0, gs32_ch_set_job_data(first.data(), static_cast<uint32_t>(first.size())));
    ASSERT_EQ(-4, gs32_ch_run_job_pass());  // read
    ASSERT_EQ(-6, gs32_ch_run_job_pass());  // first call fills the part
    gv_ch_reset_job();
    // The next DLTS does its work again and answers its whole line.
    EXPECT_EQ("DLTS;0\r\n", run_job("DLTS;7\r\n").text());
    EXPECT_EQ(7, gs32_ch_get_dl_max_transfer_size());
}
