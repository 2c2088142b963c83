// The worker's record: start values, buffers, JobFile copy and the handlers' accessors.
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "connection/worker_state.h"

namespace {

ConnectionConfig make_record(uint32_t result_size) {
    ConnectionConfig record{};
    record.DLTS = 20000;
    record.max_result_file_size = result_size;
    strcpy(record.man_in_the_middle, "relayd");
    strcpy(record.ServerExchangeFolder, "/tmp/exchange/");
    strcpy(record.client_id, "unit7");
    return record;
}

}  // namespace

TEST(WorkerState, ResultBuffersHaveTheConfiguredSize) {
    struct Case {
        uint32_t configured;
        int32_t result;
        uint32_t capacity;
        uint32_t line_capacity;
    } cases[] = {{8192, 0, 8192, 8192}, {4096, 0, 4096, 4096}, {100, 0, 100, 4096},
                 {3, 0, 3, 4096},       {2, -1, 0, 0},          {0, -1, 0, 0}};
    for (const Case& c : cases) {
        const ConnectionConfig record = make_record(c.configured);
        gv_ch_worker_state_start(&record);
        EXPECT_EQ(c.result, gs32_ch_alloc_result_buffers()) << c.configured;
        EXPECT_EQ(c.capacity, g_worker_state.result.capacity) << c.configured;
        EXPECT_EQ(c.line_capacity, g_worker_process.result_line.capacity) << c.configured;
        EXPECT_EQ(c.result == 0, g_worker_state.result.data != nullptr) << c.configured;
    }
    gv_ch_free_result_buffers();
    EXPECT_EQ(nullptr, g_worker_state.result.data.get());
    EXPECT_EQ(nullptr, g_worker_process.result_line.data.get());
}

TEST(WorkerState, AccessorsActOnTheWorkersRecord) {
    const ConnectionConfig record = make_record(8192);
    gv_ch_worker_state_start(&record);
    EXPECT_EQ(0, gs32_ch_set_dl_max_transfer_size(4294967295u));
    EXPECT_EQ(-1, gs32_ch_get_dl_max_transfer_size());  // the u32 read back as i32
    // The addresses of the worker's own copies, so handlers see later edits too.
    EXPECT_EQ(g_worker_state.config.man_in_the_middle, gpc_ch_get_man_in_the_middle());
    EXPECT_STREQ("relayd", gpc_ch_get_man_in_the_middle());
    EXPECT_EQ(g_worker_state.config.ServerExchangeFolder, gpc_ch_get_server_exchange_folder());
}
