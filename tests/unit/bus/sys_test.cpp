// The watchdog client against the hodrad stand-in of the simulator.
#include "bus/sys.h"

#include <unistd.h>

#include "bus_test_util.h"

using bus_test::ScopedContext;
using korvad_test::BusFilter;
using korvad_test::SimProcess;

namespace {

constexpr int kBusReplyTimeoutMs = 1000;

class SysTest : public bus_test::BusTest {
  protected:
    int reply_timeout_ms() const override { return kBusReplyTimeoutMs; }

    void SetUp() override {
        BusTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        START_SIM(sim, "hodrad");
        gu32_copy_bounded(worker->CMDOnWatchdog, "signal01.beep", sizeof worker->CMDOnWatchdog);
        worker->watchdog_interval = 250;
        ASSERT_EQ(gs32_dbus_connect_private(worker.get()), 0);
    }

    void tell(const std::string& what, const std::string& method, const std::string& value = "") {
        sim.command(what + " hodrad." + method + (value.empty() ? "" : " " + value));
        ASSERT_TRUE(sim.wait_for_line("sim: " + what + " hodrad." + method + " set"))
            << sim.output();
    }

    SimProcess sim;
    ScopedContext worker{bus_test::worker_name()};
    const std::string pid = std::to_string(getpid());
};

}  // namespace

TEST_F(SysTest, RegisterWatchdogSendsNamePidCommandAndInterval) {
    ASSERT_EQ(gs32_sys_register_watchdog(worker.get()), 0);
    auto call = recorder.wait_for({DBUS_MESSAGE_TYPE_METHOD_CALL, "", "RegisterWatchdog"});
    ASSERT_TRUE(call);
    EXPECT_EQ(call->destination, "vel.kem.hodrad");
    EXPECT_EQ(call->path, "/vel/kem/hodrad/Object");
    EXPECT_EQ(call->interface, "vel.kem.hodrad");
    EXPECT_EQ(call->signature, "susu");
    EXPECT_EQ(call->args,
              (std::vector<std::string>{bus_test::worker_name(), pid, "signal01.beep", "250"}));
    EXPECT_TRUE(sim.wait_for_line("hodrad: answered RegisterWatchdog (s \"OK\")"));
}

TEST_F(SysTest, RegisterWatchdogResultFollowsTheAnswer) {
    const struct {
        const char* setting;
        const char* value;
        int32_t result;
    } cases[] = {
        {"answer", "OK", 0},
        {"answer", "OK, registered", 0},
        {"answer", "O", -9},
        {"answer", "ok", -9},
        {"refuse", "", -9},
        {"no-args", "", -10},
        {"answer-u32", "1", -9},
        {"silent", "", -9},  // the bus's time-out text is an answer that is not "OK"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " " + c.value);
        tell(c.setting, "RegisterWatchdog", c.value);
        EXPECT_EQ(gs32_sys_register_watchdog(worker.get()), c.result);
    }
    EXPECT_EQ(gs32_sys_register_watchdog(nullptr), -9);
    BusContext unconnected{};
    EXPECT_EQ(gs32_sys_register_watchdog(&unconnected), -9);
}

TEST_F(SysTest, CancelWatchdogSendsThePidAndFollowsTheAnswer) {
    ASSERT_EQ(gs32_sys_cancel_watchdog(worker.get()), 0);
    auto call =
        recorder.wait_for({DBUS_MESSAGE_TYPE_METHOD_CALL, "vel.kem.hodrad", "CancelWatchdog"});
    ASSERT_TRUE(call);
    EXPECT_EQ(call->signature, "u");
    EXPECT_EQ(call->args, std::vector<std::string>{pid});

    const struct {
        const char* setting;
        const char* value;
        int32_t result;
    } cases[] = {
        {"refuse", "", -9},
        {"answer", "OKAY", 0},
        {"no-args", "", -9},
        {"answer-u32", "0", -9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " " + c.value);
        tell(c.setting, "CancelWatchdog", c.value);
        EXPECT_EQ(gs32_sys_cancel_watchdog(worker.get()), c.result);
    }
    EXPECT_EQ(gs32_sys_cancel_watchdog(nullptr), -5);
    BusContext unconnected{};
    EXPECT_EQ(gs32_sys_cancel_watchdog(&unconnected), -5);
}

TEST_F(SysTest, CancelWithoutTheServiceStillGetsAnAnswer) {
    EXPECT_EQ(sim.stop(), 0) << sim.output();
    // The bus answers for the missing service; its error text is not "OK".
    EXPECT_EQ(gs32_sys_cancel_watchdog(worker.get()), -9);
}

TEST_F(SysTest, GetIgnitionIsOnUnlessTheAnswerBeginsWithOF) {
    const struct {
        const char* setting;
        const char* value;
        int32_t result;
    } cases[] = {
        {"answer", "ON", 1},  {"answer", "OFF", 0}, {"answer", "OF", 0}, {"answer", "O", 1},
        {"answer", "off", 1}, {"answer", "", 1},    {"no-args", "", -9}, {"answer-u32", "0", -9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + " " + c.value);
        tell(c.setting, "GetIgnition", c.value);
        EXPECT_EQ(gs32_sys_get_ignition(worker.get()), c.result);
    }
    auto call = recorder.wait_for({DBUS_MESSAGE_TYPE_METHOD_CALL, "vel.kem.hodrad", "GetIgnition"});
    ASSERT_TRUE(call);
    EXPECT_EQ(call->signature, "");
    EXPECT_EQ(gs32_sys_get_ignition(nullptr), -5);
}

TEST_F(SysTest, TriggerWatchdogCarriesTheOwnPidFromTheOwnPath) {
    ASSERT_EQ(gs32_sys_trigger_watchdog(worker.get()), 0);
    auto signal =
        recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.hodrad", "TriggerWatchdog"});
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->path, "/vel/kem/" + bus_test::worker_name() + "/Object");
    EXPECT_EQ(signal->destination, "");
    EXPECT_EQ(signal->signature, "u");
    EXPECT_EQ(signal->args, std::vector<std::string>{pid});
    EXPECT_TRUE(sim.wait_for_line("hodrad: signal vel.kem.hodrad.TriggerWatchdog (u " + pid +
                                  ") from /vel/kem/" + bus_test::worker_name() + "/Object"))
        << sim.output();

    EXPECT_EQ(gs32_sys_trigger_watchdog(nullptr), -5);
    BusContext unconnected{};
    EXPECT_EQ(gs32_sys_trigger_watchdog(&unconnected), -5);
    BusContext bad_path = worker.context;
    gu32_copy_bounded(bad_path.name, "not a path", sizeof bad_path.name);
    EXPECT_EQ(gs32_sys_trigger_watchdog(&bad_path), -1);
}

TEST_F(SysTest, GuardTriggersForItsWorkerOnTheWorkersConnection) {
    // The worker korvad_1234 with pid 1234: its guard is a forked copy of it.
    ScopedContext worker_1234("korvad_1234");
    ASSERT_EQ(gs32_dbus_connect_private(worker_1234.get()), 0);
    int status = bus_test::run_in_child(
        [] { return bus_test::exit_code(gs32_sys_trigger_watchdog_for(1234)); });
    EXPECT_EQ(status, 0);
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

TEST_F(SysTest, StayAliveSendsANonZeroValue) {
    ASSERT_EQ(gs32_sys_stay_alive(worker.get(), 30), 0);
    auto signal = recorder.wait_for({DBUS_MESSAGE_TYPE_SIGNAL, "vel.kem.hodrad", "StayAlive"});
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->path, "/vel/kem/" + bus_test::worker_name() + "/Object");
    EXPECT_EQ(signal->args, std::vector<std::string>{"30"});
    EXPECT_EQ(gs32_sys_stay_alive(worker.get(), 0), -5);
    EXPECT_EQ(gs32_sys_stay_alive(nullptr, 30), -5);
}
