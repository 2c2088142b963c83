// The simulator as a person starts it by hand: a bus of its own and a scenario file.
#include "bus_test_util.h"

using korvad_test::RunResult;

TEST(SimByHand, OwnBusAndScenarioFile) {
    korvad_test::TempDir dir;
    std::string script = dir.write("scenario", "# network down\n"
                                               "answer wenlod.GetConInterface NotConnected\n"
                                               "hello wenlod off\n"
                                               "quit\n");
    RunResult result = korvad_test::run(
        korvad_test::target_command(korvad_test::binary_path("sim/korvad-sim"),
                                    {"--own-bus", "--script", script, "hodrad", "wenlod"}),
        {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/korvad-test-bus"}, 10000);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    for (const char* line : {"sim: bus unix:path=/tmp/korvad_sim_bus_", "sim: ready hodrad wenlod",
                             "sim: answer wenlod.GetConInterface set", "sim: hello wenlod off",
                             "sim: stopped"}) {
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    }
}
