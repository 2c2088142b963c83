// The project's job server (sim/jobserver) as a child process: serves JobFiles from a
// folder, keeps posted parts, and misbehaves on demand through its control file.
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

    // Starts the server on an ephemeral port of 127.0.0.1 (args: more options, such as
    // --tls-cert); the reason when it does not.
    testing::AssertionResult start(const std::vector<std::string>& args = {});
    int port() const { return port_; }
    const std::string& root() const { return dir_.path(); }

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
    // The methods of the requests in order, "G" for a GET and "P" for a POST.
    std::string methods() const;
    // The TLS handshakes in order: "full", "resumed" or "failed" each.
    std::vector<std::string> handshakes() const;

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace korvad_test
