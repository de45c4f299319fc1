// Line events, received and transmitted data through the TTY bridge, answers that are not the
// request's, concurrent sets of one register, and the service without the driver.
#include <atomic>

#include "tty_fixture.h"

namespace qortest {
namespace {

using namespace nlk;

class TtyTraffic : public TtyTest {
  protected:
    std::string Unit() const { return MacString(kUartUnit); }
    void SimOk(const std::string& line) { ASSERT_TRUE(sim_->Ok(line)) << line << ": " << sim_->LastAnswer(); }

    // The next unsolicited message must be exactly this one.
    ::testing::AssertionResult Next(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload) {
        auto m = drv_.Wait([](const Message&) { return true; }, 2s);
        if (!m) return ::testing::AssertionFailure() << "nothing arrived, wanted code " << code;
        Message want;
        want.Minor = minor;
        want.Code = code;
        want.Length = static_cast<uint32_t>(payload.size());
        want.Payload = payload;
        if (Encode(*m) != Encode(want))
            return ::testing::AssertionFailure() << "got  " << nlk::Describe(*m) << "\nwant " << nlk::Describe(want);
        return ::testing::AssertionSuccess();
    }
};

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

// qorlab --veths 1
TEST_F(TtyTraffic, EventsAndReceivedDataReachTheDriverByVersion) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    // The driver's first message tells the service where the driver listens.
    EXPECT_TRUE(IsReply(drv_.Request(Minor(kChlV2), kOpen), Minor(kChlV2), kOpen, 0,
                        {2, 0x60, 0, 3, 0x3F, 0, 0, 0, 0x78, 0, 0, 0, 0, 0, 0, 0xC3, 0xA5}));
    drv_.Take();

    Step("E0 = 0x50: MSR and data on version 2, MSR and line status on version 4");
    SimOk("event " + Unit() + " 3 0x50 0 1 0 41424344");
    EXPECT_TRUE(Next(Minor(kChlV2), kEventMsr, {0x00}));
    EXPECT_TRUE(Next(Minor(kChlV2), kEventData, {0x41, 0x42, 0x43, 0x44}));
    SimOk("event " + Unit() + " 4 0x50 0 0 0");
    EXPECT_TRUE(Next(Minor(kChlV4), kEventMsr, {0x00}));
    EXPECT_TRUE(Next(Minor(kChlV4), kEventLsr, {0x08, 0x00, 0x00}));

    Step("modem and line status as each generation encodes them");
    SimOk("uart-msr " + Unit() + " 1 0xB3");
    EXPECT_TRUE(Next(Minor(kChlV0), kEventMsr, {0x03}));
    SimOk("uart-lsr " + Unit() + " 1 0x0F 0");
    EXPECT_TRUE(Next(Minor(kChlV0), kEventLsr, {0x0F, 0x00, 0x00}));
    SimOk("uart-lsr " + Unit() + " 2 0x0A 0x1FF");
    EXPECT_TRUE(Next(Minor(kChlV1), kEventLsr, {0x0A, 0x01, 0xFF}));
    SimOk("uart-lsr " + Unit() + " 5 0x0D 0xABC");
    EXPECT_TRUE(Next(Minor(kChlV5), kEventLsr, {0x0D, 0x0A, 0xBC}));
    // All three parts of one event, in the order MSR, line status, data.
    SimOk("event " + Unit() + " 2 0xF2 0x09 1 0x21 a1a2a3a4");
    EXPECT_TRUE(Next(Minor(kChlV1), kEventMsr, {0x02}));
    EXPECT_TRUE(Next(Minor(kChlV1), kEventLsr, {0x07, 0x01, 0x21}));
    EXPECT_TRUE(Next(Minor(kChlV1), kEventData, {0xA1, 0xA2, 0xA3, 0xA4}));

    Step("received data: whole words in events, a flag byte in front on versions 4 and 5");
    SimOk("uart-rx " + Unit() + " 1 0 0102030405");
    EXPECT_TRUE(Next(Minor(kChlV0), kEventData, {1, 2, 3, 4, 5, 0, 0, 0}));
    SimOk("uart-rx " + Unit() + " 5 3 count:2043");
    std::vector<uint8_t> forwarded{0x03};
    const auto block = Counting(2043);
    forwarded.insert(forwarded.end(), block.begin(), block.end());
    EXPECT_TRUE(Next(Minor(kChlV5), kDataToKernel, forwarded));
    SimOk("uart-rx " + Unit() + " 4 0 count:2044");
    EXPECT_TRUE(WaitForFileContains(
        kLogPath, "TTY (M:" + std::to_string(Minor(kChlV4)) + "), RX DATA, Flag:x00, DataLength:2044, too BIG !!!\n",
        2s));
    EXPECT_TRUE(drv_.Silent(200ms));
    EXPECT_EQ(drv_.Undecodable(), 0u);
}

// qorlab --veths 1
TEST_F(TtyTraffic, TransmitDataGoesToTheUnitWholeOrNotAtAll) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    SentTlps();
    struct Case {
        uint8_t Chl;
        size_t Bytes;
        Tlp Head;  // the TLP without its data
    };
    const Case cases[] = {
        {kChlV2, 5, {0, 1, kChlV2, 0x10, 3, 2, 0x01, {}}},   // window write, one byte of the last word
        {kChlV0, 8, {0, 1, kChlV0, 0x10, 3, 2, 0x0F, {}}},   // two whole words
        {kChlV1, 1020, {0, 1, kChlV1, 0x10, 3, 255, 0x0F, {}}},
        {kChlV4, 1484, {1, 1, kChlV4, 0x05, 0xCC, 0, 0, {}}},  // data TLP, LengthInByte 1484
        {kChlV5, 7, {1, 1, kChlV5, 0x00, 7, 0, 0, {}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Bytes) + " bytes on channel " + std::to_string(c.Chl));
        const auto bytes = Counting(c.Bytes);
        ASSERT_TRUE(drv_.Send(Encode(Minor(c.Chl), kDataToService, bytes)));
        auto sent = SentTlps(1);
        ASSERT_EQ(sent.size(), 1u) << Describe(sent);
        Tlp head = sent[0];
        head.Data.clear();
        EXPECT_EQ(head, c.Head) << Describe(sent);
        EXPECT_EQ(std::vector<uint8_t>(sent[0].Data.begin(), sent[0].Data.begin() + std::min(c.Bytes, sent[0].Data.size())),
                  bytes);
        EXPECT_EQ(KeptTx(c.Chl), Hex(bytes));
    }
    // Transmit data is never answered.
    EXPECT_TRUE(drv_.Silent(200ms));

    Step("refused: empty, longer than received, longer than one TLP");
    Message lying;
    lying.Minor = Minor(kChlV4);
    lying.Code = kDataToService;
    lying.Length = 100;
    lying.Payload = Counting(5);
    const std::string old = "TX DATA V0V1V2V3, invalid data length\n", fresh = "TX DATA V4V5, invalid data length\n";
    const std::tuple<uint8_t, std::vector<uint8_t>, std::string> refusals[] = {
        {kChlV2, Encode(Minor(kChlV2), kDataToService, {}), old},
        {kChlV2, Encode(Minor(kChlV2), kDataToService, Counting(1021)), old},
        {kChlV4, Encode(Minor(kChlV4), kDataToService, {}), fresh},
        {kChlV5, Encode(Minor(kChlV5), kDataToService, Counting(1485)), fresh},
        {kChlV4, Encode(lying), fresh},
    };
    for (const auto& [chl, message, ending] : refusals) {
        const std::string msg = "TTY (M:" + std::to_string(Minor(chl)) + "), " + ending;
        const size_t before = CountOccurrences(Log(), msg);
        ASSERT_TRUE(drv_.Send(message));
        EXPECT_TRUE(WaitForFileContains(kLogPath, msg, 2s, before + 1)) << msg;
        EXPECT_TRUE(SentTlps().empty());
        EXPECT_EQ(KeptTx(chl), "-");
    }
    EXPECT_TRUE(drv_.Silent(100ms));
}

// qorlab --veths 1
TEST_F(TtyTraffic, OnlyTheRequestsOwnAnswerCompletesIt) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    const uint8_t minor = Minor(kChlV4);
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
        EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 1));
        if (message != nullptr) {
            EXPECT_NE(Log().find("TTY (M:" + std::to_string(minor) + "), " + message), std::string::npos) << message;
        }
        // The next request gets its own answer.
        EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 0, {msr}));
    }

    Step("an answer that comes after its request gave up is not the next one's");
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, 0x11));
    SimOk("answer-fault " + Unit() + " late 700");
    EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 1));
    std::this_thread::sleep_for(400ms);  // the late answer arrives meanwhile
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, 0x22));
    EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 0, {0x22}));

    Step("the echo of a transmit-window write does not complete a waiting read");
    const uint8_t v2 = Minor(kChlV2);
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV2, 2, 0x33));
    SimOk("answer-fault " + Unit() + " late 250");
    ASSERT_TRUE(drv_.Send(Encode(v2, kGetMsr)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(drv_.Send(Encode(v2, kDataToService, {0xE1, 0xE2, 0xE3, 0xE4})));
    EXPECT_TRUE(IsReply(drv_.WaitCode(v2, kGetMsr | kResponseBit), v2, kGetMsr, 0, {0x33}));
    EXPECT_EQ(KeptTx(kChlV2), "e1e2e3e4");

    Step("two sets of different fields of one register at once both stay");
    const uint8_t v5 = Minor(kChlV5);
    EXPECT_TRUE(IsReply(drv_.Request(v5, kSetDllDlm, {0x0C, 0x00}), v5, kSetDllDlm, 0));
    for (uint8_t i = 1; i <= 40; ++i) {
        const uint8_t lcr = i, fifo = static_cast<uint8_t>(0x80 | i);
        ASSERT_TRUE(drv_.Send(Encode(v5, kSetLcr, {lcr})));
        ASSERT_TRUE(drv_.Send(Encode(v5, kSetFifoCtrl, {fifo})));
        EXPECT_TRUE(IsReply(drv_.WaitCode(v5, kSetLcr | kResponseBit), v5, kSetLcr, 0));
        EXPECT_TRUE(IsReply(drv_.WaitCode(v5, kSetFifoCtrl | kResponseBit), v5, kSetFifoCtrl, 0));
        SentTlps(2);
        const uint32_t want = (static_cast<uint32_t>(fifo) << 24) | (static_cast<uint32_t>(lcr) << 16) | 0x000C;
        ASSERT_EQ(UnitReg(kChlV5, 0), want) << "round " << int(i);
    }
}

// qorlab --veths 1
TEST_F(TtyTraffic, WithoutTheDriverTheServiceRunsAndReportsTheBridgeNotStarted) {
    // The bridge starts after the management server, so the byte is read until it settles.
    auto started = [this](uint8_t want) {
        auto info = RequestUntil(client_, mng::kGetServiceInfo, {}, [want](const mng::Packet& p) {
            return mng::IsServiceInfo(p.Payload) && p.Payload.back() == want;
        }, 3s);
        return info && mng::IsServiceInfo(info->Payload) ? info->Payload.back() : 0xFF;
    };
    // The shipped build: its netlink protocol does not exist on this kernel.
    daemonPath_ = QORSERVICE_PATH;
    ASSERT_NO_FATAL_FAILURE(StartService());
    client_ = NewClient();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(started(0), 0) << "TTY driver started";
    EXPECT_EQ(Log().find("NLK, "), std::string::npos) << Log();
    // The test build runs the bridge and says so.
    ASSERT_EQ(Stop(), std::optional<int>(0));
    daemonPath_ = QORSERVICE_NLKTEST_PATH;
    ASSERT_NO_FATAL_FAILURE(StartService());
    client_ = NewClient();
    EXPECT_EQ(started(1), 1) << "TTY driver started";
}

}  // namespace
}  // namespace qortest
