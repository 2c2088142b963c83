// The watchdog client against the hodrad stand-in of the simulator.
#include "bus/sys.h"

#include <unistd.h>

#include "bus_test_util.h"

using bus_test::ScopedContext;

namespace {

class SysTest : public bus_test::StandInTest {
  protected:
    SysTest() : StandInTest("hodrad") {
        gu32_copy_bounded(worker->CMDOnWatchdog, "signal01.beep", sizeof worker->CMDOnWatchdog);
        worker->watchdog_interval = 250;
    }

    const std::string pid = std::to_string(getpid());
};

using Client = int32_t (*)(const BusContext*);

}  // namespace

TEST_F(SysTest, CallsCarryTheirArgumentsToHodrad) {
    ASSERT_EQ(gs32_sys_register_watchdog(worker.get()), 0);
    ASSERT_EQ(gs32_sys_cancel_watchdog(worker.get()), 0);
    ASSERT_EQ(gs32_sys_get_ignition(worker.get()), 1);
    const std::string hodrad = "vel.kem.hodrad /vel/kem/hodrad/Object vel.kem.hodrad.";
    const std::pair<const char*, std::string> calls[] = {
        {"RegisterWatchdog", "RegisterWatchdog (susu) [" + bus_test::worker_name() + "] [" + pid +
                                 "] [signal01.beep] [250]"},
        {"CancelWatchdog", "CancelWatchdog (u) [" + pid + "]"},
        {"GetIgnition", "GetIgnition ()"},
    };
    for (const auto& [member, expected] : calls) {
        EXPECT_EQ(bus_test::seen(recorder.wait_for({DBUS_MESSAGE_TYPE_METHOD_CALL, "", member})),
                  hodrad + expected);
    }
    EXPECT_TRUE(sim.wait_for_line("hodrad: answered RegisterWatchdog (s \"OK\")"));
}

TEST_F(SysTest, ResultsFollowTheAnswer) {
    const struct {
        const char* method;
        Client client;
        const char* setting;
        const char* value;
        int32_t result;
    } cases[] = {
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer", "OK, registered", 0},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer", "O", -9},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer", "ok", -9},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "refuse", "", -9},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "no-args", "", -10},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer-u32", "1", -9},
        {"CancelWatchdog", gs32_sys_cancel_watchdog, "refuse", "", -9},
        {"CancelWatchdog", gs32_sys_cancel_watchdog, "answer", "OKAY", 0},
        {"CancelWatchdog", gs32_sys_cancel_watchdog, "no-args", "", -9},
        {"CancelWatchdog", gs32_sys_cancel_watchdog, "answer-u32", "0", -9},
        // Ignition is on unless the answer begins with "OF".
        {"GetIgnition", gs32_sys_get_ignition, "answer", "OFF", 0},
        {"GetIgnition", gs32_sys_get_ignition, "answer", "OF", 0},
        {"GetIgnition", gs32_sys_get_ignition, "answer", "O", 1},
        {"GetIgnition", gs32_sys_get_ignition, "answer", "off", 1},
        {"GetIgnition", gs32_sys_get_ignition, "answer", "", 1},
        {"GetIgnition", gs32_sys_get_ignition, "no-args", "", -9},
        {"GetIgnition", gs32_sys_get_ignition, "answer-u32", "0", -9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.setting + " " + c.value);
        tell(c.setting, c.method, c.value);
        EXPECT_EQ(c.client(worker.get()), c.result);
    }
}

TEST_F(SysTest, MissingContextOrConnectionIsRefused) {
    BusContext unconnected{};
    BusContext bad_path = worker.context;  // a name that makes no object path
    gu32_copy_bounded(bad_path.name, "not a path", sizeof bad_path.name);
    auto stay_alive_30 = [](const BusContext* context) { return gs32_sys_stay_alive(context, 30); };
    const struct {
        const char* name;
        Client client;
        int32_t without;  // result without a context or a connection
    } cases[] = {
        {"register", gs32_sys_register_watchdog, -9},
        {"cancel", gs32_sys_cancel_watchdog, -5},
        {"ignition", gs32_sys_get_ignition, -5},
        {"trigger", gs32_sys_trigger_watchdog, -5},
        {"stay alive", stay_alive_30, -5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.client(nullptr), c.without) << c.name;
        EXPECT_EQ(c.client(&unconnected), c.without) << c.name;
    }
    EXPECT_EQ(gs32_sys_trigger_watchdog(&bad_path), -1);
    EXPECT_EQ(gs32_sys_stay_alive(worker.get(), 0), -5);
}

TEST_F(SysTest, SignalsCarryTheValueFromTheOwnPath) {
    ASSERT_EQ(gs32_sys_trigger_watchdog(worker.get()), 0);
    ASSERT_EQ(gs32_sys_stay_alive(worker.get(), 30), 0);
    const std::string path = "/vel/kem/" + bus_test::worker_name() + "/Object";
    const std::pair<const char*, std::string> signals[] = {{"TriggerWatchdog", pid},
                                                           {"StayAlive", "30"}};
    for (const auto& [member, value] : signals) {
        EXPECT_EQ(bus_test::seen(recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "", member})),
                  " " + path + " vel.kem.hodrad." + member + " (u) [" + value + "]");
    }
    EXPECT_TRUE(sim.wait_for_line("hodrad: signal vel.kem.hodrad.TriggerWatchdog (u " + pid +
                                  ") from " + path))
        << sim.output();
}

TEST_F(SysTest, GuardTriggersForItsWorkerOnTheWorkersConnection) {
    // The worker korvad_1234 with pid 1234: its guard is a forked copy of it.
    ScopedContext worker_1234("korvad_1234");
    ASSERT_EQ(gs32_dbus_connect_private(worker_1234.get()), 0);
    EXPECT_EQ(bus_test::run_in_child([] { return -gs32_sys_trigger_watchdog_for(1234); }), 0);
    auto signal =
        recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.hodrad", "TriggerWatchdog"});
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->path, "/vel/kem/korvad_1234/Object");
    EXPECT_EQ(signal->sender, dbus_bus_get_unique_name(worker_1234->connection));
    EXPECT_EQ(signal->args, std::vector<std::string>{"1234"});
    EXPECT_TRUE(sim.wait_for_line(
        "hodrad: signal vel.kem.hodrad.TriggerWatchdog (u 1234) from /vel/kem/korvad_1234/Object"))
        << sim.output();

    gv_dbus_disconnect(worker_1234.get());
    EXPECT_EQ(gs32_sys_trigger_watchdog_for(1234), -1) << "no own context any more";
}
