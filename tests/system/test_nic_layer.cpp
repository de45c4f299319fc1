// The NIC layer seen from the wire: one record per interface, promiscuous mode, and the
// receive dispatch of link frames sent from the far side of a veth.
#include <net/if.h>

#include "service_fixture.h"

namespace qortest {
namespace {

class NicLayer : public ServiceTest {
protected:
    // Starts the daemon and opens a link socket on the far side of veth `index`.
    void StartWithPeer(size_t index = 0) {
        ASSERT_GT(lab_.Veths.size(), index);
        ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
        const auto mac = ReadIfMac(lab_.Veths[index]);
        ASSERT_TRUE(mac);
        vethMac_ = *mac;
        peer_.emplace(PacketSocket::OpenIn(lab_.PeerPids[index], lab_.PeerIfs[index]));
    }

    // Sends a frame from the peer whose handling logs `line`, waits for it and returns the
    // log text that the frame added. Frames of one NIC are handled in order, so whatever
    // was sent before has been handled by then too.
    std::string SendAndWaitFor(const Mac& source, std::span<const uint8_t> link, const std::string& line,
                               const std::string& before) {
        EXPECT_TRUE(peer_->Send(vethMac_, source, kLinkEtherType, link));
        EXPECT_TRUE(WaitForFileContains(kLogPath, line, 3s, CountOccurrences(before, line) + 1))
            << "missing: " << line << "log:\n" << Log();
        const std::string now = Log();
        return now.substr(std::min(before.size(), now.size()));
    }

    std::string NotSupported(const std::string& veth = "veth0") {
        return "NIC (" + veth + "), DLLP_CMD_IP_SEARCH_RESPONSE, not support\n";
    }

    Mac vethMac_{};
    std::optional<PacketSocket> peer_;
};

// qorlab --veths 2
TEST_F(NicLayer, OneRecordPerVethAndNoneForLoopback) {
    ASSERT_EQ(lab_.Veths.size(), 2u);
    ASSERT_NO_FATAL_FAILURE(StartWithPeer(1));
    const std::string log = Log();
    EXPECT_EQ(CountOccurrences(log, NicAdd("veth0")), 1u) << log;
    EXPECT_EQ(CountOccurrences(log, NicAdd("veth1")), 1u) << log;
    EXPECT_EQ(log.find("NIC (lo)"), std::string::npos) << log;
    for (const auto& veth : lab_.Veths) {
        const auto flags = ReadIfFlags(veth);
        ASSERT_TRUE(flags) << veth;
        EXPECT_TRUE(*flags & IFF_PROMISC) << veth << " is not promiscuous";
    }
    EXPECT_FALSE(*ReadIfFlags("lo") & IFF_PROMISC);

    // Each record has a receive thread of its own and names its interface.
    const std::string added = SendAndWaitFor(peer_->OwnMac(), Dllp(15), NotSupported("veth1"), log);
    EXPECT_EQ(added, NotSupported("veth1"));
}

TEST_F(NicLayer, IpSearchResponseOnlyLogsNotSupported) {
    ASSERT_NO_FATAL_FAILURE(StartWithPeer());
    const std::string before = Log();
    EXPECT_EQ(SendAndWaitFor(peer_->OwnMac(), Dllp(15), NotSupported(), before), NotSupported());
    // Only the low five bits of the command byte count: 0x2F is command 15 too.
    EXPECT_EQ(SendAndWaitFor(peer_->OwnMac(), Dllp(0x2F), NotSupported(), Log()), NotSupported());
    // Padding behind the DLLP changes nothing.
    std::vector<uint8_t> padded = Dllp(15);
    padded.resize(46, 0xEE);
    EXPECT_EQ(SendAndWaitFor(peer_->OwnMac(), padded, NotSupported(), Log()), NotSupported());
}

TEST_F(NicLayer, FramesFromUnknownUnitsAreReported) {
    ASSERT_NO_FATAL_FAILURE(StartWithPeer());
    struct Case {
        std::vector<uint8_t> Link;
        std::string Handler;
    };
    const std::vector<Case> cases = {
        // A TLP with an 8-byte wire header and four data bytes.
        {{0x10, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x04, 1, 2, 3, 4}, "_TlpResponse, can't get VN"},
        {Dllp(0, 0x01, 0x23), "_DllpAck, can't get VN"},
        {Dllp(1, 0x00, 0x07), "_DllpNak, can't get VN"},
        {Dllp(3), "_DllpDockConnectResponse, can't get VN"},
        {Dllp(9), "_DllpKeepAliveResponse, can't get VN"},
        {Dllp(11), "_DllpAdvanceConnectResponse, can't get VN"},
        {Dllp(18, 0x00, 0x04), "_DllpAcuResponse, can't get VN in search or connect list"},
        {Dllp(24), "_DllpKeepAliveTimeout, can't get VN"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].Handler);
        // The unit is looked up by the frame's source address, so each case has its own.
        const Mac source = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, static_cast<uint8_t>(0x10 + i)};
        const std::string line = "NIC (veth0), " + cases[i].Handler + " (" + MacString(source) + ")\n";
        EXPECT_EQ(SendAndWaitFor(source, cases[i].Link, line, Log()), line);
        if (HasFailure() && !daemon_->Running()) break;
    }
}

TEST_F(NicLayer, UnknownPacketTypeIsReported) {
    ASSERT_NO_FATAL_FAILURE(StartWithPeer());
    for (const uint8_t type : {0x30, 0x00, 0x11, 0xFF}) {
        char line[64];
        snprintf(line, sizeof(line), "NIC (veth0), rx thd, unknow packet, type:x%02x\n", type);
        const std::vector<uint8_t> link = {type, 15, 0, 0};
        EXPECT_EQ(SendAndWaitFor(peer_->OwnMac(), link, line, Log()), line);
        if (HasFailure() && !daemon_->Running()) break;
    }
}

TEST_F(NicLayer, FramesNotForThisNicOrNotHandledAreDroppedSilently) {
    ASSERT_NO_FATAL_FAILURE(StartWithPeer());
    const std::string before = Log();
    const Mac otherUnicast = {0x02, 0x00, 0x00, 0x99, 0x99, 0x99};
    const Mac multicast = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};
    const std::vector<uint8_t> tlp = {0x10, 0x00, 0x40, 0x00, 0x00, 0x01, 0x00, 0x00};
    for (const Mac& dest : {kBroadcastMac, otherUnicast, multicast}) {
        EXPECT_TRUE(peer_->Send(dest, Dllp(15)));
        EXPECT_TRUE(peer_->Send(dest, tlp));
        EXPECT_TRUE(peer_->Send(dest, std::vector<uint8_t>{0x30, 0, 0, 0}));
    }
    // Command codes the receive dispatch has no handler for (search commands are sent by
    // the service, not received).
    for (const uint8_t cmd : {2, 4, 6, 8, 10, 16, 31}) EXPECT_TRUE(peer_->Send(vethMac_, Dllp(cmd)));
    // Another EtherType with the same bytes never reaches the link socket.
    {
        auto other = PacketSocket::OpenIn(lab_.PeerPids[0], lab_.PeerIfs[0], 0x88B5);
        EXPECT_TRUE(other.Send(vethMac_, Dllp(15)));
    }
    // A marker that does log: when its line is there, all of the above has been handled.
    EXPECT_EQ(SendAndWaitFor(peer_->OwnMac(), Dllp(15), NotSupported(), before), NotSupported());
}

}  // namespace
}  // namespace qortest
