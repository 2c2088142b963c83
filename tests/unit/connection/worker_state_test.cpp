// The worker's record: the result buffers sized from the configuration.
#include <gtest/gtest.h>

#include "connection/worker_state.h"

TEST(WorkerState, ResultBuffersHaveTheConfiguredSize) {
    struct Case {
        uint32_t configured;
        int32_t result;
        uint32_t capacity;
        uint32_t line_capacity;
    } cases[] = {{8192, 0, 8192, 8192}, {4096, 0, 4096, 4096}, {100, 0, 100, 4096},
                 {3, 0, 3, 4096},       {2, -1, 0, 0},          {0, -1, 0, 0}};
    for (const Case& c : cases) {
        ConnectionConfig record{};
        record.max_result_file_size = c.configured;
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
