// The job server child process.
#include "support/job_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace korvad_test {

JobServer::~JobServer() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

namespace {

const std::string kServer = std::string(KORVAD_SOURCE_DIR) + "/sim/jobserver/korvad-server";

}  // namespace

testing::AssertionResult JobServer::start(const std::string& db_url,
                                          const std::vector<std::string>& more) {
    std::string out = dir_.path() + "/server.out";
    db_ = db_url.empty() ? "sqlite://" + dir_.path() + "/state.db" : db_url;
    // The server is a host program: it runs natively even when the suite is cross-built.
    // Its test root adds the fault injection and the file views of the tests to the
    // product's queue and database.
    std::vector<std::string> args = {KORVAD_PYTHON, "-B", kServer, "serve", "--db", db_,
                                     "--listen", "127.0.0.1:0", "--quiet"};
    if (db_url.empty()) args.insert(args.end(), {"--test-root", dir_.path() + "/www"});
    args.insert(args.end(), more.begin(), more.end());
    pid_ = spawn(args, {}, out);
    auto listening = [&] {
        const std::string text = read_file(out);
        const size_t at = text.find("listening on 127.0.0.1:");
        return at != std::string::npos && (port_ = atoi(text.c_str() + at + 23)) > 0;
    };
    // A generous bound: a loaded machine (a hundred sanitized workers) can starve its start.
    if (eventually(listening, 30000)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "job server did not start: " << read_file(out);
}

RunResult JobServer::command(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {KORVAD_PYTHON, "-B", kServer};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {"--db", db_});
    return run(argv, {}, 60000);
}

void JobServer::put_job(const std::string& path, const std::string& content) const {
    std::string full = dir_.path() + "/www/" + path;
    std::string command = "mkdir -p '" + full.substr(0, full.rfind('/')) + "'";
    if (system(command.c_str()) != 0) return;
    std::ofstream(full, std::ios::binary) << content;
}

void JobServer::control(const std::string& json) const {
    std::string path = dir_.path() + "/www/control.json";
    if (json.empty()) {
        unlink(path.c_str());
        return;
    }
    // Written aside and renamed, so that the server never reads half a file.
    std::ofstream(path + ".new") << json;
    rename((path + ".new").c_str(), path.c_str());
}

std::string JobServer::posted(const std::string& path, int timeout_ms) const {
    // The server logs a post once its part is stored: the log line says the part is there,
    // and whoever waited for it also finds the request in the log.
    eventually(
        [&] {
            const std::vector<std::string> names = posted_names();
            return std::find(names.begin(), names.end(), "/" + path) != names.end();
        },
        timeout_ms);
    return read_file(dir_.path() + "/www/posted/" + path);
}

std::vector<std::string> JobServer::requests() const {
    std::vector<std::string> lines;
    std::istringstream in(read_file(dir_.path() + "/www/requests.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

namespace {

// The value of key in a JSON request line, a text without its quotes; "" when it has none.
std::string field(const std::string& line, const std::string& key) {
    size_t at = line.find("\"" + key + "\": ");
    if (at == std::string::npos) return "";
    at += key.size() + 4;
    if (line[at] == '"') return line.substr(at + 1, line.find('"', at + 1) - at - 1);
    return line.substr(at, line.find_first_of(",}", at) - at);
}

}  // namespace

std::vector<std::string> JobServer::handshakes() const {
    std::vector<std::string> kinds;
    std::istringstream in(read_file(dir_.path() + "/www/tls.log"));
    for (std::string line; std::getline(in, line);) kinds.push_back(field(line, "handshake"));
    return kinds;
}

std::vector<JobServer::Post> JobServer::posts() const {
    std::vector<Post> posts;
    for (const std::string& line : requests()) {
        const std::string number = field(line, "post");
        if (number.empty()) continue;
        char file[16];
        snprintf(file, sizeof file, "%05d", atoi(number.c_str()));
        posts.push_back({field(line, "path"), read_file(dir_.path() + "/www/received/" + file),
                         atoi(field(line, "status").c_str())});
    }
    return posts;
}

std::vector<std::string> JobServer::posted_names() const {
    std::vector<std::string> names;
    for (const std::string& line : requests()) {
        if (field(line, "method") == "POST") names.push_back(field(line, "path"));
    }
    return names;
}

std::string JobServer::methods() const {
    std::string letters;
    for (const std::string& line : requests()) {
        letters += field(line, "method") == "GET" ? "G" : "P";
    }
    return letters;
}

}  // namespace korvad_test
