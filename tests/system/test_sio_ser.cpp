// The SER family: its handlers, statuses, events, data both ways and concurrent sets. The
// register protocol under it is the TTY bridge's as well and proven there.
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

class SioSer : public SioTest {
  protected:
    void SetUp() override {
        SioTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartSer(extra_));
    }
    // A refused command: its status, no payload, nothing to the unit, and (when given) its
    // message once more in the log.
    void Refused(uint8_t chl, uint16_t code, const std::vector<uint8_t>& payload, uint16_t status,
                 const std::string& ending = {}) {
        SCOPED_TRACE("code " + std::to_string(code) + " on channel " + std::to_string(chl));
        const std::string msg = Prefix(chl) + ending;
        const size_t before = CountOccurrences(Log(), msg);
        EXPECT_TRUE(Cmd(kSer, chl, code, payload, status));
        if (!ending.empty()) {
            EXPECT_TRUE(WaitForFileContains(kLogPath, msg, 2s, before + 1)) << msg;
        }
        const auto sent = SentTlps();
        EXPECT_TRUE(sent.empty()) << Describe(sent);
    }
    // The next event or data message must be exactly this one.
    ::testing::AssertionResult Next(uint8_t chl, uint16_t code, const std::vector<uint8_t>& payload) {
        return Is(sio_.NextUnsolicited(2s), Make(kSer, chl, code, 0, payload));
    }

    std::vector<std::pair<std::string, Mac>> extra_;
};

// The bytes one transmit TLP carries, as the unit reads them: a window write (versions 0..3)
// carries LengthInDW words of which AOLBE enables the first 1..4 bytes of the last; a data TLP
// LengthInByte. Empty for a TLP of another form.
std::vector<uint8_t> TxBytes(const Tlp& t, uint8_t chl) {
    if (t.Chl != chl || t.RW != 1) return {};
    if (t.Type == 1) return t.B7 == 0 ? t.Data : std::vector<uint8_t>{};
    if (t.Type != 0 || t.B4 != (0x50 & 0x1F) || t.B5 != 3 || t.B6 == 0) return {};
    const size_t last = t.B7 == 0x01 ? 1 : t.B7 == 0x03 ? 2 : t.B7 == 0x07 ? 3 : t.B7 == 0x0F ? 4 : 0;
    const size_t n = (t.B6 - 1u) * 4 + last;
    if (last == 0 || n > t.Data.size()) return {};
    return std::vector<uint8_t>(t.Data.begin(), t.Data.begin() + static_cast<long>(n));
}

// Open and close of a version-5 channel: Control0 and Control1 defaults, the trigger levels.
std::vector<Tlp> InitV5(uint8_t chl) {
    return {RegWrite(chl, 0, {0x03030060, 0}, 0x1F), RegWrite(chl, 3, {0xBFBF}, 0x1F)};
}

// Which register and field each code touches, per controller version, is the register
// protocol's and proven through the TTY bridge; here each kind of handler once.
// qorlab --veths 1
TEST_F(SioSer, EveryKindOfCommandSendsItsTlpsAndAnswersByteForByte) {
    const uint8_t c = kChlV5;
    std::vector<Tlp> open = InitV5(c);
    open.push_back(RegRead(c, 2));
    Step("open: the defaults, a read of Status, and the record of the register copies");
    Run({{kSer, c, kSerOpen, {}, open, kSuccess, Hx("05 60000303 000000 78 0456 0123 bfbf c3a5")}});

    Step("gets answer their field (12 bits: two bytes big-endian), sets merge theirs into the copy");
    ASSERT_NO_FATAL_FAILURE(SetReg(c, 2, 0x9ABCDE6F));
    Run({
        {kSer, c, kSerGetMsr, {}, {RegRead(c, 2)}, kSuccess, {0x6F}},
        {kSer, c, kSerGetTxCredit, {}, {RegRead(c, 2)}, kSuccess, {0x0C, 0xDE}},
        {kSer, c, kSerSetDllDlm, {0x0C, 0x01}, {RegWrite(c, 0, {0x0303010C})}, kSuccess, {}},
        {kSer, c, kSerSetLcr, {0x1B}, {RegWrite(c, 0, {0x031B010C})}, kSuccess, {}},
        {kSer, c, kSerSetMode2, {0x01}, {RegWrite(c, 4, {0x01C3})}, kSuccess, {}},
    });
    Step("close writes the defaults; opened again, the record shows them and Status as read");
    Run({{kSer, c, kSerClose, {}, InitV5(c), kSuccess, {}},
         {kSer, c, kSerOpen, {}, open, kSuccess, Hx("05 60000303 000000 6f 0cde 09ab bfbf c301")}});
    EXPECT_TRUE(sio_.Silent(100ms)) << sio_.Error();
}

class SioSerStatus : public SioSer {
  protected:
    void SetUp() override {
        extra_ = {{PROFILE_DIR "/uart_v6.prof", UnitMac(0x51, 2)}};
        SioSer::SetUp();
    }
};

// qorlab --veths 1
TEST_F(SioSerStatus, EveryStatusComesInOrderAndRefusalsSendNothingToTheUnit) {
    Step("2: payload size, tested before the version");
    Refused(kChlV0, kSerSetDllDlm, {0x0C}, kLengthInvalid);
    Refused(kChlV0, kSerSetDllDlm, {0x0C, 0, 0}, kLengthInvalid);
    Refused(kChlV0, kSerSetLcr, {}, kLengthInvalid);
    Refused(kChlV0, kSerSetLcr, {0x1B, 0}, kLengthInvalid);
    Refused(kChlV0, kSerSetMode1, {}, kLengthInvalid);
    Refused(kChlV0, kSerSetRxTrigger, {0x30, 0}, kLengthInvalid);
    Step("4: version gates, and open and close of a version no front end handles");
    Refused(kChlV0, kSerGetMode1, {}, kVersionUnsupported);
    Refused(kChlV2, kSerGetOnChipFlowCtrl, {}, kVersionUnsupported);
    Refused(kChlV4, kSerGetTxFifoCount, {}, kVersionUnsupported);
    {
        sio::Client other;
        ASSERT_TRUE(OpenSio(other, extra_[0].second)) << other.Error();
        for (uint16_t code : {kSerOpen, kSerClose}) {
            EXPECT_TRUE(
                Is(other.Request(kSer, 1, code), Make(kSer, 1, code | kResponseBit, kVersionUnsupported)))
                << code;
        }
        EXPECT_TRUE(SentTlps().empty());
    }

    Step("3 for a value the field cannot hold, 50 for a capability the channel lacks");
    Refused(kChlV1, kSerSetMode1, {0x1F}, kValueInvalid, "set MODE_1, MODE_1:x1f invalid\n");
    Refused(kChlV1, kSerSetMode1, {0x0F}, kNoCapability, "set MODE_1, no RI power I/O 5V cap\n");
    Refused(kChlV2, kSerSetMode2, {0x80}, kValueInvalid, "set MODE_2, MODE_2:x80 invalid\n");
    Refused(kChlV1, kSerSetMode2, {0x7E}, kNoCapability, "set MODE_2, no RS422 cap\n");
    // What the capabilities allow goes through.
    for (const auto& [code, value] : {std::pair{kSerSetMode1, 0x05}, std::pair{kSerSetMode2, 0x2B}}) {
        EXPECT_TRUE(Cmd(kSer, kChlV2, code, {static_cast<uint8_t>(value)}, kSuccess));
        EXPECT_EQ(SentTlps(1).size(), 1u);
    }

    Step("16: channels without a SER object, data included");
    for (uint8_t chl : {uint8_t{0}, uint8_t{6}, uint8_t{255}}) {
        for (uint16_t code :
             std::initializer_list<uint16_t>{kSerOpen, kSerGetMsr, kSerSetRxTrigger, kSerDataToService}) {
            const bool bare = code == kSerGetMsr || code == kSerOpen;
            EXPECT_TRUE(
                Cmd(kSer, chl, code, bare ? std::vector<uint8_t>{} : std::vector<uint8_t>{0x41}, kNoObject))
                << int(chl) << " " << code;
        }
    }
    EXPECT_TRUE(SentTlps().empty());

    Step("33: the unit does not answer");
    Fault("drop");
    EXPECT_TRUE(Cmd(kSer, kChlV4, kSerGetMsr, {}, kTimeout));
    EXPECT_EQ(SentTlps(1), std::vector<Tlp>{RegRead(kChlV4, 2)});

    Step("32: the TLP cannot be handed to the unit (its interface is down)");
    ASSERT_EQ(system("ip link set veth0 down"), 0);
    // The close stores the defaults before it sends; the set that follows fails and must leave
    // its field of the copy alone.
    Refused(kChlV2, kSerClose, {}, kTxFail);
    Refused(kChlV2, kSerSetLcr, {0x1B}, kTxFail);
    Refused(kChlV2, kSerGetMsr, {}, kTxFail);
    Refused(kChlV4, kSerOpen, {}, kTxFail);
    ASSERT_EQ(system("ip link set veth0 up"), 0);
    // So the next set of another field of Control0 writes the default LCR.
    EXPECT_TRUE(Eventually([&] { return Cmd(kSer, kChlV2, kSerSetDllDlm, {0x30, 0x00}, kSuccess); }, 3s));
    const auto sent = SentTlps(1);
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), RegWrite(kChlV2, 0, {0x3F030030})) << Describe(sent);
}

// qorlab --veths 1
TEST_F(SioSer, EventsAndReceivedDataReachTheClient) {
    Step("modem and line status, and all three parts of one event in the order MSR, line status, data");
    Sim("uart-msr", kChlV0, "0xB3");
    EXPECT_TRUE(Next(kChlV0, kSerEventMsr, {0x03}));
    Sim("event", kChlV1, "0xF2 0x09 1 0x21 a1a2a3a4");
    EXPECT_TRUE(Next(kChlV1, kSerEventMsr, {0x02}));
    EXPECT_TRUE(Next(kChlV1, kSerEventLsr, {0x07, 0x01, 0x21}));
    EXPECT_TRUE(Next(kChlV1, kSerEventData, {0xA1, 0xA2, 0xA3, 0xA4}));

    Step("received data: whole words in events, a flag byte in front on versions 4 and 5");
    Sim("uart-rx", kChlV0, "0 0102030405");
    EXPECT_TRUE(Next(kChlV0, kSerEventData, {1, 2, 3, 4, 5, 0, 0, 0}));
    Sim("uart-rx", kChlV4, "1 414243");
    EXPECT_TRUE(Next(kChlV4, kSerDataToLibrary, {0x01, 0x41, 0x42, 0x43}));
    Sim("uart-rx", kChlV5, "3 count:2043");
    EXPECT_TRUE(Next(kChlV5, kSerDataToLibrary, Concat({{0x03}, Counting(2043)})));
    Sim("uart-rx", kChlV4, "0 count:2044");
    EXPECT_TRUE(WaitForFileContains(
        kLogPath, Prefix(kChlV4) + "RX DATA, Flag:x00, DataLength:2044, too BIG !!!\n", 2s));
    EXPECT_TRUE(sio_.Silent(200ms)) << sio_.Error();
}

// qorlab --veths 1
TEST_F(SioSer, TransmitDataReachesTheUnitInWholeTlpsOrNotAtAll) {
    struct Case {
        uint8_t Chl;
        size_t Bytes;
        size_t MaxPerTlp;
    };
    // One TLP up to 1020 bytes (window) or 1484 (data TLP); beyond that several, in order.
    const Case cases[] = {
        {kChlV0, 8, 1020},    {kChlV1, 1020, 1020}, {kChlV2, 1021, 1020}, {kChlV2, 1024, 1020},
        {kChlV4, 1484, 1484}, {kChlV5, 1485, 1484}, {kChlV5, 2048, 1484},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Bytes) + " bytes on channel " + std::to_string(c.Chl));
        const auto bytes = Counting(c.Bytes, static_cast<uint8_t>(c.Bytes));
        ASSERT_TRUE(sio_.SendRaw(Encode(kSer, c.Chl, kSerDataToService, bytes)));
        const size_t tlps = (c.Bytes + c.MaxPerTlp - 1) / c.MaxPerTlp;
        const auto sent = SentTlps(tlps);
        std::vector<uint8_t> carried;
        for (const Tlp& t : sent) {
            const auto part = TxBytes(t, c.Chl);
            EXPECT_FALSE(part.empty()) << "not a transmit TLP: " << Describe({t});
            EXPECT_LE(part.size(), c.MaxPerTlp);
            carried.insert(carried.end(), part.begin(), part.end());
        }
        EXPECT_EQ(sent.size(), tlps) << Describe(sent);
        EXPECT_EQ(Hex(carried), Hex(bytes));
        EXPECT_EQ(KeptTx(c.Chl), Hex(bytes));
    }
    // Transmit data is never answered.
    EXPECT_TRUE(sio_.Silent(200ms)) << sio_.Error();

    Step("refused: empty, or a Length beyond the bytes that came");
    for (const auto& [chl, gen] : {std::pair{kChlV2, "V0V1V2V3"}, std::pair{kChlV4, "V4V5"}}) {
        const std::string refusal = Prefix(chl) + "TX DATA " + gen + ", invalid data length\n";
        const size_t before = CountOccurrences(Log(), refusal);
        ASSERT_TRUE(sio_.SendRaw(Encode(kSer, chl, kSerDataToService)));
        ASSERT_TRUE(sio_.SendRaw(Encode(kSer, chl, kSerDataToService, Counting(5), 100)));
        // The service gives up on the missing bytes; what came must not be sent.
        EXPECT_TRUE(WaitForFileContains(kLogPath, refusal, 5s, before + 2)) << refusal;
        EXPECT_TRUE(SentTlps().empty());
        EXPECT_EQ(KeptTx(chl), "-");
    }
    EXPECT_TRUE(sio_.Silent(100ms)) << sio_.Error();

    Step("sets of different fields of one register at once all stay");
    EXPECT_TRUE(Cmd(kSer, kChlV5, kSerSetDllDlm, {0x0C, 0x00}, kSuccess));
    for (uint8_t i = 1; i <= 40; ++i) {
        const uint8_t lcr = i, fifo = static_cast<uint8_t>(0x80 | i);
        ASSERT_NO_FATAL_FAILURE(
            AtOnce({Encode(kSer, kChlV5, kSerSetLcr, {lcr}), Encode(kSer, kChlV5, kSerSetFifoCtrl, {fifo})}));
        ASSERT_EQ(Reg(kChlV5, 0), (uint32_t{fifo} << 24) | (uint32_t{lcr} << 16) | 0x000C)
            << "round " << int(i);
    }
}

}  // namespace
}  // namespace qortest
