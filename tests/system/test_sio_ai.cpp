// The AI, UI and MAI families through the unit's SIO port (unit profile analog_inputs): the
// connect-time reads and the info records, the commands with the exact TLPs the unit receives
// and the exact responses, every status with nothing sent when a check refuses, answers that
// are not the command's, concurrent sets of one register, sample data and events with every
// byte, nothing kept without a client, and the MAI calibration tables of both types. Expected
// bytes are worked out by hand from the register map (docs/register-map.md).
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

inline const Mac kAiUnit = UnitMac(0x55, 1);
enum : uint8_t { kAiV0 = 1, kAiV1 = 2, kAiV2 = 3, kUiChl = 4, kMai0 = 5, kMai1 = 6 };
enum : uint8_t { kUi = 7, kMai = 10 };
enum : uint16_t { kNoPort = 18, kGainModel = 128, kMaiType = 131, kEvent = 0x1001, kData = 0x2001 };

std::vector<uint8_t> Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}
Tlp Rd(uint8_t chl, uint8_t off, uint8_t words = 1, uint8_t aolbe = 0x1F) {
    return RegRead(chl, off, words, aolbe);
}
Tlp Wr(uint8_t chl, uint8_t off, uint32_t v) {
    return RegWrite(chl, off, {v}, 0x1F);
}

// Unit registers before the connect: (channel, offset, value).
const std::vector<std::tuple<uint8_t, uint8_t, uint32_t>> kRegs = {
    // AI v0, ports at 3 + 5p
    {kAiV0, 0, 0x00030007},
    {kAiV0, 1, 0x1234},
    {kAiV0, 2, 0x01},
    {kAiV0, 3, 0x000186A0},
    {kAiV0, 4, 0x21020100},
    {kAiV0, 5, 0xABCD},
    {kAiV0, 6, 0x1234},
    {kAiV0, 7, 0x10},
    {kAiV0, 8, 0x11223344},
    {kAiV0, 9, 0x00000001},
    {kAiV0, 10, 0xFFFF},
    {kAiV0, 12, 0xFF},
    // AI v1: port 1's sampling control, upper trigger
    {kAiV1, 0, 0x00050003},
    {kAiV1, 1, 0xFFFF1234},
    {kAiV1, 2, 0x102},
    {kAiV1, 9, 0x1F020300},
    {kAiV1, 10, 0xFFFF0000},
    // UI, ports at 4 + 3p
    {kUiChl, 4, 0x05010302},
    {kUiChl, 5, 0x01020304},
    {kUiChl, 6, 0xA0B0C0D0},
    // MAI, ports at 2 + 4p
    {kMai0, 2, 0x5103},
    {kMai0, 3, 0xBEEF0705},
    {kMai0, 4, 0x11},
    {kMai0, 5, 0x22},
    {kMai1, 7, 0x683},
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
std::vector<Tlp> UiReads() {
    return InfoReads(kUiChl, 4, 4, 3, 2, {0x1F, 0x1F, 0x0F});
}
std::vector<Tlp> MaiReads(uint8_t chl) {
    return InfoReads(chl, 2, 2, 4, 2, {0x1F, 0x1F, 0x1F, 0x1F});
}

const std::vector<uint8_t> kVref = {0xC4, 0x09, 0x00, 0x03};

class SioAi : public SioTest {
  protected:
    std::string Unit() const { return MacString(kAiUnit); }
    void StartAi() {
        ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"analog_inputs", kAiUnit}}));
        for (const auto& [chl, off, v] : kRegs)
            SimOk("reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(off) + " " +
                  std::to_string(v));
        serviceMac_ = ReadIfMac("veth0").value_or(Mac{});
        tap_ = std::make_unique<FrameTap>(lab_.PeerPids.at(0), lab_.PeerIfs.at(0));
        auto connected = Connect(client_, mng::ConnectRecord(kAiUnit, 0));
        ASSERT_TRUE(connected);
        connects_[kAiUnit] = *connected;
        ASSERT_TRUE(OpenSio(sio_, kAiUnit)) << sio_.Error();
    }
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

struct Step_ {
    uint8_t Type, Chl;
    uint16_t Code;
    std::vector<uint8_t> Payload;
    std::vector<Tlp> Tlps;
    std::vector<uint8_t> Answer;
};

// qorlab --veths 1
TEST_F(SioAi, ConnectReadsInfoRecordsAndEveryCommandByteForByte) {
    ASSERT_NO_FATAL_FAILURE(StartAi());
    Step("the connect reads the controller block and each port's registers at the map's offsets");
    const auto sent = SentTlps(1);
    const std::pair<uint8_t, std::vector<Tlp>> want[] = {
        {kAiV0, AiReads(kAiV0, 2)}, {kAiV1, AiReads(kAiV1, 16)}, {kAiV2, AiReads(kAiV2, 1)},
        {kUiChl, UiReads()},        {kMai0, MaiReads(kMai0)},    {kMai1, MaiReads(kMai1)}};
    for (const auto& [chl, tlps] : want) {
        EXPECT_EQ(Of(sent, chl), tlps) << "channel " << int(chl) << ": " << Describe(Of(sent, chl));
    }

    Step("info records: capabilities from the DIB, port fields from the registers just read");
    const std::vector<uint8_t> aiV0 = Concat({{0x00},
                                              Be32(0x400),
                                              {0x01, 0x02, 0x10, 0x03, 0x02},
                                              Be32(100000),
                                              kVref,
                                              {0x00},
                                              Be32(0x000186A0),
                                              {0x01, 0x02, 0x21, 0xAB, 0xCD, 0x12, 0x34, 0x10},
                                              {0x01},
                                              Be32(0x11223344),
                                              {0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF}});
    EXPECT_TRUE(Cmd(kAi, kAiV0, 1, {}, kSuccess, aiV0));
    EXPECT_EQ(SentTlps(12), AiReads(kAiV0, 2));
    const std::vector<uint8_t> ui = Concat(
        {{0x00, 0x04, 0x00, 0x02, 0x02, 0x10, 0x07, 0x03},
         Be32(50000),
         kVref,
         {0xE8, 0x03, 0x00, 0x03, 0x14, 0x00, 0x00, 0x03, 0x0A, 0x0F, 0x00, 0x06, 0x91, 0x16, 0x00, 0x10},
         {0x00, 0x02, 0x03, 0x01, 0x05},
         Be32(0x01020304),
         Be32(0xA0B0C0D0),
         {0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_TRUE(Cmd(kUi, kUiChl, 1, {}, kSuccess, ui));
    EXPECT_EQ(SentTlps(7), UiReads());
    const std::vector<uint8_t> mai0 = Concat({{0x00},
                                              Be32(0x800),
                                              {0x00, 0x00, 0x03, 0x02, 0x18, 0x03, 0x07},
                                              kVref,
                                              {0x00, 0x03, 0x01, 0x05},
                                              Be32(0x11),
                                              Be32(0x22),
                                              {0x01, 0x00, 0x01, 0x07, 0xBE, 0xEF, 0, 0, 0, 0},
                                              {0x01, 0, 0, 0},
                                              Be32(0),
                                              Be32(0),
                                              std::vector<uint8_t>(10, 0)});
    EXPECT_TRUE(Cmd(kMai, kMai0, 1, {}, kSuccess, mai0));
    const std::vector<uint8_t> mai1 = Concat({{0x00},
                                              Be32(0x1000),
                                              {0x01, 0x01, 0x01, 0x02, 0x10, 0x01, 0x87},
                                              kVref,
                                              {0x00, 0, 0, 0},
                                              Be32(0),
                                              Be32(0),
                                              std::vector<uint8_t>(10, 0),
                                              {0x01, 0, 0, 0},
                                              Be32(0),
                                              Be32(0),
                                              {0, 0, 0, 0, 0, 0, 1, 1, 1, 6}});
    EXPECT_TRUE(Cmd(kMai, kMai1, 1, {}, kSuccess, mai1));
    auto big = sio_.Request(kAi, kAiV1, 1);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->Hdr.Length, 18u + 13 * 16);
    SentTlps(81 + 18 + 18);

    Step("every field command: one read for a get, one masked write of the cached word for a set");
    const Step_ steps[] = {
        {kAi, kAiV1, 2, {}, {Rd(kAiV1, 0)}, {0x01}},
        {kAi, kAiV1, 5, {0}, {Wr(kAiV1, 0, 0x00050001)}, {}},
        {kAi, kAiV1, 8, {}, {Rd(kAiV1, 0)}, {0x00, 0x05}},
        {kAi, kAiV1, 9, {0x80, 0x01}, {Wr(kAiV1, 0, 0x80010001)}, {}},
        {kAi, kAiV1, 7, {1}, {Wr(kAiV1, 0, 0x80010005)}, {}},
        {kAi, kAiV1, 6, {}, {Rd(kAiV1, 0)}, {0x01}},
        {kAi, kAiV1, 4, {}, {Rd(kAiV1, 0)}, {0x00}},
        {kAi, kAiV1, 3, {0}, {Wr(kAiV1, 0, 0x80010004)}, {}},
        {kAi, kAiV1, 10, {}, {Rd(kAiV1, 1)}, {0x12, 0x34}},
        {kAi, kAiV1, 11, {0xAB, 0xCD}, {Wr(kAiV1, 1, 0xFFFFABCD)}, {}},
        {kAi, kAiV1, 12, {}, {Rd(kAiV1, 2)}, {0x02}},
        {kAi, kAiV1, 15, {15, 0x00, 0x0F, 0x42, 0x40}, {Wr(kAiV1, 78, 0x000F4240)}, {15}},
        {kAi, kAiV1, 14, {15}, {Rd(kAiV1, 78)}, {15, 0x00, 0x0F, 0x42, 0x40}},
        {kAi, kAiV1, 17, {1, 1}, {Wr(kAiV1, 9, 0x1F020301)}, {1}},
        {kAi, kAiV1, 19, {1, 4}, {Wr(kAiV1, 9, 0x1F020401)}, {1}},
        {kAi, kAiV1, 18, {1}, {Rd(kAiV1, 9)}, {1, 4}},
        {kAi, kAiV1, 21, {1, 0}, {Wr(kAiV1, 9, 0x1F000401)}, {1}},
        {kAi, kAiV1, 20, {1}, {Rd(kAiV1, 9)}, {1, 0}},
        {kAi, kAiV1, 23, {1, 0x02}, {Wr(kAiV1, 9, 0x02000401)}, {1}},
        {kAi, kAiV1, 22, {1}, {Rd(kAiV1, 9)}, {1, 0x02}},
        {kAi, kAiV1, 16, {1}, {Rd(kAiV1, 9)}, {1, 1}},
        {kAi, kAiV1, 25, {1, 0xBE, 0xEF}, {Wr(kAiV1, 10, 0xFFFFBEEF)}, {1}},
        {kAi, kAiV1, 24, {1}, {Rd(kAiV1, 10)}, {1, 0xBE, 0xEF}},
        {kAi, kAiV1, 27, {1, 0x00, 0x42}, {Wr(kAiV1, 11, 0x42)}, {1}},
        {kAi, kAiV1, 26, {1}, {Rd(kAiV1, 11)}, {1, 0x00, 0x42}},
        {kAi, kAiV1, 29, {1, 0x80}, {Wr(kAiV1, 12, 0x80)}, {1}},
        {kAi, kAiV1, 28, {1}, {Rd(kAiV1, 12)}, {1, 0x80}},
        {kAi, kAiV0, 13, {2}, {Wr(kAiV0, 2, 0x02)}, {}},
        {kUi, kUiChl, 11, {0xDE, 0xAD, 0xBE, 0xEF}, {Wr(kUiChl, 1, 0xDEADBEEF)}, {}},
        {kUi, kUiChl, 10, {}, {Rd(kUiChl, 1)}, {0xDE, 0xAD, 0xBE, 0xEF}},
        {kUi, kUiChl, 13, {4}, {Wr(kUiChl, 2, 0x04)}, {}},
        {kUi, kUiChl, 15, {0, 0, 1, 0}, {Wr(kUiChl, 3, 0x100)}, {}},
        {kUi, kUiChl, 14, {}, {Rd(kUiChl, 3)}, {0, 0, 1, 0}},
        {kUi, kUiChl, 17, {1, 3}, {Wr(kUiChl, 7, 0x3)}, {1}},
        {kUi, kUiChl, 19, {1, 4}, {Wr(kUiChl, 7, 0x403)}, {1}},
        {kUi, kUiChl, 21, {1, 1}, {Wr(kUiChl, 7, 0x10403)}, {1}},
        {kUi, kUiChl, 23, {1, 0x7F}, {Wr(kUiChl, 7, 0x7F010403)}, {1}},
        {kUi, kUiChl, 16, {0}, {Rd(kUiChl, 4)}, {0, 0x02}},
        {kUi, kUiChl, 20, {1}, {Rd(kUiChl, 7)}, {1, 1}},
        {kUi, kUiChl, 25, {1, 1, 2, 3, 4}, {Wr(kUiChl, 8, 0x01020304)}, {1}},
        {kUi, kUiChl, 26, {0}, {Rd(kUiChl, 6, 1, 0x0F)}, {0, 0xA0, 0xB0, 0xC0, 0xD0}},
        {kMai, kMai0, 13, {0, 5}, {Wr(kMai0, 2, 0x5105)}, {0}},
        {kMai, kMai0, 15, {0, 0}, {Wr(kMai0, 2, 0x5005)}, {0}},
        {kMai, kMai0, 17, {0, 0x0F}, {Wr(kMai0, 2, 0xF005)}, {0}},
        {kMai, kMai0, 16, {0}, {Rd(kMai0, 2)}, {0, 0x0F}},
        {kMai, kMai0, 14, {0}, {Rd(kMai0, 2)}, {0, 0x00}},
        {kMai, kMai0, 11, {0x12, 0x34}, {Wr(kMai0, 1, 0x1234)}, {}},
        {kMai, kMai0, 0x10A, {0, 0x12, 0x34}, {Wr(kMai0, 3, 0x12340705)}, {0}},
        {kMai, kMai0, 0x108, {1, 7}, {Wr(kMai0, 7, 0x700)}, {1}},
        {kMai, kMai0, 0x105, {0}, {Rd(kMai0, 3)}, {0, 1}},
        {kMai, kMai0, 0x109, {0}, {Rd(kMai0, 3)}, {0, 0x12, 0x34}},
        {kMai, kMai0, 19, {1, 0xFF, 0xFF, 0xFF, 0xFF}, {Wr(kMai0, 8, 0xFFFFFFFF)}, {1}},
        {kMai, kMai0, 20, {0}, {Rd(kMai0, 5)}, {0, 0, 0, 0, 0x22}},
        {kMai, kMai1, 0x206, {0, 1}, {Wr(kMai1, 3, 0x80)}, {0}},
        {kMai, kMai1, 0x208, {0, 7}, {Wr(kMai1, 3, 0x780)}, {0}},
        {kMai, kMai1, 0x207, {1}, {Rd(kMai1, 7)}, {1, 6}},
        {kMai, kMai1, 0x203, {1}, {Rd(kMai1, 7)}, {1, 1}},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE("type " + std::to_string(s.Type) + " channel " + std::to_string(s.Chl) + " code " +
                     std::to_string(s.Code));
        EXPECT_TRUE(Cmd(s.Type, s.Chl, s.Code, s.Payload, kSuccess, s.Answer));
        const auto tlps = SentTlps(s.Tlps.size());
        EXPECT_EQ(tlps, s.Tlps) << Describe(tlps);
    }
    EXPECT_EQ(Reg(kAiV1, 0), 0x80010004u);
    EXPECT_EQ(Reg(kAiV1, 9), 0x02000401u);
    EXPECT_EQ(Reg(kUiChl, 7), 0x7F010403u);
    EXPECT_EQ(Reg(kMai1, 3), 0x780u);
}

// qorlab --veths 1
TEST_F(SioAi, EveryStatusWithNothingSentAnswersThatAreNotTheCommandsAndConcurrentSets) {
    ASSERT_NO_FATAL_FAILURE(StartAi());
    SentTlps(1);
    Step("refusals: length, port (with P), value, version, gain model, MAI type");
    struct Refusal {
        uint8_t Type, Chl;
        uint16_t Code;
        std::vector<uint8_t> Payload;
        uint16_t Status;
        std::vector<uint8_t> Answer;
    };
    const Refusal refusals[] = {
        {kAi, kAiV1, 3, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 3, {1, 0}, kLengthInvalid, {}},
        {kAi, kAiV1, 2, {0}, kLengthInvalid, {}},
        {kAi, kAiV1, 14, {}, kLengthInvalid, {}},
        {kAi, kAiV1, 15, {1, 0, 0}, kLengthInvalid, {1}},
        {kAi, kAiV1, 1, {0}, kLengthInvalid, {}},
        {kAi, kAiV1, 3, {2}, kValueInvalid, {}},
        {kAi, kAiV1, 17, {0, 2}, kValueInvalid, {0}},
        {kAi, kAiV1, 14, {16}, kNoPort, {16}},
        {kAi, kAiV1, 29, {0xFF, 1}, kNoPort, {0xFF}},
        {kAi, kAiV0, 15, {2, 0, 0, 0, 1}, kNoPort, {2}},
        {kAi, kAiV1, 21, {1, 3}, kValueInvalid, {1}},
        {kAi, kAiV1, 23, {1, 0x20}, kValueInvalid, {1}},
        {kAi, kAiV1, 13, {1}, kGainModel, {}},         // per-port channel
        {kAi, kAiV0, 19, {0, 1}, kGainModel, {0}},     // all-ports channel
        {kAi, kAiV1, 19, {1, 5}, kValueInvalid, {1}},  // above the highest gain 4
        {kAi, kAiV0, 13, {3}, kValueInvalid, {}},      // above the highest gain 2
        {kAi, kAiV2, 13, {0}, kVersionUnsupported, {}},
        {kAi, kAiV2, 19, {0, 0}, kVersionUnsupported, {0}},
        {kUi, kUiChl, 17, {0, 4}, kValueInvalid, {0}},
        {kUi, kUiChl, 13, {5}, kValueInvalid, {}},
        {kUi, kUiChl, 21, {0, 2}, kValueInvalid, {0}},
        {kUi, kUiChl, 16, {2}, kNoPort, {2}},
        {kMai, kMai0, 13, {0, 6}, kValueInvalid, {0}},
        {kMai, kMai0, 15, {0, 2}, kValueInvalid, {0}},
        {kMai, kMai0, 17, {0, 16}, kValueInvalid, {0}},
        {kMai, kMai0, 0x108, {0, 8}, kValueInvalid, {0}},
        {kMai, kMai0, 0x208, {0, 1}, kMaiType, {0}},
        {kMai, kMai0, 0x207, {2}, kNoPort, {2}},
        {kMai, kMai1, 0x101, {0}, kMaiType, {0}},
        {kMai, kMai1, 0x10A, {1, 0, 0}, kMaiType, {1}},
        {kMai, kMai1, 0x208, {0, 8}, kValueInvalid, {0}},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE("type " + std::to_string(r.Type) + " channel " + std::to_string(r.Chl) + " code " +
                     std::to_string(r.Code));
        EXPECT_TRUE(Cmd(r.Type, r.Chl, r.Code, r.Payload, r.Status, r.Answer));
    }
    EXPECT_TRUE(SentTlps().empty()) << Describe(SentTlps());

    Step(
        "an answer with another Offset or LengthInDW is 34, a foreign or missing one 33, then the next is "
        "right");
    for (const auto& [fault, status] :
         {std::pair{"offset", kAnswerInvalid}, std::pair{"length", kAnswerInvalid},
          std::pair{"tid", kTimeout}, std::pair{"drop", kTimeout}}) {
        SCOPED_TRACE(fault);
        SimOk("answer-fault " + Unit() + " " + fault + " 1");
        EXPECT_TRUE(Cmd(kAi, kAiV0, 10, {}, status));
        EXPECT_TRUE(Cmd(kAi, kAiV0, 10, {}, kSuccess, {0x12, 0x34}));
    }
    SimOk("answer-fault " + Unit() + " offset 1");
    EXPECT_TRUE(Cmd(kMai, kMai0, 1, {}, kAnswerInvalid));
    EXPECT_TRUE(Cmd(kAi, kAiV0, 18, {1}, kSuccess, {1, 0}));

    Step("four sets of one register at once: every field lands");
    SentTlps();
    for (const auto& [code, payload] :
         {std::pair{uint16_t{3}, std::vector<uint8_t>{0}}, std::pair{uint16_t{5}, std::vector<uint8_t>{0}},
          std::pair{uint16_t{7}, std::vector<uint8_t>{0}},
          std::pair{uint16_t{9}, std::vector<uint8_t>{0xA5, 0x5A}}}) {
        ASSERT_TRUE(sio_.SendRaw(Encode(kAi, kAiV0, code, payload)));
    }
    for (int i = 0; i < 4; ++i) {
        auto m = sio_.ReadResponse(3s);
        ASSERT_TRUE(m) << sio_.Error();
        EXPECT_EQ(m->Hdr.Status, kSuccess);
    }
    SentTlps(4);
    EXPECT_EQ(Reg(kAiV0, 0), 0xA55A0000u);
}

// qorlab --veths 1
TEST_F(SioAi, SampleDataEventsCalibrationTablesAndNothingKeptWithoutAClient) {
    ASSERT_NO_FATAL_FAILURE(StartAi());
    Step("a DATA TLP of 200 bytes reaches the client as one 0x2001 message of Length 201");
    std::vector<uint8_t> bytes = Counting(200, 7);
    SimOk("data " + Unit() + " " + std::to_string(kAiV1) + " 3 " + Hex(bytes));
    auto m = sio_.NextUnsolicited(2s);
    EXPECT_TRUE(Is(m, Make(kAi, kAiV1, kData, 0, Concat({{3}, bytes}))));
    SimOk("data " + Unit() + " " + std::to_string(kUiChl) + " 31 0102");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kUi, kUiChl, kData, 0, {31, 1, 2})));
    SimOk("event " + Unit() + " " + std::to_string(kMai1) + " 1 2 3 4");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kMai, kMai1, kEvent, 0, {1, 2, 3, 4})));

    Step("the unit's events and sample stream follow the enables the client sets");
    SimOk("ai-event " + Unit() + " " + std::to_string(kAiV1) + " 9 8 7 6");  // events disabled at the unit
    EXPECT_TRUE(sio_.Silent(200ms));
    EXPECT_TRUE(Cmd(kAi, kAiV1, 7, {1}, kSuccess));
    SimOk("ai-event " + Unit() + " " + std::to_string(kAiV1) + " 9 8 7 6");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kAi, kAiV1, kEvent, 0, {9, 8, 7, 6})));
    EXPECT_TRUE(Cmd(kAi, kAiV0, 9, {0x00, 0x04}, kSuccess));  // lowest enabled port 2: Flag 2
    EXPECT_TRUE(Cmd(kAi, kAiV0, 3, {0}, kSuccess));
    SimOk("ai-stream " + Unit() + " " + std::to_string(kAiV0) + " 50 5000 64");
    std::string state;
    EXPECT_TRUE(Eventually(
        [&] {
            state = sim_->Control("ai-stream-state " + Unit() + " 1");
            return state.find("running=0") != std::string::npos;
        },
        2s));
    EXPECT_NE(state.find("held=50"), std::string::npos) << state;
    EXPECT_TRUE(sio_.Silent(200ms));
    EXPECT_TRUE(Cmd(kAi, kAiV0, 3, {1}, kSuccess));
    SimOk("ai-stream " + Unit() + " " + std::to_string(kAiV0) + " 50 5000 64");
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
    SentTlps();
    SimOk("ctu-calibration " + Unit() + " 0 300");
    EXPECT_TRUE(Cmd(kMai, kMai0, 22, {}, kSuccess, table(300, 0)));
    const auto nvm = SentTlps(9);
    auto step = [](uint16_t address, uint16_t length) {
        return std::vector<Tlp>{RegWrite(0, 9, {1u | (uint32_t{length} << 16)}), RegWrite(0, 9, {address}),
                                RegWrite(0, 11, {1})};
    };
    std::vector<Tlp> wantNvm = step(0xA000, 12);
    for (const auto& s : {step(0xA00C, 256), step(0xA10C, 44)})
        wantNvm.insert(wantNvm.end(), s.begin(), s.end());
    EXPECT_EQ(nvm, wantNvm) << Describe(nvm);
    EXPECT_TRUE(Cmd(kMai, kMai1, 23, {}, kAnswerInvalid));  // the memory holds a type-0 table
    SimOk("ctu-calibration " + Unit() + " 1 40");
    EXPECT_TRUE(Cmd(kMai, kMai1, 23, {}, kSuccess, table(40, 1)));
    EXPECT_TRUE(Cmd(kMai, kMai0, 22, {0}, kLengthInvalid));

    Step("data and events without a client are dropped, not kept for the next one");
    sio_.Close();
    std::this_thread::sleep_for(200ms);
    SimOk("data " + Unit() + " " + std::to_string(kAiV1) + " 1 AABBCCDD");
    SimOk("ai-event " + Unit() + " " + std::to_string(kAiV1) + " 1 1 1 1");
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(OpenSio(sio_, kAiUnit)) << sio_.Error();
    EXPECT_TRUE(sio_.Silent(300ms));
    SimOk("data " + Unit() + " " + std::to_string(kAiV1) + " 1 EEFF");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kAi, kAiV1, kData, 0, {1, 0xEE, 0xFF})));
}

}  // namespace
}  // namespace qortest
