// The watchdog client against the hodrad stand-in of the simulator.
#include "bus/sys.h"

#include "bus_test_util.h"

class SysTest : public bus_test::StandInTest {};

TEST_F(SysTest, ResultsFollowTheAnswer) {
    const struct {
        const char* method;
        int32_t (*client)(const BusContext*);
        const char* setting;
        const char* value;
        int32_t result;
    } cases[] = {
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer", "OK, registered", 0},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer", "O", -9},
        {"RegisterWatchdog", gs32_sys_register_watchdog, "answer", "ok", -9},
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
        {"GetIgnition", gs32_sys_get_ignition, "no-args", "", -9},
        {"GetIgnition", gs32_sys_get_ignition, "answer-u32", "0", -9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.setting + " " + c.value);
        tell(c.setting, std::string("hodrad.") + c.method, c.value);
        EXPECT_EQ(c.client(worker.get()), c.result);
    }
}
