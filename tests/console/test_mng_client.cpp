// The console's management client against a scripted service on a loopback port: packet
// bytes, the 2-second wait, bounded receive, events, and a service that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "console_test_support.h"
#include "mng_client.h"
#include "mng_connect.h"
#include "mng_rx.h"
#include "pem_error.h"

using namespace console_test;

using MngClientTest = ConnectedClient;

TEST_F(MngClientTest, EveryRequestCarriesItsCodeAndPayload) {
    const Bytes mac = Mac(0x11);
    const std::string pwd(40, 'p');  // never more than 32 password bytes
    EXPECT_EQ(0, MngClientGetServiceInfo(&client));
    EXPECT_EQ(0, MngClientSetDebugConfiguration(&client, 1, 0, 1, 0, 0, 1, 1));
    EXPECT_EQ(0, MngClientGetAllNicInfo(&client));
    EXPECT_EQ(0, MngClientRefreshNic(&client));
    EXPECT_EQ(0, MngClientSearchVnByAllNic(&client));
    EXPECT_EQ(0, MngClientSearchVnBySpecificNic(&client, mac.data()));
    EXPECT_EQ(0, MngClientGetSpecificVnInfo(&client, mac.data()));
    EXPECT_EQ(0, MngClientVnMapping(&client, mac.data()));
    EXPECT_EQ(0, MngClientVnUnMapping(&client, mac.data()));
    EXPECT_EQ(0, MngClientGetAllMappingInfoMappedByHost(&client));
    EXPECT_EQ(0,
              MngClientVnConnect(&client, mac.data(), 1, reinterpret_cast<const uint8_t*>(pwd.data()), 40));
    EXPECT_EQ(0, MngClientVnDisconnect(&client, mac.data()));
    EXPECT_EQ(0, MngClientGetAllVnInfoConnectedByHost(&client));
    EXPECT_EQ(0, MngClientUpdateSpecificVnInfo(&client, mac.data()));
    EXPECT_EQ(0, MngClientGetVnPassword(&client, mac.data()));
    EXPECT_EQ(0, MngClientClearAllVnMappingAndConnectRecord(&client));
    const auto requests = service.Requests();
    ASSERT_EQ(16u, requests.size());
    const Bytes none;
    Bytes connect = mac;
    connect.push_back(1);
    connect.insert(connect.end(), 32, 'p');
    const Bytes payloads[16] = {
        none, {1, 0, 1, 0, 0, 1, 1}, none, none, none, mac, mac, mac, mac, none, connect, mac, none, mac, mac,
        none};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(1, requests[i].Version);
        EXPECT_EQ(i + 1, requests[i].Code);
        EXPECT_EQ(0, requests[i].Status);
        EXPECT_EQ(payloads[i].size(), requests[i].Length);
        EXPECT_EQ(payloads[i], requests[i].Payload) << "command " << i + 1;
    }
}

TEST_F(MngClientTest, NoAnswerTimesOutAfterTwoSeconds) {
    service.Answer = [](const Request&) { return Bytes{}; };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PEM_ERROR_SOCKET_RX_TIMEOUT, MngClientGetServiceInfo(&client));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(ms, 1900);
    EXPECT_LT(ms, 3500);
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
    EXPECT_EQ(20000u, r.Header.Length);
    EXPECT_EQ(kMngBuffSize - kMngHeaderLength, r.PayloadLength);
    EXPECT_EQ(0xAB, r.Payload[r.PayloadLength - 1]);
    ASSERT_EQ(0, MngClientRefreshNic(&client));
    r = MngClientResponse(&client);
    EXPECT_EQ(0x8004, r.Header.CmdResponseEvent);
    EXPECT_EQ(3u, r.PayloadLength);
    EXPECT_EQ(3, r.Payload[2]);
}

TEST_F(MngClientTest, DisconnectEventWhileWaitingIsShownAndTheAnswerStillArrives) {
    service.Answer = [](const Request& r) {
        Bytes both = Packet(0x1001, 0, Mac(0x11));
        const Bytes answer = Packet(static_cast<uint16_t>(0x8000 | r.Code), 0, {});
        both.insert(both.end(), answer.begin(), answer.end());
        return both;
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
    EXPECT_EQ(0x8001, r.Header.CmdResponseEvent);
    EXPECT_EQ(0u, r.PayloadLength);
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
    int n = 0;
    service.Answer = [&n](const Request& r) {
        switch (n++) {
            case 0:
                return Packet(static_cast<uint16_t>(0x8000 | r.Code), 0, {}, 2);
            case 1:
                return Packet(0x8002, 0, {});
            case 2:
                return Packet(static_cast<uint16_t>(0x8000 | r.Code), 65, Mac(0x11));
            case 3:
                return Packet(static_cast<uint16_t>(0x8000 | r.Code), 99, {});
            default:
                return Packet(static_cast<uint16_t>(0x8000 | r.Code), 0, {});
        }
    };
    _MNG_RESPONSE r{};
    EXPECT_EQ(0, MngClientCheckResponse(&client, MngClientGetServiceInfo(&client), CMD_GET_SERVICE_INFO, &r));
    EXPECT_EQ("\nd[#_#]b : Wrong protocol version.\n", out.Take());
    EXPECT_EQ(0, MngClientCheckResponse(&client, MngClientGetServiceInfo(&client), CMD_GET_SERVICE_INFO, &r));
    EXPECT_EQ("\nd[#_#]b : Wrong packet received.\n", out.Take());
    EXPECT_EQ(0, MngClientCheckResponse(&client, MngClientGetServiceInfo(&client), CMD_GET_SERVICE_INFO, &r));
    EXPECT_EQ("\nd[#_#]b : Connect timeout.\n\n", out.Take());
    EXPECT_EQ(0, MngClientCheckResponse(&client, MngClientGetServiceInfo(&client), CMD_GET_SERVICE_INFO, &r));
    EXPECT_EQ("\nd[#_#]b : Unknow error code.\n\n", out.Take());
    EXPECT_EQ(1, MngClientCheckResponse(&client, MngClientGetServiceInfo(&client), CMD_GET_SERVICE_INFO, &r));
    EXPECT_EQ("", out.Take());
}

TEST(MngConnectTest, NoServiceOnThePortFails) {
    // A port that was just free: bind, read it back, close.
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    socklen_t len = sizeof(a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    _MNG_CLIENT client;
    ASSERT_EQ(0, MngClientInit(&client));
    EXPECT_EQ(0, MngConnect(&client, ntohs(a.sin_port)));
    EXPECT_EQ(-1, client.Sock);
    EXPECT_EQ(0, client.IsConnect);
    EXPECT_EQ(PEM_ERROR_SOCKET_TX, MngClientGetServiceInfo(&client));
    MngClientFree(&client);
}
