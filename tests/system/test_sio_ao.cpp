// The AO, UO and BAO families (profile all_families), each command byte for byte with the
// TLPs the unit receives; expected bytes worked out by hand from docs/register-map.md.
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

inline const Mac kAllUnit = UnitMac(0x56, 1);
enum : uint8_t { kAo4 = 4, kAo8 = 5, kUo2 = 7, kUo3 = 8, kBao8 = 9, kBao2 = 10, kBaoV2 = 13 };
enum : uint8_t { kAo = 6, kUo = 8, kBao = 9 };
enum : uint16_t { kNotSupported = 1, kNoPort = 18, kGainAll = 128, kGainPort = 129, kNoFifo = 130 };
enum : uint16_t { kEvent = 0x1001, kOutput = 0x2001 };

// An output data TLP: DATA, RW 1, Flag the port in bits 7..3 of byte 4, two bytes.
Tlp Out(uint8_t chl, uint8_t port, uint8_t hi, uint8_t lo) {
    return {1, 1, chl, static_cast<uint8_t>(port << 3), 2, 0, 0, {hi, lo}};
}

// AO port p at 3 (p + 1), UO port p at 4 + 2p, BAO port p at 4 + p.
const Regs kRegs = {
    {kAo4, 0, {0x00030001, 0xFFFF1234}}, {kAo4, 3, {0x000186A0, 0x10, 0x02, 1000, 0x20, 0x103}},
    {kAo4, 12, {7, 0xAB40, 0x04}},       {kUo2, 4, {0x0201, 0xDEADBEEF, 0x0003, 0x12345678}},
    {kBao8, 3, {0xFFFF5A5A, 0x01}},      {kBao8, 11, {0x104}},
};

std::vector<Tlp> UoReads(uint8_t chl, uint8_t ports) {
    std::vector<Tlp> t{Rd(chl, 0, 4)};
    for (uint8_t r = 0; r < 2 * ports; ++r) t.push_back(Rd(chl, static_cast<uint8_t>(4 + r)));
    return t;
}

class SioAo : public SioTest {
  protected:
    void SetUp() override {
        SioTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Start({{"all_families", kAllUnit}}, kRegs));
    }
};

// qorlab --veths 1
TEST_F(SioAo, ConnectReadsInfoRecordsAndEveryCommandByteForByte) {
    Step("the connect reads the controller info (AO and BAO: every port's registers with it), UO each port");
    const auto sent = SentTlps(1);
    const std::pair<uint8_t, std::vector<Tlp>> want[] = {
        {kAo4, {Rd(kAo4, 0, 15)}},   {kAo8, {Rd(kAo8, 0, 27)}},   {kUo2, UoReads(kUo2, 2)},
        {kUo3, UoReads(kUo3, 3)},    {kBao8, {Rd(kBao8, 0, 12)}}, {kBao2, {Rd(kBao2, 0, 6)}},
        {kBaoV2, {Rd(kBaoV2, 0, 5)}}};
    for (const auto& [chl, tlps] : want) {
        EXPECT_EQ(Of(sent, chl), tlps) << "channel " << int(chl) << ": " << Describe(Of(sent, chl));
    }

    Step("info records: 4-port AO Length 42, 2-port UO 31, 8-port BAO 25");
    Run({{kAo,
          kAo4,
          1,
          {},
          {Rd(kAo4, 0, 15)},
          kSuccess,
          Hx("010100040c84 000186a0 c4090003  00 000186a0 1002  01 000003e8 2003  02 00000000 0000"
             "  03 00000007 4004")},
         {kUo,
          kUo2,
          1,
          {},
          UoReads(kUo2, 2),
          kSuccess,
          Hx("00020c0302 c4090003 e8030003 14000003  000102 deadbeef  010300 12345678")},
         {kBao,
          kBao8,
          1,
          {},
          {Rd(kBao8, 0, 12)},
          kSuccess,
          Hx("0108021084 c4090003 00010100020003000400050006000704")}});

    Step("every field command: one read for a get, one masked write of the cached word for a set");
    Run({
        {kAo, kAo4, 2, {}, {Rd(kAo4, 0)}, kSuccess, {0x01}},
        {kAo, kAo4, 3, {0}, {Wr(kAo4, 0, 0x00030000)}, kSuccess, {}},
        {kAo, kAo4, 5, {1}, {Wr(kAo4, 0, 0x00030002)}, kSuccess, {}},
        {kAo, kAo4, 4, {}, {Rd(kAo4, 0)}, kSuccess, {0x01}},
        {kAo, kAo4, 7, {0x00, 0x05}, {Wr(kAo4, 0, 0x00050002)}, kSuccess, {}},
        {kAo, kAo4, 6, {}, {Rd(kAo4, 0)}, kSuccess, {0x00, 0x05}},
        {kAo, kAo4, 9, {0xAB, 0xCD}, {Wr(kAo4, 1, 0xFFFFABCD)}, kSuccess, {}},
        {kAo, kAo4, 8, {}, {Rd(kAo4, 1)}, kSuccess, {0xAB, 0xCD}},
        {kAo, kAo4, 17, {3, 0x00, 0x0F, 0x42, 0x40}, {Wr(kAo4, 12, 0x000F4240)}, kSuccess, {3}},
        {kAo, kAo4, 16, {3}, {Rd(kAo4, 12)}, kSuccess, {3, 0x00, 0x0F, 0x42, 0x40}},
        {kAo, kAo4, 19, {3, 0x7F}, {Wr(kAo4, 13, 0xAB7F)}, kSuccess, {3}},
        {kAo, kAo4, 18, {3}, {Rd(kAo4, 13)}, kSuccess, {3, 0x7F}},
        {kAo, kAo4, 21, {1, 4}, {Wr(kAo4, 8, 0x104)}, kSuccess, {1}},
        {kAo, kAo4, 20, {1}, {Rd(kAo4, 8)}, kSuccess, {1, 4}},
        {kAo, kAo8, 11, {1}, {Wr(kAo8, 2, 0x1)}, kSuccess, {}},
        {kAo, kAo8, 10, {}, {Rd(kAo8, 2)}, kSuccess, {0x01}},
        {kUo, kUo2, 3, {1}, {Wr(kUo2, 0, 0x1)}, kSuccess, {}},
        {kUo, kUo2, 9, {0x00, 0x03}, {Wr(kUo2, 0, 0x00030001)}, kSuccess, {}},
        {kUo, kUo2, 8, {}, {Rd(kUo2, 0)}, kSuccess, {0x00, 0x03}},
        {kUo, kUo2, 2, {}, {Rd(kUo2, 0)}, kSuccess, {0x01}},
        {kUo, kUo2, 11, {0xDE, 0xAD, 0xBE, 0xEF}, {Wr(kUo2, 1, 0xDEADBEEF)}, kSuccess, {}},
        {kUo, kUo2, 10, {}, {Rd(kUo2, 1)}, kSuccess, {0xDE, 0xAD, 0xBE, 0xEF}},
        {kUo, kUo2, 13, {2}, {Wr(kUo2, 2, 0x2)}, kSuccess, {}},
        {kUo, kUo2, 12, {}, {Rd(kUo2, 2)}, kSuccess, {0x02}},
        {kUo, kUo2, 19, {1, 0x05}, {Wr(kUo2, 6, 0x0005)}, kSuccess, {1}},
        {kUo, kUo2, 18, {1}, {Rd(kUo2, 6)}, kSuccess, {1, 0x05}},
        {kUo, kUo2, 23, {1, 1, 2, 3, 4}, {Wr(kUo2, 7, 0x01020304)}, kSuccess, {1}},
        {kUo, kUo2, 22, {1}, {Rd(kUo2, 7)}, kSuccess, {1, 1, 2, 3, 4}},
        {kUo, kUo3, 21, {2, 2}, {Wr(kUo3, 8, 0x200)}, kSuccess, {2}},
        {kUo, kUo3, 20, {2}, {Rd(kUo3, 8)}, kSuccess, {2, 2}},
        {kBao, kBao8, 5, {1}, {Wr(kBao8, 0, 0x2)}, kSuccess, {}},
        {kBao, kBao8, 4, {}, {Rd(kBao8, 0)}, kSuccess, {0x01}},
        {kBao, kBao8, 3, {1}, {Wr(kBao8, 0, 0x3)}, kSuccess, {}},
        {kBao, kBao8, 7, {0x80, 0x01}, {Wr(kBao8, 0, 0x80010003)}, kSuccess, {}},
        {kBao, kBao8, 9, {0x12, 0x34}, {Wr(kBao8, 1, 0x1234)}, kSuccess, {}},
        {kBao, kBao8, 17, {0xA5, 0xA5}, {Wr(kBao8, 3, 0xFFFFA5A5)}, kSuccess, {}},
        {kBao, kBao8, 16, {}, {Rd(kBao8, 3)}, kSuccess, {0xA5, 0xA5}},
        {kBao, kBao8, 19, {7, 3}, {Wr(kBao8, 11, 0x103)}, kSuccess, {7}},
        {kBao, kBao8, 18, {7}, {Rd(kBao8, 11)}, kSuccess, {7, 3}},
        {kBao, kBao2, 11, {1}, {Wr(kBao2, 2, 0x1)}, kSuccess, {}},
    });
}

// qorlab --veths 1
TEST_F(SioAo, EveryStatusWithNothingSentAnswersThatAreNotTheCommandsAndConcurrentSets) {
    SentTlps(1);
    Step("refusals: not supported, length, port (with P), capability, gain model, value, version");
    std::vector<Row> refusals = {
        {kAo, kAo4, 1, {0}, {}, kLengthInvalid, {}},
        {kAo, kAo4, 3, {}, {}, kLengthInvalid, {}},
        {kAo, kAo4, 2, {0}, {}, kLengthInvalid, {}},
        {kAo, kAo4, 17, {0, 0, 0}, {}, kLengthInvalid, {0}},
        {kAo, kAo4, 3, {2}, {}, kValueInvalid, {}},
        {kAo, kAo4, 16, {4}, {}, kNoPort, {4}},
        {kAo, kAo4, 17, {0xFF, 0, 0, 0, 0}, {}, kNoPort, {0xFF}},
        {kAo, kAo8, 19, {0, 1}, {}, kNoFifo, {0}},
        {kAo, kAo8, 18, {7}, {}, kNoFifo, {7}},
        {kAo, kAo4, 11, {1}, {}, kGainAll, {}},           // per-port channel
        {kAo, kAo8, 21, {0, 1}, {}, kGainPort, {0}},      // all-ports channel
        {kAo, kAo4, 21, {0, 5}, {}, kValueInvalid, {0}},  // above the highest gain 4
        {kAo, kAo8, 11, {2}, {}, kValueInvalid, {}},      // above the highest gain 1
        {kUo, kUo2, 13, {3}, {}, kValueInvalid, {}},      // gains below 3 (the highest is 2)
        {kUo, kUo2, 21, {0, 1}, {}, kGainPort, {0}},
        {kUo, kUo3, 13, {0}, {}, kGainAll, {}},
        {kUo, kUo3, 21, {0, 3}, {}, kValueInvalid, {0}},  // the highest is 4, yet gains stay below 3
        {kUo, kUo2, 18, {2}, {}, kNoPort, {2}},
        {kUo, kUo2, 23, {0, 1, 2, 3}, {}, kLengthInvalid, {0}},
        {kBao, kBao8, 19, {0, 5}, {}, kValueInvalid, {0}},
        {kBao, kBao8, 19, {8, 1}, {}, kNoPort, {8}},
        {kBao, kBao8, 11, {0}, {}, kGainAll, {}},
        {kBao, kBao2, 19, {0, 0}, {}, kGainPort, {0}},
        {kBao, kBao2, 11, {2}, {}, kValueInvalid, {}},  // one bit of gain for all ports
        {kBao, kBaoV2, 11, {0}, {}, kVersionUnsupported, {}},
        {kBao, kBaoV2, 19, {0, 0}, {}, kVersionUnsupported, {0}},
    };
    for (uint16_t code = 12; code <= 15; ++code) {
        refusals.push_back({kAo, kAo4, code, {1}, {}, kNotSupported, {}});
        refusals.push_back({kBao, kBao8, code, {}, {}, kNotSupported, {}});
    }
    for (uint16_t code : {4, 5, 6, 7, 14, 15, 16, 17})
        refusals.push_back({kUo, kUo2, code, {}, {}, kNotSupported, {}});
    Run(refusals);

    Step(
        "an answer with another Offset or LengthInDW is 34, a foreign or missing one 33, then the next is "
        "right");
    for (const auto& [fault, status] :
         {std::pair{"offset", kAnswerInvalid}, std::pair{"length", kAnswerInvalid},
          std::pair{"tid", kTimeout}, std::pair{"drop", kTimeout}}) {
        SCOPED_TRACE(fault);
        Fault(std::string(fault) + " 1");
        EXPECT_TRUE(Cmd(kAo, kAo4, 8, {}, status));
        EXPECT_TRUE(Cmd(kAo, kAo4, 8, {}, kSuccess, {0x12, 0x34}));
    }
    for (const auto& [type, chl] : {std::pair{kAo, kAo4}, std::pair{kUo, kUo2}, std::pair{kBao, kBao8}}) {
        Fault("length 1");
        EXPECT_TRUE(Cmd(type, chl, 1, {}, kAnswerInvalid));
    }

    Step("three sets of one register at once: every field lands");
    SentTlps();
    ASSERT_NO_FATAL_FAILURE(
        AtOnce({Encode(kAo, kAo4, 3, {0}), Encode(kAo, kAo4, 5, {1}), Encode(kAo, kAo4, 7, {0xA5, 0x5A})}));
    EXPECT_EQ(Reg(kAo4, 0), 0xA55A0002u);
}

// qorlab --veths 1
TEST_F(SioAo, OutputDataAndEvents) {
    SentTlps(1);
    Step("output data becomes one DATA TLP of the port's two bytes; no response");
    ASSERT_TRUE(sio_.SendRaw(Encode(kAo, kAo4, kOutput, {2, 0x12, 0x34})));
    ASSERT_TRUE(sio_.SendRaw(Encode(kAo, kAo8, kOutput, {7, 0xFF, 0x01})));
    EXPECT_EQ(SentTlps(2), (std::vector<Tlp>{Out(kAo4, 2, 0x12, 0x34), Out(kAo8, 7, 0xFF, 0x01)}));
    EXPECT_TRUE(sio_.Silent(200ms));
    EXPECT_NE(
        sim_->Control("ao-output " + MacString(kAllUnit) + " 4").find("writes=1 refused=0 values=0,0,4660,0"),
        std::string::npos)
        << sim_->LastAnswer();

    Step("a port beyond the channel or another length is logged and not sent");
    const std::string tag = "AO  (T:" + std::to_string(SioPort()) + ", C:";
    const std::pair<std::vector<uint8_t>, std::string> bad[] = {
        {Encode(kAo, kAo8, kOutput, {9, 0, 0}), tag + "5), tx data, can't get port (I:x09)\n"},
        {Encode(kAo, kAo4, kOutput, {4, 0, 0}), tag + "4), tx data, can't get port (I:x04)\n"},
        {Encode(kAo, kAo4, kOutput, {1, 0}), tag + "4), tx data, invalid data length(2)\n"},
        {Encode(kAo, kAo4, kOutput, {1, 0, 0, 0}), tag + "4), tx data, invalid data length(4)\n"},
    };
    for (const auto& [message, log] : bad) {
        ASSERT_TRUE(sio_.SendRaw(message));
        EXPECT_TRUE(Eventually([&] { return Log().find(log) != std::string::npos; }, 2s)) << log;
    }
    EXPECT_TRUE(SentTlps().empty());
    EXPECT_TRUE(sio_.Silent(100ms));
    ASSERT_TRUE(sio_.SendRaw(Encode(kAo, kAo4, kOutput, {0, 0xAB, 0xCD})));
    EXPECT_EQ(SentTlps(1), std::vector<Tlp>{Out(kAo4, 0, 0xAB, 0xCD)});

    Step("the unit's events follow the enable the client sets, with every byte");
    EXPECT_NE(sim_->Control("ao-event " + MacString(kAllUnit) + " 4 9 8 7 6").find("held"),
              std::string::npos);
    EXPECT_TRUE(Cmd(kAo, kAo4, 5, {1}, kSuccess));
    Sim("ao-event", kAo4, "9 8 7 6");
    EXPECT_TRUE(Is(sio_.NextUnsolicited(2s), Make(kAo, kAo4, kEvent, 0, {9, 8, 7, 6})));
}

}  // namespace
}  // namespace qortest
