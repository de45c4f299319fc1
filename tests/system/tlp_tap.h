// The TLPs the service sends to a unit, as the unit's side of the lab catches them: shared by
// the fixtures whose tests check the requests the service makes of a unit's channels.
#pragma once

#include <algorithm>
#include <thread>
#include <vector>

#include "qor_tap.h"
#include "service_fixture.h"

namespace qortest {

// A TLP the service sent, as the unit sees it, without its sequence number.
struct Tlp {
    uint8_t Type = 0, RW = 0, Chl = 0, B4 = 0, B5 = 0, B6 = 0, B7 = 0;
    std::vector<uint8_t> Data;
    bool operator==(const Tlp&) const = default;
};

// The TLPs `serviceMac` sent since frame *pSeen of the tap: waits until at least `want` came,
// then a moment more so that one too many shows as well; *pSeen moves past every frame read.
inline std::vector<Tlp> SentTlpsSince(FrameTap& tap, const Mac& serviceMac, size_t* pSeen, size_t want,
                                      Clock::duration timeout) {
    using namespace std::chrono_literals;
    std::vector<Tlp> fresh;
    auto collect = [&] {
        fresh.clear();
        const auto frames = tap.Frames();
        for (size_t i = *pSeen; i < frames.size(); ++i) {
            const auto& b = frames[i].Bytes;
            if (frames[i].Source() != serviceMac || b.size() < 22 || b[14] != 0x10) continue;
            Tlp t{static_cast<uint8_t>((b[16] >> 1) & 0x1F), static_cast<uint8_t>(b[16] & 1), b[17], b[18], b[19],
                  b[20], b[21], {}};
            size_t n = 0;
            if (t.Type == 0 && t.RW == 1) n = t.B6 * 4u;
            if (t.Type == 1) n = static_cast<size_t>(((t.B4 & 7) << 8) | t.B5);
            t.Data.assign(b.begin() + 22, b.begin() + 22 + static_cast<long>(std::min(n, b.size() - 22)));
            fresh.push_back(std::move(t));
        }
        return frames.size();
    };
    Eventually(
        [&] {
            collect();
            return fresh.size() >= want;
        },
        want == 0 ? Clock::duration{0} : timeout);
    std::this_thread::sleep_for(want == 0 ? 150ms : 40ms);
    *pSeen = collect();
    return fresh;
}

}  // namespace qortest
