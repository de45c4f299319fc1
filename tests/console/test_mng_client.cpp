// The console's management client against a scripted service on a loopback port: packet
// bytes, the 2-second wait, bounded receive, events, and a service that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <tuple>

#include "console_test_support.h"
#include "pem_error.h"

using namespace console_test;

using MngClientTest = ConnectedClient;

// Requests no menu test makes; the menu tests check the code and header of all others.
TEST_F(MngClientTest, RequestsWithoutAMenuKeyCarryTheirCodeAndPayload) {
    const Bytes mac = Mac(0x11);
    EXPECT_EQ(0, MngClientGetSpecificVnInfo(&client, mac.data()));
    EXPECT_EQ(0, MngClientGetVnPassword(&client, mac.data()));
    EXPECT_EQ(0, MngClientClearAllVnMappingAndConnectRecord(&client));
    const std::string pwd(40, 'p');  // never more than 32 password bytes
    EXPECT_EQ(0,
              MngClientVnConnect(&client, mac.data(), 1, reinterpret_cast<const uint8_t*>(pwd.data()), 40));
    const auto requests = service.Requests();
    ASSERT_EQ(4u, requests.size());
    const std::pair<uint16_t, Bytes> want[] = {
        {7, mac}, {15, mac}, {16, {}}, {11, Cat({mac, {1}, Bytes(32, 'p')})}};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::tuple(1, want[i].first, 0, want[i].second.size(), want[i].second),
                  std::tuple(requests[i].Version, requests[i].Code, requests[i].Status, requests[i].Length,
                             requests[i].Payload));
}

TEST_F(MngClientTest, NoAnswerTimesOutAfterTwoSeconds) {
    service.Answer = [](const Request&) { return Bytes{}; };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PEM_ERROR_SOCKET_RX_TIMEOUT, MngClientGetServiceInfo(&client));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(waited >= std::chrono::milliseconds(1900) && waited < std::chrono::milliseconds(3500));
    _MNG_RESPONSE r{};
    EXPECT_EQ(0, MngClientCheckResponse(&client, PEM_ERROR_SOCKET_RX_TIMEOUT, CMD_GET_SERVICE_INFO, &r));
    EXPECT_EQ("\nd[#_#]b : Socket receive data timeout.\n\n", out.Take());
}

TEST_F(MngClientTest, OversizeAnswerIsBoundedAndTheStreamStaysInStep) {
    int n = 0;
    service.Answer = [&n](const Request& r) {
        if (n++ == 0) return Packet(0x8003, 0, Bytes(20000, 0xAB));
        return Packet(static_cast<uint16_t>(0x8000 | r.Code), 0, {1, 2, 3});
    };
    ASSERT_EQ(0, MngClientGetAllNicInfo(&client));
    _MNG_RESPONSE r = MngClientResponse(&client);
    EXPECT_EQ(std::tuple(20000u, kMngBuffSize - kMngHeaderLength, 0xAB),
              std::tuple(r.Header.Length, r.PayloadLength, r.Payload[r.PayloadLength - 1]));
    ASSERT_EQ(0, MngClientRefreshNic(&client));
    r = MngClientResponse(&client);
    EXPECT_EQ(std::tuple(0x8004, 3u, 3),
              std::tuple(r.Header.CmdResponseEvent, r.PayloadLength, r.Payload[2]));
}

TEST_F(MngClientTest, DisconnectEventWhileWaitingIsShownAndTheAnswerStillArrives) {
    service.Answer = [](const Request& r) {
        return Cat({Packet(0x1001, 0, Mac(0x11)), Packet(static_cast<uint16_t>(0x8000 | r.Code), 0, {})});
    };
    ASSERT_EQ(0, MngClientSearchVnByAllNic(&client));
    EXPECT_EQ(0x8005, MngClientResponse(&client).Header.CmdResponseEvent);
    EXPECT_EQ("<CLEAR>\nd[#_#]b : ##### Receive VN (02:00:00:00:00:11) disconnect event. #####\n\n",
              out.Take());
}

TEST_F(MngClientTest, OtherEventsAndUnrequestedAnswersAreDropped) {
    service.Push(Packet(0x1001, 0, {1, 2, 3, 4, 5}));  // wrong length
    service.Push(Packet(0x1002, 0, Mac(0x12)));        // unknown event
    service.Push(Packet(0x8005, 0, {9, 9}));           // an answer nobody waits for
    service.Push(Packet(0x0003, 0, {}));               // neither answer nor event
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(0, MngClientGetServiceInfo(&client));
    const _MNG_RESPONSE r = MngClientResponse(&client);
    EXPECT_EQ(std::tuple(0x8001, 0u), std::tuple(r.Header.CmdResponseEvent, r.PayloadLength));
    EXPECT_EQ("", out.Take());
}

TEST_F(MngClientTest, ServiceThatGoesAwayFailsRequestsWithoutHarm) {
    service.Hangup();
    for (int i = 0; i < 200 && client.IsConnect; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(0, client.IsConnect);
    const int err = MngClientGetServiceInfo(&client);
    EXPECT_TRUE(err == PEM_ERROR_SOCKET_TX || err == PEM_ERROR_SOCKET_RX_TIMEOUT) << err;
}

TEST_F(MngClientTest, CommonChecksNameTheFault) {
    // Each answer to a service-info request and the screen the check leaves; only the last passes.
    const std::pair<Bytes, std::string> cases[] = {
        {Packet(0x8001, 0, {}, 2), "\nd[#_#]b : Wrong protocol version.\n"},
        {Packet(0x8002, 0, {}), "\nd[#_#]b : Wrong packet received.\n"},
        {Packet(0x8001, 65, Mac(0x11)), "\nd[#_#]b : Connect timeout.\n\n"},
        {Packet(0x8001, 99, {}), "\nd[#_#]b : Unknow error code.\n\n"},
        {Packet(0x8001, 0, {}), ""}};
    for (const auto& [answer, screen] : cases) {
        service.Answer = [&a = answer](const Request&) { return a; };
        _MNG_RESPONSE r{};
        EXPECT_EQ(screen.empty(), MngClientCheckResponse(&client, MngClientGetServiceInfo(&client),
                                                         CMD_GET_SERVICE_INFO, &r));
        EXPECT_EQ(screen, out.Take());
    }
}
