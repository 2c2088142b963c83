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

bool JobServer::start(std::string* why) {
    std::string script = std::string(KORVAD_SOURCE_DIR) + "/sim/jobserver/korvad-jobserver.py";
    std::string out = dir_.path() + "/server.out";
    // The server is a host program: it runs natively even when the suite is cross-built.
    pid_ = spawn({"python3", script, "--root", dir_.path() + "/www"}, {}, out);
    bool up = eventually(
        [&] {
            std::istringstream words(read_file(out));
            std::string word;
            return words >> word && word == "PORT" && words >> port_;
        },
        10000);
    if (!up && why != nullptr) *why = "job server did not start: " + read_file(out);
    return up;
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

std::vector<JobServer::Post> JobServer::posts() const {
    std::vector<Post> posts;
    for (const std::string& line : requests()) {
        size_t number = line.find("\"post\": ");
        if (number == std::string::npos) continue;
        Post post;
        size_t start = line.find("\"path\": \"") + 9;
        post.name = line.substr(start, line.find('"', start) - start);
        post.status = atoi(line.c_str() + line.find("\"status\": ") + 10);
        char file[16];
        snprintf(file, sizeof file, "%05d", atoi(line.c_str() + number + 8));
        post.body = read_file(dir_.path() + "/www/received/" + file);
        posts.push_back(post);
    }
    return posts;
}

std::vector<std::string> JobServer::posted_names() const {
    std::vector<std::string> names;
    for (const std::string& line : requests()) {
        if (line.find("\"method\": \"POST\"") == std::string::npos) continue;
        size_t start = line.find("\"path\": \"") + 9;
        names.push_back(line.substr(start, line.find('"', start) - start));
    }
    return names;
}

}  // namespace korvad_test
