#include <gtest/gtest.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "pem_utils.h"
#include "pem_worker.h"

namespace {
// Milliseconds from "now" (read just before) to the deadline.
long long DeadlineOffsetUs(unsigned ms, struct timespec* out) {
    struct timeval before {};
    gettimeofday(&before, nullptr);
    PemSetTimeout(out, ms);
    const long long deadlineUs = static_cast<long long>(out->tv_sec) * 1000000LL + out->tv_nsec / 1000;
    return deadlineUs - (static_cast<long long>(before.tv_sec) * 1000000LL + before.tv_usec);
}
}  // namespace

TEST(PemSetTimeout, DeadlinesAreNowPlusTimeOutWithCarry) {
    for (unsigned ms : {0u, 1u, 999u, 1000u, 2500u, 60000u}) {
        struct timespec ts {};
        const long long offset = DeadlineOffsetUs(ms, &ts);
        // The read of "now" inside is later; the carry keeps nanoseconds below a second.
        EXPECT_TRUE(offset >= ms * 1000LL && offset < ms * 1000LL + 20000) << ms << ": " << offset;
        EXPECT_TRUE(ts.tv_nsec >= 0 && ts.tv_nsec < 1000000000L) << ms << ": " << ts.tv_nsec;
    }
}

// Request workers: concurrent requests each get a thread (none waits for another), a finished
// worker takes the next request instead of a new thread, and stopping ends them all.
TEST(PemWorker, ConcurrentRequestsEachRunAtOnceAndFinishedWorkersAreReused) {
    struct Gate {
        std::mutex M;
        std::condition_variable Cv;
        int Arrived = 0, Done = 0;
        bool Open = false;
    } g;
    auto job = [](void* p) -> void* {
        Gate& g = *static_cast<Gate*>(p);
        std::unique_lock<std::mutex> l(g.M);
        ++g.Arrived;
        g.Cv.notify_all();
        g.Cv.wait_for(l, std::chrono::seconds(5), [&] { return g.Open; });
        ++g.Done;
        g.Cv.notify_all();
        return nullptr;
    };
    auto waitFor = [&](int& count, int n) {
        std::unique_lock<std::mutex> l(g.M);
        return g.Cv.wait_for(l, std::chrono::seconds(5), [&] { return count >= n; });
    };
    PemWorkerGroup group;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(PemWorkerRun(&group, job, &g), 0);
    }
    EXPECT_TRUE(waitFor(g.Arrived, 8)) << "a request waited for another to finish";
    EXPECT_EQ(PemWorkerThreads(), 8);
    {
        std::lock_guard<std::mutex> l(g.M);
        g.Open = true;
    }
    g.Cv.notify_all();
    EXPECT_TRUE(waitFor(g.Done, 8));
    int idle = 0;
    for (int i = 0; i < 5000 && (PemWorkerThreads(&idle), idle < 8); ++i) usleep(1000);
    EXPECT_EQ(idle, 8);
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(PemWorkerRun(&group, job, &g), 0);
    }
    EXPECT_EQ(PemWorkerWait(&group, 5000), 1);
    EXPECT_EQ(g.Done, 16);
    EXPECT_EQ(PemWorkerThreads(), 8) << "finished workers were not reused";
    PemWorkerStopAll(2000);
    EXPECT_EQ(PemWorkerThreads(), 0);
}
