#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pem_dbg.h"
#include "test_support_log.h"

TEST(PemDbg, ForceFlagsAndSwitchesDecideWhatIsLogged) {
    LogCapture cap;
    LogEnable = 0;
    PemDbg(0, 1, "forced %d\n", 1);
    PemDbg(0, 0, "quiet\n");
    LogEnable = 1;
    PemDbg(0, 0, "enabled\n");
    LogEnable = 0;
    EXPECT_EQ(cap.Text(), "forced 1\nenabled\n");
}

// Everything left in a pipe's read end, which is closed.
std::string Drain(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof(buf))) > 0;) out.append(buf, static_cast<size_t>(n));
    close(fd);
    return out;
}

TEST(PemDbg, LongMessagesAreCutTo8191CharactersInBothCopies) {
    LogCapture cap;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int savedPrint = std::exchange(PemPrintFd, p[1]);
    PemDbg(1, 1, "%s", std::string(10000, 'x').c_str());  // the pipe holds 64 KiB
    PemPrintFd = savedPrint;
    close(p[1]);
    EXPECT_EQ(Drain(p[0]), std::string(8191, 'x'));
    EXPECT_EQ(cap.Text(), std::string(8191, 'x'));
}

TEST(PemDbg, NothingIsWrittenWithoutBufferOrPrintDescriptor) {
    {
        LogCapture cap;
        PemDbgBuffFree();  // as after teardown
        PemDbg(1, 1, "after teardown\n");
        EXPECT_EQ(cap.Text(), "");
    }
    // With the print descriptor switched off (daemon closed stdout), a forced print does
    // not reach a reused descriptor 1.
    LogCapture cap;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int savedStdout = dup(STDOUT_FILENO);
    dup2(p[1], STDOUT_FILENO);
    close(p[1]);
    const int savedPrint = std::exchange(PemPrintFd, -1);
    PemDbg(1, 1, "logged only\n");
    PemPrintFd = savedPrint;
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    EXPECT_EQ(Drain(p[0]), "");
    EXPECT_EQ(cap.Text(), "logged only\n");
}

TEST(PemDbg, ConcurrentMessagesStayWhole) {
    LogCapture cap;
    constexpr int kThreads = 8, kPerThread = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i)
                PemDbg(0, 1, "thread %d message %04d %s\n", t, i, "abcdefghijklmnopqrstuvwxyz");
        });
    for (auto& th : threads) th.join();
    // Each thread's messages arrive whole, one per line, and in its order.
    std::istringstream text(cap.Text());
    std::vector<int> next(kThreads, 0);
    size_t lines = 0;
    for (std::string line; std::getline(text, line); ++lines) {
        int t = -1, i = -1;
        char tail[64] = {};
        ASSERT_EQ(sscanf(line.c_str(), "thread %d message %d %63s", &t, &i, tail), 3) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads && i == next[t]++ &&
                    std::string(tail) == "abcdefghijklmnopqrstuvwxyz")
            << line;
    }
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kPerThread));
}
