// The simulator as tests and people use it: help, usage errors, commands, presence.
#include "bus/method_call.h"
#include "bus_test_util.h"

using bus_test::BusTest;
using korvad_test::RunResult;

TEST(SimCommandLine, HelpSaysHowToStartItAndUsageErrorsGiveAReason) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<const char*> texts;  // in stdout for --help, in stderr otherwise
    } cases[] = {
        {{"--help"},
         0,
         {"Usage: korvad-sim [options] STANDIN...", "DBUS_SYSTEM_BUS_ADDRESS", "dbus-daemon",
          "  hodrad  ", "RegisterWatchdog answers \"OK\"", "--refuse X.Method", "emit X"}},
        {{}, 2, {"no stand-in named"}},
        {{"--bogus", "hodrad"}, 2, {"unknown option --bogus"}},
        {{"hodrad", "--answer", "hodrad.RegisterWatchdog"}, 2, {"X.Method=VALUE"}},
        {{"hodrad", "--silent", "wenlod.Start"}, 2, {"no stand-in named wenlod"}},
    };
    for (const auto& c : cases) {
        RunResult result = korvad_test::run(
            korvad_test::target_command(korvad_test::binary_path("sim/korvad-sim"), c.args), {},
            5000);
        EXPECT_EQ(result.exit_status, c.status) << c.texts[0];
        const std::string& shown = c.status == 0 ? result.out : result.err;
        for (const char* text : c.texts) EXPECT_NE(shown.find(text), std::string::npos) << shown;
    }
}

TEST_F(BusTest, SimEmitsSignalsAndAnswersWhoIsThereWithHello) {
    korvad_test::SimProcess sim;
    std::string why;
    ASSERT_TRUE(sim.start({"hodrad", "wenlod"}, &why)) << why;
    sim.command("emit wenlod vel.kem.wenlod Network_Notification s:ppp0 s:UP u:7 ay:00ff");
    auto emitted =
        recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.wenlod", "Network_Notification"});
    ASSERT_TRUE(emitted) << sim.output();
    EXPECT_EQ(emitted->path, "/vel/kem/wenlod/Object");
    EXPECT_EQ(emitted->signature, "ssuay");
    EXPECT_EQ(emitted->args,
              (std::vector<std::string>{"ppp0", "UP", "7", std::string("\0\xff", 2)}));
    sim.command("emit wenlod vel.kem.wenlod Bad x:1");
    EXPECT_TRUE(sim.wait_for_line("sim: bad command: a value is s:TEXT")) << sim.output();

    bus_test::ScopedContext worker(bus_test::worker_name());
    ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    ASSERT_EQ(gs32_dbus_send_who_is_there(worker.get()), 0);
    for (const std::string name : {"hodrad", "wenlod"}) {
        auto hello = recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "", "HELLO", "", "", "", name});
        const std::string start = " /vel/kem/" + name + "/Object vel.kem.broadcast.HELLO (ssss) [";
        EXPECT_EQ(bus_test::seen(hello).rfind(start + name + "]", 0), 0u) << bus_test::seen(hello);
    }
    // A stand-in answers only on its own interface, like the daemon it plays.
    char answer[64];
    BusMethodCall foreign{"hodrad", "GetIgnition", nullptr, 0, "vel.kem.method"};
    ASSERT_EQ(gs32_dbus_method_call(worker.get(), foreign, answer, sizeof answer, nullptr), kBusOk);
    EXPECT_STREQ(answer, "the stand-in has no such interface");

    EXPECT_EQ(sim.stop(), 0) << sim.output();
    EXPECT_NE(sim.output().find("sim: stopped"), std::string::npos) << sim.output();
}

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
