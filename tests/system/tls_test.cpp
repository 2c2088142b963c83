// HTTPS connections of the whole daemon, on certificates made for the test: each failed
// check refuses before a request leaves, the device key is guarded, the session is resumed,
// and inside TLS the daemon sends what it sends in plain HTTP.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon_fixture.h"
#include "support/http_server.h"

using namespace korvad_test;

namespace {

class Tls : public DaemonTest {
protected:
    void SetUp() override {
        const RunResult made = run(
            {"bash", std::string(KORVAD_SOURCE_DIR) + "/sim/jobserver/make-certs.sh", certs_.path(),
             "all"},
            {}, 60000);
        if (made.exit_status != 0) GTEST_SKIP() << "the openssl command is needed: " << made.err;
    }

    std::string cert(const std::string& name) const { return certs_.path() + "/" + name; }

    // A job server with the certificate <name>.pem and its key; more: further options.
    JobServer& tls_server(const std::string& name, std::vector<std::string> more = {}) {
        servers_.push_back(std::make_unique<JobServer>());
        more.insert(more.begin(), {"--tls-cert", cert(name + ".pem"), "--tls-key", cert(name + ".key")});
        EXPECT_TRUE(servers_.back()->start("", more));
        return *servers_.back();
    }

    // A connection of client id to the server on port, over TLS with the test fleet's CA.
    std::string tls_connection(int port, const std::string& id, const std::string& more = "") {
        return Korvad::connection(port, id) + "tls_ca_file " + cert("ca.pem") + "\n" + more;
    }

    std::string device(const std::string& key) const {
        return "tls_client_cert " + cert("device.pem") + "\ntls_client_key " + key + "\n";
    }

    TempDir certs_;
    std::vector<std::unique_ptr<JobServer>> servers_;
};

// A TLS record of the handshake, and nothing of a request.
testing::AssertionResult only_handshake(const std::string& bytes) {
    if (bytes.size() > 5 && bytes.compare(0, 2, "\x16\x03") == 0 &&
        bytes.find("GET ") == std::string::npos && bytes.find("POST ") == std::string::npos) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << bytes.size() << " bytes: " << bytes.substr(0, 40);
}

// A request as the server logged it, without its time and the server's note that it came
// over TLS, and with the server's port replaced.
std::string comparable(const std::string& line, int port) {
    std::string text = std::regex_replace(line, std::regex(R"("time": [0-9.e+]+|, "tls": true)"), "");
    return std::regex_replace(text, std::regex(":" + std::to_string(port) + "\\b"), ":PORT");
}

}  // namespace

// Every connection of one daemon fails in its own way; the others run on.
TEST_F(Tls, EachFailedCheckEndsTheTransferBeforeARequest) {
    KORVAD_START_WORLD();
    ScriptedHttpServer plain({send("HTTP/1.0 400 Bad Request\r\n\r\n")});
    std::string wrong_pin = read_file(cert("server.pin")).substr(0, 64);
    wrong_pin[0] = wrong_pin[0] == '0' ? '1' : '0';
    const std::string open_key = certs_.write("open.key", read_file(cert("device.key")));
    chmod(open_key.c_str(), 0644);

    const struct {
        const char* id;
        const char* certificate;  // of the TLS job server; none: the plain scripted one
        bool demands_device;
        std::string more;
        std::string logged;  // behind "TLS "
    } cases[] = {
        {"untrusted", "untrusted", false, "", "127.0.0.1:%: not trusted"},
        {"expired", "expired", false, "", "127.0.0.1:%: expired"},
        {"future", "future", false, "", "127.0.0.1:%: not yet valid"},
        {"wrongname", "wrongname", false, "", "127.0.0.1:%: name mismatch"},
        {"dnsname", "server", false, "tls_server_name wrong.example\n", "wrong.example:%: name mismatch"},
        {"pin", "server", false, "tls_pin_sha256 " + wrong_pin + "\n", "127.0.0.1:%: pin mismatch"},
        {"nodevice", "server", true, "", "127.0.0.1:%: handshake failed"},
        {"plain", nullptr, false, "", "127.0.0.1:%: handshake failed"},
        {"openkey", "server", true, device(open_key),
         "client key " + open_key + " refused, unsafe permissions: mode 0644"},
        {"noca", "server", false, "", "CA file /nonexistent/ca.pem can't be read"},
    };
    std::vector<JobServer*> used;
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        JobServer* server = nullptr;
        if (c.certificate != nullptr) {
            server = &tls_server(c.certificate, c.demands_device
                                                    ? std::vector<std::string>{"--tls-client-ca",
                                                                               cert("ca.pem")}
                                                    : std::vector<std::string>{});
            server->put_job("jobs/" + std::string(c.id) + "/job.txt", "FWLO\r\n");
        }
        const int port = server != nullptr ? server->port() : plain.port();
        std::string file = tls_connection(port, c.id, c.more);
        if (std::string(c.id) == "noca") {
            file = Korvad::connection(port, c.id) + "tls_ca_file /nonexistent/ca.pem\n";
        }
        korvad_.add_connection(std::string(c.id) + ".config", file);
        used.push_back(server);
        expected.push_back(std::regex_replace(c.logged, std::regex("%"), std::to_string(port)));
    }
    korvad_.start();

    for (size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].id);
        EXPECT_TRUE(korvad_.wait_log(": TLS " + expected[i], 30000)) << korvad_.log();
    }
    // Two workers ended at start, before connecting; the others failed their fetch.
    EXPECT_TRUE(korvad_.wait_log("Connection has been killd", 5000, 2));
    EXPECT_TRUE(korvad_.wait_log("ms32_connhandler_get_nextjob: Error occured", 30000, 8));
    EXPECT_TRUE(korvad_.wait_log("ms32_connhandler_http_errors: Client ERROR: -3", 1000, 8));
    EXPECT_TRUE(korvad_.running());
    EXPECT_TRUE(only_handshake(plain.received(0)));
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (used[i] == nullptr) continue;
        SCOPED_TRACE(cases[i].id);
        EXPECT_TRUE(used[i]->requests().empty());
        const bool connected = i < 8;  // the two refused at start never connect
        EXPECT_EQ(connected, !used[i]->handshakes().empty());
    }
}

TEST_F(Tls, ACycleOverTlsSendsThePlainRequestsAndResumesItsSession) {
    KORVAD_START_WORLD();
    // The same job for the same client on three servers: plain, TLS demanding the device
    // certificate (with a pinned key), and TLS reached under its DNS name.
    JobServer& mutual = tls_server("server", {"--tls-client-ca", cert("ca.pem")});
    JobServer& named = tls_server("server");
    const std::string job = "FWLO\r\nFWSW;0\r\n";
    for (JobServer* server : {&server_, &mutual, &named}) server->put_job("jobs/dev/job.txt", job);
    const std::string pin = read_file(cert("server.pin")).substr(0, 64);
    const std::string basic = "http_user device\nhttp_passwd secret\n";
    korvad_.add_connection("plain.config", Korvad::connection(server_.port(), "dev") + basic);
    korvad_.add_connection("mutual.config",
                           tls_connection(mutual.port(), "dev",
                                          basic + device(cert("device.key")) + "tls_pin_sha256 " +
                                              pin + "\n"));
    korvad_.add_connection("named.config",
                           tls_connection(named.port(), "dev", "tls_server_name localhost\n"));
    // Where the test may, the transfers run as an unprivileged user: the key, the authorities
    // and the session they need come from the worker.
    if (geteuid() == 0 && getpwnam("nobody") != nullptr) {
        korvad_.system_more = "transfer_user nobody\n";
    }
    korvad_.start();

    // FWSW;0: cycle after cycle, two transfers each.
    for (JobServer* server : {&mutual, &named}) {
        ASSERT_TRUE(eventually([&] { return server->handshakes().size() >= 4; }, 60000))
            << korvad_.log();
        const std::vector<std::string> kinds = server->handshakes();
        EXPECT_EQ("full", kinds[0]);
        for (size_t i = 1; i < kinds.size(); ++i) EXPECT_EQ("resumed", kinds[i]) << i;
    }
    ASSERT_TRUE(eventually([&] { return server_.requests().size() >= 2; }, 10000));
    const std::vector<std::string> plain = server_.requests(), tls = mutual.requests();
    ASSERT_GE(tls.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_NE(std::string::npos, tls[i].find("\"tls\": true"));
        EXPECT_EQ(comparable(plain[i], server_.port()), comparable(tls[i], mutual.port()));
    }
    EXPECT_EQ("FWLO;0\r\nFWSW;0\r\n", mutual.posted(kFinal));
    EXPECT_EQ(std::string::npos, korvad_.log().find(": TLS ")) << korvad_.log();
}

// A server that takes the connection and never answers: the handshake ends at the client's
// time-out, within the guard's limit, and the guard keeps the worker's watchdog alive.
// Under the emulator, where the clock cannot be sped up, it takes the whole minute.
TEST_F(Tls, AHandshakeThatHangsEndsAtTheTimeOutWhileTheGuardTriggers) {
    KORVAD_START_WORLD();
    ScriptedHttpServer silent({hold()});
    korvad_.add_connection("a.config", tls_connection(silent.port(), "dev"));
    const bool fast = !faketime_library().empty();
    korvad_.start(fast ? 50 : 1);  // at 50, the 60 seconds pass in little more than one
    const std::string failed = "TLS 127.0.0.1:" + std::to_string(silent.port()) +
                               ": handshake failed (-0x6800)";  // a time-out
    ASSERT_TRUE(korvad_.wait_log(failed, fast ? 30000 : 150000)) << korvad_.log();
    EXPECT_TRUE(korvad_.wait_log("ms32_connhandler_get_nextjob: Error occured", 5000));
    EXPECT_TRUE(only_handshake(silent.received(0, 5000)));
    const std::vector<pid_t> workers = children_of(korvad_.pid());
    ASSERT_EQ(1u, workers.size());
    // Every 5 of the 60 seconds, from the guard: the worker waits for its transfer.
    EXPECT_GE(count(recorder_, signal_filter("TriggerWatchdog", std::to_string(workers[0]))), 10u);
}
