// The unit's SIO server: started only for units with channel objects, never for the UARTs of a
// mapped unit, one client at a time and the next after it with nothing of the first one's,
// and messages from a client that are malformed in every field.
#include <cerrno>

#include "qor_stream.h"
#include "sio_fixture.h"

namespace qortest {
namespace {

using namespace sio;

const Mac kStringUnit = UnitMac(0x51, 3);  // control unit and string channel only
const Mac kPlain = UnitMac(0x51, 4);       // ctu_uart2: control unit and two UARTs
const std::vector<uint8_t> kMsr = {static_cast<uint8_t>(kStatusAtConnect)};

class SioServer : public SioTest {};

// qorlab --veths 1
TEST_F(SioServer, ListensOnlyForChannelObjectsAndServesOneClientAtATime) {
    ASSERT_NO_FATAL_FAILURE(StartSer({{PROFILE_DIR "/ctu_string.prof", kStringUnit}, {"ctu_uart2", kPlain}}));
    Step("ports: the CTU port + 5000, or none without channel objects");
    const auto& uart = connects_.at(kUartUnit);
    EXPECT_NE(uart.CtuPort, 0u);
    EXPECT_EQ(uart.SioPort, uart.CtuPort + 5000);
    const auto& str = connects_.at(kStringUnit);
    EXPECT_NE(str.CtuPort, 0u);
    EXPECT_EQ(str.SioPort, 0u);
    EXPECT_FALSE(Listening(static_cast<uint16_t>(str.CtuPort + 5000)));
    EXPECT_EQ(connects_.at(kPlain).SioPort, connects_.at(kPlain).CtuPort + 5000);

    Step("a mapped unit's UARTs are the TTY bridge's: no channel server, no SER object");
    EXPECT_TRUE(Echoes(mng::kVnDisconnect, kPlain, mng::kSuccess));
    ASSERT_TRUE(Map(client_, kPlain));
    auto mapped = Connect(client_, mng::ConnectRecord(kPlain, 0));
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->SioPort, 0u);
    EXPECT_FALSE(Listening(static_cast<uint16_t>(mapped->CtuPort + 5000)));

    Step("one client: a second is refused while the first is served");
    EXPECT_TRUE(Cmd(kSer, kChlV2, kSerGetMsr, {}, kSuccess, kMsr));
    EXPECT_FALSE(Listening(SioPort()));
    Client second;
    EXPECT_FALSE(second.Connect(SioPort()));
    EXPECT_EQ(second.ConnectErrno(), ECONNREFUSED) << second.Error();

    Step("a response to a client that left is not the next client's, nor are events meanwhile");
    // The unit holds the answer back, so the command is still running when its client goes.
    Fault("late 300");
    ASSERT_TRUE(sio_.SendRaw(Encode(kSer, kChlV2, kSerGetMsr)));
    std::this_thread::sleep_for(50ms);
    sio_.Close();
    ASSERT_TRUE(Eventually([&] { return Listening(SioPort()); }, 1s));
    Sim("uart-msr", kChlV2, "0x31");
    EXPECT_TRUE(WaitForFileContains(kLogPath, Prefix(kChlV2) + "MSR EVENT, Client Tx fail", 2s));

    Step("the next client is served after the first closed");
    ASSERT_TRUE(OpenSio(second)) << second.Error();
    EXPECT_TRUE(second.Silent(500ms)) << second.Error();
    EXPECT_TRUE(Is(second.Request(kSer, kChlV2, kSerGetMsr), Make(kSer, kChlV2, 0x8008, kSuccess, {0x31})));
    EXPECT_TRUE(second.Silent(200ms)) << second.Error();
    // And the events of the unit go to it.
    Sim("uart-msr", kChlV2, "0x32");
    EXPECT_TRUE(Is(second.NextUnsolicited(), Make(kSer, kChlV2, kSerEventMsr, 0, {0x02})));

    Step("a disconnect stops the server");
    EXPECT_TRUE(Echoes(mng::kVnDisconnect, kUartUnit, mng::kSuccess));
    EXPECT_TRUE(second.WaitClosed(2s));
    EXPECT_FALSE(Listening(SioPort()));
}

// qorlab --veths 1
TEST_F(SioServer, MalformedMessagesGetTheirStatusOrNothingAndHarmOnlyTheirSender) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    Step("device types without a family, and channels without an object: status 16");
    for (uint8_t type : {0, +kParallel, +kCounter, 12, 0x77, 255}) {
        EXPECT_TRUE(Cmd(type, 1, 0x0003, {1, 2}, kNoObject)) << int(type);
    }
    EXPECT_TRUE(Cmd(kSer, 9, kSerClose, {}, kNoObject));

    Step("codes outside the family's table: no response");
    for (uint16_t code : {0x0000, 0x0015, 0x00FF, 0x1001, 0x2002, 0x7FFF, 0x8001, 0xFFFF}) {
        ASSERT_TRUE(sio_.SendRaw(Encode(kSer, kChlV2, static_cast<uint16_t>(code))));
    }
    EXPECT_TRUE(sio_.Silent(300ms)) << sio_.Error();

    Step("a message in pieces is one message");
    const auto lcr = Encode(kSer, kChlV4, kSerSetLcr, {0x1B});
    ASSERT_TRUE(
        SendInPieces(lcr, {1, 3, 5, 3}, 20ms, [&](std::span<const uint8_t> b) { return sio_.SendRaw(b); }));
    EXPECT_TRUE(Is(sio_.ReadResponse(), Make(kSer, kChlV4, kSerSetLcr | kResponseBit, kSuccess)));
    EXPECT_EQ(SentTlps(1).size(), 1u);

    Step("an announced total of 2061 bytes is too big, but is read whole");
    EXPECT_TRUE(Cmd(kSer, kChlV4, kSerSetLcr, std::vector<uint8_t>(2049, 0x5A), kLengthInvalid));
    EXPECT_TRUE(WaitForFileContains(
        kLogPath,
        "SIO C (T:" + std::to_string(SioPort()) +
            "), RX, TotalLengthNeedRx:2061, SIO_MSG_MAX_PAYLOAD:2060, !!!!! TOO BIG !!!!!\n",
        2s));

    Step("a command whose payload never comes is refused once the service gives up on it");
    ASSERT_TRUE(sio_.SendRaw(Encode(kSer, kChlV4, kSerSetMcr, {}, 1)));
    EXPECT_TRUE(Is(sio_.ReadMessage(5s), Make(kSer, kChlV4, kSerSetMcr | kResponseBit, kLengthInvalid)));
    Run({{kSer, kChlV4, kSerGetMsr, {}, {RegRead(kChlV4, 2)}, kSuccess, kMsr}});

    Step("a Length beyond the receive buffer closes only that connection");
    for (uint32_t length : {8181u, 70000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        ASSERT_TRUE(
            sio_.SendRaw(Encode(kSer, kChlV4, kSerDataToService, std::vector<uint8_t>(64, 0xA5), length)));
        EXPECT_TRUE(sio_.WaitClosed(2s)) << sio_.Error();
        EXPECT_EQ(KeptTx(kChlV4), "-");
        ASSERT_TRUE(OpenSio(sio_)) << sio_.Error();
        Run({{kSer, kChlV4, kSerGetMsr, {}, {RegRead(kChlV4, 2)}, kSuccess, kMsr}});
    }

    Step("a client gone in the middle of a message leaves nothing waiting");
    ASSERT_TRUE(sio_.SendRaw(std::span(lcr).first(7)));
    sio_.Close();
    ASSERT_TRUE(OpenSio(sio_)) << sio_.Error();
    EXPECT_TRUE(Cmd(kSer, kChlV4, kSerGetMsr, {}, kSuccess, kMsr));
    EXPECT_EQ(Stop(), std::optional<int>(0));
}

}  // namespace
}  // namespace qortest
