// Line events and received data to the SIO client by controller version, transmit data to the
// unit in whole TLPs with every byte checked, answers that are not the command's, and
// concurrent sets of one register.
#include <set>

#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

class SioTraffic : public SioTest {
  protected:
    std::string Unit() const { return MacString(kUartUnit); }

    // The next event or data message must be exactly this one.
    ::testing::AssertionResult Next(uint8_t chl, uint16_t code, const std::vector<uint8_t>& payload) {
        return Is(sio_.NextUnsolicited(2s), Make(kSer, chl, code, 0, payload));
    }
};

// The bytes one transmit TLP carries, as the unit reads them: a window write (versions 0..3)
// carries LengthInDW words of which AOLBE enables the first 1..4 bytes of the last; a data TLP
// LengthInByte. Empty for a TLP of another form.
std::vector<uint8_t> TxBytes(const Tlp& t, uint8_t chl) {
    if (t.Chl != chl || t.RW != 1) return {};
    if (t.Type == 1) return t.B7 == 0 ? t.Data : std::vector<uint8_t>{};
    if (t.Type != 0 || t.B4 != (0x50 & 0x1F) || t.B5 != 3 || t.B6 == 0) return {};
    size_t last = 0;
    switch (t.B7) {
        case 0x01: last = 1; break;
        case 0x03: last = 2; break;
        case 0x07: last = 3; break;
        case 0x0F: last = 4; break;
        default: return {};
    }
    const size_t n = (t.B6 - 1u) * 4 + last;
    return n <= t.Data.size() ? std::vector<uint8_t>(t.Data.begin(), t.Data.begin() + static_cast<long>(n))
                              : std::vector<uint8_t>{};
}

// qorlab --veths 1
TEST_F(SioTraffic, EventsAndReceivedDataReachTheClientByVersion) {
    ASSERT_NO_FATAL_FAILURE(StartSer());

    Step("E0 = 0x50: MSR and data on version 2, MSR and line status on version 4");
    SimOk("event " + Unit() + " 3 0x50 0 1 0 41424344");
    EXPECT_TRUE(Next(kChlV2, kSerEventMsr, {0x00}));
    EXPECT_TRUE(Next(kChlV2, kSerEventData, {0x41, 0x42, 0x43, 0x44}));
    SimOk("event " + Unit() + " 4 0x50 0 0 0");
    EXPECT_TRUE(Next(kChlV4, kSerEventMsr, {0x00}));
    EXPECT_TRUE(Next(kChlV4, kSerEventLsr, {0x08, 0x00, 0x00}));

    Step("modem and line status as each generation encodes them");
    SimOk("uart-msr " + Unit() + " 1 0xB3");
    EXPECT_TRUE(Next(kChlV0, kSerEventMsr, {0x03}));
    SimOk("uart-lsr " + Unit() + " 1 0x0F 0");
    EXPECT_TRUE(Next(kChlV0, kSerEventLsr, {0x0F, 0x00, 0x00}));
    SimOk("uart-lsr " + Unit() + " 2 0x0A 0x1FF");
    EXPECT_TRUE(Next(kChlV1, kSerEventLsr, {0x0A, 0x01, 0xFF}));
    SimOk("uart-lsr " + Unit() + " 5 0x0D 0xABC");
    EXPECT_TRUE(Next(kChlV5, kSerEventLsr, {0x0D, 0x0A, 0xBC}));
    // All three parts of one event, in the order MSR, line status, data.
    SimOk("event " + Unit() + " 2 0xF2 0x09 1 0x21 a1a2a3a4");
    EXPECT_TRUE(Next(kChlV1, kSerEventMsr, {0x02}));
    EXPECT_TRUE(Next(kChlV1, kSerEventLsr, {0x07, 0x01, 0x21}));
    EXPECT_TRUE(Next(kChlV1, kSerEventData, {0xA1, 0xA2, 0xA3, 0xA4}));

    Step("received data: whole words in events, a flag byte in front on versions 4 and 5");
    SimOk("uart-rx " + Unit() + " 1 0 0102030405");
    EXPECT_TRUE(Next(kChlV0, kSerEventData, {1, 2, 3, 4, 5, 0, 0, 0}));
    SimOk("uart-rx " + Unit() + " 3 0 count:1020");
    EXPECT_TRUE(Next(kChlV2, kSerEventData, Counting(1020)));
    SimOk("uart-rx " + Unit() + " 4 1 414243");
    EXPECT_TRUE(Next(kChlV4, kSerDataToLibrary, {0x01, 0x41, 0x42, 0x43}));
    SimOk("uart-rx " + Unit() + " 5 3 count:2043");
    std::vector<uint8_t> forwarded{0x03};
    const auto block = Counting(2043);
    forwarded.insert(forwarded.end(), block.begin(), block.end());
    EXPECT_TRUE(Next(kChlV5, kSerDataToLibrary, forwarded));
    SimOk("uart-rx " + Unit() + " 4 0 count:2044");
    EXPECT_TRUE(
        WaitForFileContains(kLogPath, Prefix(kChlV4) + "RX DATA, Flag:x00, DataLength:2044, too BIG !!!\n", 2s));
    EXPECT_TRUE(sio_.Silent(200ms)) << sio_.Error();
}

// qorlab --veths 1
TEST_F(SioTraffic, TransmitDataReachesTheUnitInWholeTlpsOrNotAtAll) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    SentTlps();
    struct Case {
        uint8_t Chl;
        size_t Bytes;
        size_t MaxPerTlp;
    };
    // One TLP up to 1020 bytes (window) or 1484 (data TLP); beyond that several, in order.
    const Case cases[] = {
        {kChlV2, 5, 1020},    {kChlV0, 8, 1020},    {kChlV1, 1020, 1020}, {kChlV2, 1021, 1020},
        {kChlV2, 1022, 1020}, {kChlV2, 1023, 1020}, {kChlV2, 1024, 1020}, {kChlV4, 1484, 1484},
        {kChlV5, 1485, 1484}, {kChlV5, 2048, 1484}, {kChlV5, 7, 1484},
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
    // The exact form of the small ones: 5 bytes on version 2 end in a word with one byte.
    ASSERT_TRUE(sio_.SendRaw(Encode(kSer, kChlV2, kSerDataToService, Counting(5))));
    EXPECT_EQ(SentTlps(1), (std::vector<Tlp>{{0, 1, kChlV2, 0x10, 3, 2, 0x01, {0, 1, 2, 3, 4, 0, 0, 0}}}));
    KeptTx(kChlV2);
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
    // The connection still serves.
    EXPECT_TRUE(Answers(kChlV4, kSerGetMsr, {}, kSuccess, {static_cast<uint8_t>(kStatusAtConnect)}));
}

// qorlab --veths 1
TEST_F(SioTraffic, OnlyTheCommandsOwnAnswerCompletesIt) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    Step("answers with another TransactionID, Offset or LengthInDW, and none at all");
    const std::pair<const char*, const char*> faults[] = {
        {"tid", nullptr},
        {"offset", "get status reg response, invalid Offset:x03\n"},
        {"length", "get status reg response, invalid LengthInDW:x00\n"},
        {"drop", nullptr},
    };
    uint8_t msr = 0x50;
    for (const auto& [fault, message] : faults) {
        SCOPED_TRACE(fault);
        ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, ++msr));
        SimOk("answer-fault " + Unit() + " " + fault);
        EXPECT_TRUE(Answers(kChlV4, kSerGetMsr, {}, kTimeout));
        if (message != nullptr) {
            EXPECT_NE(Log().find(Prefix(kChlV4) + message), std::string::npos) << message;
        }
        // The next command gets its own answer.
        EXPECT_TRUE(Answers(kChlV4, kSerGetMsr, {}, kSuccess, {msr}));
    }

    Step("an answer that comes after its command gave up is not the next one's");
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, 0x11));
    SimOk("answer-fault " + Unit() + " late 700");
    EXPECT_TRUE(Answers(kChlV4, kSerGetMsr, {}, kTimeout));
    std::this_thread::sleep_for(400ms);  // the late answer arrives meanwhile
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, 0x22));
    EXPECT_TRUE(Answers(kChlV4, kSerGetMsr, {}, kSuccess, {0x22}));

    Step("the echo of a transmit-window write does not complete a waiting read");
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV2, 2, 0x33));
    SimOk("answer-fault " + Unit() + " late 250");
    ASSERT_TRUE(sio_.SendRaw(Encode(kSer, kChlV2, kSerGetMsr)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(sio_.SendRaw(Encode(kSer, kChlV2, kSerDataToService, {0xE1, 0xE2, 0xE3, 0xE4})));
    EXPECT_TRUE(Is(sio_.ReadResponse(), Response(kChlV2, kSerGetMsr, kSuccess, {0x33})));
    EXPECT_EQ(KeptTx(kChlV2), "e1e2e3e4");

    Step("sets of different fields of one register at once all stay");
    EXPECT_TRUE(Answers(kChlV5, kSerSetDllDlm, {0x0C, 0x00}, kSuccess));
    for (uint8_t i = 1; i <= 40; ++i) {
        const uint8_t lcr = i, fifo = static_cast<uint8_t>(0x80 | i);
        ASSERT_TRUE(sio_.SendRaw(Concat({Encode(kSer, kChlV5, kSerSetLcr, std::vector<uint8_t>{lcr}),
                                         Encode(kSer, kChlV5, kSerSetFifoCtrl, std::vector<uint8_t>{fifo})})));
        // Workers answer in any order.
        std::set<uint16_t> codes;
        for (int k = 0; k < 2; ++k) {
            auto m = sio_.ReadResponse();
            ASSERT_TRUE(m) << sio_.Error();
            EXPECT_EQ(m->Hdr.Status, kSuccess) << Describe(*m);
            codes.insert(m->Hdr.Code);
        }
        EXPECT_EQ(codes, (std::set<uint16_t>{kSerSetLcr | kResponseBit, kSerSetFifoCtrl | kResponseBit}));
        SentTlps(2);
        const uint32_t want = (static_cast<uint32_t>(fifo) << 24) | (static_cast<uint32_t>(lcr) << 16) | 0x000C;
        ASSERT_EQ(UnitReg(kChlV5, 0), want) << "round " << int(i);
    }
}

}  // namespace
}  // namespace qortest
