// The daemon against a world that misbehaves: upload replies that only acknowledge, sibling
// daemons that stop answering in the middle of a cycle, a server that closes in the middle
// of an upload, and a hundred connections at once.
#include <signal.h>

#include <algorithm>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "daemon_fixture.h"

using namespace korvad_test;

namespace {

// The bus answers a call that got no reply after this long, in place of the library's 25
// seconds: a silent stand-in costs the test seconds, and the daemon meets the same error
// reply that the library's own time-out gives it.
constexpr int kBusReplyTimeoutMs = 1500;

class Robust : public DaemonTest {
protected:
    static void SetUpTestSuite() {
        std::string why;
        test_bus(&why, kBusReplyTimeoutMs);  // the first use of the bus sets its options
    }
};

struct SilentCase {
    const char* label;
    std::vector<std::string> sim_args;
    int speed;                 // the daemon's clock; the second query comes 60 s after
    size_t interface_queries;  // GetConInterface calls until the cycle went on
};

}  // namespace

TEST_F(Robust, PlainOkToTheFinalPartIsAnAcknowledgementEvenWhenTheNextCycleIsDue) {
    // Cycles that last longer than their interval (60 lines cross a second): the next one
    // is due when the "OK\r\n" to the final part arrives. Each cycle must fetch its job.
    KORVAD_START_WORLD();
    for (const char* interval : {"FWSW;0\r\n", "FWSW;-1\r\n"}) {
        SCOPED_TRACE(interval);
        JobServer server;
        ASSERT_TRUE(server.start());
        Korvad korvad;
        korvad.start_with_job(server, interval + repeat("#\r\n", 60));
        ASSERT_TRUE(eventually([&] { return gets(server) >= 3; }, 15000)) << korvad.log();
        EXPECT_EQ(0, korvad.stop(SIGTERM));
        // The daemon may have ended between a GET and its POST.
        const std::string methods = server.methods();
        EXPECT_EQ(repeat("GP", methods.size() / 2) + (methods.size() % 2 ? "G" : ""), methods)
            << "one POST per fetched job, none for an empty one";
        for (const JobServer::Post& post : server.posts()) {
            EXPECT_TRUE(same("FWSW;0\r\n" + repeat("#;0\r\n", 60), post.body)) << post.name;
        }
    }
}

TEST_F(Robust, NetworkServiceThatStopsAnsweringDelaysTheCycleAndIsAskedAgain) {
    // StartConnection unanswered: its result is not looked at, the query follows at once.
    // GetConInterface unanswered or answered without a text: no link is assumed and the
    // worker asks again with the next StartConnection, 60 seconds on.
    const SilentCase cases[] = {
        {"StartConnection silent", {"--silent", "wenlod.StartConnection"}, 1, 1},
        {"GetConInterface silent", {"--silent", "wenlod.GetConInterface"}, 20, 2},
        {"GetConInterface without text", {"--no-args", "wenlod.GetConInterface"}, 20, 2},
    };
    bool faketime = !faketime_library().empty();
    for (const SilentCase& c : cases) {
        if (c.speed > 1 && !faketime) continue;  // the 60 seconds cannot be sped up here
        SCOPED_TRACE(c.label);
        World world;
        KORVAD_START_WORLD(c.sim_args, &world);
        Korvad korvad;
        korvad.start_with_job(world.server, "FWSW;3600\r\n", "", c.speed);
        ASSERT_TRUE(world.recorder.wait_for(call_filter("GetConInterface"), 10000)) << korvad.log();
        // From now on the service answers; a worker that took the failure for an answer
        // has already gone on, one that waits for a notification never will.
        world.sim.command("answer wenlod.GetConInterface ppp0");
        EXPECT_EQ("FWSW;0\r\n", world.server.posted(kFinal, 15000))
            << korvad.log() << world.sim.output();
        EXPECT_EQ(c.interface_queries, count(world.recorder, call_filter("GetConInterface")));
        EXPECT_EQ(1u, gets(world.server));
        EXPECT_EQ(0, korvad.stop(SIGTERM));
    }
}

TEST_F(Robust, UnansweredCancelWatchdogDelaysTheEndButItStillEndsInOrder) {
    KORVAD_START_WORLD({"--silent", "hodrad.CancelWatchdog"});
    korvad_.start_with_job(server_, "FWSW;3600\r\n");
    ASSERT_FALSE(server_.posted(kFinal, 8000).empty()) << korvad_.log();
    // The supervisor waits for its cancellation's time-out, then says GOODBYE and ends in
    // order; its worker ends with it.
    EXPECT_EQ(0, korvad_.stop(SIGTERM, 15000));
    ASSERT_TRUE(sim_.wait_for_line("hodrad: method CancelWatchdog", 2000)) << sim_.output();
    EXPECT_TRUE(recorder_.wait_for(signal_filter("GOODBYE", "korvad"), 2000));
}

TEST_F(Robust, ServerClosingInTheMiddleOfAnUploadCostsThatCycleOnly) {
    KORVAD_REQUIRE_FAKETIME();
    KORVAD_START_WORLD();
    // Parts of 4094 bytes, numbered; the server closes the second POST after 1000 bytes of
    // its body. The cycle is reset, and 60 seconds on the job is fetched and every part
    // posted again: part 1 twice, which the protocol allows; nothing lost. The job in every
    // reply is not taken: only the final part's reply may carry one, and it waits for the
    // next due cycle.
    server_.control(R"({"post_close_at": 2, "post_close_after": 1000, "followup": "FWLO\r\n",
                        "followup_all": true})");
    korvad_.start_with_job(server_, "FWSW;3600\r\n" + repeat("#\r\n", 2000),
                           "max_result_file_size 4096\n", 20);
    const std::string base = "results/dev/result.txt";
    ASSERT_FALSE(server_.posted(base + ".00003.end", 30000).empty()) << korvad_.log();
    EXPECT_TRUE(korvad_.wait_log(": ms32_connhandler_http_errors: Client ERROR: ", 1000))
        << korvad_.log();
    EXPECT_EQ("GPPGPPP", server_.methods());
    const std::string slash = "/" + base;
    EXPECT_EQ((std::vector<std::string>{slash + ".00001", slash + ".00002", slash + ".00001",
                                        slash + ".00002", slash + ".00003.end"}),
              server_.posted_names());
    EXPECT_EQ("FWSW;0\r\n" + repeat("#;0\r\n", 2000),
              server_.posted(base + ".00001") + server_.posted(base + ".00002") +
                  server_.posted(base + ".00003.end"))
        << "the replies to parts 1 and 2 did not replace the job";
    EXPECT_EQ(4094u, server_.posted(base + ".00001").size());
    EXPECT_EQ(0, korvad_.stop(SIGTERM));
}

TEST_F(Robust, AJobInTheReplyToAPartBeforeTheFinalOneIsNotTakenEvenWhenTheCycleIsDue) {
    // Interval 0: the next cycle is due while the parts go up. Only the final part's reply
    // starts the follow-up job, which idles the worker; the earlier replies are ignored.
    KORVAD_REQUIRE_FAKETIME();
    KORVAD_START_WORLD();
    server_.control(R"({"followup": "FWSW;3600\r\n", "followup_all": true})");
    korvad_.start_with_job(server_, "FWSW;0\r\n" + repeat("#\r\n", 2000),
                           "max_result_file_size 4096\n", 20);
    ASSERT_EQ("FWSW;0\r\n", server_.posted("results/dev/result.txt.00001.end", 15000))
        << korvad_.log();
    // The second trigger comes many passes after the post, even when the first came at once.
    ASSERT_TRUE(next_worker_trigger(recorder_, korvad_));
    ASSERT_TRUE(next_worker_trigger(recorder_, korvad_));
    EXPECT_EQ("GPPPP", server_.methods()) << korvad_.log();
    EXPECT_EQ(4094u, server_.posted("results/dev/result.txt.00002").size());
    EXPECT_EQ(0, korvad_.stop(SIGTERM));
}

TEST_F(Robust, AHundredConnectionsCycleAndEndWithNothingLeftBehind) {
    constexpr int kConnections = 100;
    KORVAD_START_WORLD();
    for (int i = 0; i < kConnections; ++i) {
        std::string id = "c" + std::to_string(i);
        server_.put_job("jobs/" + id + "/job.txt", "FWSW;1\r\nFWLO\r\n");
        korvad_.add_connection(id + ".config", Korvad::connection(server_.port(), id));
    }
    const time_t started = time(nullptr);
    korvad_.start();
    const pid_t group = korvad_.pid();
    // Every connection has finished two cycles.
    auto every_twice = [&] {
        std::vector<std::string> names = server_.posted_names();
        for (int i = 0; i < kConnections; ++i) {
            std::string name = "/results/c" + std::to_string(i) + "/result.txt.00001.end";
            if (std::count(names.begin(), names.end(), name) < 2) return false;
        }
        return true;
    };
    ASSERT_TRUE(eventually(every_twice, 120000, 200)) << korvad_.log();
    EXPECT_EQ(static_cast<size_t>(kConnections), children_of(korvad_.pid()).size());
    EXPECT_EQ("FWSW;0\r\nFWLO;0\r\n", server_.posted("results/c99/result.txt.00001.end"));

    // SIGTERM to the whole group, as the init system stops a service.
    kill(-group, SIGTERM);
    ASSERT_TRUE(eventually([&] { return !korvad_.running(); }, 10000)) << korvad_.log();
    EXPECT_EQ(0, korvad_.exit_status());
    EXPECT_TRUE(eventually([&] { return live_in_group(group).empty(); }, 10000))
        << live_in_group(group).size() << " processes left";
    EXPECT_EQ(0u, segments_created_by({group}, started)) << "the request toggle byte is left";
}
