// The search thread as seen on the wire: what it broadcasts on every NIC, and when.
#include <algorithm>

#include "qor_tap.h"
#include "registry_fixture.h"

namespace qortest {
namespace {

class Search : public InProcessService {};

struct SearchFrame {
    int64_t Ms;  // kernel time stamp in ns, then ms since the first search seen
    size_t Nic;
    uint8_t Code;
};

// qorlab --veths 2
TEST_F(Search, AdvanceThenDockOnEveryNicInTurn) {
    ASSERT_EQ(lab_.Veths.size(), 2u);
    std::vector<std::unique_ptr<FrameTap>> taps;
    for (size_t i = 0; i < 2; ++i)
        taps.push_back(std::make_unique<FrameTap>(lab_.PeerPids[i], lab_.PeerIfs[i]));
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::this_thread::sleep_for(5500ms);  // two and a half search cycles
    // With no unit on the far side, searches are all the service sends: 20 xx 00 00 broadcast.
    std::vector<SearchFrame> seen;
    for (size_t nic = 0; nic < 2; ++nic) {
        taps[nic]->Stop();
        const Mac veth = ReadIfMac(lab_.Veths[nic]).value_or(Mac{});
        for (const TapFrame& f : taps[nic]->Frames()) {
            ASSERT_TRUE(!f.Outgoing() && f.Source() == veth && f.Dest() == kBroadcastMac &&
                        f.Bytes.size() >= 18);
            const uint8_t code = f.Bytes[15];
            EXPECT_TRUE(code == 4 || code == 6) << "command " << int{code};
            EXPECT_EQ(std::vector<uint8_t>(f.Bytes.begin() + 14, f.Bytes.begin() + 18),
                      (std::vector<uint8_t>{0x20, code, 0, 0}));
            seen.push_back({f.RealNs, nic, code});
        }
    }
    std::sort(seen.begin(), seen.end(), [](const auto& a, const auto& b) { return a.Ms < b.Ms; });
    std::string trace;
    const int64_t first = seen.empty() ? 0 : seen.front().Ms;
    for (auto& s : seen) {
        s.Ms = (s.Ms - first) / 1000000;
        trace += std::to_string(s.Ms) + " ms veth" + std::to_string(s.Nic) +
                 (s.Code == 4 ? " advance\n" : " dock\n");
    }
    SCOPED_TRACE("searches seen:\n" + trace);

    // Rounds of one search per NIC: advance, dock, advance, dock, ...
    const size_t rounds = seen.size() / 2;
    ASSERT_GE(rounds, 4u) << "fewer than two whole search cycles in 5.5 s";
    for (size_t r = 0; r < rounds; ++r) {
        SCOPED_TRACE("round " + std::to_string(r));
        const SearchFrame& a = seen[2 * r];
        const SearchFrame& b = seen[2 * r + 1];
        EXPECT_EQ(std::tuple(a.Code, b.Code, a.Nic, b.Nic),
                  std::tuple(r % 2 == 0 ? 4 : 6, a.Code, seen.front().Nic, 1 - seen.front().Nic))
            << "each round searches both NICs in a fixed order, advance first, then dock";
        EXPECT_GE(b.Ms - a.Ms, 30) << "NICs searched less than 50 ms apart";
        EXPECT_LE(b.Ms - a.Ms, 200) << "NICs searched more than 50 ms apart";
        if (r + 1 < rounds) {
            EXPECT_GE(seen[2 * r + 2].Ms - a.Ms, 800) << "the next search followed less than a second later";
            EXPECT_LE(seen[2 * r + 2].Ms - a.Ms, 1500) << "the next search followed more than a second later";
        }
    }
}

}  // namespace
}  // namespace qortest
