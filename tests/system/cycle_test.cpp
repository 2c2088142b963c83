// Whole connection cycles of the daemon on a private bus: waiting for the network service,
// connecting, fetching, interpreting, uploading in parts, and every failure's retry.

#include <chrono>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "support/http_server.h"

using namespace korvad_test;

using Cycle = DaemonTest;

TEST_F(Cycle, WaitsForTheNetworkServiceAndItsLinkThenFetchesInterpretsAndPosts) {
    // wenlodX answers every WhoIsThere, wenlod only once it is told to; wenlod's link is
    // down until its notification says it is up.
    KORVAD_START_WORLD({"wenlodX", "--no-hello", "wenlod", "--answer",
                        "wenlod.GetConInterface=NotConnected"});
    korvad_.start_with_job(server_, "FWLI;;;\r\nAPLI;\r\n# note\r\nDLTS;5000\r\nFWSW;3600\r\n",
                           "http_user user\nhttp_passwd pass\n");

    auto first = recorder_.wait_for(signal_filter("WhoIsThere"), 5000);
    ASSERT_TRUE(first);
    EXPECT_EQ(0u, first->args[0].rfind("korvad_", 0));
    EXPECT_EQ((std::vector<std::string>{first->args[0], "", "", ""}), first->args);
    EXPECT_EQ("/vel/kem/" + first->args[0] + "/Object", first->path);
    auto at_first = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder_.wait_for(signal_filter("HELLO", "wenlodX")));
    ASSERT_TRUE(recorder_.wait_for(signal_filter("WhoIsThere", first->args[0]), 5000))
        << "a HELLO from wenlodX does not end the wait";
    EXPECT_GT(seconds_since(at_first), 2.5);
    EXPECT_EQ(0u, gets(server_));

    sim_.command("hello wenlod on");
    auto start = recorder_.wait_for(call_filter("StartConnection"), 5000);
    ASSERT_TRUE(start);
    EXPECT_EQ("vel.kem.wenlod", start->destination);
    EXPECT_EQ((std::vector<std::string>{"120"}), start->args);
    ASSERT_TRUE(recorder_.wait_for(call_filter("GetConInterface")));
    ASSERT_TRUE(next_worker_trigger(recorder_, korvad_));
    EXPECT_EQ(0u, gets(server_)) << "NotConnected keeps the worker waiting";
    sim_.command("emit wenlod vel.kem.wenlod Network_Notification s:ppp0 s:UP");

    EXPECT_EQ("FWLI;0\r\nAPLI;0\r\n#;0\r\nDLTS;0\r\nFWSW;0\r\n", server_.posted(kFinal, 5000));
    EXPECT_EQ(1u, count(recorder_, call_filter("GetConInterface")));
    EXPECT_EQ(1u, count(recorder_, call_filter("StartConnection")));
    std::vector<std::string> requests = server_.requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_NE(std::string::npos, requests[0].find("\"path\": \"/jobs/dev/job.txt\""));
    EXPECT_NE(std::string::npos, requests[0].find("\"Authorization\": \"Basic dXNlcjpwYXNz\""));
    EXPECT_EQ((std::vector<std::string>{"/" + kFinal}), server_.posted_names());
}

TEST_F(Cycle, EmptyJobPostsAnEmptyFinalPart) {
    KORVAD_START_WORLD();
    korvad_.start_with_job(server_, "");
    ASSERT_TRUE(eventually([&] { return server_.posted_names().size() >= 1; }, 8000));
    std::string post = server_.requests()[1];
    EXPECT_NE(std::string::npos, post.find("\"Content-Length\": \"0\"")) << post;
    EXPECT_EQ("/" + kFinal, server_.posted_names()[0]);
}

TEST_F(Cycle, FollowUpJobInTheReplyToTheFinalPartRunsWithoutAFetch) {
    KORVAD_START_WORLD();
    // Enough lines to cross a second, so that the next cycle is due at the final reply.
    const std::string job = "FWSW;0\r\n" + repeat("#\r\n", 60);
    server_.control(R"({"followup": "FWLO\r\nAPLI;\r\n"})");
    korvad_.start_with_job(server_, job);
    ASSERT_TRUE(eventually([&] { return server_.requests().size() >= 3; }, 10000))
        << korvad_.log();
    EXPECT_EQ("GPP", server_.methods().substr(0, 3)) << "no fetch before the follow-up";
    server_.control("");
    EXPECT_TRUE(eventually([&] { return server_.posted(kFinal) == "FWLO;0\r\nAPLI;0\r\n"; }, 3000));
}

namespace {

struct FailureCase {
    const char* label;
    const char* control;  // job server behaviour
    bool refused;         // aim at a port nobody listens on
    const char* logged;
    bool fetch_failed;    // the fetch adds "Error occured"
};

}  // namespace

TEST_F(Cycle, EveryFailureResetsAndRetriesSixtySecondsAfterTheFailedStart) {
    KORVAD_REQUIRE_FAKETIME();
    const FailureCase cases[] = {
        {"404", R"({"get_status": 404})", false,
         ": ms32_connhandler_http_errors: Unknown ERROR: 404", true},
        {"401", R"({"get_status": 401})", false,
         ": ms32_connhandler_http_errors: Server ERROR: 401", true},
        {"refused", "", true, ": ms32_connhandler_http_errors: Client ERROR: -", true},
        {"2 MiB", R"({"get_size": 2097152})", false,
         ": ms32_connhandler_get_nextjob: NextJob to large: >= 2097152", false},
        // Refused as soon as the head (or the chunks read so far) says so, not by the guard.
        {"2 GiB announced", R"({"get_mode": "flood"})", false,
         ": ms32_connhandler_get_nextjob: NextJob to large: >= 2097152", false},
        {"endless chunks", R"({"get_mode": "chunk-flood"})", false,
         ": ms32_connhandler_get_nextjob: NextJob to large: >= 2097152", false},
        {"201 to the POST", R"({"post_status": 201})", false,
         ": mv_connhandler_gprs_job_send_result_data_task: No response message received", false},
    };
    KORVAD_START_WORLD();
    constexpr int kSpeed = 20;
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.label);
        JobServer server;
        ASSERT_TRUE(server.start());
        server.put_job("jobs/dev/job.txt", "FWSW;5\r\n");
        server.control(c.control);
        Korvad korvad;
        const int port = c.refused ? refused_port() : server.port();
        korvad.add_connection("a.config", Korvad::connection(port, "dev"));
        korvad.start(kSpeed);
        ASSERT_TRUE(korvad.wait_log(c.logged, 10000)) << korvad.log();
        auto failed = std::chrono::steady_clock::now();
        // The retry: after a new HELLO, 60 daemon seconds after the failed cycle's start.
        ASSERT_TRUE(korvad.wait_log(c.logged, 15000, 2)) << korvad.log();
        double real = seconds_since(failed) * kSpeed;
        EXPECT_GT(real, 50.0);
        EXPECT_LT(real, 90.0);
        if (!c.refused) {
            EXPECT_EQ(2u, gets(server));
        }
        EXPECT_EQ(c.fetch_failed,
                  korvad.log().find(": ms32_connhandler_get_nextjob: Error occured") !=
                      std::string::npos);
        EXPECT_EQ(0, korvad.stop(SIGTERM));
    }
}

TEST_F(Cycle, GuardEndsATransferThatNeverAnswersAndKeepsTheWatchdogAlive) {
    KORVAD_REQUIRE_FAKETIME();
    KORVAD_START_WORLD();
    // Header lines keep coming, each well within the client's time-out: only the guard
    // can end this transfer.
    server_.control(R"({"get_mode": "trickle"})");
    korvad_.start_with_job(server_, "FWLO\r\n", "", 20);
    auto who = recorder_.wait_for(signal_filter("WhoIsThere"), 5000);
    ASSERT_TRUE(who);
    std::string worker_pid = who->args[0].substr(strlen("korvad_"));
    // The failed cycle lasted longer than the retry interval: the next one would start at
    // the network service's next HELLO and fetch again. Silenced, it keeps the count at one.
    ASSERT_TRUE(eventually([&] { return gets(server_) == 1; }, 5000));
    sim_.command("hello wenlod off");
    ASSERT_TRUE(korvad_.wait_log(worker_pid + ": ms32_connhandler_get_nextjob: Error occured", 20000))
        << korvad_.log();
    // One GET for the whole guarded transfer; the retry a failed cycle makes 60 s later
    // may already have begun.
    const auto gets_at_the_end = gets(server_);
    EXPECT_EQ(std::string::npos, korvad_.log().find("Client ERROR")) << korvad_.log()
        << "the guard ended the transfer before it stored a result";
    // 240 seconds of guarded transfer: the worker's registration kept alive every 5.
    BusFilter trigger = signal_filter("TriggerWatchdog", worker_pid);
    trigger.path = "/vel/kem/" + who->args[0] + "/Object";
    EXPECT_GE(count(recorder_, trigger), 40u);
    EXPECT_EQ(1u, gets_at_the_end);
}

// With transfer_user the transfer process alone runs as that user, without supplementary
// groups and unable to regain privileges, while the worker and the guard beside it keep
// theirs; the cycle completes as before. A user that does not exist stops the daemon.
TEST_F(Cycle, TransferProcessRunsAsTheTransferUser) {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
    const std::string uid = std::to_string(nobody->pw_uid);
    KORVAD_START_WORLD();
    server_.control(R"({"get_delay": 3})");
    korvad_.system_more = "transfer_user nobody\n";
    korvad_.start_with_job(server_, "FWSW;3600\r\n");
    auto who = recorder_.wait_for(signal_filter("WhoIsThere"), 5000);
    ASSERT_TRUE(who);
    const pid_t worker = std::stoi(who->args[0].substr(strlen("korvad_")));
    auto status_field = [](pid_t pid, const std::string& field) {
        const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
        const size_t at = status.find("\n" + field + ":\t");
        if (at == std::string::npos) return std::string();
        std::string value = status.substr(at + field.size() + 3,
                                          status.find('\n', at + 1) - at - field.size() - 3);
        while (!value.empty() && value.back() == ' ') value.pop_back();
        return value;
    };
    // During the held GET: the guard and the transfer process.
    std::string seen;
    ASSERT_TRUE(eventually(
        [&] {
            seen.clear();
            for (pid_t child : children_of(worker)) {
                seen += status_field(child, "Uid") + " groups[" + status_field(child, "Groups") +
                        "] nnp " + status_field(child, "NoNewPrivs") + "\n";
            }
            return seen.find(uid + "\t" + uid + "\t" + uid + "\t" + uid + " groups[] nnp 1") !=
                       std::string::npos &&
                   seen.find("0\t0\t0\t0 groups[") != std::string::npos;
        },
        15000))
        << seen << korvad_.log();
    EXPECT_EQ("0\t0\t0\t0", status_field(worker, "Uid"));
    EXPECT_TRUE(wait_final(server_)) << korvad_.log();
    korvad_.stop(SIGTERM);

    korvad_.system_more = "transfer_user no-such-user-of-korvad\n";
    korvad_.start();
    ASSERT_TRUE(eventually([&] { return !korvad_.running(); }, 10000));
    EXPECT_EQ(1, korvad_.exit_status());
    EXPECT_NE(std::string::npos,
              korvad_.log().find("transfer_user 'no-such-user-of-korvad' is no user of this system"))
        << korvad_.log();
}
