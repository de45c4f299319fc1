// The unit side of the link: connect and disconnect answers, keep-alive and its time-out, ACK
// and NAK of the host's TLPs, register files, frames the unit sends on request, loss, delay
// and silence. Expected bytes are written out from the frame tables, not built with the
// unit's own encoder.
#include "sim_link.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
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

// Link bytes of a connect or disconnect: code, version bit, mode, host sequence number, and
// for advance mode the password block and four zero bytes.
Bytes ConnectLink(uint8_t code, bool version, uint8_t mode, uint16_t hostSeq, const Bytes& block = {}) {
    Bytes l{0x20, code, static_cast<uint8_t>((version ? 0x10 : 0) | (mode << 2) | ((hostSeq >> 8) & 0x03)),
            static_cast<uint8_t>(hostSeq & 0xFF)};
    if (!block.empty()) l = l + block + Bytes(4, 0);
    return l;
}
Bytes Dock(uint8_t mode, uint16_t hostSeq = 0) {
    return ConnectLink(2, false, mode, hostSeq);
}
Bytes Advance(uint8_t mode, const Bytes& block, bool version = true) {
    return ConnectLink(10, version, mode, 3, block);
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

using SimLinkTest = SimUnitTest;

TEST_F(SimLinkTest, DockConnectAndDisconnectAreAnsweredWithTheUnitSequenceNumber) {
    ASSERT_EQ(Do("add dock_basic 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    // A reconnect of the same host is accepted; another host is busy (1) and cannot disconnect
    // (3); every disconnect mode frees the unit and keeps the host's number.
    Run(kUnitA, {{Dock(0, 0x2A5), Answer(3, 0), 1},
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
    ASSERT_EQ(Do("add advance_password 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    ASSERT_EQ(Advance(0, kSecret).size(), 40u);
    const std::string pw = "varnel-secret";  // as typed, or right-aligned but not reversed
    const Bytes typed = Bytes(pw.begin(), pw.end()) + Bytes(19, 0),
                aligned = Bytes(19, 0) + Bytes(pw.begin(), pw.end());
    Run(kUnitA, {{Advance(0, typed), Answer(11, 4), 0},
                 {Advance(0, aligned), Answer(11, 4), 0},
                 {Advance(0, Bytes(32, 0)), Answer(11, 4), 0},
                 // A frame that ends inside the block.
                 {Head(Advance(0, kSecret), 20), Answer(11, 4), 0, kHost, false},
                 // Version bit 0, or the dock code, is a command version this unit does not take.
                 {Advance(0, kSecret, false), Answer(11, 2), 0},
                 {Dock(0), Answer(3, 2), 0},
                 {Advance(0, kSecret), Answer(11, 0), 1},
                 // Disconnect carries the block too; a wrong one leaves the link up.
                 {Advance(1, typed), Answer(11, 4), 1},
                 {Advance(1, kSecret), Answer(11, 0), 0}});
    EXPECT_EQ(Unit().Stats.Refused, 7u);

    // A run-time password replaces the profile's; "default" brings it back.
    EXPECT_EQ(Do("password 02:00:00:00:00:01 hex:4142"), "ok password 2 bytes");
    Run(kUnitA, {{Advance(0, Block("AB")), Answer(11, 0), 1}, {Advance(1, Block("AB")), Answer(11, 0), 0}});
    EXPECT_EQ(Do("password 02:00:00:00:00:01 default"), "ok password default");
    Run(kUnitA, {{Advance(0, Block("AB")), Answer(11, 4), 0}});
    EXPECT_EQ(Do("password 02:00:00:00:00:01 hex:4100"), "error password must not contain a zero byte");
    EXPECT_EQ(Do("password 02:00:00:00:00:01 " + std::string(33, 'x')),
              "error password must be 1 to 32 bytes");

    // Enabled without a password, only a zero block is taken.
    const std::string path =
        Profile("empty_pw", "model E\nmode advance\nflags password-enable\nversion 1 0\ndib 0 ctu 0\n");
    ASSERT_EQ(Do("add " + path + " 02:00:00:00:00:03 veth0"), "ok added 02:00:00:00:00:03");
    Run(kUnitC,
        {{Advance(0, Bytes(32, 0x5A)), Answer(11, 4), 0}, {Advance(0, Bytes(32, 0)), Answer(11, 0), 1}});
}

TEST_F(SimLinkTest, ForcedConnectAndDisconnectReplies) {
    ASSERT_EQ(Do("add dock_basic 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    ASSERT_EQ(Do("device-seq 02:00:00:00:00:01 0x3FF"), "ok device-seq 1023");
    for (int rc : {1, 2, 4, 5, 63}) {
        ASSERT_EQ(Do("connect-reply 02:00:00:00:00:01 " + std::to_string(rc)),
                  "ok connect-reply " + std::to_string(rc));
        // A refused connect leaves the unit free.
        Run(kUnitA, {{Dock(0), {0x20, 3, static_cast<uint8_t>((rc << 2) | 0x03), 0xFF}, 0}});
    }
    EXPECT_EQ(Do("connect-reply 02:00:00:00:00:01 64"),
              "error return code must be 0..63, 'default' or 'none'");
    ASSERT_EQ(Do("connect-reply all none"), "ok connect-reply none");
    Run(kUnitA, {{Dock(0), {}, 0}});
    ASSERT_EQ(Do("connect-reply 02:00:00:00:00:01 default"), "ok connect-reply default");
    Run(kUnitA, {{Dock(0), {0x20, 3, 0x03, 0xFF}, 1}});
    // Disconnect has its own setting; a refused one keeps the link, a forced 0 succeeds even
    // for another host.
    ASSERT_EQ(Do("disconnect-reply 02:00:00:00:00:01 1"), "ok disconnect-reply 1");
    Run(kUnitA, {{Dock(1), {0x20, 3, (1 << 2) | 0x03, 0xFF}, 1}});
    ASSERT_EQ(Do("disconnect-reply 02:00:00:00:00:01 none"), "ok disconnect-reply none");
    Run(kUnitA, {{Dock(1), {}, 1}});
    ASSERT_EQ(Do("disconnect-reply 02:00:00:00:00:01 0"), "ok disconnect-reply 0");
    Run(kUnitA, {{Dock(1), {0x20, 3, 0x03, 0xFF}, 0, kOtherHost}});
    EXPECT_NE(Do("show 02:00:00:00:00:01").find(" connect-reply=default disconnect-reply=0 seq=1023 "),
              std::string::npos);
}

TEST_F(SimLinkTest, KeepAliveAnswerTimeoutCommandAndWatchdog) {
    ASSERT_EQ(Do("add dock_basic 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    EXPECT_EQ(Links({0x20, 8, 0, 0}), (std::vector<Bytes>{Bytes{0x20, 9, 0, 0} + Bytes(42, 0)}))
        << "zero padding";
    EXPECT_EQ(Do("ka-timeout all"), "ok ka-timeout 0");
    Send(kUnitA, Dock(0));
    sent.clear();
    EXPECT_EQ(Do("ka-timeout 02:00:00:00:00:01"), "ok ka-timeout 1");
    EXPECT_EQ(Head(OneLink(), 4), (Bytes{0x20, 24, 0, 0}));
    EXPECT_EQ(Unit().Link.LinkStatus, 1) << "the command only reports; the link stays";
    // Watchdog: 1000 ms without a keep-alive from the connected host drops the link; one
    // from another host does not count.
    EXPECT_EQ(Do("watchdog 02:00:00:00:00:01 1000"), "ok watchdog 1000");
    now = 1500;
    Send(kUnitA, {0x20, 8, 0, 0});
    now = 2200;
    Send(kUnitA, {0x20, 8, 0, 0}, kOtherHost);
    sent.clear();
    ctx.Timers.RunDue(now = 2400);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Unit().Link.LinkStatus, 1);
    ctx.Timers.RunDue(now = 2500);
    EXPECT_EQ(Head(OneLink(), 4), (Bytes{0x20, 24, 0, 0}));
    EXPECT_EQ(std::tuple(Unit().Link.LinkStatus, ctx.Timers.Size()), std::tuple(0, 0u));
    // The host's reconnect brings it back and restarts the watchdog.
    Send(kUnitA, Dock(0));
    EXPECT_EQ(std::tuple(Unit().Link.LinkStatus, ctx.Timers.NextDue()), std::tuple(1, 3500));
    EXPECT_EQ(Do("watchdog all off"), "ok watchdog off");
    EXPECT_EQ(std::tuple(ctx.Timers.Size(), Unit().Stats.KeepAliveTimeouts, Unit().Stats.KeepAlives),
              std::tuple(0u, 2u, 3u));
    // Removing a unit takes its watchdog along.
    EXPECT_EQ(Do("watchdog all 50"), "ok watchdog 50");
    EXPECT_EQ(ctx.Timers.Size(), 1u);
    EXPECT_EQ(Do("remove all"), "ok removed 1");
    EXPECT_EQ(ctx.Timers.Size(), 0u);
}

TEST_F(SimLinkTest, EveryTlpIsAcknowledgedWithItsSequenceNumber) {
    ASSERT_EQ(Do("add ctu_dio 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    // DATA, EVENT and an unknown type; channel 9 does not exist.
    for (uint16_t seq : {0x000, 0x3FF, 0x155, 0x2AA})
        for (uint8_t type : {1, 4, 7})
            EXPECT_EQ(Reply(kUnitA, TlpLink(seq, type, 0, 9, {0, 0, 0, 0})),
                      (Bytes{0x20, 0, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)}))
                << seq;
    // Duplicates are acknowledged again and recorded as they came.
    Send(kUnitA, TlpLink(5, 1, 0, 1, {0, 0, 0, 0}));
    Send(kUnitA, TlpLink(5, 1, 0, 1, {0, 0, 0, 0}));
    EXPECT_EQ(std::tuple(sent.size(), SimSeqHistoryText(Unit()), Unit().Stats.AcksTx),
              std::tuple(2u, "0,0,0,1023,1023,1023,341,341,341,682,682,682,5,5", 14u));
    // A TLP to the broadcast address is nobody's.
    EXPECT_EQ(Reply(kSimBroadcastMac, TlpLink(6, 1, 0, 1, {0, 0, 0, 0})), Bytes{});
}

TEST_F(SimLinkTest, NakNextAnswersTheNextTlpsWithNakWithoutTakingThem) {
    ASSERT_EQ(Do("add ctu_dio 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    EXPECT_EQ(Do("nak-next 02:00:00:00:00:01 2"), "ok nak-next 2");
    const Bytes write = TlpLink(0x3FF, 0, 1, 1, {3, 10, 1, 0x1F}, {0x78, 0x56, 0x34, 0x12});
    EXPECT_EQ(Reply(kUnitA, write), (Bytes{0x20, 1, 0x03, 0xFF}));
    EXPECT_EQ((*SimUnitRegisters(Unit(), 1))[10], 0u) << "a NAKed write is not carried out";
    EXPECT_EQ(Reply(kUnitA, write), (Bytes{0x20, 1, 0x03, 0xFF}));
    EXPECT_EQ(Reply(kUnitA, write), (Bytes{0x20, 0, 0x03, 0xFF}));
    EXPECT_EQ((*SimUnitRegisters(Unit(), 1))[10], 0x12345678u);
    EXPECT_EQ(Do("nak-next all"), "ok nak-next 1");
    EXPECT_EQ(Reply(kUnitA, TlpLink(0, 1, 0, 1, {0, 0, 0, 0})), (Bytes{0x20, 1, 0, 0}));
    EXPECT_EQ(Reply(kUnitA, TlpLink(0, 1, 0, 1, {0, 0, 0, 0})), (Bytes{0x20, 0, 0, 0}));
    const std::string show = Do("show 02:00:00:00:00:01");
    EXPECT_NE(show.find(" acks=2 naks=3 "), std::string::npos) << show;
    EXPECT_NE(show.find(" tlp-seqs=1023n,1023n,1023,0n,0"), std::string::npos) << show;
    EXPECT_EQ(Do("nak-next 02:00:00:00:00:01 1025"), "error count must be 0..1024");
    EXPECT_EQ(Do("clear-seqs all"), "ok clear-seqs 1");
    EXPECT_NE(Do("show 02:00:00:00:00:01").find(" tlp-seqs=-"), std::string::npos);
}

// Each answer fault spoils exactly the next COUNT read answers, the field it names and no other.
TEST_F(SimLinkTest, AnswerFaultsSpoilTheNextReadAnswersOnly) {
    ASSERT_EQ(Do("add ctu_uart2 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    // TransactionID 5, Offset 2, LengthInDW 1 on channel 1; answer bytes 3..6 carry them.
    const Bytes read = TlpLink(0x20, 0, 0, 1, {5, 2, 1, 0x1F});
    auto answerHead = [&]() {
        auto out = Links(read);
        return out.size() == 2 ? Bytes(out[1].begin() + 3, out[1].begin() + 7) : Bytes{};
    };
    const Bytes plain{1, 5, 2, 1};
    const struct {
        const char* Command;
        Bytes First;
    } cases[] = {
        {"tid", {1, 6, 2, 1}},
        {"offset", {1, 5, 3, 1}},
        {"length", {1, 5, 2, 0}},
        {"drop", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Do(std::string("answer-fault all ") + c.Command), std::string("ok answer-fault ") + c.Command + " 1");
        EXPECT_EQ(answerHead(), c.First) << c.Command;
        EXPECT_EQ(answerHead(), plain) << c.Command << ": only one answer is spoilt";
    }
    // Late: nothing now, the plain answer once its time has come; then the next is on time.
    EXPECT_EQ(Do("answer-fault 02:00:00:00:00:01 late 700 1"), "ok answer-fault late 1");
    EXPECT_EQ(answerHead(), Bytes{});
    ctx.Timers.RunDue(now + 699);
    EXPECT_TRUE(sent.empty());
    ctx.Timers.RunDue(now + 700);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Bytes(sent[0].Frame.begin() + 17, sent[0].Frame.begin() + 21), plain);
    EXPECT_EQ(answerHead(), plain);
    EXPECT_EQ(Do("answer-fault all late"), "error late needs MS 0..60000");
    EXPECT_EQ(Do("answer-fault all sideways"),
              "error usage: answer-fault MAC|all tid|offset|length|drop [COUNT] | late MS [COUNT] | off");
}

TEST_F(SimLinkTest, RegisterReadsAndWritesStayInsideTheFile) {
    const std::string path = Profile("regs",
                                     "model R\nmode dock\nversion 1 0\ndib 0 ctu 0\ndib 7 uart 1 "
                                     "le16:128 le16:128\nreg 7 2 0x11223344 0xAABBCCDD\n"
                                     "reg 7 255 0xFEEDF00D\n");
    ASSERT_EQ(Do("add " + path + " 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    const auto& regs = *SimUnitRegisters(Unit(), 7);
    // Read 3 words from register 1: an ACK, then a CMD TLP to the host with the unit's
    // sequence number (0x155), the request's channel, TransactionID, Offset, LengthInDW, AOLBE.
    auto out = Links(TlpLink(0x10, 0, 0, 7, {0x15, 1, 3, 0x1F}));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Head(out[0], 4), (Bytes{0x20, 0, 0x00, 0x10}));
    EXPECT_EQ(Head(out[1], 20), (Bytes{0x10, 0x55, 0x40, 7,    0x15, 1,    3,    0x1F, 0,    0,
                                       0,    0,    0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA}));
    // Write 2 words at register 4 (only acknowledged), read them back; the numbers go on.
    EXPECT_EQ(Links(TlpLink(0x11, 0, 1, 7, {2, 4, 2, 0x1F}, {1, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE})).size(),
              1u);
    out = Links(TlpLink(0x12, 0, 0, 7, {3, 4, 2, 0x1F}));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(Head(out[1], 16),
              (Bytes{0x10, 0x55, 0x80, 7, 3, 4, 2, 0x1F, 1, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE}));
    // Past the end: a write of 4 words at 254 changes 254 and 255 only, a read of 10 words
    // from 250 brings the 6 that exist (8 + 24 bytes, padded to the 60-byte frame minimum).
    Links(TlpLink(0x13, 0, 1, 7, {0, 254, 4, 0x1F}, Bytes(16, 0x77)));
    out = Links(TlpLink(0x14, 0, 0, 7, {1, 250, 10, 0x1F}));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1],
              (Bytes{0x10, 0x55, 0xC0, 7, 1, 250, 6, 0x1F} + Bytes(16, 0) + Bytes(8, 0x77) + Bytes(14, 0)));
    EXPECT_EQ(regs[253], 0u);
    // A write whose words the frame does not hold writes nothing (sent unpadded); a channel
    // without a DIB is acknowledged only.
    EXPECT_EQ(Links(TlpLink(0x15, 0, 1, 7, {0, 0, 2, 0x1F}, {9, 9, 9, 9, 9}), false).size(), 1u);
    EXPECT_EQ(std::make_pair(regs[0], regs[1]), std::make_pair(0u, 0u));
    EXPECT_EQ(Links(TlpLink(0x16, 0, 0, 8, {0, 0, 1, 0x1F})).size(), 1u);

    // The control command reads and sets words.
    EXPECT_EQ(Do("reg 02:00:00:00:00:01 7 3"), "ok reg 7 3 0xaabbccdd");
    EXPECT_EQ(Do("reg 02:00:00:00:00:01 7 100 5 6"), "ok reg 7 100 0x00000005");
    EXPECT_EQ(regs[101], 6u);
    EXPECT_EQ(Do("reg 02:00:00:00:00:01 7 255 1 2"), "error registers past 255 do not exist");
    EXPECT_EQ(Do("reg 02:00:00:00:00:01 8 0"), "error unit has no channel 8");
    EXPECT_EQ(Do("reg 02:00:00:00:00:01 7 256"), "error offset must be 0..255");

    // The unit's numbers wrap from 1023 to 0; the host's ACKs clear them one by one.
    EXPECT_EQ(Do("device-seq 02:00:00:00:00:01 1023"), "ok device-seq 1023");
    EXPECT_EQ(Head(Links(TlpLink(0x17, 0, 0, 7, {0, 0, 1, 0})).at(1), 3), (Bytes{0x10, 0xFF, 0xC0}));
    EXPECT_EQ(Head(Links(TlpLink(0x18, 0, 0, 7, {0, 0, 1, 0})).at(1), 3), (Bytes{0x10, 0x00, 0x00}));
    EXPECT_EQ(std::tuple(Unit().TxSeq, SimUnackedText(Unit())), std::tuple(1, "341,342,343,1023,0"));
    Send(kUnitA, {0x20, 0, 0x01, 0x56});
    Send(kUnitA, {0x20, 0, 0x03, 0xFF});
    Send(kUnitA, {0x20, 0, 0x00, 0x09});  // never sent: changes nothing
    EXPECT_EQ(std::tuple(SimUnackedText(Unit()), Unit().Stats.AcksRx), std::tuple("341,343,0", 3u));
}

TEST_F(SimLinkTest, EventAndDataTlpsGoToTheConnectedHostByteForByte) {
    ASSERT_EQ(Do("add dock_basic 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    EXPECT_EQ(Do("event 02:00:00:00:00:01 1 1 5 0 0"), "error 02:00:00:00:00:01 has no connected host");
    Send(kUnitA, Dock(0), kOtherHost);
    sent.clear();
    EXPECT_EQ(Do("event 02:00:00:00:00:01 1 0x01 5 0 0xFF"), "ok event seq 341");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(DstOf(sent[0].Frame), kOtherHost);
    EXPECT_EQ(Head(OneLink(), 8), (Bytes{0x10, 0x55, 0x40 | (4 << 1), 1, 0x01, 5, 0, 0xFF}));
    EXPECT_EQ(Do("event 02:00:00:00:00:01 0 2 1 0 0 a1B2 c3"), "ok event seq 342");
    Bytes l = OneLink();
    EXPECT_EQ(Head(l, 11), (Bytes{0x10, 0x55, 0x80 | (4 << 1), 0, 2, 1, 0, 0, 0xA1, 0xB2, 0xC3}));

    // DATA: Flag in bits 7..3 of byte 4, LengthInByte in its bits 2..0 and byte 5.
    EXPECT_EQ(Do("data 02:00:00:00:00:01 1 3 " + std::string(3000, 'e')), "ok data seq 343");
    l = OneLink();
    ASSERT_EQ(l.size(), 8u + 1500);
    EXPECT_EQ(Head(l, 8), (Bytes{0x10, 0x55, 0xC0 | (1 << 1), 1, (3 << 3) | 0x05, 0xDC, 0, 0}));
    EXPECT_EQ(l.back(), 0xEE);
    EXPECT_EQ(Do("data 02:00:00:00:00:01 2 31 48690a"), "ok data seq 344");
    EXPECT_EQ(Head(OneLink(), 11), (Bytes{0x10, 0x56, 0x00 | (1 << 1), 2, 0xF8, 3, 0, 0, 'H', 'i', '\n'}));
    EXPECT_EQ(Do("data 02:00:00:00:00:01 2 0"), "ok data seq 345");
    EXPECT_EQ(Head(OneLink(), 8), (Bytes{0x10, 0x56, 0x40 | (1 << 1), 2, 0, 0, 0, 0}));

    EXPECT_EQ(Do("data 02:00:00:00:00:01 2 32 00"), "error flag must be 0..31");
    EXPECT_EQ(Do("data 02:00:00:00:00:01 2 0 0g"), "error '0g' is not hex data");
    EXPECT_EQ(Do("data 02:00:00:00:00:01 2 0 " + std::string(4096, '0')), "error at most 2047 data bytes");
    EXPECT_EQ(Do("event 02:00:00:00:00:01 1 256 0 0 0"), "error event bytes must be 0..255");
    EXPECT_EQ(Do("silent all"), "ok silent 1");
    EXPECT_EQ(Do("event 02:00:00:00:00:01 1 0 0 0 0"), "error 02:00:00:00:00:01 is silent");
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(Unit().TxSeq, 0x15A) << "refused requests use no number";
}

// Which of Count keep-alives got an answer, with the unit's loss setting as it is.
std::string AnswerPattern(std::vector<Sent>& sent, int count, const std::function<void()>& send) {
    std::string p;
    for (int i = 0; i < count; ++i) {
        sent.clear();
        send();
        p += sent.empty() ? '.' : 'x';
    }
    return p;
}

TEST_F(SimLinkTest, SeededLossRepeatsItself) {
    ASSERT_EQ(Do("add ctu_dio 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
    auto keepAlive = [this] { Send(kUnitA, {0x20, 8, 0, 0}); };
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 30 20 12345"), "ok loss 30 20 12345");
    const std::string first = AnswerPattern(sent, 400, keepAlive);
    const auto rxLost = Unit().Stats.RxLost, txLost = Unit().Stats.TxLost;
    // Both directions lose frames, about as often as asked: 30 % in, 20 % of the rest out.
    EXPECT_TRUE(rxLost > 80 && rxLost < 160 && txLost > 30 && txLost < 90)
        << rxLost << " in, " << txLost << " out";
    EXPECT_EQ(std::count(first.begin(), first.end(), '.'), static_cast<long>(rxLost + txLost));
    // The same seed gives the same pattern; another seed another one.
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 30 20 12345"), "ok loss 30 20 12345");
    EXPECT_EQ(AnswerPattern(sent, 400, keepAlive), first);
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 30 20 54321"), "ok loss 30 20 54321");
    EXPECT_NE(AnswerPattern(sent, 400, keepAlive), first);
    // Frames lost on the way in are not taken: no TLP number is recorded for them.
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 100 0 1"), "ok loss 100 0 1");
    sent.clear();
    Send(kUnitA, TlpLink(1, 1, 0, 1, {0, 0, 0, 0}));
    EXPECT_EQ(std::tuple(sent.size(), SimSeqHistoryText(Unit())), std::tuple(0u, "-"));
    // Lost on the way out: the TLP still used its number.
    EXPECT_EQ(Do("loss 02:00:00:00:00:01 0 100 1"), "ok loss 0 100 1");
    Send(kUnitA, TlpLink(1, 0, 0, 1, {0, 0, 1, 0}));
    EXPECT_EQ(std::tuple(sent.size(), Unit().TxSeq), std::tuple(0u, 0x156));
    EXPECT_EQ(Do("loss all off"), "ok loss 0 0 0");
    EXPECT_EQ(AnswerPattern(sent, 20, keepAlive), std::string(20, 'x'));
    EXPECT_EQ(Do("loss all 101 0 1"), "error loss percentages must be 0..100");
}

}  // namespace
