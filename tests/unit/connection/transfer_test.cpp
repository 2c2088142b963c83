// Guarded transfers: what the transfer process produces reaches the worker, results and
// failures come back through the output file, and a transfer, however it ends, leaves the
// worker (here the test process) as it was.
#include "connection/transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/process.h"

namespace {

struct Job {
    std::string body;
    int32_t result = 0;
    bool hang = false;  // allocate 32 MiB, then trickle output until killed
};

int32_t write_body(void* context, int fd) {
    auto* job = static_cast<Job*>(context);
    if (job->hang) {
        const size_t size = 32u << 20;
        char* chunk = static_cast<char*>(malloc(size));
        if (chunk != nullptr) memset(chunk, 'x', size);
        for (;;) {
            gs32_transfer_write_all(fd, "t", 1);
            usleep(100000);
        }
    }
    if (!job->body.empty()) {
        gs32_transfer_write_all(fd, job->body.data(), static_cast<uint32_t>(job->body.size()));
    }
    return job->result;
}

// What a transfer could leave in the worker: memory, heap, descriptors, children.
struct ProcessState {
    long rss_kib = 0;
    long long heap_bytes = 0;  // in use, from the arena and from mmap'd chunks
    int fds = 0;
    bool children = false;

    static ProcessState now() {
        ProcessState state;
        long resident = 0;  // the second number, in pages
        sscanf(korvad_test::read_file("/proc/self/statm").c_str(), "%*s %ld", &resident);
        state.rss_kib = resident * (sysconf(_SC_PAGESIZE) / 1024);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
        struct mallinfo2 heap = mallinfo2();
        state.heap_bytes =
            static_cast<long long>(heap.uordblks) + static_cast<long long>(heap.hblkhd);
#endif
        for (int fd = 0; fd < 1024; ++fd) state.fds += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        siginfo_t info{};
        state.children = waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
        return state;
    }
};

}  // namespace

TEST(Transfer, OutputAndResultReachTheWorkerAndLeaveItAsItWas) {
    // The last two are ended by the guard: a transfer that was killed hands nothing over.
    Job cases[] = {
        {"FWLI;\r\n", 0}, {"OK\r\nFWLO;\r\n", 0},          {"", 0},        {"", -8},
        {"partial", -9},  {std::string(2u << 20, 'j'), 0}, {"", -9, true}, {"", -9, true},
    };
    HeapBuffer output;
    uint32_t length = 0;
    // Warm up what the first transfers allocate for good (stdio, the output file) and what
    // the allocator keeps of the outputs they freed (the second 2 MiB come from the heap).
    for (int pass = 0; pass < 2; ++pass) {
        for (Job& c : cases) {
            if (!c.hang) gs32_transfer_run(write_body, nullptr, &c, &output, &length);
        }
    }
    output.reset();
    ProcessState before = ProcessState::now();
    for (Job& c : cases) {
        length = 12345;
        const TransferLimits limits = c.hang ? TransferLimits{1, 1} : TransferLimits{};
        EXPECT_EQ(c.result, gs32_transfer_run(write_body, nullptr, &c, &output, &length, limits));
        ASSERT_EQ(c.body.size(), length);
        if (c.body.empty()) {
            EXPECT_EQ(nullptr, output.get());
        } else {
            ASSERT_NE(nullptr, output.get());
            EXPECT_EQ(0, memcmp(c.body.data(), output.get(), length));
            EXPECT_EQ('\0', output.get()[length]);  // the reader may search it as text
        }
    }
    output.reset();
    ProcessState after = ProcessState::now();
    printf("worker after the transfers: RSS %ld -> %ld KiB, heap in use %lld -> %lld bytes\n",
           before.rss_kib, after.rss_kib, before.heap_bytes, after.heap_bytes);
    EXPECT_LT(after.rss_kib - before.rss_kib, 4096);
    EXPECT_EQ(before.heap_bytes, after.heap_bytes);
    EXPECT_EQ(before.fds, after.fds);
    EXPECT_FALSE(after.children) << "both processes of every transfer are reaped";
}
