// A fleet on korvad-server: one daemon with 50 connections (50 devices to the server), on
// SQLite and on a real PostgreSQL server. Every upload is stored once and decoded, and each
// device's queued jobs arrive in order, the later ones as follow-ups in the replies.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "daemon_fixture.h"

using namespace korvad_test;

namespace {

constexpr int kDevices = 50;
constexpr int kJobs = 3;
const std::string kCluster = std::string(KORVAD_SOURCE_DIR) + "/tests/support/pg_cluster.py";

// Job k answers k APLI lines, which tells in the upload which job ran; its DBUS call to a
// silent daemon holds the cycle for the call's 7 s, so that the next cycle is due when the
// last part is answered and the device takes the follow-up (FWSW;0: no wait).
std::string job(int k) { return "FWSW;0\r\n" + repeat("APLI;\r\n", k) + "DBUS;1;slow;Wait;0;\r\n"; }

struct Upload {
    std::string state;
    std::string job;
    int aplis = 0;
};

// The uploads of every device, in arrival order, from "korvad-server results".
std::map<std::string, std::vector<Upload>> uploads(const JobServer& server) {
    std::map<std::string, std::vector<Upload>> found;
    std::istringstream lines(server.command({"results"}).out);
    static const std::regex head("upload \\S+ of (\\S+) (\\w+): .*?(, job (\\d+))?( \\(.*)?");
    Upload* last = nullptr;
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, head)) {
            found[m[1]].push_back({m[2], m[4]});
            last = &found[m[1]].back();
        } else if (last != nullptr && line.find("] APLI 0 ") != std::string::npos) {
            ++last->aplis;
        }
    }
    return found;
}

class Fleet : public DaemonTest, public testing::WithParamInterface<const char*> {
protected:
    void TearDown() override {
        if (!cluster_.path().empty()) run({KORVAD_PYTHON, kCluster, "stop", cluster_.path()});
    }
    TempDir cluster_;
};

TEST_P(Fleet, EveryUploadStoredOnceAndQueuedJobsDeliveredInOrder) {
    std::string db;
    if (std::string(GetParam()) == "postgresql") {
        if (!std::string(KORVAD_EMULATOR).empty()) GTEST_SKIP() << "native builds only";
        RunResult started = run({KORVAD_PYTHON, kCluster, "start", cluster_.path()}, {}, 180000);
        if (started.exit_status == 3) GTEST_SKIP() << started.out;
        ASSERT_EQ(0, started.exit_status) << started.out << started.err;
        db = started.out.substr(0, started.out.find('\n'));
    }
    std::string why;
    if (test_bus(&why) == nullptr) GTEST_SKIP() << why;
    ASSERT_TRUE(sim_.start({"hodrad", "wenlod", "slow", "--silent", "slow.Wait"}, &why)) << why;
    JobServer server;
    ASSERT_TRUE(server.start(db));
    TempDir jobs;
    std::string devices;
    std::vector<std::string> queue = {"queue", ""};
    for (int k = 1; k <= kJobs; ++k) queue.push_back(jobs.write(std::to_string(k), job(k)));
    for (int i = 0; i < kDevices; ++i) {
        const std::string id = "d" + std::to_string(i);
        devices += (i ? "," : "") + id;
        korvad_.add_connection(id + ".config", Korvad::connection(server.port(), id));
    }
    queue[1] = devices;
    const RunResult queued = server.command(queue);
    ASSERT_EQ(0, queued.exit_status) << queued.err;
    korvad_.start();

    // Each device: its three jobs, then the park job of its empty queue (no APLI line).
    auto all_parked = [&] {
        const auto found = uploads(server);
        int parked = 0;
        for (const auto& [device, list] : found) parked += list.size() > kJobs;
        return parked == kDevices;
    };
    ASSERT_TRUE(eventually(all_parked, 150000, 2000)) << korvad_.log();
    for (const auto& [device, list] : uploads(server)) {
        ASSERT_EQ(kJobs + 1u, list.size()) << device << ": an upload lost or stored twice";
        for (int k = 0; k <= kJobs; ++k) {
            EXPECT_EQ("complete", list[k].state) << device;
            EXPECT_EQ(k < kJobs ? k + 1 : 0, list[k].aplis) << device << " upload " << k;
        }
        EXPECT_EQ("", list[kJobs].job) << device << ": the park job is no queued job";
    }
    // Two GETs each (the first job and the park job): the other jobs came as follow-ups.
    const std::string status = server.command({"status"}).out;
    for (int i = 0; i < kDevices; ++i) {
        const std::string line = "d" + std::to_string(i) + ": last GET ";
        const size_t at = status.find(line);
        ASSERT_NE(std::string::npos, at) << status;
        EXPECT_NE(std::string::npos,
                  status.substr(at, status.find('\n', at) - at).find("2 GETs, 4 POSTs, 4 uploads, 0 failed"))
            << status.substr(at, 200);
    }
    EXPECT_EQ(std::string::npos, korvad_.log().find("ERROR"))
        << korvad_.log() << read_file(server.root() + "/server.out");
}

INSTANTIATE_TEST_SUITE_P(Databases, Fleet, testing::Values("sqlite", "postgresql"));

}  // namespace
