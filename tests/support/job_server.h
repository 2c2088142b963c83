// The project's job server (korvad-server) as a child process with its test root: serves
// JobFiles from a folder (or the device's queue), keeps posted parts as files and in its
// database, and misbehaves on demand through its control file.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"

namespace korvad_test {

class JobServer {
public:
    ~JobServer();

    // Starts the server on an ephemeral port of 127.0.0.1; the reason when it does not.
    // With a database URL it runs as a fleet's server would, without the test root.
    // more: further options of "serve", such as --tls-cert.
    testing::AssertionResult start(const std::string& db_url = "",
                                   const std::vector<std::string>& more = {});
    int port() const { return port_; }
    const std::string& root() const { return dir_.path(); }
    // Runs "korvad-server <args> --db <its database>" and returns what it printed.
    RunResult command(const std::vector<std::string>& args) const;

    // Puts a JobFile where "GET /<path>" finds it.
    void put_job(const std::string& path, const std::string& content) const;
    // Replaces the control file (JSON, see the server's help); "" removes it.
    void control(const std::string& json) const;
    // The posted part under path ("" when none), waiting up to timeout_ms for it.
    std::string posted(const std::string& path, int timeout_ms = 0) const;
    // Every posted part in arrival order: its name, its bytes and the status answered.
    struct Post {
        std::string name;
        std::string body;
        int status = 0;
    };
    std::vector<Post> posts() const;
    // Names of all posted parts in posting order, and the JSON lines of all requests.
    std::vector<std::string> posted_names() const;
    std::vector<std::string> requests() const;
    // Each TLS handshake the server made: "full", "resumed" or "failed", in order.
    std::vector<std::string> handshakes() const;
    // The methods of the requests in order, "G" for a GET and "P" for a POST.
    std::string methods() const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string db_;
};

}  // namespace korvad_test
