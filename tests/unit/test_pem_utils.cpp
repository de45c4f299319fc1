#include <gtest/gtest.h>
#include <sys/time.h>

#include "pem_utils.h"

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
