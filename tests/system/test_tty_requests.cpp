// Kernel requests through the TTY bridge: every request code on each controller generation
// with the exact TLPs the unit receives and the exact reply, and the refusals that must come
// before any unit traffic.
#include "tty_fixture.h"

namespace qortest {
namespace {

using namespace nlk;

// A register request: which register and field it touches, the version it needs, and for a
// set the payload it sends.
struct Row {
    uint16_t Code;
    const char* Op;  // the operation word of the service's messages
    bool Set;
    uint8_t Reg;
    uint8_t Shift;
    uint8_t Bits;  // field width; a 12-bit field answers two bytes big-endian
    uint8_t MinVersion;
    std::vector<uint8_t> Payload;
};

const Row kRows[] = {
    {kSetDllDlm, "set DLLDLM", true, 0, 0, 16, 0, {0x0C, 0x01}},
    {kSetLcr, "set LCR", true, 0, 16, 8, 0, {0x1B}},
    {kSetFifoCtrl, "set FIFO_CTRL", true, 0, 24, 8, 0, {0x07}},
    {kSetMcr, "set MCR", true, 1, 0, 8, 0, {0x0B}},
    {kSetEventCtrl, "set EVENT_CTRL", true, 1, 8, 8, 0, {0x1F}},
    {kGetMsr, "get MSR", false, 2, 0, 8, 0, {}},
    {kGetMode1, "get MODE_1", false, 4, 0, 8, 1, {}},
    {kSetMode1, "set MODE_1", true, 4, 0, 8, 1, {0x00}},
    {kGetMode2, "get MODE_2", false, 4, 8, 8, 1, {}},
    {kSetMode2, "set MODE_2", true, 4, 8, 8, 1, {0x01}},
    {kGetOnChipFlowCtrl, "get OnChipHardwareFlowCtrl", false, 1, 16, 8, 4, {}},
    {kSetOnChipFlowCtrl, "set OnChipHardwareFlowCtrl", true, 1, 16, 8, 4, {0x03}},
    {kGetTxCredit, "get TxCurrentCredit", false, 2, 8, 12, 5, {}},
    {kGetTxFifoCount, "get TxFifoDataCnt", false, 2, 20, 12, 5, {}},
    {kGetTxTrigger, "get TxTriggerLevel", false, 3, 0, 8, 4, {}},
    {kSetTxTrigger, "set TxTriggerLevel", true, 3, 0, 8, 4, {0x20}},
    {kGetRxTrigger, "get RxTriggerLevel", false, 3, 8, 8, 4, {}},
    {kSetRxTrigger, "set RxTriggerLevel", true, 3, 8, 8, 4, {0x30}},
};

// What a get finds in the unit's register: different from everything the sets write.
constexpr uint32_t kProbe[5] = {0, 0x00E75A3C, 0x9ABCDE6F, 0x00004D2E, 0x0000C3A5};

bool Passes(uint8_t version, uint8_t min) {
    return min == 1 ? version != 0 : version >= min;
}

// The register copies the service keeps for one channel, as the test expects them.
struct Copies {
    uint32_t R[5] = {};
};

uint32_t Control0Default(uint8_t version) {
    return version >= 4 ? 0x03030060 : 0x3F030060;
}

// Open and close write the defaults (and on versions 4, 5 the trigger levels in a second TLP).
std::vector<Tlp> InitTlps(uint8_t chl, uint8_t version) {
    std::vector<Tlp> t{RegWrite(chl, 0, {Control0Default(version), 0}, 0x1F)};
    if (version >= 4) t.push_back(RegWrite(chl, 3, {0xBFBF}, 0x1F));
    return t;
}
void InitCopies(Copies& c, uint8_t version) {
    c.R[0] = Control0Default(version);
    c.R[1] = 0;
    if (version >= 4) c.R[3] = 0xBFBF;
}

std::vector<uint8_t> OpenRecord(uint8_t version, const Copies& c) {
    const bool v45 = version >= 4, v5 = version == 5;
    const uint32_t credit = v5 ? (c.R[2] >> 8) & 0xFFF : 0, count = v5 ? c.R[2] >> 20 : 0;
    return {version,
            static_cast<uint8_t>(c.R[0]),
            static_cast<uint8_t>(c.R[0] >> 8),
            static_cast<uint8_t>(c.R[0] >> 16),
            static_cast<uint8_t>(c.R[0] >> 24),
            static_cast<uint8_t>(c.R[1]),
            static_cast<uint8_t>(c.R[1] >> 8),
            static_cast<uint8_t>(v45 ? c.R[1] >> 16 : 0),
            static_cast<uint8_t>(c.R[2]),
            static_cast<uint8_t>(credit >> 8),
            static_cast<uint8_t>(credit),
            static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(count),
            static_cast<uint8_t>(v45 ? c.R[3] : 0),
            static_cast<uint8_t>(v45 ? c.R[3] >> 8 : 0),
            static_cast<uint8_t>(c.R[4]),
            static_cast<uint8_t>(c.R[4] >> 8)};
}

class TtyRequests : public TtyTest {};

// qorlab --veths 1
TEST_F(TtyRequests, EveryCodeOnEachControllerVersionSendsItsTlpsAndRepliesByteForByte) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    struct Channel {
        uint8_t Chl, Version;
        bool Multicast;
    };
    // Requests reach the service by unicast to its process id and through the group alike.
    for (const Channel ch : {Channel{kChlV0, 0, false}, Channel{kChlV1, 1, true}, Channel{kChlV4, 4, false},
                             Channel{kChlV5, 5, true}}) {
        Step("version " + std::to_string(ch.Version) + (ch.Multicast ? " by multicast" : " by unicast"));
        drv_.Target(ch.Multicast ? 0 : static_cast<uint32_t>(daemon_->Pid()));
        const uint8_t minor = Minor(ch.Chl);
        // What the connect read: Status everywhere, Control2 from version 1 on.
        Copies c;
        c.R[2] = kStatusAtConnect;
        c.R[4] = ch.Version >= 1 ? kControl2AtConnect : 0;
        c.R[3] = ch.Version >= 4 ? kTriggerAtConnect : 0;

        SentTlps();
        auto reply = drv_.Request(minor, kOpen);
        std::vector<Tlp> want = InitTlps(ch.Chl, ch.Version);
        want.push_back(RegRead(ch.Chl, 2));
        auto sent = SentTlps(want.size());
        EXPECT_EQ(sent, want) << "open: " << Describe(sent);
        InitCopies(c, ch.Version);
        EXPECT_TRUE(IsReply(reply, minor, kOpen, 0, OpenRecord(ch.Version, c)));

        for (const Row& r : kRows) {
            SCOPED_TRACE(r.Op);
            const bool allowed = Passes(ch.Version, r.MinVersion);
            const uint32_t mask = static_cast<uint32_t>(((1ull << r.Bits) - 1) << r.Shift);
            if (!allowed) {
                // Gets carry a stray byte: they take no payload and must not look at it.
                reply = drv_.Request(minor, r.Code, r.Set ? r.Payload : std::vector<uint8_t>{0xEE});
                EXPECT_TRUE(IsReply(reply, minor, r.Code, 1));
                EXPECT_EQ(SentTlps(), std::vector<Tlp>{}) << Describe(SentTlps());
                continue;
            }
            if (r.Set) {
                uint32_t field = r.Payload[0];
                if (r.Payload.size() == 2) field |= static_cast<uint32_t>(r.Payload[1]) << 8;
                const uint32_t value = (c.R[r.Reg] & ~mask) | (field << r.Shift);
                reply = drv_.Request(minor, r.Code, r.Payload);
                sent = SentTlps(1);
                EXPECT_EQ(sent, std::vector<Tlp>{RegWrite(ch.Chl, r.Reg, {value})}) << Describe(sent);
                EXPECT_TRUE(IsReply(reply, minor, r.Code, 0));
                c.R[r.Reg] = value;
            } else {
                ASSERT_NO_FATAL_FAILURE(SetReg(ch.Chl, r.Reg, kProbe[r.Reg]));
                reply = drv_.Request(minor, r.Code, {0xEE});
                sent = SentTlps(1);
                EXPECT_EQ(sent, std::vector<Tlp>{RegRead(ch.Chl, r.Reg)}) << Describe(sent);
                const uint32_t field = (kProbe[r.Reg] & mask) >> r.Shift;
                const std::vector<uint8_t> payload =
                    r.Bits == 12 ? std::vector<uint8_t>{static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field)}
                                 : std::vector<uint8_t>{static_cast<uint8_t>(field)};
                EXPECT_TRUE(IsReply(reply, minor, r.Code, 0, payload));
                c.R[r.Reg] = kProbe[r.Reg];
            }
        }

        reply = drv_.Request(minor, kClose);
        sent = SentTlps(InitTlps(ch.Chl, ch.Version).size());
        EXPECT_EQ(sent, InitTlps(ch.Chl, ch.Version)) << "close: " << Describe(sent);
        EXPECT_TRUE(IsReply(reply, minor, kClose, 0));
        // Opened again, the record shows the defaults and what the gets last read.
        InitCopies(c, ch.Version);
        ASSERT_NO_FATAL_FAILURE(SetReg(ch.Chl, 2, kProbe[2]));
        c.R[2] = kProbe[2];
        EXPECT_TRUE(IsReply(drv_.Request(minor, kOpen), minor, kOpen, 0, OpenRecord(ch.Version, c)));
        SentTlps(InitTlps(ch.Chl, ch.Version).size() + 1);
    }
}

// qorlab --veths 1
TEST_F(TtyRequests, RefusalsComeInOrderAndBeforeAnyUnitTraffic) {
    ASSERT_NO_FATAL_FAILURE(StartBridge({{PROFILE_DIR "/uart_v6.prof", UnitMac(2, 2)}}));
    SentTlps();
    // Each refusal: status 1, no payload, its message once more in the log, nothing to the unit.
    auto refused = [&](uint8_t chl, uint16_t code, const std::vector<uint8_t>& payload, const std::string& ending,
                       const Mac& mac = kUartUnit) {
        const uint8_t minor = Minor(chl, mac);
        const std::string msg = "TTY (M:" + std::to_string(minor) + "), " + ending;
        const size_t before = CountOccurrences(Log(), msg);
        EXPECT_TRUE(IsReply(drv_.Request(minor, code, payload), minor, code, 1)) << ending;
        EXPECT_TRUE(WaitForFileContains(kLogPath, msg, 2s, before + 1)) << msg;
        const auto sent = SentTlps();
        EXPECT_TRUE(sent.empty()) << ending << ": " << Describe(sent);
    };

    Step("payload size before version");
    for (const Row& r : kRows) {
        if (!r.Set) continue;
        std::vector<uint8_t> shorter(r.Payload.size() - 1, 0), longer(r.Payload.size() + 1, 0);
        refused(kChlV0, r.Code, shorter, std::string(r.Op) + ", invalid data length\n");
        refused(kChlV0, r.Code, longer, std::string(r.Op) + ", invalid data length\n");
    }
    Step("version gates");
    refused(kChlV0, kGetMode1, {}, "get MODE_1, version (x00) not support\n");
    refused(kChlV0, kSetMode2, {0x01}, "set MODE_2, version (x00) not support\n");
    refused(kChlV2, kGetOnChipFlowCtrl, {}, "get OnChipHardwareFlowCtrl, version (x02) not support\n");
    refused(kChlV4, kGetTxCredit, {}, "get TxCurrentCredit, version (x04) not support\n");
    refused(kChlV4, kGetTxFifoCount, {}, "get TxFifoDataCnt, version (x04) not support\n");

    Step("MODE_1 and MODE_2 checks in order");
    struct Mode {
        uint8_t Chl;
        uint16_t Code;
        uint8_t Value;
        const char* Ending;
    };
    const Mode modes[] = {
        {kChlV1, kSetMode1, 0x1F, "set MODE_1, MODE_1:x1f invalid\n"},
        {kChlV1, kSetMode1, 0x0F, "set MODE_1, no RI power I/O 5V cap\n"},
        {kChlV1, kSetMode1, 0x02, "set MODE_1, no RI power I/O 12V cap\n"},
        {kChlV1, kSetMode1, 0x04, "set MODE_1, no DCD power I/O 5V cap\n"},
        // Layout 2 here: RI 5 V and 12 V, DCD 5 V, none of the no-distinction capabilities.
        {kChlV2, kSetMode1, 0x03, "set MODE_1, no RI power I/O no distinguish 5V/12V cap\n"},
        {kChlV2, kSetMode1, 0x0C, "set MODE_1, no DCD power I/O 12V cap\n"},
        {kChlV2, kSetMode2, 0x84, "set MODE_2, MODE_2:x84 invalid\n"},
        {kChlV1, kSetMode2, 0x7E, "set MODE_2, no RS422 cap\n"},
        {kChlV2, kSetMode2, 0x04, "set MODE_2, no RS485 cap\n"},
        {kChlV1, kSetMode2, 0x08, "set MODE_2, no AHDC cap\n"},
        {kChlV2, kSetMode2, 0x10, "set MODE_2, no CS cap\n"},
        {kChlV1, kSetMode2, 0x20, "set MODE_2, no RS422 termination cap\n"},
        {kChlV2, kSetMode2, 0x40, "set MODE_2, no RS485 termination cap\n"},
    };
    for (const Mode& m : modes) refused(m.Chl, m.Code, {m.Value}, m.Ending);
    // What the capabilities allow goes through.
    for (const auto& [code, value] : {std::pair{kSetMode1, 0x05}, std::pair{kSetMode2, 0x2B}}) {
        const auto minor = Minor(kChlV2);
        EXPECT_TRUE(IsReply(drv_.Request(minor, code, {static_cast<uint8_t>(value)}), minor, code, 0));
        EXPECT_EQ(SentTlps(1).size(), 1u);
    }

    Step("minors without an object");
    for (uint16_t code : {kOpen, kGetMsr, kSetRxTrigger, kDataToService}) {
        EXPECT_TRUE(IsReply(drv_.Request(200, code, {0x41}), 200, code, 1)) << code;
    }
    EXPECT_TRUE(SentTlps().empty());

    Step("a controller version the service does not handle");
    EXPECT_NE(Log().find("get info fail, unsupport version:x06"), std::string::npos);
    const uint8_t v6 = Minor(1, UnitMac(2, 2));
    EXPECT_TRUE(IsReply(drv_.Request(v6, kOpen), v6, kOpen, 1));
    EXPECT_TRUE(IsReply(drv_.Request(v6, kClose), v6, kClose, 0));
    EXPECT_TRUE(SentTlps().empty());

    Step("messages that lie about their lengths, or are not for a TTY");
    const uint8_t v4 = Minor(kChlV4);
    Message lcr;
    lcr.Minor = v4;
    lcr.Code = kSetLcr;
    lcr.Length = 0xFFFFFFFF;
    lcr.Payload = {0x03};
    ASSERT_TRUE(drv_.Send(Encode(lcr)));
    EXPECT_TRUE(IsReply(drv_.WaitCode(v4, kSetLcr | kResponseBit), v4, kSetLcr, 1));
    Message data = lcr;
    data.Code = kDataToService;
    ASSERT_TRUE(drv_.Send(Encode(data)));
    ASSERT_TRUE(drv_.SendRaw({0x08, 0, 0, 0, 0, 0, 0, 0}));  // shorter than a netlink header
    ASSERT_TRUE(drv_.Send(Encode(v4, kGetMsr), 16 + 11));    // NLK header cut short
    Message tty2 = lcr;
    tty2.DeviceType = 2;
    tty2.Length = 1;
    ASSERT_TRUE(drv_.Send(Encode(tty2)));
    ASSERT_TRUE(drv_.Send(Encode(v4, 0x0015)));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "NLK, rx thd, recvmsg fail, RxLength:11\n", 2s));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "unsupport packet type from kernel\n", 2s));
    EXPECT_TRUE(drv_.Take().empty()) << "none of these is answered";
    EXPECT_TRUE(SentTlps().empty());
    // An nlmsg_len past the bytes received: taken as what arrived, or dropped; then the bridge
    // still answers.
    ASSERT_TRUE(drv_.Send(Encode(v4, kGetMsr), 0xFFFF));
    std::this_thread::sleep_for(600ms);
    drv_.Take();
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, 0x4D));
    EXPECT_TRUE(IsReply(drv_.Request(v4, kGetMsr), v4, kGetMsr, 0, {0x4D}));
}

}  // namespace
}  // namespace qortest
