#include "sim_timer.h"

#include <time.h>

int64_t SimNowMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

uint64_t SimTimers::Add(int64_t DueMs, Fn Callback) {
    const uint64_t id = next_++;
    queue_.emplace(std::make_pair(DueMs, id), std::move(Callback));
    due_.emplace(id, DueMs);
    return id;
}

bool SimTimers::Cancel(uint64_t Id) {
    auto it = due_.find(Id);
    if (it == due_.end()) return false;
    queue_.erase(std::make_pair(it->second, Id));
    due_.erase(it);
    return true;
}

int64_t SimTimers::NextDue() const {
    return queue_.empty() ? -1 : queue_.begin()->first.first;
}

size_t SimTimers::RunDue(int64_t NowMs) {
    const uint64_t limit = next_;
    size_t ran = 0;
    for (;;) {
        auto it = queue_.begin();
        while (it != queue_.end() && it->first.first <= NowMs && it->first.second >= limit) ++it;
        if (it == queue_.end() || it->first.first > NowMs) break;
        Fn fn = std::move(it->second);
        due_.erase(it->first.second);
        queue_.erase(it);
        fn();
        ++ran;
    }
    return ran;
}
