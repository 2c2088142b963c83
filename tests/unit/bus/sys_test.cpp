// The watchdog client against the hodrad stand-in of the simulator.
#include "bus/sys.h"

#include <unistd.h>

#include "bus_test_util.h"

namespace {

class SysTest : public bus_test::StandInTest {
  protected:
    SysTest() : StandInTest("hodrad") {
        gu32_copy_bounded(worker->CMDOnWatchdog, "signal01.beep", sizeof worker->CMDOnWatchdog);
        worker->watchdog_interval = 250;
    }

};

using Client = int32_t (*)(const BusContext*);

}  // namespace

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

