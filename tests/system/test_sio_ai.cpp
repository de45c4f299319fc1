// The AI, UI and MAI families (profile analog_inputs), each command byte for byte with the
// TLPs the unit receives; expected bytes worked out by hand from docs/register-map.md.
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

inline const Mac kAiUnit = UnitMac(0x55, 1);
enum : uint8_t { kAiV0 = 1, kAiV1 = 2, kAiV2 = 3, kUiChl = 4, kMai0 = 5, kMai1 = 6 };
enum : uint8_t { kUi = 7, kMai = 10 };
enum : uint16_t { kNoPort = 18, kGainModel = 128, kMaiType = 131, kEvent = 0x1001, kData = 0x2001 };

// AI ports at 3 + 5p, UI ports at 4 + 3p, MAI ports at 2 + 4p.
const Regs kRegs = {
    {kAiV0,
     0,
     {0x00030007, 0x1234, 0x01, 0x000186A0, 0x21020100, 0xABCD, 0x1234, 0x10, 0x11223344, 1, 0xFFFF}},
    {kAiV0, 12, {0xFF}},
    {kAiV1, 0, {0x00050003, 0xFFFF1234, 0x102}},
    {kAiV1, 9, {0x1F020300, 0xFFFF0000}},  // port 1's sampling control, upper trigger
    {kUiChl, 4, {0x05010302, 0x01020304, 0xA0B0C0D0}},
    {kMai0, 2, {0x5103, 0xBEEF0705, 0x11, 0x22}},
    {kMai1, 7, {0x683}},
};

// The reads of a get-info (and of the connect): the controller block, then each port's
// registers one by one.
std::vector<Tlp> InfoReads(uint8_t chl, uint8_t words, uint8_t first, uint8_t block, uint8_t ports,
                           std::vector<uint8_t> aolbe) {
    std::vector<Tlp> t{Rd(chl, 0, words)};
    for (uint8_t p = 0; p < ports; ++p)
        for (uint8_t r = 0; r < aolbe.size(); ++r)
            t.push_back(Rd(chl, static_cast<uint8_t>(first + block * p + r), 1, aolbe[r]));
    return t;
}
std::vector<Tlp> AiReads(uint8_t chl, uint8_t ports) {
    return InfoReads(chl, 5, 3, 5, ports, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F});
}
std::vector<Tlp> MaiReads(uint8_t chl) {
    return InfoReads(chl, 2, 2, 4, 2, {0x1F, 0x1F, 0x1F, 0x1F});
}
const std::vector<Tlp> kUiReads = InfoReads(kUiChl, 4, 4, 3, 2, {0x1F, 0x1F, 0x0F});

class SioAi : public SioTest {
  protected:
    void SetUp() override {
        SioTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Start({{"analog_inputs", kAiUnit}}, kRegs));
    }
};

// qorlab --veths 1
TEST_F(SioAi, ConnectReadsInfoRecordsAndEveryCommandByteForByte) {
    Step("the connect reads the controller block and each port's registers at the map's offsets");
    const auto sent = SentTlps(1);
    const std::pair<uint8_t, std::vector<Tlp>> want[] = {
        {kAiV0, AiReads(kAiV0, 2)}, {kAiV1, AiReads(kAiV1, 16)}, {kAiV2, AiReads(kAiV2, 1)},
        {kUiChl, kUiReads},         {kMai0, MaiReads(kMai0)},    {kMai1, MaiReads(kMai1)}};
    for (const auto& [chl, tlps] : want) {
        EXPECT_EQ(Of(sent, chl), tlps) << "channel " << int(chl) << ": " << Describe(Of(sent, chl));
    }

    Step("info records: capabilities from the DIB, port fields from the registers just read");
    Run({{kAi,
          kAiV0,
          1,
          {},
          AiReads(kAiV0, 2),
          kSuccess,
          Hx("00 00000400 0102100302 000186a0 c4090003  00 000186a0 0102 21 abcd 1234 10"
             "  01 11223344 000000 ffff 0000 ff")},
         {kUi,
          kUiChl,
          1,
          {},
          kUiReads,
          kSuccess,
          Hx("0004000202100703 0000c350 c4090003 e8030003 14000003 0a0f0006 91160010"
             "  00 02 03 01 05 01020304 a0b0c0d0  01 000000000000000000000000")},
         {kMai,
          kMai0,
          1,
          {},
          MaiReads(kMai0),
          kSuccess,
          Hx("00 00000800 00000302180307 c4090003  00030105 00000011 00000022 01000107beef00000000"
             "  01000000 00000000 00000000 00000000000000000000")},
         {kMai,
          kMai1,
          1,
          {},
          MaiReads(kMai1),
          kSuccess,
          Hx("00 00001000 01010102100187 c4090003  00000000 00000000 00000000 00000000000000000000"
             "  01000000 00000000 00000000 00000000000001010106")}});
    auto big = sio_.Request(kAi, kAiV1, 1);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->Hdr.Length, 18u + 13 * 16);
    SentTlps(81);

    Step("every field command: one read for a get, one masked write of the cached word for a set");
    Run({
        {kAi, kAiV1, 2, {}, {Rd(kAiV1, 0)}, kSuccess, {0x01}},
        {kAi, kAiV1, 5, {0}, {Wr(kAiV1, 0, 0x00050001)}, kSuccess, {}},
        {kAi, kAiV1, 8, {}, {Rd(kAiV1, 0)}, kSuccess, {0x00, 0x05}},
        {kAi, kAiV1, 9, {0x80, 0x01}, {Wr(kAiV1, 0, 0x80010001)}, kSuccess, {}},
        {kAi, kAiV1, 7, {1}, {Wr(kAiV1, 0, 0x80010005)}, kSuccess, {}},
        {kAi, kAiV1, 6, {}, {Rd(kAiV1, 0)}, kSuccess, {0x01}},
        {kAi, kAiV1, 4, {}, {Rd(kAiV1, 0)}, kSuccess, {0x00}},
        {kAi, kAiV1, 3, {0}, {Wr(kAiV1, 0, 0x80010004)}, kSuccess, {}},
        {kAi, kAiV1, 10, {}, {Rd(kAiV1, 1)}, kSuccess, {0x12, 0x34}},
        {kAi, kAiV1, 11, {0xAB, 0xCD}, {Wr(kAiV1, 1, 0xFFFFABCD)}, kSuccess, {}},
        {kAi, kAiV1, 12, {}, {Rd(kAiV1, 2)}, kSuccess, {0x02}},
        {kAi, kAiV1, 15, {15, 0x00, 0x0F, 0x42, 0x40}, {Wr(kAiV1, 78, 0x000F4240)}, kSuccess, {15}},
        {kAi, kAiV1, 14, {15}, {Rd(kAiV1, 78)}, kSuccess, {15, 0x00, 0x0F, 0x42, 0x40}},
        {kAi, kAiV1, 17, {1, 1}, {Wr(kAiV1, 9, 0x1F020301)}, kSuccess, {1}},
        {kAi, kAiV1, 19, {1, 4}, {Wr(kAiV1, 9, 0x1F020401)}, kSuccess, {1}},
        {kAi, kAiV1, 18, {1}, {Rd(kAiV1, 9)}, kSuccess, {1, 4}},
        {kAi, kAiV1, 21, {1, 0}, {Wr(kAiV1, 9, 0x1F000401)}, kSuccess, {1}},
        {kAi, kAiV1, 20, {1}, {Rd(kAiV1, 9)}, kSuccess, {1, 0}},
        {kAi, kAiV1, 23, {1, 0x02}, {Wr(kAiV1, 9, 0x02000401)}, kSuccess, {1}},
        {kAi, kAiV1, 22, {1}, {Rd(kAiV1, 9)}, kSuccess, {1, 0x02}},
        {kAi, kAiV1, 16, {1}, {Rd(kAiV1, 9)}, kSuccess, {1, 1}},
        {kAi, kAiV1, 25, {1, 0xBE, 0xEF}, {Wr(kAiV1, 10, 0xFFFFBEEF)}, kSuccess, {1}},
        {kAi, kAiV1, 24, {1}, {Rd(kAiV1, 10)}, kSuccess, {1, 0xBE, 0xEF}},
        {kAi, kAiV1, 27, {1, 0x00, 0x42}, {Wr(kAiV1, 11, 0x42)}, kSuccess, {1}},
        {kAi, kAiV1, 26, {1}, {Rd(kAiV1, 11)}, kSuccess, {1, 0x00, 0x42}},
        {kAi, kAiV1, 29, {1, 0x80}, {Wr(kAiV1, 12, 0x80)}, kSuccess, {1}},
        {kAi, kAiV1, 28, {1}, {Rd(kAiV1, 12)}, kSuccess, {1, 0x80}},
        {kAi, kAiV0, 13, {2}, {Wr(kAiV0, 2, 0x02)}, kSuccess, {}},
        {kUi, kUiChl, 11, {0xDE, 0xAD, 0xBE, 0xEF}, {Wr(kUiChl, 1, 0xDEADBEEF)}, kSuccess, {}},
        {kUi, kUiChl, 10, {}, {Rd(kUiChl, 1)}, kSuccess, {0xDE, 0xAD, 0xBE, 0xEF}},
        {kUi, kUiChl, 13, {4}, {Wr(kUiChl, 2, 0x04)}, kSuccess, {}},
        {kUi, kUiChl, 15, {0, 0, 1, 0}, {Wr(kUiChl, 3, 0x100)}, kSuccess, {}},
        {kUi, kUiChl, 14, {}, {Rd(kUiChl, 3)}, kSuccess, {0, 0, 1, 0}},
        {kUi, kUiChl, 17, {1, 3}, {Wr(kUiChl, 7, 0x3)}, kSuccess, {1}},
        {kUi, kUiChl, 19, {1, 4}, {Wr(kUiChl, 7, 0x403)}, kSuccess, {1}},
        {kUi, kUiChl, 21, {1, 1}, {Wr(kUiChl, 7, 0x10403)}, kSuccess, {1}},
        {kUi, kUiChl, 23, {1, 0x7F}, {Wr(kUiChl, 7, 0x7F010403)}, kSuccess, {1}},
        {kUi, kUiChl, 16, {0}, {Rd(kUiChl, 4)}, kSuccess, {0, 0x02}},
        {kUi, kUiChl, 20, {1}, {Rd(kUiChl, 7)}, kSuccess, {1, 1}},
        {kUi, kUiChl, 25, {1, 1, 2, 3, 4}, {Wr(kUiChl, 8, 0x01020304)}, kSuccess, {1}},
        {kUi, kUiChl, 26, {0}, {Rd(kUiChl, 6, 1, 0x0F)}, kSuccess, {0, 0xA0, 0xB0, 0xC0, 0xD0}},
        {kMai, kMai0, 13, {0, 5}, {Wr(kMai0, 2, 0x5105)}, kSuccess, {0}},
        {kMai, kMai0, 15, {0, 0}, {Wr(kMai0, 2, 0x5005)}, kSuccess, {0}},
        {kMai, kMai0, 17, {0, 0x0F}, {Wr(kMai0, 2, 0xF005)}, kSuccess, {0}},
        {kMai, kMai0, 16, {0}, {Rd(kMai0, 2)}, kSuccess, {0, 0x0F}},
        {kMai, kMai0, 14, {0}, {Rd(kMai0, 2)}, kSuccess, {0, 0x00}},
        {kMai, kMai0, 11, {0x12, 0x34}, {Wr(kMai0, 1, 0x1234)}, kSuccess, {}},
        {kMai, kMai0, 0x10A, {0, 0x12, 0x34}, {Wr(kMai0, 3, 0x12340705)}, kSuccess, {0}},
        {kMai, kMai0, 0x108, {1, 7}, {Wr(kMai0, 7, 0x700)}, kSuccess, {1}},
        {kMai, kMai0, 0x105, {0}, {Rd(kMai0, 3)}, kSuccess, {0, 1}},
        {kMai, kMai0, 0x109, {0}, {Rd(kMai0, 3)}, kSuccess, {0, 0x12, 0x34}},
        {kMai, kMai0, 19, {1, 0xFF, 0xFF, 0xFF, 0xFF}, {Wr(kMai0, 8, 0xFFFFFFFF)}, kSuccess, {1}},
        {kMai, kMai0, 20, {0}, {Rd(kMai0, 5)}, kSuccess, {0, 0, 0, 0, 0x22}},
        {kMai, kMai1, 0x206, {0, 1}, {Wr(kMai1, 3, 0x80)}, kSuccess, {0}},
        {kMai, kMai1, 0x208, {0, 7}, {Wr(kMai1, 3, 0x780)}, kSuccess, {0}},
        {kMai, kMai1, 0x207, {1}, {Rd(kMai1, 7)}, kSuccess, {1, 6}},
        {kMai, kMai1, 0x203, {1}, {Rd(kMai1, 7)}, kSuccess, {1, 1}},
    });
}

// qorlab --veths 1
TEST_F(SioAi, EveryStatusWithNothingSentAnswersThatAreNotTheCommandsAndConcurrentSets) {
    SentTlps(1);
    Step("refusals: length, port (with P), value, version, gain model, MAI type");
    Run({
        {kAi, kAiV1, 3, {}, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 3, {1, 0}, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 2, {0}, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 14, {}, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 15, {1, 0, 0}, {}, kLengthInvalid, {1}},
        {kAi, kAiV1, 1, {0}, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 3, {2}, {}, kValueInvalid, {}},
        {kAi, kAiV1, 17, {0, 2}, {}, kValueInvalid, {0}},
        {kAi, kAiV1, 14, {16}, {}, kNoPort, {16}},
        {kAi, kAiV1, 29, {0xFF, 1}, {}, kNoPort, {0xFF}},
        {kAi, kAiV0, 15, {2, 0, 0, 0, 1}, {}, kNoPort, {2}},
        {kAi, kAiV1, 21, {1, 3}, {}, kValueInvalid, {1}},
        {kAi, kAiV1, 23, {1, 0x20}, {}, kValueInvalid, {1}},
        {kAi, kAiV1, 13, {1}, {}, kGainModel, {}},         // per-port channel
        {kAi, kAiV0, 19, {0, 1}, {}, kGainModel, {0}},     // all-ports channel
        {kAi, kAiV1, 19, {1, 5}, {}, kValueInvalid, {1}},  // above the highest gain 4
        {kAi, kAiV0, 13, {3}, {}, kValueInvalid, {}},      // above the highest gain 2
        {kAi, kAiV2, 13, {0}, {}, kVersionUnsupported, {}},
        {kAi, kAiV2, 19, {0, 0}, {}, kVersionUnsupported, {0}},
        {kUi, kUiChl, 17, {0, 4}, {}, kValueInvalid, {0}},
        {kUi, kUiChl, 13, {5}, {}, kValueInvalid, {}},
        {kUi, kUiChl, 21, {0, 2}, {}, kValueInvalid, {0}},
        {kUi, kUiChl, 16, {2}, {}, kNoPort, {2}},
        {kMai, kMai0, 13, {0, 6}, {}, kValueInvalid, {0}},
        {kMai, kMai0, 15, {0, 2}, {}, kValueInvalid, {0}},
        {kMai, kMai0, 17, {0, 16}, {}, kValueInvalid, {0}},
        {kMai, kMai0, 0x108, {0, 8}, {}, kValueInvalid, {0}},
        {kMai, kMai0, 0x208, {0, 1}, {}, kMaiType, {0}},
        {kMai, kMai0, 0x207, {2}, {}, kNoPort, {2}},
        {kMai, kMai1, 0x101, {0}, {}, kMaiType, {0}},
        {kMai, kMai1, 0x10A, {1, 0, 0}, {}, kMaiType, {1}},
        {kMai, kMai1, 0x208, {0, 8}, {}, kValueInvalid, {0}},
    });

    Step(
        "an answer with another Offset or LengthInDW is 34, a foreign or missing one 33, then the next is "
        "right");
    for (const auto& [fault, status] :
         {std::pair{"offset", kAnswerInvalid}, std::pair{"length", kAnswerInvalid},
          std::pair{"tid", kTimeout}, std::pair{"drop", kTimeout}}) {
        SCOPED_TRACE(fault);
        Fault(std::string(fault) + " 1");
        EXPECT_TRUE(Cmd(kAi, kAiV0, 10, {}, status));
        EXPECT_TRUE(Cmd(kAi, kAiV0, 10, {}, kSuccess, {0x12, 0x34}));
    }
    Fault("offset 1");
    EXPECT_TRUE(Cmd(kMai, kMai0, 1, {}, kAnswerInvalid));
    EXPECT_TRUE(Cmd(kAi, kAiV0, 18, {1}, kSuccess, {1, 0}));

    Step("four sets of one register at once: every field lands");
    SentTlps();
    ASSERT_NO_FATAL_FAILURE(AtOnce({Encode(kAi, kAiV0, 3, {0}), Encode(kAi, kAiV0, 5, {0}),
                                    Encode(kAi, kAiV0, 7, {0}), Encode(kAi, kAiV0, 9, {0xA5, 0x5A})}));
    EXPECT_EQ(Reg(kAiV0, 0), 0xA55A0000u);
}

// qorlab --veths 1
TEST_F(SioAi, SampleDataEventsAndCalibrationTables) {
    Step("DATA TLPs and events of each family reach the client whole, the flag byte first");
    const std::vector<uint8_t> bytes = Counting(200, 7);
    Sim("data", kAiV1, "3 " + Hex(bytes));
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kAi, kAiV1, kData, 0, Concat({{3}, bytes}))));
    Sim("data", kUiChl, "31 0102");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kUi, kUiChl, kData, 0, {31, 1, 2})));
    Sim("event", kMai1, "1 2 3 4");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kMai, kMai1, kEvent, 0, {1, 2, 3, 4})));

    Step("the unit's events and sample stream once the client enabled them: every packet, in order");
    EXPECT_TRUE(Cmd(kAi, kAiV1, 7, {1}, kSuccess));
    Sim("ai-event", kAiV1, "9 8 7 6");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kAi, kAiV1, kEvent, 0, {9, 8, 7, 6})));
    EXPECT_TRUE(Cmd(kAi, kAiV0, 9, {0x00, 0x04}, kSuccess));  // lowest enabled port 2: Flag 2
    EXPECT_TRUE(Cmd(kAi, kAiV0, 3, {1}, kSuccess));
    Sim("ai-stream", kAiV0, "50 5000 64");
    for (uint32_t k = 0; k < 50; ++k) {
        std::vector<uint8_t> want{2, static_cast<uint8_t>(k), 0, 0, 0};
        for (size_t i = 4; i < 64; ++i) want.push_back(static_cast<uint8_t>(k + i));
        ASSERT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kAi, kAiV0, kData, 0, want))) << "sample packet " << k;
    }

    Step("MAI calibration tables of types 0 and 1 through the control unit's memory, in 256-byte reads");
    auto table = [](size_t n, uint8_t type) {
        std::vector<uint8_t> t{
            0xCA, 0x1B, 10, 0, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0, type, 0, 0, 0x5A};
        for (size_t i = 0; i < n; ++i) t.push_back(static_cast<uint8_t>(7 * i + 3));
        return t;
    };
    auto read = [](uint16_t address, uint16_t length) {
        return std::vector<Tlp>{RegWrite(0, 9, {1u | (uint32_t{length} << 16)}), RegWrite(0, 9, {address}),
                                RegWrite(0, 11, {1})};
    };
    SentTlps();
    SimOk("ctu-calibration " + MacString(kAiUnit) + " 0 300");
    EXPECT_TRUE(Cmd(kMai, kMai0, 22, {}, kSuccess, table(300, 0)));
    const auto nvm = SentTlps(9);
    std::vector<Tlp> wantNvm = read(0xA000, 12);
    for (const auto& s : {read(0xA00C, 256), read(0xA10C, 44)})
        wantNvm.insert(wantNvm.end(), s.begin(), s.end());
    EXPECT_EQ(nvm, wantNvm) << Describe(nvm);
    EXPECT_TRUE(Cmd(kMai, kMai1, 23, {}, kAnswerInvalid));  // the memory holds a type-0 table
    SimOk("ctu-calibration " + MacString(kAiUnit) + " 1 40");
    EXPECT_TRUE(Cmd(kMai, kMai1, 23, {}, kSuccess, table(40, 1)));
    EXPECT_TRUE(Cmd(kMai, kMai0, 22, {0}, kLengthInvalid));
}

}  // namespace
}  // namespace qortest
