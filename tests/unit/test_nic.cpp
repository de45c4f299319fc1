// The receive filter and DLLP dispatch of one NIC record, fed frames directly.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "nic_main.h"
#include "test_support_log.h"

namespace {
const uint8_t kNicMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const uint8_t kUnitMac[6] = {0x00, 0x11, 0x22, 0xAA, 0xBB, 0xCC};

std::vector<uint8_t> Frame(const uint8_t* dest, uint16_t etherType, std::vector<uint8_t> link) {
    std::vector<uint8_t> f(dest, dest + 6);
    f.insert(f.end(), kUnitMac, kUnitMac + 6);
    f.insert(f.end(), {static_cast<uint8_t>(etherType >> 8), static_cast<uint8_t>(etherType)});
    f.insert(f.end(), link.begin(), link.end());
    f.resize(std::max<size_t>(f.size(), 60));  // Ethernet minimum padding
    return f;
}

struct NicFixture : ::testing::Test {
    _NIC_DEVICE nic{};
    LogCapture cap;
    NicFixture() {
        snprintf(nic.InterfaceName, sizeof(nic.InterfaceName), "veth9");
        memcpy(nic.Mac, kNicMac, 6);
        nic.Sock = -1;
    }
    void Feed(const std::vector<uint8_t>& f) { NicRxHandleFrame(&nic, f.data(), f.size()); }
};
}  // namespace

TEST_F(NicFixture, FramesNotForThisNicAreDroppedSilently) {
    const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t other[6] = {0x02, 0, 0, 0, 0, 0x02};
    Feed(Frame(broadcast, 0xD41F, {0x20, 15, 0, 0}));
    Feed(Frame(other, 0xD41F, {0x20, 15, 0, 0}));
    Feed(Frame(kNicMac, 0x0800, {0x20, 15, 0, 0}));
    Feed(std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0x01, 0, 0});  // runt
    EXPECT_EQ(cap.Text(), "");
}

TEST_F(NicFixture, UnknownUnitsAndPacketTypesAreNamedInTheLog) {
    // Each frame from a unit nobody knows and the line it leaves (0x23 is handled as code 3; code
    // 30 is not in the table and dropped silently).
    const std::pair<std::vector<uint8_t>, std::string> cases[] = {
        {{0x10, 0, 0, 1, 0, 0, 0, 0}, "_TlpResponse, can't get VN "},
        {{0x20, 0, 0, 1}, "_DllpAck, can't get VN "},
        {{0x20, 1, 0, 1}, "_DllpNak, can't get VN "},
        {{0x20, 0x23, 0, 0}, "_DllpDockConnectResponse, can't get VN "},
        {{0x20, 9, 0, 0}, "_DllpKeepAliveResponse, can't get VN "},
        {{0x20, 11, 0, 0}, "_DllpAdvanceConnectResponse, can't get VN "},
        {{0x20, 18, 0, 0}, "_DllpAcuResponse, can't get VN in search or connect list "},
        {{0x20, 24, 0, 0}, "_DllpKeepAliveTimeout, can't get VN "},
        {{0x20, 30, 0, 0}, ""}};
    std::string expected;
    for (const auto& [link, line] : cases) {
        Feed(Frame(kNicMac, 0xD41F, link));
        if (!line.empty()) expected += "NIC (veth9), " + line + "(00:11:22:aa:bb:cc)\n";
    }
    Feed(Frame(kNicMac, 0xD41F, {0x30, 0, 0, 0}));
    EXPECT_EQ(cap.Text(), expected + "NIC (veth9), rx thd, unknow packet, type:x30\n");
}

TEST(NicMain, ExcludedNamesAreComparedWhole) {
    for (const char* name : {"lo", "virbr0", "virbr0-nic"}) EXPECT_TRUE(NicMainIsExcludedName(name)) << name;
    for (const char* name : {"lo0", "virbr01", "eth1"}) EXPECT_FALSE(NicMainIsExcludedName(name)) << name;
}

TEST(NicTx, RejectsEmptyAndOversizePayloads) {
    _NIC_DEVICE nic{};
    const uint8_t dest[6] = {};
    std::vector<uint8_t> payload(8179);
    EXPECT_EQ(NicTx(&nic, dest, payload.data(), 0), 0);
    EXPECT_EQ(NicTx(&nic, dest, payload.data(), 8179), 0);
}
