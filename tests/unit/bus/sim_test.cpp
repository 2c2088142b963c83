// The simulator as tests and people use it: help, usage errors, commands, presence.
#include "bus/method_call.h"
#include "bus_test_util.h"

using bus_test::BusTest;
using korvad_test::RunResult;
using korvad_test::SimProcess;

namespace {

RunResult sim_run(const std::vector<std::string>& args) {
    return korvad_test::run(
        korvad_test::target_command(korvad_test::binary_path("sim/korvad-sim"), args), {}, 5000);
}

}  // namespace

TEST(SimCommandLine, HelpSaysHowToStartItAndWhatItHosts) {
    RunResult help = sim_run({"--help"});
    EXPECT_EQ(help.exit_status, 0);
    for (const char* expected :
         {"Usage: korvad-sim [options] STANDIN...", "DBUS_SYSTEM_BUS_ADDRESS", "dbus-daemon",
          "  hodrad  ", "RegisterWatchdog answers \"OK\"", "--refuse X.Method", "emit X"}) {
        EXPECT_NE(help.out.find(expected), std::string::npos) << expected << "\n" << help.out;
    }
}

TEST(SimCommandLine, UsageErrorsEndWithStatus2AndAReason) {
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{}, "no stand-in named"},
        {{"--bogus", "hodrad"}, "unknown option --bogus"},
        {{"hodrad", "--answer", "hodrad.RegisterWatchdog"}, "X.Method=VALUE"},
        {{"hodrad", "--silent", "wenlod.Start"}, "no stand-in named wenlod"},
    };
    for (const auto& c : cases) {
        RunResult result = sim_run(c.args);
        EXPECT_EQ(result.exit_status, 2) << c.reason;
        EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    }
}

TEST_F(BusTest, SimEmitsSignalsAndAnswersWhoIsThereWithHello) {
    SimProcess sim;
    START_SIM(sim, "hodrad", "wenlod");
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
    for (const char* name : {"hodrad", "wenlod"}) {
        auto hello = recorder.wait_for(
            {DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.broadcast", "HELLO", "", "", "", name});
        ASSERT_TRUE(hello) << name;
        EXPECT_EQ(hello->path, std::string("/vel/kem/") + name + "/Object");
    }
    // A stand-in of the table answers only on its own interface, like the daemon it plays.
    char answer[64];
    BusMethodCall foreign{"hodrad", "GetIgnition", nullptr, 0, "vel.kem.method"};
    ASSERT_EQ(gs32_dbus_method_call(worker.get(), foreign, answer, sizeof answer, nullptr), kBusOk);
    EXPECT_STREQ(answer, "the stand-in has no such interface");

    EXPECT_EQ(sim.stop(), 0) << sim.output();
    EXPECT_NE(sim.output().find("sim: stopped"), std::string::npos) << sim.output();
}
