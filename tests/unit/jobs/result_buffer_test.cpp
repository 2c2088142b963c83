// The ResultBuffer: the two-byte reserve, a carry past the line, the result line's bound.
// Lines split over parts and the first-call flag are proved through the interpreter
// (JobReader.HandlerIsCalledAgain...).
#include "jobs/result_buffer.h"

#include "job_harness.h"

using namespace jobs_test;

namespace {
int32_t append(const std::string& text) {
    return gs32_ch_cp_to_result_buffer(text.data(), static_cast<uint32_t>(text.size()));
}
// The ready part as "<bytes>/<number>", with ".end" when it is the final one.
std::string take() {
    ResultPart part;
    if (gs32_ch_take_part(&part) != 0) return "none ready";
    return std::string(part.data, part.length) + "/" + std::to_string(part.number) +
           (part.final ? ".end" : "");
}
}  // namespace

TEST(ResultBuffer, FillsToCapacityLessTwoBeforeANumberedPartIsReady) {
    start_worker(4096);
    EXPECT_EQ(0, append(std::string(4094, 'a')));  // exactly to capacity - 2
    EXPECT_EQ("none ready", take());
    EXPECT_EQ(-6, append("b"));
    EXPECT_EQ(std::string(4094, 'a') + "/1", take());
    EXPECT_EQ(0, append("b"));
    gv_ch_close_final_part();
    EXPECT_EQ("b/2.end", take());
    gv_ch_close_final_part();  // the next job numbers its parts from 1 again
    EXPECT_EQ("/1.end", take());
}

TEST(ResultBuffer, ACarryLongerThanTheLineStoresNothing) {
    start_worker(4096);
    LogCapture log;
    g_worker_state.result.fill_length = 100;
    g_worker_state.result.carry_length = 5;
    EXPECT_EQ(0, append("abc"));
    EXPECT_EQ(100u, g_worker_state.result.fill_length);
    EXPECT_EQ(0u, g_worker_state.result.carry_length);
    EXPECT_EQ(with_pids({"gs32_ch_cp_to_result_buffer: Warning, overflow."}), log.lines());
}

// Output longer than the result line buffer is cut, never written past it.
TEST(ResultLine, LongerOutputIsCut) {
    start_worker(8);
    const uint32_t capacity = g_worker_process.result_line.capacity;
    const std::string huge(capacity + 10, 'x');
    EXPECT_EQ(capacity - 1, gu32_ch_format_result_line("%s", huge.c_str()));
}
