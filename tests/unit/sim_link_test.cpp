// The unit side of the link where a service would not notice a fault: refusals, password
// forms, forced replies, keep-alive time-out and watchdog, ACK/NAK numbering, answer faults,
// register file edges, loss and the control commands' errors. Expected bytes are written
// out from the frame tables, not built with the unit's own encoder.
#include "sim_link.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>
#include <vector>

#include "sim_fixture.h"

namespace {

const SimMac kOtherHost{0x02, 0x00, 0x00, 0x00, 0x99, 0x02};

// A password as hosts send it: reversed, right-aligned in 32 bytes.
Bytes Block(const std::string& pw) {
    Bytes block(32, 0);
    for (size_t i = 0; i < pw.size(); ++i) block[31 - i] = static_cast<uint8_t>(pw[i]);
    return block;
}
// "varnel-secret" is the password of advance_password.prof.
const Bytes kSecret = Block("varnel-secret");

// Connect or disconnect link bytes: code, version bit, mode, host sequence number, and for
// advance mode the password block and four zero bytes.
Bytes Dock(uint8_t mode, uint16_t hostSeq = 0) {
    return {0x20, 2, static_cast<uint8_t>((mode << 2) | (hostSeq >> 8)), static_cast<uint8_t>(hostSeq)};
}
Bytes Advance(uint8_t mode, const Bytes& block, bool version = true) {
    return Bytes{0x20, 10, static_cast<uint8_t>((version ? 0x10 : 0) | (mode << 2)), 0} + block + Bytes(4, 0);
}
// The answer head: code, return code in bits 7..2 of byte 2 next to the unit's sequence
// number 0x155 (the profiles' default).
Bytes Answer(uint8_t code, uint8_t rc) {
    return {0x20, code, static_cast<uint8_t>((rc << 2) | 0x01), 0x55};
}

// The TLP header bytes from the layout table, then Data.
Bytes TlpLink(uint16_t seq, uint8_t type, uint8_t rw, uint8_t chl, std::array<uint8_t, 4> word,
              const Bytes& data = {}) {
    const Bytes head{0x10, static_cast<uint8_t>(seq >> 2),
                     static_cast<uint8_t>(((seq & 3) << 6) | (type << 1) | rw), chl};
    return head + Bytes(word.begin(), word.end()) + data;
}

// One frame from a host and what the unit does: the head of its one answer (empty: no
// answer) and its link status afterwards.
struct Step {
    Bytes Link, Want;
    int LinkStatus;
    SimMac Src = kHost;
    bool Pad = true;
};

class SimLinkTest : public SimUnitTest {
  protected:
    void Add(const std::string& profile) {
        ASSERT_EQ(Do("add " + profile + " 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    }
    void Run(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(Reply(kUnitA, steps[i].Link, steps[i].Src, steps[i].Pad), steps[i].Want)
                << "step " << i;
            EXPECT_EQ(Unit().Link.LinkStatus, steps[i].LinkStatus) << "step " << i;
        }
    }
};

TEST_F(SimLinkTest, DockConnectAndDisconnectAreAnsweredWithTheUnitSequenceNumber) {
    Add("dock_basic");
    // A reconnect of the same host is accepted; another host is busy (1) and cannot disconnect
    // (3); every disconnect mode frees the unit and keeps the host's number.
    Run({{Dock(0, 0x2A5), Answer(3, 0), 1},
         {Dock(0, 7), Answer(3, 0), 1},
         {Dock(0), Answer(3, 1), 1, kOtherHost},
         {Dock(1), Answer(3, 3), 1, kOtherHost},
         {Dock(1, 0x3FF), Answer(3, 0), 0},
         {Dock(0), Answer(3, 0), 1},
         {Dock(2, 0x3FF), Answer(3, 0), 0},
         {Dock(0), Answer(3, 0), 1},
         {Dock(3, 0x3FF), Answer(3, 0), 0},
         {Dock(0, 0x2A5), Answer(3, 0), 1, kOtherHost}});
    EXPECT_EQ(std::tuple(Unit().HostSeq, Unit().Link.ConnectedHostMac, Unit().Stats.Refused),
              std::tuple(0x2A5, kOtherHost, 2u));
}

TEST_F(SimLinkTest, AdvanceConnectComparesThePasswordBlock) {
    Add("advance_password");
    const std::string pw = "varnel-secret";  // as typed, or right-aligned but not reversed
    const Bytes typed = Bytes(pw.begin(), pw.end()) + Bytes(19, 0),
                aligned = Bytes(19, 0) + Bytes(pw.begin(), pw.end());
    Run({{Advance(0, typed), Answer(11, 4), 0},
         {Advance(0, aligned), Answer(11, 4), 0},
         // A frame that ends inside the block.
         {Head(Advance(0, kSecret), 20), Answer(11, 4), 0, kHost, false},
         // Version bit 0, or the dock code, is a command version this unit does not take.
         {Advance(0, kSecret, false), Answer(11, 2), 0},
         {Dock(0), Answer(3, 2), 0},
         {Advance(0, kSecret), Answer(11, 0), 1},
         // Disconnect carries the block too; a wrong one leaves the link up.
         {Advance(1, typed), Answer(11, 4), 1},
         {Advance(1, kSecret), Answer(11, 0), 0}});
    // A run-time password replaces the profile's; "default" brings it back.
    EXPECT_EQ(Do("password 02:00:00:00:00:01 hex:4142"), "ok password 2 bytes");
    Run({{Advance(0, Block("AB")), Answer(11, 0), 1}, {Advance(1, Block("AB")), Answer(11, 0), 0}});
    Talk({{"password 02:00:00:00:00:01 default", "ok password default"},
          {"password 02:00:00:00:00:01 hex:4100", "error password must not contain a zero byte"},
          {"password 02:00:00:00:00:01 " + std::string(33, 'x'), "error password must be 1 to 32 bytes"}});
    Run({{Advance(0, Block("AB")), Answer(11, 4), 0}});
    // Enabled without a password, only a zero block is taken.
    EXPECT_EQ(Do("remove all"), "ok removed 1");
    Add(Profile("empty_pw", "model E\nmode advance\nflags password-enable\nversion 1 0\ndib 0 ctu 0\n"));
    Run({{Advance(0, Bytes(32, 0x5A)), Answer(11, 4), 0}, {Advance(0, Bytes(32, 0)), Answer(11, 0), 1}});
}

TEST_F(SimLinkTest, ForcedConnectAndDisconnectReplies) {
    Add("dock_basic");
    ASSERT_EQ(Do("device-seq 02:00:00:00:00:01 0x3FF"), "ok device-seq 1023");
    const auto forced = [](uint8_t rc) { return Bytes{0x20, 3, static_cast<uint8_t>((rc << 2) | 3), 0xFF}; };
    // A refused connect leaves the unit free; a refused disconnect keeps the link; a forced
    // 0 succeeds even for another host.
    const struct {
        std::string Command;
        Step Then;
    } rows[] = {
        {"connect-reply 02:00:00:00:00:01 63", {Dock(0), forced(63), 0}},
        {"connect-reply all none", {Dock(0), {}, 0}},
        {"connect-reply 02:00:00:00:00:01 default", {Dock(0), forced(0), 1}},
        {"disconnect-reply 02:00:00:00:00:01 1", {Dock(1), forced(1), 1}},
        {"disconnect-reply 02:00:00:00:00:01 none", {Dock(1), {}, 1}},
        {"disconnect-reply 02:00:00:00:00:01 0", {Dock(1), forced(0), 0, kOtherHost}},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(Do(r.Command).starts_with("ok ")) << r.Command;
        Run({r.Then});
    }
    EXPECT_EQ(Do("connect-reply all 64"), "error return code must be 0..63, 'default' or 'none'");
}

TEST_F(SimLinkTest, KeepAliveAnswerTimeoutCommandAndWatchdog) {
    Add("dock_basic");
    EXPECT_EQ(Links({0x20, 8, 0, 0}), (std::vector<Bytes>{Bytes{0x20, 9, 0, 0} + Bytes(42, 0)}));
    EXPECT_EQ(Do("ka-timeout all"), "ok ka-timeout 0");
    Send(kUnitA, Dock(0));
    sent.clear();
    EXPECT_EQ(Do("ka-timeout 02:00:00:00:00:01"), "ok ka-timeout 1");
    EXPECT_EQ(Head(One(), 4), (Bytes{0x20, 24, 0, 0}));
    EXPECT_EQ(Unit().Link.LinkStatus, 1) << "the command only reports; the link stays";
    // Watchdog: 1000 ms without a keep-alive from the connected host drops the link; one
    // from another host does not count.
    EXPECT_EQ(Do("watchdog 02:00:00:00:00:01 1000"), "ok watchdog 1000");
    now = 1500;
    Send(kUnitA, {0x20, 8, 0, 0});
    now = 2200;
    Send(kUnitA, {0x20, 8, 0, 0}, kOtherHost);
    sent.clear();
    ctx.Timers.RunDue(now = 2499);
    EXPECT_EQ(std::tuple(sent.size(), Unit().Link.LinkStatus), std::tuple(0u, 1));
    ctx.Timers.RunDue(now = 2500);
    EXPECT_EQ(Head(One(), 4), (Bytes{0x20, 24, 0, 0}));
    EXPECT_EQ(std::tuple(Unit().Link.LinkStatus, ctx.Timers.Size()), std::tuple(0, 0u));
    // The host's reconnect brings it back and restarts the watchdog; removing the unit takes
    // its watchdog along.
    Send(kUnitA, Dock(0));
    EXPECT_EQ(std::tuple(Unit().Link.LinkStatus, ctx.Timers.NextDue()), std::tuple(1, 3500));
    EXPECT_EQ(Do("watchdog all off"), "ok watchdog off");
    EXPECT_EQ(std::tuple(ctx.Timers.Size(), Unit().Stats.KeepAliveTimeouts, Unit().Stats.KeepAlives),
              std::tuple(0u, 2u, 3u));
    EXPECT_EQ(Do("watchdog all 50"), "ok watchdog 50");
    EXPECT_EQ(ctx.Timers.Size(), 1u);
    EXPECT_EQ(Do("remove all"), "ok removed 1");
    EXPECT_EQ(ctx.Timers.Size(), 0u);
}

// Every TLP is acknowledged with its number, duplicates again; NAK-NEXT answers the next
// ones with NAK without taking them.
TEST_F(SimLinkTest, TlpsAreAcknowledgedOrNakedWithTheirSequenceNumber) {
    Add("ctu_dio");
    // DATA, EVENT and an unknown type; channel 9 does not exist.
    for (uint16_t seq : {0x3FF, 0x155, 0x2AA, 0x2AA}) {
        for (uint8_t type : {1, 4, 7}) {
            EXPECT_EQ(Reply(kUnitA, TlpLink(seq, type, 0, 9, {0, 0, 0, 0})),
                      (Bytes{0x20, 0, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)}))
                << seq;
        }
    }
    EXPECT_EQ(std::tuple(SimSeqHistoryText(Unit()), Unit().Stats.AcksTx),
              std::tuple("1023,1023,1023,341,341,341,682,682,682,682,682,682", 12u));
    EXPECT_EQ(Reply(kSimBroadcastMac, TlpLink(6, 1, 0, 1, {0, 0, 0, 0})), Bytes{}) << "nobody's TLP";

    EXPECT_EQ(Do("clear-seqs all"), "ok clear-seqs 1");
    EXPECT_EQ(Do("nak-next 02:00:00:00:00:01 2"), "ok nak-next 2");
    const Bytes write = TlpLink(0x3FF, 0, 1, 1, {3, 10, 1, 0x1F}, {0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(Reply(kUnitA, write), (Bytes{0x20, 1, 0x03, 0xFF}));
    EXPECT_EQ((*SimUnitRegisters(Unit(), 1))[10], 0u) << "a NAKed write is not carried out";
    EXPECT_EQ(Reply(kUnitA, write), (Bytes{0x20, 1, 0x03, 0xFF}));
    EXPECT_EQ(Reply(kUnitA, write), (Bytes{0x20, 0, 0x03, 0xFF}));
    EXPECT_EQ((*SimUnitRegisters(Unit(), 1))[10], 0x12345678u);
    EXPECT_EQ(std::tuple(SimSeqHistoryText(Unit()), Unit().Stats.NaksTx, Unit().Stats.AcksTx),
              std::tuple("1023n,1023n,1023", 2u, 13u));
    EXPECT_EQ(Do("nak-next 02:00:00:00:00:01 1025"), "error count must be 0..1024");
}

// Each answer fault spoils exactly the next COUNT read answers, the field it names and no other.
TEST_F(SimLinkTest, AnswerFaultsSpoilTheNextReadAnswersOnly) {
    Add("ctu_uart2");
    // TransactionID 5, Offset 2, LengthInDW 1 on channel 1; answer bytes 3..6 carry them.
    const Bytes read = TlpLink(0x20, 0, 0, 1, {5, 2, 1, 0x1F});
    auto answerHead = [&]() {
        auto out = Links(read);
        return out.size() == 2 ? Bytes(out[1].begin() + 3, out[1].begin() + 7) : Bytes{};
    };
    const Bytes plain{1, 5, 2, 1};
    const std::pair<std::string, Bytes> cases[] = {
        {"tid", {1, 6, 2, 1}}, {"offset", {1, 5, 3, 1}}, {"length", {1, 5, 2, 0}}, {"drop", {}}};
    for (const auto& [command, first] : cases) {
        EXPECT_EQ(Do("answer-fault all " + command), "ok answer-fault " + command + " 1");
        EXPECT_EQ(answerHead(), first) << command;
        EXPECT_EQ(answerHead(), plain) << command << ": only one answer is spoilt";
    }
    // Late: nothing now, the plain answer once its time has come; then the next is on time.
    EXPECT_EQ(Do("answer-fault 02:00:00:00:00:01 late 700 1"), "ok answer-fault late 1");
    EXPECT_EQ(answerHead(), Bytes{});
    ctx.Timers.RunDue(now + 699);
    EXPECT_TRUE(sent.empty());
    ctx.Timers.RunDue(now + 700);
    const Bytes late = One();
    EXPECT_EQ(Bytes(late.begin() + 3, late.begin() + 7), plain);
    EXPECT_EQ(answerHead(), plain);
    EXPECT_EQ(Do("answer-fault all late"), "error late needs MS 0..60000");
}

TEST_F(SimLinkTest, RegisterFileEdgesNumberingAndTheRegCommand) {
    Add(Profile("regs",
                "model R\nmode dock\nversion 1 0\ndib 0 ctu 0\ndib 7 uart 1 le16:128 le16:128\n"
                "reg 7 250 0x11223344\n"));
    // A write of 4 words at 254 changes 254 and 255 only; a read of 10 words from 250 brings
    // the 6 that exist (8 + 24 bytes, padded to the 60-byte frame minimum) after its ACK.
    EXPECT_EQ(Links(TlpLink(0x13, 0, 1, 7, {0, 254, 4, 0x1F}, Bytes{1, 2, 3, 4, 5, 6, 7, 8} + Bytes(8, 9))),
              (std::vector<Bytes>{Bytes{0x20, 0, 0, 0x13} + Bytes(42, 0)}));
    EXPECT_EQ(Links(TlpLink(0x14, 0, 0, 7, {1, 250, 10, 0x1F})),
              (std::vector<Bytes>{Bytes{0x20, 0, 0, 0x14} + Bytes(42, 0),
                                  Bytes{0x10, 0x55, 0x40, 7, 1, 250, 6, 0x1F, 0x44, 0x33, 0x22, 0x11} +
                                      Bytes(12, 0) + Bytes{1, 2, 3, 4, 5, 6, 7, 8} + Bytes(14, 0)}));
    // A write whose words the frame does not hold writes nothing (sent unpadded); a channel
    // without a DIB is acknowledged only.
    EXPECT_EQ(Links(TlpLink(0x15, 0, 1, 7, {0, 0, 2, 0x1F}, {9, 9, 9, 9, 9}), false).size(), 1u);
    EXPECT_EQ(Links(TlpLink(0x16, 0, 0, 8, {0, 0, 1, 0x1F})).size(), 1u);
    Talk({{"reg 02:00:00:00:00:01 7 0", "ok reg 7 0 0x00000000"},
          {"reg 02:00:00:00:00:01 7 255", "ok reg 7 255 0x08070605"},
          {"reg 02:00:00:00:00:01 7 100 5 6", "ok reg 7 100 0x00000005"},
          {"reg 02:00:00:00:00:01 7 101", "ok reg 7 101 0x00000006"},
          {"reg 02:00:00:00:00:01 7 255 1 2", "error registers past 255 do not exist"},
          {"reg 02:00:00:00:00:01 8 0", "error unit has no channel 8"},
          {"reg 02:00:00:00:00:01 7 256", "error offset must be 0..255"}});

    // The unit's numbers wrap from 1023 to 0; the host's ACKs clear them one by one.
    EXPECT_EQ(Do("device-seq 02:00:00:00:00:01 1023"), "ok device-seq 1023");
    EXPECT_EQ(Head(Links(TlpLink(0x17, 0, 0, 7, {0, 0, 1, 0})).at(1), 3), (Bytes{0x10, 0xFF, 0xC0}));
    EXPECT_EQ(Head(Links(TlpLink(0x18, 0, 0, 7, {0, 0, 1, 0})).at(1), 3), (Bytes{0x10, 0x00, 0x00}));
    EXPECT_EQ(std::tuple(Unit().TxSeq, SimUnackedText(Unit())), std::tuple(1, "341,1023,0"));
    Send(kUnitA, {0x20, 0, 0x03, 0xFF});
    Send(kUnitA, {0x20, 0, 0x00, 0x09});  // never sent: changes nothing
    EXPECT_EQ(std::tuple(SimUnackedText(Unit()), Unit().Stats.AcksRx), std::tuple("341,0", 2u));
}

// Event and data TLPs on request go to the connected host (their short forms are decoded by
// the service in the system tests); refused requests use no number.
TEST_F(SimLinkTest, EventAndDataTlpsGoToTheConnectedHost) {
    Add("dock_basic");
    EXPECT_EQ(Do("event 02:00:00:00:00:01 1 1 5 0 0"), "error 02:00:00:00:00:01 has no connected host");
    Send(kUnitA, Dock(0), kOtherHost);
    sent.clear();
    EXPECT_EQ(Do("event 02:00:00:00:00:01 0 2 1 0 0xFF a1B2 c3"), "ok event seq 341");
    EXPECT_EQ(Head(One(kOtherHost), 11), (Bytes{0x10, 0x55, 0x48, 0, 2, 1, 0, 0xFF, 0xA1, 0xB2, 0xC3}));
    // DATA: Flag in bits 7..3 of byte 4, LengthInByte in its bits 2..0 and byte 5.
    EXPECT_EQ(Do("data 02:00:00:00:00:01 1 31 " + std::string(3000, 'e')), "ok data seq 342");
    EXPECT_EQ(One(kOtherHost),
              (Bytes{0x10, 0x55, 0x82, 1, (31 << 3) | 0x05, 0xDC, 0, 0} + Bytes(1500, 0xEE)));
    Talk({{"data 02:00:00:00:00:01 2 32 00", "error flag must be 0..31"},
          {"data 02:00:00:00:00:01 2 0 0g", "error '0g' is not hex data"},
          {"data 02:00:00:00:00:01 2 0 " + std::string(4096, '0'), "error at most 2047 data bytes"},
          {"event 02:00:00:00:00:01 1 256 0 0 0", "error event bytes must be 0..255"},
          {"silent all", "ok silent 1"},
          {"event 02:00:00:00:00:01 1 0 0 0 0", "error 02:00:00:00:00:01 is silent"}});
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Unit().TxSeq, 0x157);
}

TEST_F(SimLinkTest, SeededLossRepeatsItself) {
    Add("ctu_dio");
    // Which of 400 keep-alives got an answer, with the unit's loss setting as it is.
    const auto pattern = [this](int count) {
        std::string p;
        for (int i = 0; i < count; ++i) p += Links({0x20, 8, 0, 0}).empty() ? '.' : 'x';
        return p;
    };
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 30 20 12345"), "ok loss 30 20 12345");
    const std::string first = pattern(400);
    const auto rxLost = Unit().Stats.RxLost, txLost = Unit().Stats.TxLost;
    // Both directions lose frames, about as often as asked: 30 % in, 20 % of the rest out.
    EXPECT_TRUE(rxLost > 80 && rxLost < 160 && txLost > 30 && txLost < 90) << rxLost << " in, " << txLost;
    EXPECT_EQ(std::count(first.begin(), first.end(), '.'), static_cast<long>(rxLost + txLost));
    // The same seed gives the same pattern; another seed another one.
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 30 20 12345"), "ok loss 30 20 12345");
    EXPECT_EQ(pattern(400), first);
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 30 20 54321"), "ok loss 30 20 54321");
    EXPECT_NE(pattern(400), first);
    // Lost on the way in: not taken, no TLP number recorded. Lost on the way out: the TLP
    // still used its number.
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 100 0 1"), "ok loss 100 0 1");
    EXPECT_TRUE(Links(TlpLink(1, 1, 0, 1, {0, 0, 0, 0})).empty());
    EXPECT_EQ(SimSeqHistoryText(Unit()), "-");
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 0 100 1"), "ok loss 0 100 1");
    EXPECT_TRUE(Links(TlpLink(1, 0, 0, 1, {0, 0, 1, 0})).empty());
    EXPECT_EQ(Unit().TxSeq, 0x156);
    EXPECT_EQ(Do("loss all off"), "ok loss 0 0 0");
    EXPECT_EQ(pattern(20), std::string(20, 'x'));
    EXPECT_EQ(Do("loss all 101 0 1"), "error loss percentages must be 0..100");
}

}  // namespace
