// The DIO and TPS families through the unit's SIO port (unit profile dio_versions): the
// connect-time reads and the info record, every DIO command with the exact TLPs the unit
// receives and the exact response, every status with nothing sent when a check refuses,
// answers that are not the command's, input events per bank, concurrent sets of one register,
// and the TPS commands. Expected values are worked out by hand from the register map.
#include "qor_ctu_client.h"
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

inline const Mac kDioUnit = UnitMac(0x53, 1);
// Channels of dio_versions: DIO layouts 0, 1, 2, INDIVIDUAL and WHOLE, and the TPS channel.
enum : uint8_t { kInd0 = 1, kWhole0 = 2, kInd1 = 3, kWhole1 = 4, kInd2 = 5, kWhole2 = 6, kTpsChl = 7 };
constexpr uint8_t kTps = 11;

enum : uint16_t {
    kGetInfo = 1,
    kGetState,
    kGetDelta,
    kGetInvert,
    kSetInvert,
    kSetState,
    kGetDirection,
    kSetDirection,
    kGetEventMode,
    kSetEventMode,
    kGetClock,
    kSetClock,
    kGetPinConfig,
    kSetPinConfig,
    kGetInitial,
    kSetInitial,
    kGetSafe,
    kSetSafe,
    kGetTimer,
    kSetTimer,
    kGetLatchRise,
    kSetLatchRise,
    kGetLatchFall,
    kSetLatchFall,
    kCounterReset,
    kGetCountRise,
    kSetCountRise,
    kGetCountFall,
    kSetCountFall,
    kGetLineCounter,
    kDioEvent = 0x1001,
};
enum : uint16_t {
    kNoBank = 17,
    kNoSensor = 18,
    kNoLine = 19,
    kNoInputs = 112,
    kNoOutputs = 113,
    kMixed = 114,
    kOutputOnly = 115,
    kInputOnly = 116,
    kBadDirectionCap = 117
};

std::vector<uint8_t> Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}
std::vector<uint8_t> BV(uint8_t bank, uint32_t v) {
    return Concat({{bank}, Be32(v)});
}
Tlp Rd(uint8_t chl, uint8_t off, uint8_t words = 1, uint8_t aolbe = 0x1F) {
    return RegRead(chl, off, words, aolbe);
}
Tlp Wr(uint8_t chl, uint8_t off, uint32_t v) {
    return RegWrite(chl, off, {v}, 0x1F);
}

// The register values the unit holds at connect (offset, words) for the layout-2 channels.
const std::vector<std::pair<uint8_t, std::vector<uint32_t>>> kInd2Regs = {
    {0,
     {0x12345678, 0x00005500, 0x0000A55A, 0, 0xCAFEBABE, 0xFF00000F, 0x11223344, 0x55667788, 0x80000020,
      0x0000F000, 0x000F0000, 0, 0x00000F00, 0x000000F0, 0x102, 0x301, 0x1000, 0}},
    {74, {0x01020304}},
};
const std::vector<std::pair<uint8_t, std::vector<uint32_t>>> kWhole2Regs = {{14, {0x01, 0x2000, 0x2305, 0}}};

// One bank entry of the info record.
std::vector<uint8_t> BankRecord(uint8_t idx, uint8_t ios, uint8_t dirCap, uint8_t pinCap, uint32_t dir,
                                uint32_t inv, uint8_t mode, uint8_t clock, uint8_t pin) {
    // Every bank of the profile can store settings, counts both edges and has a pull-up.
    return Concat({{idx, ios, 1, dirCap, 3, pinCap, 1}, Be32(dir), Be32(inv), {mode, clock, pin}});
}

class SioDio : public SioTest {
  protected:
    std::string Unit() const { return MacString(kDioUnit); }
    // The service with the DIO unit, its registers set, a tap from before the connect (so the
    // connect-time reads show), connected and its SIO port open on sio_.
    void StartDio() {
        ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dio_versions", kDioUnit}}));
        for (const auto& [chl, regs] : {std::pair{kInd2, &kInd2Regs}, std::pair{kWhole2, &kWhole2Regs}})
            for (const auto& [off, words] : *regs) {
                std::string line = "reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(off);
                for (uint32_t w : words) line += " " + std::to_string(w);
                SimOk(line);
            }
        serviceMac_ = ReadIfMac("veth0").value_or(Mac{});
        tap_ = std::make_unique<FrameTap>(lab_.PeerPids.at(0), lab_.PeerIfs.at(0));
        auto connected = Connect(client_, mng::ConnectRecord(kDioUnit, 0));
        ASSERT_TRUE(connected);
        connects_[kDioUnit] = *connected;
        ASSERT_TRUE(OpenSio(sio_, kDioUnit)) << sio_.Error();
    }
    // A command of a family on sio_ and its whole response.
    ::testing::AssertionResult Cmd(uint8_t type, uint8_t chl, uint16_t code,
                                   const std::vector<uint8_t>& payload, uint16_t status,
                                   const std::vector<uint8_t>& answer = {}) {
        if (!sio_.SendRaw(Encode(type, chl, code, payload)))
            return ::testing::AssertionFailure() << sio_.Error();
        auto m = sio_.ReadResponse(3s);
        if (!m)
            return ::testing::AssertionFailure() << "no response to code " << code << ": " << sio_.Error();
        return Is(m, Make(type, chl, static_cast<uint16_t>(code | kResponseBit), status, answer));
    }
    uint32_t Reg(uint8_t chl, uint8_t off) {
        const std::string a =
            sim_->Control("reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(off));
        const auto at = a.rfind(" 0x");
        return at == std::string::npos ? 0xDEADBEEF
                                       : static_cast<uint32_t>(std::stoul(a.substr(at + 1), nullptr, 16));
    }
    std::vector<Tlp> Of(const std::vector<Tlp>& all, uint8_t chl) {
        std::vector<Tlp> out;
        for (const auto& t : all)
            if (t.Chl == chl) out.push_back(t);
        return out;
    }
};

// A step of a script on one channel: the command, what the unit must receive, the answer.
struct Step_ {
    uint8_t Chl;
    uint16_t Code;
    std::vector<uint8_t> Payload;
    std::vector<Tlp> Tlps;
    uint16_t Status;
    std::vector<uint8_t> Answer;
};

// qorlab --veths 1
TEST_F(SioDio, ConnectReadsInfoRecordsAndEveryCommandByteForByte) {
    ASSERT_NO_FATAL_FAILURE(StartDio());
    Step("the connect reads the controller block and every bank's control register at 14 + b");
    const auto sent = SentTlps(1);
    auto reads = [](uint8_t chl, uint8_t words, uint8_t banks) {
        std::vector<Tlp> t{Rd(chl, 2, words)};
        for (uint8_t b = 0; b < banks; ++b) t.push_back(Rd(chl, static_cast<uint8_t>(14 + b)));
        return t;
    };
    const std::vector<Tlp> want[] = {reads(kInd0, 4, 2),   reads(kWhole0, 4, 2), reads(kInd1, 4, 3),
                                     reads(kWhole1, 4, 3), reads(kInd2, 12, 4),  reads(kWhole2, 12, 4)};
    for (uint8_t chl = kInd0; chl <= kWhole2; ++chl) {
        EXPECT_EQ(Of(sent, chl), want[chl - kInd0])
            << "channel " << int(chl) << ": " << Describe(Of(sent, chl));
    }
    EXPECT_EQ(Of(sent, kTpsChl), std::vector<Tlp>{}) << "TPS has nothing to read at connect";

    Step("info records: the same reads, then the DIB and the cache");
    const std::vector<uint8_t> head2 = {2, 4, 0, 0x05, 0x02, 0xFA, 0xF0, 0x80};
    EXPECT_TRUE(Cmd(
        kDio, kInd2, kGetInfo, {}, kSuccess,
        Concat({head2, BankRecord(0, 8, 3, 2, 0x0F, 0x5A, 2, 1, 0), BankRecord(1, 8, 1, 2, 0, 0xA5, 1, 3, 0),
                BankRecord(2, 8, 3, 1, 0, 0, 0, 0, 1), BankRecord(3, 8, 2, 2, 0xFF, 0, 0, 0, 0)})));
    EXPECT_EQ(SentTlps(want[kInd2 - kInd0].size()), want[kInd2 - kInd0]);
    EXPECT_TRUE(Cmd(kDio, kWhole2, kGetInfo, {}, kSuccess,
                    Concat({{2, 4, 1, 0xFF, 0x02, 0xFA, 0xF0, 0x80},
                            BankRecord(0, 4, 1, 2, 0, 0, 1, 0, 0),
                            BankRecord(1, 4, 2, 2, 0x0F, 0, 0, 0, 0),
                            BankRecord(2, 8, 3, 2, 0xFF, 0, 5, 3, 0),
                            BankRecord(3, 16, 0, 2, 0, 0, 0, 0, 0)})));
    SentTlps(want[kWhole2 - kInd0].size());
    EXPECT_TRUE(Cmd(kDio, kInd0, kGetInfo, {}, kSuccess,
                    Concat({{0, 2, 0, 0xFF, 0x00, 0x98, 0x96, 0x80},
                            BankRecord(0, 8, 3, 2, 0, 0, 0, 0, 0),
                            BankRecord(1, 8, 3, 2, 0, 0, 0, 0, 0)})));
    EXPECT_EQ(SentTlps(3), want[0]);

    Step("every bank command on a layout-2 INDIVIDUAL channel (direction 0xFF00000F)");
    const Step_ ind[] = {
        {kInd2, kGetState, {0}, {Rd(kInd2, 0), Rd(kInd2, 4)}, kSuccess, BV(0, 0x7E)},
        {kInd2, kGetState, {3}, {Rd(kInd2, 0), Rd(kInd2, 4)}, kSuccess, BV(3, 0xCA)},
        {kInd2, kGetDelta, {1}, {Rd(kInd2, 1)}, kSuccess, BV(1, 0x55)},
        {kInd2, kGetInvert, {0}, {Rd(kInd2, 2)}, kSuccess, BV(0, 0x50)},
        // Bank 2 (bits 16..23): the other bits come from the cache.
        {kInd2, kSetInvert, BV(2, 0xC3), {Wr(kInd2, 2, 0x00C3A55A)}, kSuccess, {2}},
        {kInd2, kSetState, BV(0, 0xFF), {Wr(kInd2, 3, 0x0F), Wr(kInd2, 4, 0x0F)}, kSuccess, {0}},
        {kInd2, kGetDirection, {0}, {Rd(kInd2, 5)}, kSuccess, BV(0, 0x0F)},
        {kInd2, kSetDirection, BV(2, 0xFF), {Wr(kInd2, 5, 0xFFFF000F)}, kSuccess, {2}},
        {kInd2, kGetEventMode, {0}, {Rd(kInd2, 14)}, kSuccess, {0, 2}},
        {kInd2, kSetEventMode, {0, 3}, {Wr(kInd2, 14, 0x103)}, kSuccess, {0}},
        {kInd2, kGetClock, {1}, {Rd(kInd2, 15)}, kSuccess, {1, 3}},
        {kInd2, kSetClock, {1, 1}, {Wr(kInd2, 15, 0x101)}, kSuccess, {1}},
        {kInd2, kSetClock, {1, 0}, {Wr(kInd2, 15, 0x001)}, kSuccess, {1}},
        {kInd2, kGetPinConfig, {2}, {Rd(kInd2, 16)}, kSuccess, {2, 1}},
        {kInd2, kSetPinConfig, {0, 1}, {Wr(kInd2, 14, 0x1103)}, kSuccess, {0}},
        {kInd2, kGetInitial, {3}, {Rd(kInd2, 6)}, kSuccess, BV(3, 0x11)},
        {kInd2, kSetInitial, BV(0, 0xAB), {Wr(kInd2, 6, 0x1122330B)}, kSuccess, {0}},
        {kInd2, kSetSafe, BV(3, 0x5A), {Wr(kInd2, 7, 0x5A667788)}, kSuccess, {3}},
        {kInd2, kGetTimer, {}, {Rd(kInd2, 8)}, kSuccess, {1, 0x20}},
        {kInd2, kSetTimer, {1, 0x30}, {Wr(kInd2, 8, 0x80000030)}, kSuccess, {}},
        {kInd2, kGetLatchRise, {1}, {Rd(kInd2, 9)}, kSuccess, BV(1, 0xF0)},
        // Latches merge into the last value written (none yet), not the last read.
        {kInd2, kSetLatchRise, BV(1, 0x0F), {Wr(kInd2, 9, 0x00000F00)}, kSuccess, {1}},
        {kInd2, kGetLatchFall, {1}, {Rd(kInd2, 10)}, kSuccess, BV(1, 0)},
        {kInd2, kSetLatchFall, BV(1, 0x03), {Wr(kInd2, 10, 0x300)}, kSuccess, {1}},
        // Only the bank's input lines are reset.
        {kInd2, kCounterReset, BV(0, 0xFF), {Wr(kInd2, 11, 0xF0)}, kSuccess, {0}},
        {kInd2, kGetCountRise, {1}, {Rd(kInd2, 12)}, kSuccess, BV(1, 0x0F)},
        {kInd2, kSetCountRise, BV(1, 0xFF), {Wr(kInd2, 12, 0xFF00)}, kSuccess, {1}},
        {kInd2, kGetCountFall, {0}, {Rd(kInd2, 13)}, kSuccess, BV(0, 0xF0)},
        {kInd2, kSetCountFall, BV(0, 0x31), {Wr(kInd2, 13, 0x30)}, kSuccess, {0}},
        {kInd2, kGetLineCounter, {1, 2}, {Rd(kInd2, 74, 1, 0x0F)}, kSuccess, {1, 2, 1, 2, 3, 4}},
    };
    const Step_ whole[] = {
        {kWhole2, kGetState, {1}, {Rd(kWhole2, 4)}, kSuccess, BV(1, 0)},
        {kWhole2, kGetState, {0}, {Rd(kWhole2, 0)}, kSuccess, BV(0, 0)},
        {kWhole2, kSetState, BV(1, 0x5), {Wr(kWhole2, 3, 0xF0), Wr(kWhole2, 4, 0x50)}, kSuccess, {1}},
        {kWhole2, kGetDirection, {2}, {Rd(kWhole2, 16)}, kSuccess, BV(2, 0xFF)},
        {kWhole2, kSetDirection, BV(2, 0), {Wr(kWhole2, 16, 0x0305)}, kSuccess, {2}},
        {kWhole2, kSetInvert, BV(2, 0xFF), {Wr(kWhole2, 2, 0xFF00)}, kSuccess, {2}},
        {kWhole2, kSetDirection, BV(2, 0xFF), {Wr(kWhole2, 16, 0x2305)}, kSuccess, {2}},
        {kWhole2, kGetLineCounter, {2, 0}, {}, kNoInputs, {2}},
        {kWhole2,
         kGetLineCounter,
         {3, 15},
         {Rd(kWhole2, 64 + 31, 1, 0x0F)},
         kSuccess,
         Concat({{3, 15}, Be32(0)})},
    };
    std::vector<const Step_*> script;
    for (const Step_& s : ind) script.push_back(&s);
    for (const Step_& s : whole) script.push_back(&s);
    for (const Step_* p : script) {
        const Step_& s = *p;
        {
            SCOPED_TRACE("channel " + std::to_string(s.Chl) + " code " + std::to_string(s.Code));
            EXPECT_TRUE(Cmd(kDio, s.Chl, s.Code, s.Payload, s.Status, s.Answer));
            const auto got = SentTlps(s.Tlps.size());
            EXPECT_EQ(got, s.Tlps) << Describe(got);
        }
    }
    Step("the unit applied the output write enable and kept every bank's bits");
    EXPECT_EQ(Reg(kInd2, 4), 0xCAFEBABFu);
    EXPECT_EQ(Reg(kInd2, 2), 0x00C3A55Au);
    EXPECT_EQ(Reg(kWhole2, 4), 0x50u);
}

// qorlab --veths 1
TEST_F(SioDio, EveryStatusInOrderWithNothingSentAndAnswersThatAreNotTheCommands) {
    ASSERT_NO_FATAL_FAILURE(StartDio());
    SentTlps(1);
    Step("refusals: length, bank, version, value, class of lines, direction capability");
    const Step_ refused[] = {
        {kInd2, kSetInvert, {0, 1, 2, 3}, {}, kLengthInvalid, {0}},
        {kInd2, kGetInfo, {0}, {}, kLengthInvalid, {}},
        {kInd2, kGetTimer, {0}, {}, kLengthInvalid, {}},
        {kInd2, kGetState, {4}, {}, kNoBank, {4}},
        {kInd2, kGetLineCounter, {0xFF, 0}, {}, kNoBank, {0xFF}},
        {kInd1, kGetInitial, {0}, {}, kVersionUnsupported, {0}},
        {kInd0, kGetTimer, {}, {}, kVersionUnsupported, {}},
        {kWhole1, kGetLineCounter, {0, 0}, {}, kVersionUnsupported, {0}},
        {kInd2, kSetEventMode, {0, 4}, {}, kValueInvalid, {0}},
        {kInd2, kSetClock, {1, 9}, {}, kValueInvalid, {1}},
        {kInd2, kSetClock, {1, 2}, {}, kValueInvalid, {1}},  // clock 2 not among the dividers
        {kInd2, kSetPinConfig, {0, 2}, {}, kValueInvalid, {0}},
        {kInd2, kSetPinConfig, {2, 1}, {}, kValueInvalid, {2}},  // fixed configuration
        {kInd2, kSetTimer, {2, 0}, {}, kValueInvalid, {}},
        {kInd2, kGetDelta, {3}, {}, kNoInputs, {3}},
        {kInd2, kSetEventMode, {3, 1}, {}, kNoInputs, {3}},
        {kInd2, kCounterReset, BV(3, 1), {}, kNoInputs, {3}},
        {kInd2, kGetLineCounter, {0, 0}, {}, kNoInputs, {0}},  // line 0 is an output
        {kInd2, kGetLineCounter, {0, 8}, {}, kNoLine, {0}},
        {kInd2, kSetState, BV(1, 1), {}, kNoOutputs, {1}},
        {kInd2, kGetSafe, {1}, {}, kNoOutputs, {1}},
        {kInd2, kSetPinConfig, {1, 1}, {}, kNoOutputs, {1}},
        {kInd2, kSetDirection, BV(1, 0x01), {}, kInputOnly, {1}},
        {kInd2, kSetDirection, BV(3, 0x7F), {}, kOutputOnly, {3}},
        {kWhole2, kSetState, BV(0, 1), {}, kNoOutputs, {0}},
        {kWhole2, kSetDirection, BV(2, 0x0F), {}, kMixed, {2}},
        {kWhole2, kSetDirection, BV(0, 0x0F), {}, kInputOnly, {0}},
        {kWhole2, kSetDirection, BV(3, 0), {}, kBadDirectionCap, {3}},
        {kWhole2, kGetInvert, {1}, {}, kNoInputs, {1}},
        {kTpsChl, 2, {3}, {}, kNoSensor, {3}},
        {kTpsChl, 2, {0, 0}, {}, kLengthInvalid, {}},
        {kTpsChl, 1, {0}, {}, kLengthInvalid, {}},
    };
    for (const Step_& s : refused) {
        SCOPED_TRACE("channel " + std::to_string(s.Chl) + " code " + std::to_string(s.Code));
        EXPECT_TRUE(Cmd(s.Chl == kTpsChl ? kTps : static_cast<uint8_t>(kDio), s.Chl, s.Code, s.Payload,
                        s.Status, s.Answer));
    }
    EXPECT_EQ(SentTlps(), std::vector<Tlp>{}) << Describe(SentTlps());
    Step("a code outside the table gets no response");
    ASSERT_TRUE(sio_.SendRaw(Encode(kDio, kInd2, 31)));
    EXPECT_TRUE(sio_.Silent(300ms));

    Step("TPS: the info record from the DIB and sensor readings at 2 + p as read");
    EXPECT_TRUE(Cmd(kTps, kTpsChl, 1, {}, kSuccess, {0, 2, 12, 0x00, 0x00, 0x80, 0x3D}));
    EXPECT_EQ(SentTlps(), std::vector<Tlp>{});
    EXPECT_TRUE(Cmd(kTps, kTpsChl, 2, {0}, kSuccess, BV(0, 400)));
    EXPECT_EQ(SentTlps(1), std::vector<Tlp>{Rd(kTpsChl, 2)});
    SimOk("tps " + Unit() + " 7 1 0xFEDCBA98");
    EXPECT_TRUE(Cmd(kTps, kTpsChl, 2, {1}, kSuccess, BV(1, 0xFEDCBA98)));
    EXPECT_EQ(SentTlps(1), std::vector<Tlp>{Rd(kTpsChl, 3)});

    Step("answers with another Offset or LengthInDW are 34, none at all 33; the next gets its own");
    for (const auto& [fault, status] : {std::pair{"offset", kAnswerInvalid},
                                        std::pair{"length", kAnswerInvalid}, std::pair{"drop", kTimeout}}) {
        SCOPED_TRACE(fault);
        SimOk(std::string("answer-fault ") + Unit() + " " + fault);
        EXPECT_TRUE(Cmd(kDio, kInd2, kGetInvert, {1}, status, {1}));
        SimOk(std::string("answer-fault ") + Unit() + " " + fault);
        EXPECT_TRUE(Cmd(kTps, kTpsChl, 2, {0}, status, {0}));
        EXPECT_TRUE(Cmd(kDio, kInd2, kGetInvert, {1}, kSuccess, BV(1, 0xA5)));
    }
    const std::string prefix = "DIO (T:" + std::to_string(SioPort(kDioUnit)) + ", C:5), ";
    EXPECT_NE(Log().find(prefix + "get input invert enable reg response, invalid Offset:x03\n"),
              std::string::npos);
    EXPECT_NE(Log().find(prefix + "get input invert enable reg response, invalid LengthInDW:x00\n"),
              std::string::npos);
}

// qorlab --veths 1
TEST_F(SioDio, InputEventsPerBankConcurrentSetsAndNothingKeptWithoutAClient) {
    ASSERT_NO_FATAL_FAILURE(StartDio());
    Step("lines of banks 0 and 2 change: two events, bank 0 first, every byte");
    SimOk("dio-in " + Unit() + " 5 " + std::to_string(0x12345678u ^ 0x00FF00F0u));
    const uint32_t state = 0x12345678u ^ 0x00FF00F0u;
    EXPECT_TRUE(Is(sio_.NextUnsolicited(),
                   Make(kDio, kInd2, kDioEvent, 0, Concat({{0}, Be32(0xF0), Be32(state & 0xFF)}))));
    EXPECT_TRUE(Is(sio_.NextUnsolicited(),
                   Make(kDio, kInd2, kDioEvent, 0, Concat({{2}, Be32(0xFF), Be32((state >> 16) & 0xFF)}))));
    Step("a WHOLE channel's 16-line bank");
    SimOk("dio-in " + Unit() + " 6 0x80010000");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(),
                   Make(kDio, kWhole2, kDioEvent, 0, Concat({{3}, Be32(0x8001), Be32(0x8001)}))));
    EXPECT_TRUE(sio_.Silent(200ms));

    Step("sets of two banks of one register at once both stay");
    for (uint32_t i = 1; i <= 30; ++i) {
        ASSERT_TRUE(sio_.SendRaw(Concat({Encode(kDio, kInd2, kSetInvert, BV(0, i << 4)),
                                         Encode(kDio, kInd2, kSetInvert, BV(1, (i * 7) & 0xFF))})));
        for (int k = 0; k < 2; ++k) {
            auto m = sio_.ReadResponse();
            ASSERT_TRUE(m) << sio_.Error();
            EXPECT_EQ(m->Hdr.Status, kSuccess) << Describe(*m);
        }
        SentTlps(2);
        ASSERT_EQ(Reg(kInd2, 2), ((i << 4) & 0xF0) | (((i * 7) & 0xFF) << 8)) << "round " << i;
    }

    Step("the flash store sends the layout-2 channels' cache as the commands left it");
    ctu::Client cu;
    ASSERT_TRUE(
        Eventually([&] { return cu.Connect(static_cast<uint16_t>(connects_[kDioUnit].CtuPort)); }, 5s));
    auto stored = cu.Request(ctu::kStoreDio, {}, 3s);
    ASSERT_TRUE(stored) << cu.Error();
    EXPECT_EQ(stored->Hdr.Status, 0u);
    const std::string line = sim_->Control("show " + Unit());
    const std::string words = Hex(LeWords({0xD2E0, 0xFF00000F, 0x11223344, 0x55667788, 0x80000020, 0x102,
                                           0x301, 0x1000, 0, 0, 0, 0, 0, 0, 0x01, 0x2000, 0x2305, 0}));
    EXPECT_NE(line.find(" ctu-last=9/1/72/" + words + " "), std::string::npos) << line;

    Step("an event with no client is dropped, not kept for the next client");
    sio_.Close();
    std::this_thread::sleep_for(100ms);
    SimOk("dio-in " + Unit() + " 5 0");
    EXPECT_TRUE(
        Eventually([&] { return Log().find("C:5), INPUT EVENT, Client Tx fail") != std::string::npos; }, 2s));
    ASSERT_TRUE(OpenSio(sio_, kDioUnit)) << sio_.Error();
    EXPECT_TRUE(sio_.Silent(300ms));
    EXPECT_EQ(sio_.KeptUnsolicited(), 0u);
}

}  // namespace
}  // namespace qortest
