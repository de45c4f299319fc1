// The TLP stream: numbering, retransmission on NAK, ACKs, and the receive path.
#include <cstring>
#include <mutex>
#include <thread>

#include "../unit/test_support_log.h"
#include "link_harness.h"
#include "vn_connect.h"
#include "vn_tlp_stream.h"

namespace {

// A CMD write of one register word, as a channel module hands it to the stream.
Bytes CmdWrite(uint8_t chl, uint8_t offset, int value) {
    Bytes b = {chl, TLP_TYPE_CMD, 1, 0, offset, 1, 0x1F, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0};
    b[16] = static_cast<uint8_t>(value);
    return b;
}
const auto SeqOf = [](const Frame& f) { return static_cast<uint16_t>((f.link[1] << 2) | (f.link[2] >> 6)); };
template <class F>
auto Each(const std::vector<Frame>& frames, F field) {
    std::vector<decltype(field(frames[0]))> out;
    for (const Frame& f : frames) out.push_back(field(f));
    return out;
}
const auto LinkOf = [](const Frame& f) { return f.link; };
const auto IsAck = [](const Frame& f) { return IsDllp(f, 0); };
const auto Logged = [](const LogCapture& cap, const char* text) {
    return WaitUntil([&] { return cap.Text().find(text) != std::string::npos; }, 1000);
};

// What the receive path hands to the UART family: 'R' response, 'D' data, 'E' event. A
// thread that sets tEntry also gets the stack depth from there to the handler.
std::mutex gMutex;
std::vector<std::pair<char, Bytes>> gGot;
thread_local char* tEntry = nullptr;
std::atomic<long> gDepth{0};
void Record(char kind, const _TLP_HEADER* t, size_t len) {
    if (tEntry) gDepth = tEntry - static_cast<char*>(__builtin_frame_address(0));
    std::lock_guard<std::mutex> lock(gMutex);
    gGot.emplace_back(kind,
                      Bytes(reinterpret_cast<const uint8_t*>(t), reinterpret_cast<const uint8_t*>(t) + len));
}
const _VN_TLP_CONSUMER kRecordingUart = {
    [](PVN_DEVICE, uint8_t chl) -> void* { return chl == 1 ? &gGot : nullptr; },
    [](void*, const _TLP_HEADER* t, size_t len) { Record('R', t, len); },
    [](void*, const _TLP_HEADER* t, size_t len) { Record('D', t, len); },
    [](void*, const _TLP_HEADER* t, size_t len) { Record('E', t, len); },
};

class Stream : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        gGot.clear();
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
                std::lock_guard<std::mutex> lock(gMutex);
                return (out = gGot).size() >= count;
            },
            1000);
        return out;
    }
};

}  // namespace

TEST_F(Stream, NumbersWrapAfter1023AndANakResendsOnlyTheNamedTlp) {
    const auto send = [&](uint16_t first, uint8_t offset, int n) {
        vn->HostSeqNumber = first;
        for (int i = 0; i < n; ++i) ASSERT_EQ(VnTlpStreamOut(vn.get(), CmdWrite(1, offset, i).data(), 20), 1);
    };
    send(1022, 4, 3);
    EXPECT_EQ(Each(unit->Frames(IsTlp, 3, 1000), SeqOf), (std::vector<uint16_t>{1022, 1023, 0}));
    // Every TLP was acknowledged: nothing is kept.
    EXPECT_TRUE(WaitUntil([&] { return VnTlpQueueAmount(vn.get()) == 0; }, 1000));

    unit->ackTlps = false;
    unit->ClearFrames();
    send(7, 4, 3);
    auto sent = unit->Frames(IsTlp, 3, 1000);
    ASSERT_EQ(Each(sent, SeqOf), (std::vector<uint16_t>{7, 8, 9}));
    unit->ClearFrames();
    unit->Send({0x20, 1, 0, 7});
    EXPECT_EQ(unit->Frames(IsTlp, 1, 1000).at(0).link, sent[0].link);  // the same bytes, the same number
    ASSERT_EQ(VnTlpStreamOut(vn.get(), CmdWrite(1, 5, 0).data(), 20), 1);
    const auto second8 = unit->Frames(IsTlp, 2, 1000).at(1);
    EXPECT_EQ(SeqOf(second8), 8);
    // The new 8 replaces the first one: the unit can no longer tell them apart, so an ACK or
    // NAK for 8 now means the new TLP (a NAK must never resend the first write again).
    EXPECT_EQ(VnTlpQueueAmount(vn.get()), 3u);

    // An ACK is not cumulative and one for an unknown number changes nothing.
    unit->Send({0x20, 0, 0, 100});
    unit->Send({0x20, 0, 0, 9});
    EXPECT_TRUE(WaitUntil([&] { return VnTlpQueueAmount(vn.get()) == 2u; }, 1000));
    _TLP_RETRANSMIT_PACKET kept;
    EXPECT_EQ(VnTlpQueueGetPacketInRetransmissionList(vn.get(), 9, &kept), 0);
    unit->ClearFrames();
    unit->Send({0x20, 1, 0, 8});
    EXPECT_EQ(unit->Frames(IsTlp, 1, 1000).at(0).link, second8.link);
    // A NAK for a number nobody keeps is reported and resends nothing.
    LogCapture cap;
    unit->ClearFrames();
    unit->Send({0x20, 1, 0, 200});
    EXPECT_TRUE(Logged(cap, "retransmission fail"));
    EXPECT_TRUE(unit->Frames(IsTlp).empty());
}

// The dispatch keeps its buffers off the receive thread's stack (16 KiB in the service),
// leaving it to the handlers.
TEST_F(Stream, ReceivedTlpsAreDispatchedWithTheirBuffersOffTheStack) {
    Bytes frame = {0, 0, 0, 0, 0, 0};  // to lo's all-zero address, from the unit
    frame.insert(frame.end(), mac().begin(), mac().end());
    frame.insert(frame.end(), {0xD4, 0x1F});
    frame.insert(frame.end(), kUartAnswer.begin(), kUartAnswer.end());
    std::thread([&] {
        tEntry = static_cast<char*>(__builtin_frame_address(0));
        NicRxHandleFrame(nic.get(), frame.data(), frame.size());
    }).join();
    EXPECT_GT(gDepth.load(), 0);
    // AddressSanitizer's red zones and unoptimised frames take more; a 2 KiB buffer still shows.
#if defined(__SANITIZE_ADDRESS__)
    constexpr long kMaxDepth = 3072;
#else
    constexpr long kMaxDepth = 1024;
#endif
    EXPECT_LT(gDepth.load(), kMaxDepth) << "bytes of stack between the dispatch and the handler";
}

// Every TLP is acknowledged, duplicates too; UART answers follow the controller version;
// announced lengths are cut to the frame.
TEST_F(Stream, UartAnswersAreAcknowledgedFollowTheVersionAndStayInsideTheFrame) {
    unit->Send(kUartAnswer);
    unit->Send(kUartAnswer);
    const Bytes ack = {0x20, 0, 0x00, 0x15};
    EXPECT_EQ(Each(unit->Frames(IsAck, 2, 1000), LinkOf), (std::vector<Bytes>{ack, ack}));
    EXPECT_EQ(vn->DeviceSeqNumberRx, 0x15);
    // Version 5: register 3 answers are delivered; DATA goes to the data handler.
    unit->Send({0x10, 0x00, 0x00, 1, 0x00, 0x03, 0x00, 0x1F});
    unit->Send({0x10, 0x00, 0x42, 1, 0x00, 0x02, 0, 0, 'h', 'i'});
    // Versions up to 3: the register 3 echo is dropped and DATA has no consumer.
    ASSERT_EQ(Got(4).size(), 4u);
    vn->DibArray[1].Uart.Version = 3;
    unit->Send({0x10, 0x00, 0x80, 1, 0x00, 0x03, 0x00, 0x1F});
    unit->Send({0x10, 0x00, 0xC2, 1, 0x00, 0x02, 0, 0, 'h', 'i'});
    unit->Send({0x10, 0x01, 0x00, 1, 0x00, 0x04, 0x00, 0x1F});  // marker: register 4 is delivered
    // UART event announcing (4<<6 | 0xFF) * 4 = 2044 bytes but carrying 8.
    unit->Send({0x10, 0x01, 0x48, 1, 0x01, 0x04, 0xFF, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
    auto got = Got(6);
    ASSERT_EQ(got.size(), 6u);
    std::string kinds;
    for (const auto& g : got) kinds += g.first;
    EXPECT_EQ(kinds, "RRRDRE");
    EXPECT_EQ(got[1], got[0]);
    EXPECT_EQ(
        std::tuple(got[0].second.size(), got[0].second[16], got[3].second.size(),
                   reinterpret_cast<const _TLP_HEADER*>(got[4].second.data())->Offset, got[5].second.size()),
        std::tuple(20u, 0x78, 18u, 4, 16u + 8u));
    // A channel number beyond the table and an unknown one are logged, not dispatched.
    LogCapture cap;
    unit->Send({0x10, 0x00, 0x08, 200, 0, 0, 0, 0});
    unit->Send({0x10, 0x00, 0x00, 42, 0, 0, 1, 0x1F, 1, 2, 3, 4});
    EXPECT_TRUE(Logged(cap, "EVENT, UNKNOW channel type, unknow data length")) << cap.Text();
    EXPECT_TRUE(Logged(cap, "STREAM IN , CTU, response for SIO, can't get obj")) << cap.Text();
    // A truncated TLP is refused without being acknowledged (the ten above were).
    ASSERT_EQ(unit->Frames(IsAck, 10, 1000).size(), 10u);
    unit->ClearFrames();
    unit->Send({0x10, 0x00, 0x00});
    EXPECT_TRUE(Logged(cap, "STREAM IN , invalid buff pointer or length"));
    EXPECT_TRUE(unit->Frames(IsAck).empty());
}
