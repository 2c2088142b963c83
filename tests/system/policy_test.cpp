// korvad on a bus that runs the machine's standard system policy, which denies by default,
// with only the daemon's policy file added: the demo's first job, which holds every command,
// through whole cycles; and what a process of another user may and may not do.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon_fixture.h"

using namespace korvad_test;

namespace {

const std::string kSource = KORVAD_SOURCE_DIR;

// Runs a command of the machine as the user nobody, on the test's bus; its exit status and
// output.
int as_nobody(const std::vector<std::string>& command, std::string* output) {
    TempDir dir;
    std::vector<std::string> argv = {"setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups"};
    argv.insert(argv.end(), command.begin(), command.end());
    const pid_t pid = spawn(argv, {}, dir.path() + "/out");
    const int status = reap(pid, 10000);
    *output = read_file(dir.path() + "/out");
    return status;
}

}  // namespace

class Policy : public DaemonTest {};

TEST_F(Policy, EveryCommandWorksAndOthersOnlySignalTheDaemon) {
    use_system_policy(kSource + "/dist/dbus/vel.kem.korvad.conf");
    TempDir pool, logger, exchange;
    ASSERT_EQ(0, system(("cp -r " + kSource + "/examples/datapool/engine " + pool.path()).c_str()));
    KORVAD_START_WORLD({"target", "serkad", "tulvad_engine", "--set",
                        "tulvad_engine.dir=" + logger.path(), "--set", "tulvad_engine.blocks=4",
                        "--answer", "target.GetStatus=ready", "--set",
                        "serkad.dir=" + pool.path(), "--script",
                        kSource + "/examples/datapool/values.sim"});
    server_.put_job("jobs/dev/job.txt", read_file(kSource + "/examples/jobs/server1-job.txt"));
    korvad_.add_connection("a.config",
                           Korvad::connection(server_.port(), "dev", exchange.path() + "/x"));
    korvad_.start();
    ASSERT_TRUE(wait_final(server_)) << korvad_.log().substr(0, 3000);
    server_.put_job("jobs/dev/job.txt", "FWSW;3600\r\n");

    // What the policy would refuse shows as a failed answer: -10 for an unanswered call.
    const std::string posted = all_posted(server_);
    for (const char* answer : {"FWLI;0\r\nFWLO;0\r\nAPLI;0\r\nDLTS;0\r\nFWSW;0\r\n",
                               "DBUS;0;ready\r\n", "DBUS;0\r\nDBUS;0\r\nKFGV;DAT[VL1",
                               "KFSV;0\r\n", "DLGN;DAT[DLN", "DLCN;0\r\n"}) {
        EXPECT_NE(std::string::npos, posted.find(answer)) << answer << " in\n" << posted;
    }
    EXPECT_EQ(std::string::npos, posted.find(";-10\r\n")) << posted;

    // Another user: its signal asks for the next job at once, but the name stays korvad's.
    ASSERT_TRUE(eventually([&] { return server_.posted(kFinal) == "FWSW;0\r\n"; }, 20000));
    const size_t fetched = gets(server_);
    std::string output;
    EXPECT_EQ(0, as_nobody({"dbus-send", "--system", "--type=signal", "/vel/kem/requester/Object",
                            "vel.kem.korvad.RequestNextJobNow"},
                           &output))
        << output;
    EXPECT_TRUE(eventually([&] { return gets(server_) == fetched + 1; }, 10000));
    EXPECT_NE(0, as_nobody({"dbus-send", "--system", "--print-reply", "--dest=org.freedesktop.DBus",
                            "/org/freedesktop/DBus", "org.freedesktop.DBus.RequestName",
                            "string:vel.kem.korvad", "uint32:4"},
                           &output));
    EXPECT_NE(std::string::npos, output.find("is not allowed to own the service \"vel.kem.korvad\""))
        << output;
}
