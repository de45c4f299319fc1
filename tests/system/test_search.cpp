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
    std::vector<Mac> vethMacs;
    std::vector<std::unique_ptr<FrameTap>> taps;
    for (size_t i = 0; i < 2; ++i) {
        const auto mac = ReadIfMac(lab_.Veths[i]);
        ASSERT_TRUE(mac);
        vethMacs.push_back(*mac);
        taps.push_back(std::make_unique<FrameTap>(lab_.PeerPids[i], lab_.PeerIfs[i]));
    }
    ASSERT_NO_FATAL_FAILURE(StartService());
    std::this_thread::sleep_for(5500ms);  // two and a half search cycles
    for (auto& tap : taps) tap->Stop();

    // With no unit on the far side, searches are all the service sends: 20 xx 00 00 broadcast.
    std::vector<SearchFrame> seen;
    for (size_t nic = 0; nic < 2; ++nic) {
        for (const TapFrame& f : taps[nic]->Frames()) {
            ASSERT_FALSE(f.Outgoing());
            EXPECT_EQ(f.Source(), vethMacs[nic]);
            EXPECT_EQ(f.Dest(), kBroadcastMac);
            ASSERT_GE(f.Bytes.size(), 18u);
            EXPECT_EQ((std::vector<uint8_t>{f.Bytes[14], f.Bytes[16], f.Bytes[17]}),
                      (std::vector<uint8_t>{0x20, 0, 0}));
            EXPECT_TRUE(f.DllpCode() == 4 || f.DllpCode() == 6) << "command " << int(f.Bytes[15]);
            seen.push_back({f.RealNs, nic, f.Bytes[15]});
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
    EXPECT_EQ(seen.front().Code, 4) << "the first search is not the advance search";
    for (size_t r = 0; r < rounds; ++r) {
        SCOPED_TRACE("round " + std::to_string(r));
        const SearchFrame& a = seen[2 * r];
        const SearchFrame& b = seen[2 * r + 1];
        EXPECT_EQ(a.Code, r % 2 == 0 ? 4 : 6);
        EXPECT_EQ(b.Code, a.Code) << "a round mixes advance and dock";
        EXPECT_NE(a.Nic, b.Nic) << "a NIC was searched twice in one round";
        EXPECT_EQ(a.Nic, seen.front().Nic) << "the NICs are not searched in a fixed order";
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
