// The TLP stream: numbering, retransmission on NAK, ACKs, and the receive path.
#include <cstring>
#include <mutex>

#include "../unit/test_support_log.h"
#include "link_harness.h"
#include "vn_connect.h"
#include "vn_tlp_stream.h"

namespace {

Bytes CmdWrite(uint8_t chl, uint8_t offset, uint32_t value) {
    Bytes b(16 + 4, 0);
    _TLP_HEADER* h = reinterpret_cast<_TLP_HEADER*>(b.data());
    h->ChlNumber = chl;
    h->Type = TLP_TYPE_CMD;
    h->RW = 1;
    h->Offset = offset;
    h->LengthInDW = 1;
    h->AOLBE = 0x1F;
    TlpSetExtraDataLength(h, 4);
    for (int i = 0; i < 4; ++i) b[16 + i] = static_cast<uint8_t>(value >> (8 * i));
    return b;
}

uint16_t SeqOf(const Frame& f) {
    return static_cast<uint16_t>((f.link[1] << 2) | (f.link[2] >> 6));
}

std::vector<uint16_t> Seqs(const std::vector<Frame>& frames) {
    std::vector<uint16_t> out;
    for (const Frame& f : frames) out.push_back(SeqOf(f));
    return out;
}

// Records what the receive path hands to the UART family.
struct Recorder {
    std::mutex m;
    std::vector<std::pair<char, Bytes>> got;  // 'R' response, 'D' data, 'E' event
    static Recorder* current;
};
Recorder* Recorder::current = nullptr;

void Record(char kind, const _TLP_HEADER* t, size_t len) {
    std::lock_guard<std::mutex> lock(Recorder::current->m);
    const uint8_t* p = reinterpret_cast<const uint8_t*>(t);
    Recorder::current->got.emplace_back(kind, Bytes(p, p + len));
}
const _VN_TLP_CONSUMER kRecordingUart = {
    [](PVN_DEVICE, uint8_t chl) -> void* { return chl == 1 ? Recorder::current : nullptr; },
    [](void*, const _TLP_HEADER* t, size_t len) { Record('R', t, len); },
    [](void*, const _TLP_HEADER* t, size_t len) { Record('D', t, len); },
    [](void*, const _TLP_HEADER* t, size_t len) { Record('E', t, len); },
};

class Stream : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        Recorder::current = &recorder;
        VnTlpConsumers[1] = &kRecordingUart;
    }
    void TearDown() override {
        VnTlpConsumers[1] = nullptr;
        LinkFixture::TearDown();
    }
    std::vector<std::pair<char, Bytes>> Got(size_t count) {
        std::vector<std::pair<char, Bytes>> out;
        WaitUntil(
            [&] {
                std::lock_guard<std::mutex> lock(recorder.m);
                out = recorder.got;
                return out.size() >= count;
            },
            1000);
        return out;
    }
    Recorder recorder;
};

}  // namespace

TEST_F(Stream, SequenceNumbersWrapAfter1023) {
    vn->HostSeqNumber = 1022;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(VnTlpStreamOut(vn.get(), CmdWrite(1, 4, i).data(), 20), 1);
    auto frames = unit->WaitFrames(IsTlp, 3, 1000);
    EXPECT_EQ(Seqs(frames), (std::vector<uint16_t>{1022, 1023, 0}));
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2].link, (Bytes{0x10, 0x00, 0x01, 1, 0, 4, 1, 0x1F, 2, 0, 0, 0}));
    // Every TLP was acknowledged: nothing is kept.
    EXPECT_TRUE(WaitUntil([&] { return VnTlpQueueAmount(vn.get()) == 0; }, 1000));
}

TEST_F(Stream, NakResendsOnlyTheNamedTlpAndNumberingContinuesBehindIt) {
    unit->ackTlps = false;
    vn->HostSeqNumber = 7;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(VnTlpStreamOut(vn.get(), CmdWrite(1, 4, 0x100 + i).data(), 20), 1);
    auto sent = unit->WaitFrames(IsTlp, 3, 1000);
    ASSERT_EQ(Seqs(sent), (std::vector<uint16_t>{7, 8, 9}));
    EXPECT_EQ(VnTlpQueueAmount(vn.get()), 3u);
    unit->ClearFrames();
    unit->Send({0x20, 1, 0, 7});
    auto resent = unit->WaitFrames(IsTlp, 1, 1000);
    ASSERT_EQ(resent.size(), 1u);
    EXPECT_EQ(resent[0].link, sent[0].link);  // the same bytes, the same number
    ASSERT_EQ(VnTlpStreamOut(vn.get(), CmdWrite(1, 5, 0).data(), 20), 1);
    auto next = unit->WaitFrames(IsTlp, 2, 1000);
    ASSERT_EQ(next.size(), 2u);
    EXPECT_EQ(SeqOf(next[1]), 8);
    EXPECT_EQ(VnTlpQueueAmount(vn.get()), 4u);  // 7, 8, 9 and the new 8 stay until acknowledged

    // An ACK is not cumulative and one for an unknown number changes nothing.
    unit->Send({0x20, 0, 0, 100});
    unit->Send({0x20, 0, 0, 9});
    EXPECT_TRUE(WaitUntil([&] { return VnTlpQueueAmount(vn.get()) == 3u; }, 1000));
    _TLP_RETRANSMIT_PACKET kept;
    EXPECT_EQ(VnTlpQueueGetPacketInRetransmissionList(vn.get(), 9, &kept), 0);
    ASSERT_EQ(VnTlpQueueGetPacketInRetransmissionList(vn.get(), 8, &kept), 1);
    EXPECT_EQ(kept.Data[16], 0x01);  // the oldest record with number 8: the first write
    // A NAK for a number nobody keeps is reported and resends nothing.
    LogCapture cap;
    unit->ClearFrames();
    unit->Send({0x20, 1, 0, 200});
    EXPECT_TRUE(WaitUntil([&] { return cap.Text().find("retransmission fail") != std::string::npos; }, 1000));
    EXPECT_TRUE(unit->Frames(IsTlp).empty());
}

TEST_F(Stream, ReceivedTlpsAreAcknowledgedFirstAndDuplicatesDispatchedAgain) {
    const Bytes answer = {0x10, 0x05, 0x40, 1, 0x00, 0x04, 0x01, 0x1F, 0x78, 0x56, 0x34, 0x12};  // seq 0x15
    unit->Send(answer);
    unit->Send(answer);
    auto acks = unit->WaitFrames([](const Frame& f) { return IsDllp(f, 0); }, 2, 1000);
    ASSERT_EQ(acks.size(), 2u);
    EXPECT_EQ(acks[0].link, (Bytes{0x20, 0, 0x00, 0x15}));
    EXPECT_EQ(acks[1].link, acks[0].link);
    auto got = Got(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, 'R');
    ASSERT_EQ(got[0].second.size(), 20u);
    const _TLP_HEADER* h = reinterpret_cast<const _TLP_HEADER*>(got[0].second.data());
    EXPECT_EQ(h->Offset, 4);
    EXPECT_EQ(TlpGetExtraDataLength(h), 4);
    EXPECT_EQ(got[0].second[16], 0x78);
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(vn->DeviceSeqNumberRx, 0x15);
}

TEST_F(Stream, UartAnswersFollowTheControllerVersion) {
    // Version 5: register 3 answers are delivered; DATA goes to the data handler.
    unit->Send({0x10, 0x00, 0x00, 1, 0x00, 0x03, 0x00, 0x1F});
    unit->Send({0x10, 0x00, 0x42, 1, 0x00, 0x02, 0, 0, 'h', 'i'});
    auto got = Got(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].first, 'R');
    EXPECT_EQ(got[1].first, 'D');
    EXPECT_EQ(got[1].second.size(), 18u);
    // Versions up to 3: the register 3 echo is dropped and DATA has no consumer.
    vn->DibArray[1].Uart.Version = 3;
    unit->Send({0x10, 0x00, 0x80, 1, 0x00, 0x03, 0x00, 0x1F});
    unit->Send({0x10, 0x00, 0xC2, 1, 0x00, 0x02, 0, 0, 'h', 'i'});
    unit->Send({0x10, 0x01, 0x00, 1, 0x00, 0x04, 0x00, 0x1F});  // marker: register 4 is delivered
    got = Got(3);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[2].first, 'R');
    EXPECT_EQ(reinterpret_cast<const _TLP_HEADER*>(got[2].second.data())->Offset, 4);
}

TEST_F(Stream, EventLengthsAndHostileLengthsStayInsideTheFrame) {
    LogCapture cap;
    // UART event announcing (4<<6 | 0xFF) * 4 = 2044 bytes but carrying 8.
    unit->Send({0x10, 0x00, 0x08, 1, 0x01, 0x04, 0xFF, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
    auto got = Got(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, 'E');
    EXPECT_EQ(got[0].second.size(), 16u + 8u);
    // A channel number beyond the table and an unknown one are logged, not dispatched.
    unit->Send({0x10, 0x00, 0x08, 200, 0, 0, 0, 0});
    unit->Send({0x10, 0x00, 0x00, 42, 0, 0, 1, 0x1F, 1, 2, 3, 4});
    EXPECT_TRUE(WaitUntil(
        [&] {
            const std::string t = cap.Text();
            return t.find("EVENT, UNKNOW channel type, unknow data length") != std::string::npos &&
                   t.find("STREAM IN , CTU, response for SIO, can't get obj") != std::string::npos;
        },
        1000))
        << cap.Text();
    // A truncated TLP is refused without being acknowledged (the two TLPs above were).
    ASSERT_EQ(unit->WaitFrames([](const Frame& f) { return IsDllp(f, 0); }, 3, 1000).size(), 3u);
    unit->ClearFrames();
    unit->Send({0x10, 0x00, 0x00});
    EXPECT_TRUE(WaitUntil(
        [&] { return cap.Text().find("STREAM IN , invalid buff pointer or length") != std::string::npos; },
        1000));
    EXPECT_TRUE(unit->Frames([](const Frame& f) { return IsDllp(f, 0); }).empty());
}
