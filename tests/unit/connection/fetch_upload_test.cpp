// Job fetch and result upload through guarded transfers against the scripted server: the
// HTTP outcome mapping, what a fetch keeps of the JobFile, an upload without a reply, and
// the client id in paths.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connection/fetch_upload.h"
#include "connection/worker.h"
#include "connection/worker_state.h"
#include "core/log.h"
#include "support/http_server.h"
#include "support/process.h"

using korvad_test::ScriptedHttpServer;
using korvad_test::TempDir;

namespace {

std::string reply(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// A worker state aimed at 127.0.0.1:port, logging into a file of its own.
class Worker {
public:
    explicit Worker(int port) {
        ConnectionConfig record{};
        snprintf(record.com_server_url, sizeof record.com_server_url, "127.0.0.1");
        record.port_no = static_cast<uint16_t>(port);
        record.max_result_file_size = 4096;
        gv_ch_worker_state_start(&record);
        EXPECT_EQ(0, gs32_ch_alloc_result_buffers());
        log_path_ = dir_.path() + "/korvad.log";
        gs32_log_open(log_path_.c_str());
    }
    ~Worker() {
        gs32_log_close();
        gv_ch_free_result_buffers();
        g_worker_state.job_data.reset();
    }
    // The log without the time stamps: "<pid>: <function>: <text>" lines.
    std::string log() const {
        static const std::regex stamp("(^|\n)[^ \n]+ ");
        return std::regex_replace(korvad_test::read_file(log_path_), stamp, "$1");
    }

private:
    TempDir dir_;
    std::string log_path_;
};

}  // namespace

TEST(HttpErrors, EveryOutcomeMapsToTheCycleCodesAndIsLogged) {
    Worker worker(1);
    const struct {
        int32_t result;
        const char* logged;  // nullptr: nothing; else the log line's text before the code
        std::vector<int32_t> codes;
    } outcomes[] = {
        {0, nullptr, {0, 200, 201}},
        {-9, "Client ERROR: ", {-13, -1}},
        {-8, "Server ERROR: ", {400, 401, 403, 408, 500, 501, 503}},
        {-1, "Unknown ERROR: ", {-14, 1, 199, 202, 402, 404, 407, 409, 502, 504}},
    };
    const std::string pid = std::to_string(getpid()) + ": ";
    std::string logged;
    for (const auto& outcome : outcomes) {
        for (int32_t code : outcome.codes) {
            EXPECT_EQ(outcome.result, ms32_connhandler_http_errors(code)) << code;
            if (outcome.logged == nullptr) continue;
            logged += pid + "ms32_connhandler_http_errors: " + outcome.logged +
                      std::to_string(code) + "\n";
        }
    }
    EXPECT_EQ(logged, worker.log()) << "one line for each code that is not a success, in order";
}

TEST(Fetch, TheJobFileIsTakenWholeOrDroppedWithTheReason) {
    const std::string pid = std::to_string(getpid()) + ": ";
    const std::string largest(2097151, '#');
    const struct {
        std::string answer;
        int32_t result;
        std::string job;  // what the worker holds afterwards; "none": no JobFile
        std::string logged;
    } cases[] = {
        {"ICY 200 OK\r\n\r\n", -9, "none",
         pid + "ms32_connhandler_http_errors: Client ERROR: -7\n" + pid +
             "ms32_connhandler_get_nextjob: Error occured\n"},
        {reply("200 OK", largest), 0, largest, ""},
        {reply("200 OK", largest + "#"), -10, "none",
         pid + "ms32_connhandler_get_nextjob: NextJob to large: >= 2097152\n"},
        // A 201 brings no body: the worker holds an empty JobFile, not a stale one.
        {"HTTP/1.1 201 Created\r\n\r\n", 0, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer.substr(0, 20));
        ScriptedHttpServer server({korvad_test::read_request(), korvad_test::send(c.answer)});
        Worker worker(server.port());
        gs32_ch_set_job_data("stale", 5);
        EXPECT_EQ(c.result, ms32_connhandler_get_nextjob());
        const char* held = g_worker_state.job_data.get();
        const std::string job = held ? std::string(held, g_worker_state.job_length) : "none";
        EXPECT_TRUE(job == c.job) << job.size() << " bytes: " << job.substr(0, 20);
        EXPECT_EQ(c.logged, worker.log());
    }
}

TEST(Upload, AnswerWithoutReplyFailsTheCycle) {
    ScriptedHttpServer server({korvad_test::read_request(),
                               korvad_test::send("HTTP/1.1 201 Created\r\n\r\n")});
    Worker worker(server.port());
    g_worker_state.result.part_ready = 1;
    g_worker_state.cycle_state = CH_UPLOAD;
    for (int step = 0; step < 10 && g_worker_state.cycle_state == CH_UPLOAD; ++step) {
        mv_connhandler_gprs_job_send_result_data_task();
    }
    EXPECT_EQ(CH_RESET, g_worker_state.cycle_state);
    EXPECT_EQ(UP_IDLE, g_worker_state.upload_state);
    EXPECT_EQ(std::to_string(getpid()) +
                  ": mv_connhandler_gprs_job_send_result_data_task: No response message received\n",
              worker.log());
}

TEST(ClientId, OnlyTheFirstPlaceholderIsReplacedWithinTheField) {
    char path[512];
    snprintf(path, sizeof path, "a/<client_id>/b/<client_id>");
    EXPECT_EQ(0, gs32_ch_substitute_client_id(path, "dev7"));
    EXPECT_STREQ("a/dev7/b/<client_id>", path);
    snprintf(path, sizeof path, "plain/path");
    EXPECT_EQ(0, gs32_ch_substitute_client_id(path, "dev7"));
    EXPECT_STREQ("plain/path", path);

    // 500 characters + the 11 of the placeholder: an id of 11 gives exactly 511, 12 is too
    // long and leaves the path alone.
    std::string base(500, 'p');
    snprintf(path, sizeof path, "%s<client_id>", base.c_str());
    EXPECT_EQ(0, gs32_ch_substitute_client_id(path, "12345678901"));
    EXPECT_EQ(511u, strlen(path));
    snprintf(path, sizeof path, "%s<client_id>", base.c_str());
    EXPECT_EQ(-1, gs32_ch_substitute_client_id(path, "123456789012"));
    EXPECT_EQ(base + "<client_id>", path);
}
