// The system bus going away under a running daemon: the supervisor and its worker say so in
// the log and end with a status that makes the init system start the daemon again. Each
// case has a bus of its own, since the case ends it.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "daemon_fixture.h"

using namespace korvad_test;

namespace {

struct LostCase {
    const char* label;
    std::vector<std::string> sim_args;
    const char* control;  // job server behaviour
    bool (*reached)(World&);  // what must have happened before the bus goes
};

}  // namespace

TEST(BusLost, SupervisorAndWorkerLogTheLossAndEndWithStatusOne) {
    // The worker is the supervisor's zombie when the supervisor ends: as the subreaper the
    // test adopts it and sees its status. The emulator of the cross build has no
    // subreaper; there the worker's end shows by its line and its absence only.
    const bool adopts = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    // A posted final part (the worker is idle then), a GET (the fetch is in flight), or a
    // call that the stand-in leaves unanswered.
    const LostCase cases[] = {
        {"idle", {}, "", [](World& w) { return !w.server.posted(kFinal, 8000).empty(); }},
        {"fetch in flight", {}, R"({"get_delay": 2})",
         [](World& w) { return eventually([&] { return gets(w.server) == 1; }, 8000); }},
        {"GetConInterface unanswered", {"--silent", "wenlod.GetConInterface"}, "",
         [](World& w) { return !!w.sim.wait_for_line("wenlod: method GetConInterface", 8000); }},
    };
    for (const LostCase& c : cases) {
        SCOPED_TRACE(c.label);
        PrivateBus bus;
        std::string why;
        if (!bus.start(&why)) GTEST_SKIP() << why;
        setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
        World world;
        ASSERT_TRUE(world.start(bus.address(), c.sim_args));
        world.server.control(c.control);
        Korvad korvad;
        korvad.start_with_job(world.server, "FWSW;3600\r\n");
        ASSERT_TRUE(c.reached(world)) << korvad.log() << world.sim.output();
        std::vector<pid_t> workers = children_of(korvad.pid());
        ASSERT_EQ(1u, workers.size());
        const pid_t supervisor = korvad.pid();
        bus.stop();

        ASSERT_TRUE(eventually([&] { return !korvad.running(); }, 10000)) << korvad.log();
        EXPECT_EQ(1, korvad.exit_status());
        if (adopts) {
            EXPECT_EQ(1, reap(workers[0], 5000));
        } else {
            EXPECT_TRUE(eventually([&] { return process_gone(workers[0]); }, 5000));
        }
        std::string log = korvad.log();
        EXPECT_NE(std::string::npos,
                  log.find(std::to_string(supervisor) + ": bus connection lost, ending"))
            << log;
        EXPECT_NE(std::string::npos,
                  log.find(std::to_string(workers[0]) + ": bus connection lost, ending"))
            << log;
    }
}
