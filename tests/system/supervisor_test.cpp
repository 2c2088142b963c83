// The supervisor: registration and presence, watchdog, workers, next-job requests, and
// how it ends.
#include <signal.h>

#include <chrono>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "daemon_fixture.h"

using namespace korvad_test;

using Supervisor = DaemonTest;

// One daemon without connections through its whole life: registration, presence, watchdog,
// a rival for its name, SIGCHLD, and the orderly end on SIGTERM; then SIGINT ends another.
TEST_F(Supervisor, WithoutConnectionsItRegistersAnswersKeepsTheWatchdogAliveAndEndsInOrder) {
    KORVAD_START_WORLD();
    korvad_.start();
    auto hello = recorder_.wait_for(signal_filter("HELLO", "korvad"), 5000);
    ASSERT_TRUE(hello) << korvad_.log();
    EXPECT_EQ((std::vector<std::string>{"korvad", "v3_02r5", "unknown",
                                        "daemon handles communication between client and server"}),
              hello->args);
    EXPECT_EQ("/vel/kem/korvad/Object", hello->path);
    auto registered = recorder_.wait_for(call_filter("RegisterWatchdog", "korvad"));
    ASSERT_TRUE(registered);
    EXPECT_EQ((std::vector<std::string>{"korvad", std::to_string(korvad_.pid()), "signal01.beep",
                                        "100"}),
              registered->args);
    ASSERT_TRUE(korvad_.wait_log(std::to_string(korvad_.pid()) + ": Korvad started", 2000));
    // The first trigger at once, the next five seconds later. A WhoIsThere in between gets
    // one HELLO, long before the second trigger.
    BusFilter trigger = signal_filter("TriggerWatchdog", std::to_string(korvad_.pid()));
    ASSERT_TRUE(recorder_.wait_for(trigger, 2000));
    auto answered = [&] {
        sim_.command("emit hodrad vel.kem.broadcast WhoIsThere s:hodrad s: s: s:");
        return recorder_.wait_for(signal_filter("HELLO", "korvad"), 2000).has_value();
    };
    ASSERT_TRUE(answered());
    ASSERT_TRUE(recorder_.wait_for(trigger, 7000));
    EXPECT_EQ(2u, count(recorder_, signal_filter("HELLO", "korvad")));
    EXPECT_EQ(1u, count(recorder_, signal_filter("WhoIsThere"))) << "no worker was started";
    // Broadcasts it has no use for never queue up in front of a WhoIsThere: taken one per
    // pass, these two hundred would hold the answer for more than a minute.
    for (int i = 0; i < 200; ++i) sim_.command("emit hodrad vel.kem.broadcast Noise s:x");
    sim_.command("emit hodrad vel.kem.broadcast WhoIsThere s:hodrad s: s: s:");
    ASSERT_TRUE(recorder_.wait_for(signal_filter("HELLO", "korvad"), 10000));

    // A second daemon cannot take the name, and ends.
    Korvad second;
    second.start();
    EXPECT_TRUE(second.wait_log("korva daemon can't register on dbus", 5000)) << second.log();
    EXPECT_TRUE(eventually([&] { return !second.running(); }, 3000));
    EXPECT_EQ(0, second.exit_status());

    // SIGCHLD is ignored: a second WhoIsThere, which the loop can only take in a pass after
    // the one the signal came in, is answered too. SIGTERM, and SIGINT for another daemon,
    // end it at once in order.
    kill(korvad_.pid(), SIGCHLD);
    ASSERT_TRUE(answered() && answered());
    ASSERT_TRUE(korvad_.running());
    auto ends_in_order = [&](Korvad& korvad, int signal_number) {
        SCOPED_TRACE(signal_number);
        // "At once" as against the 25 s that an unanswered CancelWatchdog would cost; the
        // bound leaves room for an emulated processor on a loaded machine.
        auto sent = std::chrono::steady_clock::now();
        EXPECT_EQ(0, korvad.stop(signal_number, 10000));
        EXPECT_LT(seconds_since(sent), 10.0);
        EXPECT_TRUE(recorder_.wait_for(signal_filter("GOODBYE", "korvad"), 1000));
        EXPECT_TRUE(recorder_.wait_for(call_filter("CancelWatchdog"), 1000));
    };
    ends_in_order(korvad_, SIGTERM);
    Korvad other;
    other.start();
    ASSERT_TRUE(other.wait_log("Korvad started", 10000)) << other.log();
    ends_in_order(other, SIGINT);
}

TEST_F(Supervisor, TwoConnectionFilesGiveTwoWorkersWithTheirOwnNamesAndCycles) {
    KORVAD_START_WORLD();
    server_.put_job("jobs/one/job.txt", "FWLO\r\nFWSW;3600\r\n");
    server_.put_job("jobs/two/job.txt", "APLI;\r\nFWSW;3600\r\n");
    korvad_.add_connection("one.config", Korvad::connection(server_.port(), "one"));
    korvad_.add_connection("two.config", Korvad::connection(server_.port(), "two"));
    korvad_.start();
    EXPECT_EQ("FWLO;0\r\nFWSW;0\r\n", server_.posted("results/one/result.txt.00001.end", 8000));
    EXPECT_EQ("APLI;0\r\nFWSW;0\r\n", server_.posted("results/two/result.txt.00001.end", 8000));
    // Each worker registers its own watchdog under its own name. (Not every worker needs to
    // ask WhoIsThere: the network service's answer to the first one reaches both.)
    std::set<std::string> names;
    while (names.size() < 3) {
        auto registered = recorder_.wait_for(call_filter("RegisterWatchdog"), 3000);
        if (!registered) break;
        names.insert(registered->args[0]);
        if (registered->args[0] != "korvad") {
            EXPECT_EQ("korvad_" + registered->args[1], registered->args[0]);  // name and pid
        }
    }
    EXPECT_EQ(3u, names.size()) << "the supervisor and two workers with names of their own";
    EXPECT_EQ(1u, names.count("korvad"));
}

TEST_F(Supervisor, RequestNextJobNowFlipsTheByteThatWorkersWatch) {
    // The worker is busy in a slow fetch while the signals arrive: two flips cancel out,
    // three leave one change, which starts one more cycle once the worker is idle again.
    const struct {
        int signals;
        size_t fetches;
    } cases[] = {{2, 1}, {3, 2}};
    KORVAD_START_WORLD({"requester"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signals);
        JobServer server;
        ASSERT_TRUE(server.start());
        server.control(R"({"get_delay": 3})");
        Korvad korvad;
        korvad.start_with_job(server, "FWSW;3600\r\n");
        ASSERT_TRUE(eventually([&] { return gets(server) == 1; }, 8000))
            << korvad.log() << sim_.output();
        for (int i = 0; i < c.signals; ++i) {
            sim_.command("emit requester vel.kem.korvad RequestNextJobNow");
        }
        server.control("");
        ASSERT_TRUE(eventually([&] { return server.posted_names().size() >= 1; }, 8000))
            << korvad.log() << sim_.output();
        ASSERT_TRUE(next_worker_trigger(recorder_, korvad));
        EXPECT_EQ(c.fetches, gets(server));
        EXPECT_EQ(0, korvad.stop(SIGTERM));
    }
}

TEST_F(Supervisor, RefusedWatchdogMeansNoTriggersButStillACancel) {
    KORVAD_START_WORLD({"--refuse", "hodrad.RegisterWatchdog"});
    // A GET that lasts longer than the guard's trigger interval: the guard does not
    // trigger either.
    server_.control(R"({"get_delay": 7})");
    korvad_.start_with_job(server_, "FWSW;3600\r\n");
    ASSERT_TRUE(korvad_.wait_log(std::to_string(korvad_.pid()) +
                                     ": Can't register WD, prepare for reset",
                                 5000));
    ASSERT_FALSE(server_.posted(kFinal, 15000).empty())
        << "the worker runs its cycles without a watchdog";
    EXPECT_EQ(0u, count(recorder_, signal_filter("TriggerWatchdog")));
    EXPECT_EQ(1u, count(recorder_, call_filter("RegisterWatchdog")));
    EXPECT_EQ(0, korvad_.stop(SIGTERM));
    auto cancel = recorder_.wait_for(call_filter("CancelWatchdog"), 2000);
    ASSERT_TRUE(cancel);
}
