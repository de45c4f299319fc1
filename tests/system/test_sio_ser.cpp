// The SER family through the unit's SIO port: every command on each controller generation
// with the exact TLPs the unit receives and the exact response, and every status with nothing
// sent to the unit when a check refuses.
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

// A register command: which register and field it touches, the version it needs, and for a
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
    {kSerSetDllDlm, "set DLLDLM", true, 0, 0, 16, 0, {0x0C, 0x01}},
    {kSerSetLcr, "set LCR", true, 0, 16, 8, 0, {0x1B}},
    {kSerSetFifoCtrl, "set FIFO_CTRL", true, 0, 24, 8, 0, {0x07}},
    {kSerSetMcr, "set MCR", true, 1, 0, 8, 0, {0x0B}},
    {kSerSetEventCtrl, "set EVENT_CTRL", true, 1, 8, 8, 0, {0x1F}},
    {kSerGetMsr, "get MSR", false, 2, 0, 8, 0, {}},
    {kSerGetMode1, "get MODE_1", false, 4, 0, 8, 1, {}},
    {kSerSetMode1, "set MODE_1", true, 4, 0, 8, 1, {0x00}},
    {kSerGetMode2, "get MODE_2", false, 4, 8, 8, 1, {}},
    {kSerSetMode2, "set MODE_2", true, 4, 8, 8, 1, {0x01}},
    {kSerGetOnChipFlowCtrl, "get OnChipHardwareFlowCtrl", false, 1, 16, 8, 4, {}},
    {kSerSetOnChipFlowCtrl, "set OnChipHardwareFlowCtrl", true, 1, 16, 8, 4, {0x03}},
    {kSerGetTxCredit, "get TxCurrentCredit", false, 2, 8, 12, 5, {}},
    {kSerGetTxFifoCount, "get TxFifoDataCnt", false, 2, 20, 12, 5, {}},
    {kSerGetTxTrigger, "get TxTriggerLevel", false, 3, 0, 8, 4, {}},
    {kSerSetTxTrigger, "set TxTriggerLevel", true, 3, 0, 8, 4, {0x20}},
    {kSerGetRxTrigger, "get RxTriggerLevel", false, 3, 8, 8, 4, {}},
    {kSerSetRxTrigger, "set RxTriggerLevel", true, 3, 8, 8, 4, {0x30}},
};

// What a get finds in the unit's register: different from everything the sets write.
constexpr uint32_t kProbe[5] = {0, 0x00E75A3C, 0x9ABCDE6F, 0x00004D2E, 0x0000C3A5};

bool Passes(uint8_t version, uint8_t min) {
    return min == 1 ? version != 0 : version >= min;
}

uint32_t Control0Default(uint8_t version) {
    return version >= 4 ? 0x03030060 : 0x3F030060;
}

// Open and close write the defaults (and on versions 4, 5 the trigger levels in a second TLP).
std::vector<Tlp> InitTlps(uint8_t chl, uint8_t version) {
    std::vector<Tlp> t{RegWrite(chl, 0, {Control0Default(version), 0}, 0x1F)};
    if (version >= 4) t.push_back(RegWrite(chl, 3, {0xBFBF}, 0x1F));
    return t;
}

// The register copies the service keeps for one channel, as the test expects them.
struct Copies {
    uint32_t R[5] = {};
    void Init(uint8_t version) {
        R[0] = Control0Default(version);
        R[1] = 0;
        if (version >= 4) R[3] = 0xBFBF;
    }
};

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

class SioSer : public SioTest {};

// qorlab --veths 1
TEST_F(SioSer, EveryCommandOnEachControllerVersionSendsItsTlpsAndAnswersByteForByte) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    struct Channel {
        uint8_t Chl, Version;
    };
    for (const Channel ch : {Channel{kChlV0, 0}, Channel{kChlV2, 2}, Channel{kChlV4, 4}, Channel{kChlV5, 5}}) {
        Step("version " + std::to_string(ch.Version));
        // What the connect read: Status everywhere, Control2 from version 1 on.
        Copies c;
        c.R[2] = kStatusAtConnect;
        c.R[4] = ch.Version >= 1 ? kControl2AtConnect : 0;
        c.R[3] = ch.Version >= 4 ? kTriggerAtConnect : 0;

        SentTlps();
        ASSERT_TRUE(sio_.SendRaw(Encode(kSer, ch.Chl, kSerOpen)));
        std::vector<Tlp> want = InitTlps(ch.Chl, ch.Version);
        want.push_back(RegRead(ch.Chl, 2));
        auto sent = SentTlps(want.size());
        EXPECT_EQ(sent, want) << "open: " << Describe(sent);
        c.Init(ch.Version);
        EXPECT_TRUE(Is(sio_.ReadResponse(), Response(ch.Chl, kSerOpen, kSuccess, OpenRecord(ch.Version, c))));

        for (const Row& r : kRows) {
            SCOPED_TRACE(r.Op);
            const uint32_t mask = static_cast<uint32_t>(((1ull << r.Bits) - 1) << r.Shift);
            if (!Passes(ch.Version, r.MinVersion)) {
                EXPECT_TRUE(Answers(ch.Chl, r.Code, r.Payload, kVersionUnsupported));
                EXPECT_EQ(SentTlps(), std::vector<Tlp>{}) << Describe(SentTlps());
                continue;
            }
            if (r.Set) {
                uint32_t field = r.Payload[0];
                if (r.Payload.size() == 2) field |= static_cast<uint32_t>(r.Payload[1]) << 8;
                const uint32_t value = (c.R[r.Reg] & ~mask) | (field << r.Shift);
                EXPECT_TRUE(Answers(ch.Chl, r.Code, r.Payload, kSuccess));
                sent = SentTlps(1);
                EXPECT_EQ(sent, std::vector<Tlp>{RegWrite(ch.Chl, r.Reg, {value})}) << Describe(sent);
                c.R[r.Reg] = value;
            } else {
                ASSERT_NO_FATAL_FAILURE(SetReg(ch.Chl, r.Reg, kProbe[r.Reg]));
                const uint32_t field = (kProbe[r.Reg] & mask) >> r.Shift;
                const std::vector<uint8_t> answer =
                    r.Bits == 12 ? std::vector<uint8_t>{static_cast<uint8_t>(field >> 8), static_cast<uint8_t>(field)}
                                 : std::vector<uint8_t>{static_cast<uint8_t>(field)};
                EXPECT_TRUE(Answers(ch.Chl, r.Code, {}, kSuccess, answer));
                sent = SentTlps(1);
                EXPECT_EQ(sent, std::vector<Tlp>{RegRead(ch.Chl, r.Reg)}) << Describe(sent);
                c.R[r.Reg] = kProbe[r.Reg];
            }
        }

        EXPECT_TRUE(Answers(ch.Chl, kSerClose, {}, kSuccess));
        sent = SentTlps(InitTlps(ch.Chl, ch.Version).size());
        EXPECT_EQ(sent, InitTlps(ch.Chl, ch.Version)) << "close: " << Describe(sent);
        // Opened again, the record shows the defaults and what the gets last read.
        c.Init(ch.Version);
        ASSERT_NO_FATAL_FAILURE(SetReg(ch.Chl, 2, kProbe[2]));
        c.R[2] = kProbe[2];
        EXPECT_TRUE(Answers(ch.Chl, kSerOpen, {}, kSuccess, OpenRecord(ch.Version, c)));
        SentTlps(InitTlps(ch.Chl, ch.Version).size() + 1);
    }
    EXPECT_EQ(sio_.KeptUnsolicited(), 0u);
}

// qorlab --veths 1
TEST_F(SioSer, EveryStatusComesInOrderAndRefusalsSendNothingToTheUnit) {
    const Mac v6 = UnitMac(0x51, 2);
    ASSERT_NO_FATAL_FAILURE(StartSer({{PROFILE_DIR "/uart_v6.prof", v6}}));
    SentTlps();
    // Each refusal: its status, no payload, nothing to the unit, and (when given) its message
    // once more in the log.
    auto refused = [&](uint8_t chl, uint16_t code, const std::vector<uint8_t>& payload, uint16_t status,
                       const std::string& ending = {}) {
        SCOPED_TRACE("code " + std::to_string(code) + " on channel " + std::to_string(chl));
        const std::string msg = Prefix(chl) + ending;
        const size_t before = CountOccurrences(Log(), msg);
        EXPECT_TRUE(Answers(chl, code, payload, status));
        if (!ending.empty()) {
            EXPECT_TRUE(WaitForFileContains(kLogPath, msg, 2s, before + 1)) << msg;
        }
        const auto sent = SentTlps();
        EXPECT_TRUE(sent.empty()) << Describe(sent);
    };

    Step("2: payload size, tested before the version");
    for (const Row& r : kRows) {
        if (!r.Set) continue;
        refused(kChlV0, r.Code, std::vector<uint8_t>(r.Payload.size() - 1, 0), kLengthInvalid);
        refused(kChlV0, r.Code, std::vector<uint8_t>(r.Payload.size() + 1, 0), kLengthInvalid);
    }
    Step("4: version gates, and open and close of a version no front end handles");
    refused(kChlV0, kSerGetMode1, {}, kVersionUnsupported);
    refused(kChlV2, kSerGetOnChipFlowCtrl, {}, kVersionUnsupported);
    refused(kChlV4, kSerGetTxFifoCount, {}, kVersionUnsupported);
    {
        sio::Client other;
        ASSERT_TRUE(OpenSio(other, v6)) << other.Error();
        for (uint16_t code : {kSerOpen, kSerClose}) {
            EXPECT_TRUE(Is(other.Request(kSer, 1, code), Response(1, code, kVersionUnsupported))) << code;
        }
        EXPECT_TRUE(SentTlps().empty());
    }

    Step("3 and 50: MODE_1 and MODE_2 checks in order");
    struct Mode {
        uint8_t Chl;
        uint16_t Code;
        uint8_t Value;
        uint16_t Status;
        const char* Ending;
    };
    const Mode modes[] = {
        {kChlV1, kSerSetMode1, 0x1F, kValueInvalid, "set MODE_1, MODE_1:x1f invalid\n"},
        {kChlV1, kSerSetMode1, 0x0F, kNoCapability, "set MODE_1, no RI power I/O 5V cap\n"},
        {kChlV1, kSerSetMode1, 0x02, kNoCapability, "set MODE_1, no RI power I/O 12V cap\n"},
        {kChlV1, kSerSetMode1, 0x04, kNoCapability, "set MODE_1, no DCD power I/O 5V cap\n"},
        // Layout 2 here: RI 5 V and 12 V, DCD 5 V, none of the no-distinction capabilities.
        {kChlV2, kSerSetMode1, 0x03, kNoCapability, "set MODE_1, no RI power I/O no distinguish 5V/12V cap\n"},
        {kChlV2, kSerSetMode1, 0x0C, kNoCapability, "set MODE_1, no DCD power I/O 12V cap\n"},
        {kChlV2, kSerSetMode2, 0x80, kValueInvalid, "set MODE_2, MODE_2:x80 invalid\n"},
        {kChlV1, kSerSetMode2, 0x7E, kNoCapability, "set MODE_2, no RS422 cap\n"},
        {kChlV2, kSerSetMode2, 0x04, kNoCapability, "set MODE_2, no RS485 cap\n"},
        {kChlV1, kSerSetMode2, 0x08, kNoCapability, "set MODE_2, no AHDC cap\n"},
        {kChlV2, kSerSetMode2, 0x10, kNoCapability, "set MODE_2, no CS cap\n"},
        {kChlV1, kSerSetMode2, 0x20, kNoCapability, "set MODE_2, no RS422 termination cap\n"},
        {kChlV2, kSerSetMode2, 0x40, kNoCapability, "set MODE_2, no RS485 termination cap\n"},
    };
    for (const Mode& m : modes) refused(m.Chl, m.Code, {m.Value}, m.Status, m.Ending);
    // What the capabilities allow goes through.
    for (const auto& [code, value] : {std::pair{kSerSetMode1, 0x05}, std::pair{kSerSetMode2, 0x2B}}) {
        EXPECT_TRUE(Answers(kChlV2, code, {static_cast<uint8_t>(value)}, kSuccess));
        EXPECT_EQ(SentTlps(1).size(), 1u);
    }

    Step("16: channels without a SER object, data included");
    for (uint8_t chl : {uint8_t{0}, uint8_t{6}, uint8_t{200}, uint8_t{255}}) {
        for (uint16_t code : {kSerOpen, kSerGetMsr, kSerSetRxTrigger, kSerDataToService}) {
            const std::vector<uint8_t> payload = code == kSerGetMsr || code == kSerOpen ? std::vector<uint8_t>{}
                                                                                         : std::vector<uint8_t>{0x41};
            EXPECT_TRUE(Answers(chl, code, payload, kNoObject)) << int(chl) << " " << code;
        }
    }
    EXPECT_TRUE(SentTlps().empty());

    Step("33: the unit does not answer");
    SimOk("answer-fault " + MacString(kUartUnit) + " drop");
    EXPECT_TRUE(Answers(kChlV4, kSerGetMsr, {}, kTimeout));
    EXPECT_EQ(SentTlps(1), std::vector<Tlp>{RegRead(kChlV4, 2)});

    Step("32: the TLP cannot be handed to the unit (its interface is down)");
    ASSERT_EQ(system("ip link set veth0 down"), 0);
    // The close stores the defaults before it sends; the set that follows fails and must leave
    // its field of the copy alone.
    refused(kChlV2, kSerClose, {}, kTxFail);
    refused(kChlV2, kSerSetLcr, {0x1B}, kTxFail);
    refused(kChlV2, kSerGetMsr, {}, kTxFail);
    refused(kChlV4, kSerOpen, {}, kTxFail);
    ASSERT_EQ(system("ip link set veth0 up"), 0);
    // So the next set of another field of Control0 writes the default LCR.
    EXPECT_TRUE(Eventually([&] { return Answers(kChlV2, kSerSetDllDlm, {0x30, 0x00}, kSuccess); }, 3s));
    const auto sent = SentTlps(1);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), RegWrite(kChlV2, 0, {0x3F030030})) << Describe(sent);
}

}  // namespace
}  // namespace qortest
