// The lab itself and the frame helpers every link test relies on.
#include <gtest/gtest.h>

#include <stdexcept>

#include "qor_lab.h"

namespace qortest {
namespace {

class Lab : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InLab()) << "run under qorlab";
        lab_ = LabInfo::FromEnv();
    }
    LabInfo lab_;
};

bool HasPayload(const Frame& f, const std::vector<uint8_t>& payload) {
    return f.Bytes.size() >= 14 + payload.size() && std::equal(payload.begin(), payload.end(), f.Bytes.begin() + 14);
}

// qorlab --veths 1
TEST_F(Lab, FramesCrossTheVethBothWays) {
    ASSERT_EQ(lab_.Veths.size(), 1u);
    ASSERT_EQ(lab_.PeerPids.size(), 1u);
    auto service = PacketSocket::Open(lab_.Veths[0]);
    auto peer = PacketSocket::OpenIn(lab_.PeerPids[0], lab_.PeerIfs[0]);
    EXPECT_EQ(service.OwnMac(), ReadIfMac("veth0"));
    EXPECT_NE(service.OwnMac(), peer.OwnMac());

    const std::vector<uint8_t> toService = {0x20, 15, 0xAB, 0xCD};
    ASSERT_TRUE(peer.Send(service.OwnMac(), toService));
    auto got = service.Recv(2s);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Dest(), service.OwnMac());
    EXPECT_EQ(got->Source(), peer.OwnMac());
    EXPECT_EQ(got->EtherType(), kLinkEtherType);
    EXPECT_TRUE(HasPayload(*got, toService));

    const std::vector<uint8_t> toPeer = {0x10, 1, 2, 3, 4, 5};
    ASSERT_TRUE(service.Send(kBroadcastMac, toPeer));
    got = peer.Recv(2s);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Dest(), kBroadcastMac);
    EXPECT_TRUE(HasPayload(*got, toPeer));
    // The sender does not see its own frame, and a quiet socket times out on time.
    const auto start = Clock::now();
    EXPECT_FALSE(service.Recv(150ms));
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, 140ms);
    EXPECT_LT(waited, 1s);
}

TEST_F(Lab, PeerSocketsNeedAPeerNamespace) {
    EXPECT_THROW(PacketSocket::OpenIn(999999, "p0"), std::runtime_error);
    ASSERT_FALSE(lab_.PeerPids.empty());
    EXPECT_THROW(PacketSocket::OpenIn(lab_.PeerPids[0], "veth0"), std::runtime_error)
        << "veth0 lives on the service side only";
    // The detour into a peer namespace leaves the test's own thread where it was.
    EXPECT_TRUE(ReadIfMac("veth0"));
    EXPECT_FALSE(ReadIfMac("p0"));
}

// qorlab --veths 2 --peers 1: veth0, veth1 and unit u0 share one segment.
TEST_F(Lab, BridgeJoinsVethsAndUnitsOnOneSegment) {
    ASSERT_EQ(lab_.Veths.size(), 2u);
    ASSERT_EQ(lab_.UnitPids.size(), 1u);
    ASSERT_NE(lab_.BridgePid, 0);
    EXPECT_EQ(lab_.PeerPids, (std::vector<pid_t>{lab_.BridgePid, lab_.BridgePid}));
    auto veth0 = PacketSocket::Open("veth0");
    auto veth1 = PacketSocket::Open("veth1");
    auto unit = PacketSocket::OpenIn(lab_.UnitPids[0], lab_.UnitIfs[0]);

    const std::vector<uint8_t> search = {0x20, 6, 0, 0};
    ASSERT_TRUE(veth0.Send(kBroadcastMac, search));
    auto match = [&](const Frame& f) { return HasPayload(f, search) && f.Source() == veth0.OwnMac(); };
    EXPECT_TRUE(unit.RecvMatching(2s, match)) << "broadcast from veth0 did not reach the unit";
    EXPECT_TRUE(veth1.RecvMatching(2s, match)) << "broadcast from veth0 did not reach veth1";

    const std::vector<uint8_t> reply = {0x20, 7, 0, 0};
    ASSERT_TRUE(unit.Send(veth1.OwnMac(), reply));
    auto got = veth1.RecvMatching(2s, [&](const Frame& f) { return HasPayload(f, reply); });
    ASSERT_TRUE(got);
    EXPECT_EQ(got->Source(), unit.OwnMac());
}

}  // namespace
}  // namespace qortest
