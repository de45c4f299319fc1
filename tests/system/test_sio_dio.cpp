// The DIO and TPS families (profile dio_versions), each command byte for byte with the TLPs
// the unit receives; expected values worked out by hand from docs/register-map.md.
#include "qor_ctu_client.h"
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

inline const Mac kDioUnit = UnitMac(0x53, 1);
// Channels of dio_versions: DIO layouts 0, 1, 2, INDIVIDUAL and WHOLE, and the TPS channel.
enum : uint8_t { kInd0 = 1, kWhole0 = 2, kInd1 = 3, kWhole1 = 4, kInd2 = 5, kWhole2 = 6, kTpsChl = 7 };
constexpr uint8_t kTps = 11;

enum : uint16_t { kGetInfo = 1, kGetState, kGetDelta, kGetInvert, kSetInvert, kSetState, kGetDirection };
enum : uint16_t { kSetDirection = 8, kGetEventMode, kSetEventMode, kGetClock, kSetClock, kGetPinConfig };
enum : uint16_t { kSetPinConfig = 14, kGetInitial, kSetInitial, kGetSafe, kSetSafe, kGetTimer, kSetTimer };
enum : uint16_t { kGetLatchRise = 21, kSetLatchRise, kGetLatchFall, kSetLatchFall, kCounterReset };
enum : uint16_t { kGetCountRise = 26, kSetCountRise, kGetCountFall, kSetCountFall, kGetLineCounter };
enum : uint16_t {
    kNoBank = 17,
    kNoSensor = 18,
    kNoLine = 19,
    kNoInputs = 112,
    kNoOutputs,
    kMixed,
    kOutputOnly
};
enum : uint16_t { kInputOnly = 116, kBadDirectionCap = 117, kDioEvent = 0x1001 };

std::vector<uint8_t> BV(uint8_t bank, uint32_t v) {
    return Concat({{bank}, Be32(v)});
}

// The layout-2 channels' registers at connect.
const Regs kRegs = {
    {kInd2,
     0,
     {0x12345678, 0x00005500, 0x0000A55A, 0, 0xCAFEBABE, 0xFF00000F, 0x11223344, 0x55667788, 0x80000020,
      0x0000F000, 0x000F0000, 0, 0x00000F00, 0x000000F0, 0x102, 0x301, 0x1000, 0}},
    {kInd2, 74, {0x01020304}},
    {kWhole2, 14, {0x01, 0x2000, 0x2305, 0}},
};

// One bank entry of the info record. Every bank of the profile can store settings, counts
// both edges and has a pull-up.
std::vector<uint8_t> Bank(uint8_t idx, uint8_t ios, uint8_t dirCap, uint8_t pinCap, uint32_t dir,
                          uint32_t inv, uint8_t mode, uint8_t clock, uint8_t pin) {
    return Concat({{idx, ios, 1, dirCap, 3, pinCap, 1}, Be32(dir), Be32(inv), {mode, clock, pin}});
}
// The reads of the connect and of a get-info: the controller block, each bank's control
// register at 14 + b.
std::vector<Tlp> InfoReads(uint8_t chl, uint8_t words, uint8_t banks) {
    std::vector<Tlp> t{Rd(chl, 2, words)};
    for (uint8_t b = 0; b < banks; ++b) t.push_back(Rd(chl, static_cast<uint8_t>(14 + b)));
    return t;
}

class SioDio : public SioTest {
  protected:
    void SetUp() override {
        SioTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Start({{"dio_versions", kDioUnit}}, kRegs));
    }
};

// qorlab --veths 1
TEST_F(SioDio, ConnectReadsInfoRecordsAndEveryCommandByteForByte) {
    Step("the connect reads the controller block and every bank's control register");
    const auto sent = SentTlps(1);
    const std::vector<Tlp> want[] = {InfoReads(kInd0, 4, 2),  InfoReads(kWhole0, 4, 2),
                                     InfoReads(kInd1, 4, 3),  InfoReads(kWhole1, 4, 3),
                                     InfoReads(kInd2, 12, 4), InfoReads(kWhole2, 12, 4)};
    for (uint8_t chl = kInd0; chl <= kWhole2; ++chl) {
        EXPECT_EQ(Of(sent, chl), want[chl - kInd0])
            << "channel " << int(chl) << ": " << Describe(Of(sent, chl));
    }
    EXPECT_EQ(Of(sent, kTpsChl), std::vector<Tlp>{}) << "TPS has nothing to read at connect";

    Step("info records: the same reads, then the DIB and the cache");
    Run({{kDio,
          kInd2,
          kGetInfo,
          {},
          want[kInd2 - kInd0],
          kSuccess,
          Concat({Hx("02040005 02faf080"), Bank(0, 8, 3, 2, 0x0F, 0x5A, 2, 1, 0),
                  Bank(1, 8, 1, 2, 0, 0xA5, 1, 3, 0), Bank(2, 8, 3, 1, 0, 0, 0, 0, 1),
                  Bank(3, 8, 2, 2, 0xFF, 0, 0, 0, 0)})},
         {kDio,
          kWhole2,
          kGetInfo,
          {},
          want[kWhole2 - kInd0],
          kSuccess,
          Concat({Hx("020401ff 02faf080"), Bank(0, 4, 1, 2, 0, 0, 1, 0, 0),
                  Bank(1, 4, 2, 2, 0x0F, 0, 0, 0, 0), Bank(2, 8, 3, 2, 0xFF, 0, 5, 3, 0),
                  Bank(3, 16, 0, 2, 0, 0, 0, 0, 0)})},
         {kDio,
          kInd0,
          kGetInfo,
          {},
          want[0],
          kSuccess,
          Concat(
              {Hx("000200ff 00989680"), Bank(0, 8, 3, 2, 0, 0, 0, 0, 0), Bank(1, 8, 3, 2, 0, 0, 0, 0, 0)})}});

    Step("every bank command on a layout-2 INDIVIDUAL channel (direction 0xFF00000F), then a WHOLE one");
    Run({
        {kDio, kInd2, kGetState, {0}, {Rd(kInd2, 0), Rd(kInd2, 4)}, kSuccess, BV(0, 0x7E)},
        {kDio, kInd2, kGetState, {3}, {Rd(kInd2, 0), Rd(kInd2, 4)}, kSuccess, BV(3, 0xCA)},
        {kDio, kInd2, kGetDelta, {1}, {Rd(kInd2, 1)}, kSuccess, BV(1, 0x55)},
        {kDio, kInd2, kGetInvert, {0}, {Rd(kInd2, 2)}, kSuccess, BV(0, 0x50)},
        // Bank 2 (bits 16..23): the other bits come from the cache.
        {kDio, kInd2, kSetInvert, BV(2, 0xC3), {Wr(kInd2, 2, 0x00C3A55A)}, kSuccess, {2}},
        {kDio, kInd2, kSetState, BV(0, 0xFF), {Wr(kInd2, 3, 0x0F), Wr(kInd2, 4, 0x0F)}, kSuccess, {0}},
        {kDio, kInd2, kGetDirection, {0}, {Rd(kInd2, 5)}, kSuccess, BV(0, 0x0F)},
        {kDio, kInd2, kSetDirection, BV(2, 0xFF), {Wr(kInd2, 5, 0xFFFF000F)}, kSuccess, {2}},
        {kDio, kInd2, kGetEventMode, {0}, {Rd(kInd2, 14)}, kSuccess, {0, 2}},
        {kDio, kInd2, kSetEventMode, {0, 3}, {Wr(kInd2, 14, 0x103)}, kSuccess, {0}},
        {kDio, kInd2, kGetClock, {1}, {Rd(kInd2, 15)}, kSuccess, {1, 3}},
        {kDio, kInd2, kSetClock, {1, 1}, {Wr(kInd2, 15, 0x101)}, kSuccess, {1}},
        {kDio, kInd2, kSetClock, {1, 0}, {Wr(kInd2, 15, 0x001)}, kSuccess, {1}},
        {kDio, kInd2, kGetPinConfig, {2}, {Rd(kInd2, 16)}, kSuccess, {2, 1}},
        {kDio, kInd2, kSetPinConfig, {0, 1}, {Wr(kInd2, 14, 0x1103)}, kSuccess, {0}},
        {kDio, kInd2, kGetInitial, {3}, {Rd(kInd2, 6)}, kSuccess, BV(3, 0x11)},
        {kDio, kInd2, kSetInitial, BV(0, 0xAB), {Wr(kInd2, 6, 0x1122330B)}, kSuccess, {0}},
        {kDio, kInd2, kSetSafe, BV(3, 0x5A), {Wr(kInd2, 7, 0x5A667788)}, kSuccess, {3}},
        {kDio, kInd2, kGetTimer, {}, {Rd(kInd2, 8)}, kSuccess, {1, 0x20}},
        {kDio, kInd2, kSetTimer, {1, 0x30}, {Wr(kInd2, 8, 0x80000030)}, kSuccess, {}},
        {kDio, kInd2, kGetLatchRise, {1}, {Rd(kInd2, 9)}, kSuccess, BV(1, 0xF0)},
        // Latches merge into the last value written (none yet), not the last read.
        {kDio, kInd2, kSetLatchRise, BV(1, 0x0F), {Wr(kInd2, 9, 0x00000F00)}, kSuccess, {1}},
        {kDio, kInd2, kGetLatchFall, {1}, {Rd(kInd2, 10)}, kSuccess, BV(1, 0)},
        {kDio, kInd2, kSetLatchFall, BV(1, 0x03), {Wr(kInd2, 10, 0x300)}, kSuccess, {1}},
        // Only the bank's input lines are reset.
        {kDio, kInd2, kCounterReset, BV(0, 0xFF), {Wr(kInd2, 11, 0xF0)}, kSuccess, {0}},
        {kDio, kInd2, kGetCountRise, {1}, {Rd(kInd2, 12)}, kSuccess, BV(1, 0x0F)},
        {kDio, kInd2, kSetCountRise, BV(1, 0xFF), {Wr(kInd2, 12, 0xFF00)}, kSuccess, {1}},
        {kDio, kInd2, kGetCountFall, {0}, {Rd(kInd2, 13)}, kSuccess, BV(0, 0xF0)},
        {kDio, kInd2, kSetCountFall, BV(0, 0x31), {Wr(kInd2, 13, 0x30)}, kSuccess, {0}},
        {kDio, kInd2, kGetLineCounter, {1, 2}, {Rd(kInd2, 74, 1, 0x0F)}, kSuccess, {1, 2, 1, 2, 3, 4}},
        {kDio, kWhole2, kGetState, {1}, {Rd(kWhole2, 4)}, kSuccess, BV(1, 0)},
        {kDio, kWhole2, kGetState, {0}, {Rd(kWhole2, 0)}, kSuccess, BV(0, 0)},
        {kDio, kWhole2, kSetState, BV(1, 0x5), {Wr(kWhole2, 3, 0xF0), Wr(kWhole2, 4, 0x50)}, kSuccess, {1}},
        {kDio, kWhole2, kGetDirection, {2}, {Rd(kWhole2, 16)}, kSuccess, BV(2, 0xFF)},
        {kDio, kWhole2, kSetDirection, BV(2, 0), {Wr(kWhole2, 16, 0x0305)}, kSuccess, {2}},
        {kDio, kWhole2, kSetInvert, BV(2, 0xFF), {Wr(kWhole2, 2, 0xFF00)}, kSuccess, {2}},
        {kDio, kWhole2, kSetDirection, BV(2, 0xFF), {Wr(kWhole2, 16, 0x2305)}, kSuccess, {2}},
        {kDio, kWhole2, kGetLineCounter, {2, 0}, {}, kNoInputs, {2}},
        {kDio,
         kWhole2,
         kGetLineCounter,
         {3, 15},
         {Rd(kWhole2, 64 + 31, 1, 0x0F)},
         kSuccess,
         {3, 15, 0, 0, 0, 0}},
    });
}

// qorlab --veths 1
TEST_F(SioDio, EveryStatusInOrderWithNothingSentAndAnswersThatAreNotTheCommands) {
    SentTlps(1);
    Step("refusals: length, bank, version, value, class of lines, direction capability");
    Run({
        {kDio, kInd2, kSetInvert, {0, 1, 2, 3}, {}, kLengthInvalid, {0}},
        {kDio, kInd2, kGetInfo, {0}, {}, kLengthInvalid, {}},
        {kDio, kInd2, kGetTimer, {0}, {}, kLengthInvalid, {}},
        {kDio, kInd2, kGetState, {4}, {}, kNoBank, {4}},
        {kDio, kInd2, kGetLineCounter, {0xFF, 0}, {}, kNoBank, {0xFF}},
        {kDio, kInd1, kGetInitial, {0}, {}, kVersionUnsupported, {0}},
        {kDio, kInd0, kGetTimer, {}, {}, kVersionUnsupported, {}},
        {kDio, kWhole1, kGetLineCounter, {0, 0}, {}, kVersionUnsupported, {0}},
        {kDio, kInd2, kSetEventMode, {0, 4}, {}, kValueInvalid, {0}},
        {kDio, kInd2, kSetClock, {1, 9}, {}, kValueInvalid, {1}},
        {kDio, kInd2, kSetClock, {1, 2}, {}, kValueInvalid, {1}},  // clock 2 not among the dividers
        {kDio, kInd2, kSetPinConfig, {0, 2}, {}, kValueInvalid, {0}},
        {kDio, kInd2, kSetPinConfig, {2, 1}, {}, kValueInvalid, {2}},  // fixed configuration
        {kDio, kInd2, kSetTimer, {2, 0}, {}, kValueInvalid, {}},
        {kDio, kInd2, kGetDelta, {3}, {}, kNoInputs, {3}},
        {kDio, kInd2, kSetEventMode, {3, 1}, {}, kNoInputs, {3}},
        {kDio, kInd2, kCounterReset, BV(3, 1), {}, kNoInputs, {3}},
        {kDio, kInd2, kGetLineCounter, {0, 0}, {}, kNoInputs, {0}},  // line 0 is an output
        {kDio, kInd2, kGetLineCounter, {0, 8}, {}, kNoLine, {0}},
        {kDio, kInd2, kSetState, BV(1, 1), {}, kNoOutputs, {1}},
        {kDio, kInd2, kGetSafe, {1}, {}, kNoOutputs, {1}},
        {kDio, kInd2, kSetPinConfig, {1, 1}, {}, kNoOutputs, {1}},
        {kDio, kInd2, kSetDirection, BV(1, 0x01), {}, kInputOnly, {1}},
        {kDio, kInd2, kSetDirection, BV(3, 0x7F), {}, kOutputOnly, {3}},
        {kDio, kWhole2, kSetState, BV(0, 1), {}, kNoOutputs, {0}},
        {kDio, kWhole2, kSetDirection, BV(2, 0x0F), {}, kMixed, {2}},
        {kDio, kWhole2, kSetDirection, BV(0, 0x0F), {}, kInputOnly, {0}},
        {kDio, kWhole2, kSetDirection, BV(3, 0), {}, kBadDirectionCap, {3}},
        {kDio, kWhole2, kGetInvert, {1}, {}, kNoInputs, {1}},
        {kTps, kTpsChl, 2, {3}, {}, kNoSensor, {3}},
        {kTps, kTpsChl, 2, {0, 0}, {}, kLengthInvalid, {}},
        {kTps, kTpsChl, 1, {0}, {}, kLengthInvalid, {}},
    });
    Step("a code outside the table gets no response");
    ASSERT_TRUE(sio_.SendRaw(Encode(kDio, kInd2, 31)));
    EXPECT_TRUE(sio_.Silent(300ms));

    Step("TPS: the info record from the DIB and sensor readings at 2 + p as read");
    EXPECT_TRUE(Cmd(kTps, kTpsChl, 1, {}, kSuccess, {0, 2, 12, 0x00, 0x00, 0x80, 0x3D}));
    Run({{kTps, kTpsChl, 2, {0}, {Rd(kTpsChl, 2)}, kSuccess, BV(0, 400)}});
    SimOk("tps " + MacString(kDioUnit) + " 7 1 0xFEDCBA98");
    Run({{kTps, kTpsChl, 2, {1}, {Rd(kTpsChl, 3)}, kSuccess, BV(1, 0xFEDCBA98)}});

    Step("answers with another Offset or LengthInDW are 34, none at all 33; the next gets its own");
    for (const auto& [fault, status] : {std::pair{"offset", kAnswerInvalid},
                                        std::pair{"length", kAnswerInvalid}, std::pair{"drop", kTimeout}}) {
        SCOPED_TRACE(fault);
        Fault(fault);
        EXPECT_TRUE(Cmd(kDio, kInd2, kGetInvert, {1}, status, {1}));
        Fault(fault);
        EXPECT_TRUE(Cmd(kTps, kTpsChl, 2, {0}, status, {0}));
        EXPECT_TRUE(Cmd(kDio, kInd2, kGetInvert, {1}, kSuccess, BV(1, 0xA5)));
    }
    const std::string prefix =
        "DIO (T:" + std::to_string(SioPort()) + ", C:5), get input invert enable reg response";
    EXPECT_NE(Log().find(prefix + ", invalid Offset:x03\n"), std::string::npos);
    EXPECT_NE(Log().find(prefix + ", invalid LengthInDW:x00\n"), std::string::npos);
}

// qorlab --veths 1
TEST_F(SioDio, InputEventsPerBankConcurrentSetsAndTheFlashStore) {
    Step("lines of banks 0 and 2 change: two events, bank 0 first, every byte");
    const uint32_t state = 0x12345678u ^ 0x00FF00F0u;
    Sim("dio-in", kInd2, std::to_string(state));
    EXPECT_TRUE(
        Is(sio_.NextUnsolicited(), Make(kDio, kInd2, kDioEvent, 0, Concat({{0}, Be32(0xF0), Be32(0x88)}))));
    EXPECT_TRUE(
        Is(sio_.NextUnsolicited(), Make(kDio, kInd2, kDioEvent, 0, Concat({{2}, Be32(0xFF), Be32(0xCB)}))));
    Step("a WHOLE channel's 16-line bank");
    Sim("dio-in", kWhole2, "0x80010000");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(),
                   Make(kDio, kWhole2, kDioEvent, 0, Concat({{3}, Be32(0x8001), Be32(0x8001)}))));
    EXPECT_TRUE(sio_.Silent(200ms));

    Step("sets of two banks of one register at once both stay");
    for (uint32_t i = 1; i <= 30; ++i) {
        ASSERT_NO_FATAL_FAILURE(AtOnce({Encode(kDio, kInd2, kSetInvert, BV(0, i << 4)),
                                        Encode(kDio, kInd2, kSetInvert, BV(1, (i * 7) & 0xFF))}));
        ASSERT_EQ(Reg(kInd2, 2), ((i << 4) & 0xF0) | (((i * 7) & 0xFF) << 8)) << "round " << i;
    }

    Step("the flash store sends the layout-2 channels' cache as the commands left it");
    ctu::Client cu;
    ASSERT_TRUE(
        Eventually([&] { return cu.Connect(static_cast<uint16_t>(connects_[kDioUnit].CtuPort)); }, 5s));
    auto stored = cu.Request(ctu::kStoreDio, {}, 3s);
    ASSERT_TRUE(stored) << cu.Error();
    EXPECT_EQ(stored->Hdr.Status, 0u);
    const std::string line = sim_->Control("show " + MacString(kDioUnit));
    const std::string words = Hex(LeWords({0xD2E0, 0xFF00000F, 0x11223344, 0x55667788, 0x80000020, 0x102,
                                           0x301, 0x1000, 0, 0, 0, 0, 0, 0, 0x01, 0x2000, 0x2305, 0}));
    EXPECT_NE(line.find(" ctu-last=9/1/72/" + words + " "), std::string::npos) << line;
}

}  // namespace
}  // namespace qortest
