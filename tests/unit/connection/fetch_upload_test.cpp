// Job fetch and result upload through guarded transfers against the scripted server: the
// HTTP outcome mapping, part names, follow-up jobs and the failure paths.
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>

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
    explicit Worker(int port, const char* user = "", const char* password = "") {
        ConnectionConfig record{};
        snprintf(record.com_server_url, sizeof record.com_server_url, "127.0.0.1");
        record.port_no = static_cast<uint16_t>(port);
        snprintf(record.http_user, sizeof record.http_user, "%s", user);
        snprintf(record.http_passwd, sizeof record.http_passwd, "%s", password);
        record.max_result_file_size = 4096;
        gv_ch_worker_state_start(&record);
        EXPECT_EQ(0, gs32_ch_alloc_result_buffers());
        snprintf(g_worker_state.job_path, sizeof g_worker_state.job_path, "jobs/dev/job.txt");
        snprintf(g_worker_state.result_path, sizeof g_worker_state.result_path,
                 "results/dev/result.txt");
        log_path_ = dir_.path() + "/korvad.log";
        gs32_log_open(log_path_.c_str());
    }
    ~Worker() {
        gs32_log_close();
        gv_ch_free_result_buffers();
        g_worker_state.job_data.reset();
    }
    std::string log() const { return korvad_test::read_file(log_path_); }
    std::string job() const {
        return std::string(g_worker_state.job_data.get(), g_worker_state.job_length);
    }

    // Runs upload steps until the upload has ended; returns the cycle state it set.
    uint32_t upload(const std::string& data, uint32_t part_number, bool final_part) {
        ResultBuffer& result = g_worker_state.result;
        memcpy(result.data.get(), data.data(), data.size());
        result.fill_length = static_cast<uint32_t>(data.size());
        result.part_number = part_number;
        result.part_ready = 1;
        g_worker_process.final_part = final_part ? 1 : 0;
        g_worker_state.end_suffix_pending = final_part ? 1 : 0;
        g_worker_state.cycle_state = CH_UPLOAD;
        for (int step = 0; step < 10 && g_worker_state.cycle_state == CH_UPLOAD; ++step) {
            mv_connhandler_gprs_job_send_result_data_task();
        }
        return g_worker_state.cycle_state;
    }

private:
    TempDir dir_;
    std::string log_path_;
};

}  // namespace

TEST(HttpErrors, EveryOutcomeMapsToTheCycleCodesAndIsLogged) {
    Worker worker(1);
    const struct {
        int32_t code;
        int32_t result;
        const char* logged;  // nullptr: nothing
    } cases[] = {
        {-14, -1, "Unknown ERROR: -14"}, {-13, -9, "Client ERROR: -13"},
        {-1, -9, "Client ERROR: -1"},    {0, 0, nullptr},
        {1, -1, "Unknown ERROR: 1"},     {199, -1, "Unknown ERROR: 199"},
        {200, 0, nullptr},               {201, 0, nullptr},
        {202, -1, "Unknown ERROR: 202"}, {304, -1, "Unknown ERROR: 304"},
        {400, -8, "Server ERROR: 400"},  {401, -8, "Server ERROR: 401"},
        {402, -1, "Unknown ERROR: 402"}, {403, -8, "Server ERROR: 403"},
        {404, -1, "Unknown ERROR: 404"}, {407, -1, "Unknown ERROR: 407"},
        {408, -8, "Server ERROR: 408"},  {409, -1, "Unknown ERROR: 409"},
        {500, -8, "Server ERROR: 500"},  {501, -8, "Server ERROR: 501"},
        {502, -1, "Unknown ERROR: 502"}, {503, -8, "Server ERROR: 503"},
        {504, -1, "Unknown ERROR: 504"},
    };
    for (const auto& c : cases) {
        size_t before = worker.log().size();
        EXPECT_EQ(c.result, ms32_connhandler_http_errors(c.code)) << c.code;
        std::string added = worker.log().substr(before);
        if (c.logged == nullptr) {
            EXPECT_EQ("", added) << c.code;
        } else {
            std::string expected = std::to_string(getpid()) +
                                   ": ms32_connhandler_http_errors: " + c.logged + "\n";
            EXPECT_EQ(expected, added.substr(added.find(' ') + 1)) << c.code;
        }
    }
}

TEST(Fetch, FailuresResetTheJobAndSayWhy) {
    const struct {
        std::string answer;
        int32_t result;
        const char* logged;
    } cases[] = {
        {reply("404 Not Found", ""), -1, "Unknown ERROR: 404"},
        {reply("401 Unauthorized", ""), -8, "Server ERROR: 401"},
        {"ICY 200 OK\r\n\r\n", -9, "Client ERROR: -7"},
    };
    for (const auto& c : cases) {
        ScriptedHttpServer server({korvad_test::read_request(), korvad_test::send(c.answer)});
        Worker worker(server.port());
        gs32_ch_set_job_data("stale", 5);
        EXPECT_EQ(c.result, ms32_connhandler_get_nextjob()) << c.logged;
        EXPECT_EQ(nullptr, g_worker_state.job_data.get());
        std::string log = worker.log();
        EXPECT_NE(std::string::npos, log.find(c.logged)) << log;
        EXPECT_NE(std::string::npos, log.find(": ms32_connhandler_get_nextjob: Error occured\n"));
    }
    Worker refused(korvad_test::refused_port());
    EXPECT_EQ(-9, ms32_connhandler_get_nextjob());
    EXPECT_NE(std::string::npos, refused.log().find("Client ERROR: -")) << refused.log();
}

TEST(Fetch, SizeLimitAndEmptyAnswers) {
    {
        ScriptedHttpServer server({korvad_test::read_request(),
                                   korvad_test::send(reply("200 OK", std::string(2097151, '#')))});
        Worker worker(server.port());
        EXPECT_EQ(0, ms32_connhandler_get_nextjob());
        EXPECT_EQ(2097151u, g_worker_state.job_length);
    }
    {
        ScriptedHttpServer server({korvad_test::read_request(),
                                   korvad_test::send(reply("200 OK", std::string(2097152, '#')))});
        Worker worker(server.port());
        EXPECT_EQ(-10, ms32_connhandler_get_nextjob());
        EXPECT_EQ(nullptr, g_worker_state.job_data.get());
        EXPECT_NE(std::string::npos,
                  worker.log().find(": ms32_connhandler_get_nextjob: NextJob to large: >= 2097152"));
    }
    {
        // A 201 brings no body: the worker holds an empty JobFile, not a stale length.
        ScriptedHttpServer server({korvad_test::read_request(),
                                   korvad_test::send("HTTP/1.1 201 Created\r\n\r\n")});
        Worker worker(server.port());
        gs32_ch_set_job_data("stale", 5);
        EXPECT_EQ(0, ms32_connhandler_get_nextjob());
        EXPECT_EQ(0u, g_worker_state.job_length);
        ASSERT_NE(nullptr, g_worker_state.job_data.get());
    }
}

TEST(Upload, AnswerWithoutReplyFailsTheCycle) {
    ScriptedHttpServer server({korvad_test::read_request(),
                               korvad_test::send("HTTP/1.1 201 Created\r\n\r\n")});
    Worker worker(server.port());
    EXPECT_EQ(CH_RESET, worker.upload("x\r\n", 1, true));
    EXPECT_EQ(UP_IDLE, g_worker_state.upload_state);
    EXPECT_NE(std::string::npos,
              worker.log().find(": mv_connhandler_gprs_job_send_result_data_task: No response "
                                "message received\n"));
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
