// Guarded transfers in the whole daemon: a transfer and its guard never outlive their
// worker nor hold its bus connections, and nothing piles up over many cycles.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "daemon_fixture.h"

using namespace korvad_test;

namespace {

class Transfer : public DaemonTest {};

// The worker of a daemon with one connection, once the supervisor has started it.
pid_t worker_of(Korvad& korvad) {
    std::vector<pid_t> workers;
    eventually([&] { return (workers = children_of(korvad.pid())).size() == 1; }, 5000);
    return workers.size() == 1 ? workers[0] : -1;
}

bool shares_a_socket(pid_t a, pid_t b) {
    std::vector<std::string> of_a = fd_targets(a), of_b = fd_targets(b);
    return std::any_of(of_a.begin(), of_a.end(), [&](const std::string& target) {
        return target.rfind("socket:", 0) == 0 &&
               std::find(of_b.begin(), of_b.end(), target) != of_b.end();
    });
}

// Children, their children, and so on.
std::vector<pid_t> descendants_of(pid_t pid) {
    std::vector<pid_t> all = children_of(pid);
    for (size_t i = 0; i < all.size(); ++i) {
        std::vector<pid_t> more = children_of(all[i]);
        all.insert(all.end(), more.begin(), more.end());
    }
    return all;
}

}  // namespace

TEST_F(Transfer, AHangingTransferEndsWithItsDaemonAndLeavesNothingBehind) {
    KORVAD_START_WORLD();
    server_.put_job("jobs/dev/job.txt", "FWLO\r\n");
    server_.control(R"({"get_mode": "hang"})");
    const struct {
        int signal_number;
        bool at_worker;  // the worker alone first, then the supervisor with SIGTERM
    } cases[] = {{SIGKILL, false}, {SIGTERM, false}, {SIGKILL, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.signal_number) + (c.at_worker ? " to the worker" : ""));
        Korvad korvad;
        korvad.add_connection("a.config", Korvad::connection(server_.port(), "dev"));
        const size_t gets_before = gets(server_);
        const time_t started = time(nullptr);
        korvad.start();
        const pid_t supervisor = korvad.pid();
        const pid_t worker = worker_of(korvad);
        ASSERT_GT(worker, 0) << korvad.log();
        ASSERT_TRUE(eventually([&] { return gets(server_) > gets_before; }, 8000)) << korvad.log();
        // The worker waits for the transfer process and its guard.
        std::vector<pid_t> children;
        ASSERT_TRUE(
            eventually([&] { return (children = descendants_of(worker)).size() == 2; }, 3000));
        for (pid_t child : children) {
            EXPECT_FALSE(shares_a_socket(child, supervisor)) << "child " << child;
            EXPECT_FALSE(shares_a_socket(child, worker)) << "child " << child;
        }
        std::vector<pid_t> all = children;
        all.push_back(supervisor);
        all.push_back(worker);
        EXPECT_EQ(1u, segments_created_by(all, started)) << "the request toggle byte, in use";

        if (c.at_worker) {
            kill(worker, c.signal_number);
            std::vector<pid_t> ended = children;
            ended.push_back(worker);
            EXPECT_TRUE(eventually(
                [&] { return std::all_of(ended.begin(), ended.end(), process_gone); }, 2000));
            EXPECT_TRUE(korvad.running());
            kill(supervisor, SIGTERM);
        } else {
            kill(supervisor, c.signal_number);
        }
        EXPECT_TRUE(
            eventually([&] { return std::all_of(all.begin(), all.end(), process_gone); }, 2000));
        EXPECT_TRUE(eventually([&] { return segments_created_by(all, started) == 0; }, 1000));
        korvad.stop(SIGKILL);  // reaps the supervisor and waits for its name to go

        // The bus names went with them: a daemon started again registers.
        Korvad again;
        again.start();
        EXPECT_TRUE(again.wait_log("Korvad started", 5000)) << again.log();
        EXPECT_EQ(std::string::npos, again.log().find("can't register on dbus"));
        EXPECT_EQ(0, again.stop(SIGTERM));
    }
}

TEST_F(Transfer, HundredsOfCyclesLeaveTheWorkerAsItWas) {
    // A cycle starts in the first idle pass of each new second: with the daemon's clock 50
    // times faster a few hundred cycles pass in seconds of real time. Where the clock
    // cannot be sped up (under the emulator), twenty cycles at one a second.
    const bool fast = !faketime_library().empty();
    const size_t kCycles = fast ? 300 : 20;
    KORVAD_START_WORLD({"requester"});
    const std::string idle_job = "FWLO\r\nFWSW;3600\r\n";
    const std::string idle_result = "FWLO;0\r\nFWSW;0\r\n";
    const time_t started = time(nullptr);
    korvad_.start_with_job(server_, idle_job, "", fast ? 50 : 1);
    const pid_t worker = worker_of(korvad_);
    ASSERT_GT(worker, 0) << korvad_.log();
    const std::vector<pid_t> daemon = {korvad_.pid(), worker};

    struct Snapshot {
        size_t fds, segments;
    };
    // Taken when the worker is idle, without children, after a cycle of the idle job.
    auto snapshot = [&] {
        EXPECT_TRUE(eventually([&] { return server_.posted(kFinal) == idle_result; }, 20000))
            << korvad_.log();
        EXPECT_TRUE(eventually([&] { return children_of(worker).empty(); }, 3000));
        return Snapshot{fd_targets(worker).size(), segments_created_by(daemon, started)};
    };
    const Snapshot before = snapshot();

    server_.put_job("jobs/dev/job.txt", "FWSW;0\r\n");
    const size_t gets_before = gets(server_);
    sim_.command("emit requester vel.kem.korvad RequestNextJobNow");
    ASSERT_TRUE(eventually([&] { return gets(server_) >= gets_before + kCycles; }, 240000, 200))
        << gets(server_) - gets_before << " cycles\n"
        << korvad_.log();
    server_.put_job("jobs/dev/job.txt", idle_job);
    const Snapshot after = snapshot();

    EXPECT_EQ(before.fds, after.fds);
    EXPECT_EQ(1u, before.segments) << "the request toggle byte";
    EXPECT_EQ(before.segments, after.segments);
    EXPECT_TRUE(korvad_.running());
}
