// One-shot timers for the single event loop: answers held back by a delay now, keep-alive
// and retransmission time-outs later. Times are milliseconds on the monotonic clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

int64_t SimNowMs();

class SimTimers {
  public:
    using Fn = std::function<void()>;

    // Schedules Fn at DueMs; returns an id for Cancel (never 0).
    uint64_t Add(int64_t DueMs, Fn Callback);
    // False when the timer already ran or was cancelled.
    bool Cancel(uint64_t Id);
    // Due time of the earliest timer, or -1 when there is none.
    int64_t NextDue() const;
    // Runs, in due order (ties in order of adding), every timer due at NowMs that existed when
    // the call began; timers a callback adds wait for the next call. Returns how many ran.
    size_t RunDue(int64_t NowMs);
    size_t Size() const { return queue_.size(); }

  private:
    std::map<std::pair<int64_t, uint64_t>, Fn> queue_;
    std::unordered_map<uint64_t, int64_t> due_;
    uint64_t next_ = 1;
};
