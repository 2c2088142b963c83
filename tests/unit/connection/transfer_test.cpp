// Guarded transfers: what the transfer process produces reaches the worker, results and
// failures come back through the slot, and nothing is left behind.
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "connection/transfer.h"

namespace {

struct Job {
    std::string body;
    int32_t result = 0;
    int pipe_fd = -1;  // where the guard reports its triggers
    unsigned sleep_ms = 0;
};

int32_t write_body(void* context, int fd) {
    auto* job = static_cast<Job*>(context);
    if (job->sleep_ms > 0) usleep(job->sleep_ms * 1000);
    if (!job->body.empty()) {
        gs32_transfer_write_all(fd, job->body.data(), static_cast<uint32_t>(job->body.size()));
    }
    return job->result;
}

void report_trigger(void* context) {
    auto* job = static_cast<Job*>(context);
    if (job->pipe_fd >= 0 && write(job->pipe_fd, "T", 1) != 1) _exit(3);
}

int segment_count() {
    struct shm_info info {};
    return shmctl(0, SHM_INFO, reinterpret_cast<shmid_ds*>(&info));
}

}  // namespace

TEST(Transfer, OutputAndResultReachTheWorker) {
    const struct {
        TransferKind kind;
        std::string body;
        int32_t result;
    } cases[] = {
        {TransferKind::kFetch, "FWLI;\r\n", 0},
        {TransferKind::kUpload, "OK\r\nFWLO;\r\n", 0},
        {TransferKind::kFetch, "", 0},
        {TransferKind::kFetch, "", -8},
        {TransferKind::kUpload, "partial", -9},
        {TransferKind::kFetch, std::string(2u << 20, 'j'), 0},
    };
    int segments_before = segment_count();
    for (const auto& c : cases) {
        Job job{c.body, c.result};
        HeapBuffer output;
        uint32_t length = 12345;
        EXPECT_EQ(c.result,
                  gs32_transfer_run(c.kind, write_body, report_trigger, &job, &output, &length));
        ASSERT_EQ(c.body.size(), length);
        if (c.body.empty()) {
            EXPECT_EQ(nullptr, output.get());
        } else {
            ASSERT_NE(nullptr, output.get());
            EXPECT_EQ(0, memcmp(c.body.data(), output.get(), length));
            EXPECT_EQ('\0', output.get()[length]);  // the reader may search it as text
        }
    }
    EXPECT_EQ(segments_before, segment_count()) << "every slot is removed after its transfer";
}

TEST(Transfer, GuardTriggersWhileATransferLastsAndIsEndedWithIt) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    Job job{"late", 0, fds[1], 5600};
    HeapBuffer output;
    uint32_t length = 0;
    EXPECT_EQ(0, gs32_transfer_run(TransferKind::kFetch, write_body, report_trigger, &job,
                                   &output, &length));
    close(fds[1]);
    // The guard is killed with the transfer: once its write end is gone the pipe ends.
    std::string triggers;
    char c;
    while (read(fds[0], &c, 1) == 1) triggers += c;
    close(fds[0]);
    EXPECT_EQ("T", triggers);
    EXPECT_EQ(4u, length);
}
