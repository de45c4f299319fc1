// The management server seen from its clients: framing, malformed packets, the client table
// (63 at once, indices reused lowest first) and the loopback-only port.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <random>

#include "service_fixture.h"

namespace qortest {
namespace {

using namespace mng;

const std::vector<uint8_t> kServiceInfo = Concat({{8}, Bytes("1.0.15.0"), {7}, Bytes("1.0.4.0"), {0}});

std::string TooBigLine(int index, long total) {
    return "MNG C (I:" + std::to_string(index) + "), TotalLengthNeedRx:" + std::to_string(total) +
           ", BUFF_SIZE:8192, !!!!! TOO BIG !!!!!\n";
}

class MngServer : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(StartService());
    }

    // The index the service gave this client: it sends an unknown code that no other
    // client uses and reads the index from the log line.
    int IndexOf(Client& c) {
        const uint16_t code = static_cast<uint16_t>(0x0200 + nextProbe_++);
        EXPECT_TRUE(c.SendCommand(code)) << c.Error();
        int index = -1;
        char needle[32];
        snprintf(needle, sizeof(needle), "unknow cmd coe:x%04x\n", code);
        Eventually(
            [&] {
                const std::string log = Log();
                const size_t at = log.find(needle);
                if (at == std::string::npos) return false;
                const size_t open = log.rfind("(I:", at);
                if (open == std::string::npos) return false;
                index = atoi(log.c_str() + open + 3);
                return true;
            },
            2s, 5ms);
        EXPECT_GT(index, 0) << "no log line for probe " << code;
        return index;
    }

    static bool Served(Client& c) {
        auto p = c.Request(kGetServiceInfo);
        return p && p->Payload == kServiceInfo;
    }

    int nextProbe_ = 1;
};

// qorlab --veths 1
TEST_F(MngServer, PacketsCutShortAreDroppedOrReadWithZeros) {
    Client c = NewClient();
    const auto cmd = EncodeCommand(kGetServiceInfo);
    Step("header cut short");
    // Five bytes alone, or a header in two pieces: each piece falls short and is dropped.
    ASSERT_TRUE(c.SendRaw(std::span(cmd).first(5)));
    EXPECT_TRUE(c.Silent(300ms)) << c.Error();
    ASSERT_TRUE(c.SendRaw(std::span(cmd).first(7)));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(c.SendRaw(std::span(cmd).subspan(7)));
    EXPECT_TRUE(c.Silent(300ms)) << c.Error();
    EXPECT_TRUE(Served(c));
    Step("payload in a later segment");
    const auto mapping = EncodeCommand(kVnMapping, std::vector<uint8_t>{2, 0, 0, 9, 9, 9});
    ASSERT_TRUE(c.SendRaw(std::span(mapping).first(14)));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(c.SendRaw(std::span(mapping).subspan(14)));
    EXPECT_TRUE(IsResponse(c.ReadResponse(), kVnMapping, kVnNotFound, {2, 0, 0, 9, 9, 9})) << c.Error();
    Step("payload that never comes");
    // Length 6, two bytes sent: after the bounded retries the command runs on 2 AB 0 0 0 0.
    ASSERT_TRUE(c.SendRaw(EncodeCommand(kGetSpecificVnInfo, std::vector<uint8_t>{0x02, 0xAB}, 6)));
    EXPECT_TRUE(IsResponse(c.ReadResponse(5s), kGetSpecificVnInfo, kVnNotFound, {0x02, 0xAB, 0, 0, 0, 0}))
        << c.Error();
    EXPECT_NE(Log().find("MNG C (I:1), conti rx, touch trycnt"), std::string::npos);
    EXPECT_TRUE(Served(c));
}

// qorlab --veths 1
TEST_F(MngServer, OversizePacketsAreLoggedAndALengthBeyondTheBufferClosesOnlyThatClient) {
    Client watcher = NewClient();
    Step("above 1500 bytes: logged, handled");
    // 1500 bytes in all: no warning; 2000 and the whole 8192-byte buffer: warned about.
    EXPECT_TRUE(
        IsResponse(watcher.Request(kGetServiceInfo, Zeros(1488)), kGetServiceInfo, kSuccess, kServiceInfo));
    EXPECT_TRUE(
        IsResponse(watcher.Request(kGetServiceInfo, Zeros(1988)), kGetServiceInfo, kSuccess, kServiceInfo));
    EXPECT_TRUE(
        IsResponse(watcher.Request(kVnDisconnect, Zeros(8180)), kVnDisconnect, kParameterInvalid, Zeros(6)));
    const std::string log = Log();
    EXPECT_EQ(log.find("TotalLengthNeedRx:1500,"), std::string::npos) << log;
    EXPECT_EQ(CountOccurrences(log, TooBigLine(1, 2000)), 1u) << log;
    EXPECT_EQ(CountOccurrences(log, TooBigLine(1, 8192)), 1u) << log;
    Step("beyond the buffer: closed");
    const std::vector<uint32_t> lengths = {8181, 65536, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF3, 0xFFFFFFFF};
    for (uint32_t length : lengths) {
        Client c = NewClient();
        ASSERT_TRUE(Served(c));
        // The header alone, or the header with as many bytes as a socket takes at once.
        ASSERT_TRUE(c.SendRaw(EncodeCommand(kGetServiceInfo, Zeros(length == 8181 ? 8181 : 100), length)));
        EXPECT_TRUE(c.WaitClosed(3s)) << "Length " << length << " left the connection open";
        EXPECT_TRUE(Served(watcher)) << "after Length " << length;
    }
    EXPECT_TRUE(WaitForFileContains(kLogPath, TooBigLine(2, 8193), 1s));
    EXPECT_EQ(CountOccurrences(Log(), "!!!!! TOO BIG !!!!!"), lengths.size() + 2);
    // The closed clients' indices are free again: the next client takes index 2.
    Client next = NewClient();
    ASSERT_TRUE(Eventually([&] { return Served(next); }, 1s));
    EXPECT_EQ(IndexOf(next), 2);
}

// A model of how the service answers a stream of whole packets when no unit and no NIC with
// the commands' MACs exist: the status and payload each command gets, or nothing.
std::optional<std::pair<uint16_t, std::vector<uint8_t>>> Expected(uint16_t code,
                                                                  const std::vector<uint8_t>& payload) {
    const size_t n = payload.size();
    auto echo = [&](uint16_t status, bool valid) {
        return std::make_pair(status,
                              valid ? std::vector<uint8_t>(payload.begin(), payload.begin() + 6) : Zeros(6));
    };
    switch (code) {
        case kGetServiceInfo:
            return std::make_pair(uint16_t{kSuccess}, kServiceInfo);
        case kSetDebugConfig: {
            const bool ok =
                n == 7 && std::all_of(payload.begin(), payload.end(), [](uint8_t b) { return b <= 1; });
            return std::make_pair(uint16_t(ok ? kSuccess : kParameterInvalid), std::vector<uint8_t>{});
        }
        case kSearchByAllNic:
        case kGetAllMappingInfo:
        case kGetAllConnected:
        case kClearAllRecords:
            return std::make_pair(uint16_t{kSuccess}, std::vector<uint8_t>{});
        case kSearchBySpecificNic:
            return n == 6 ? echo(kNicNotFound, true) : echo(kParameterInvalid, false);
        case kGetSpecificVnInfo:
        case kVnMapping:
        case kVnUnmapping:
        case kVnDisconnect:
        case kUpdateDetailInfo:
        case kGetVnPassword:
            return n == 6 ? echo(kVnNotFound, true) : echo(kParameterInvalid, false);
        case kVnConnect:
            if (n < 7 || n > 39) return echo(kParameterInvalid, false);
            if (payload[6] > 1 || (payload[6] == 1 && n == 7)) return echo(kParameterInvalid, true);
            return echo(kVnNotFound, true);
        default:
            return std::nullopt;  // 3 and 4 depend on the NICs; others get no answer
    }
}

// qorlab --veths 1
TEST_F(MngServer, AStreamOfOddButWholePacketsIsAnsweredInOrder) {
    Client c = NewClient();
    std::mt19937 rng(20240607);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> stream;
        std::vector<std::pair<uint16_t, std::pair<uint16_t, std::vector<uint8_t>>>> want;
        for (int i = 0; i < 40; ++i) {
            const uint16_t codes[] = {0,  1,  2,  5,  6,  7,  8,      9,      10,    11,
                                      12, 13, 14, 15, 16, 17, 0x8005, 0x1001, 0xFFFF};
            const uint16_t code = codes[rng() % std::size(codes)];
            // Lengths around the ones the handlers check, and now and then a long one.
            const size_t lengths[] = {0, 5, 6, 7, 8, 38, 39, 40, 100, rng() % 3000};
            std::vector<uint8_t> payload(lengths[rng() % std::size(lengths)]);
            for (auto& b : payload) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 2);
            // Units and NICs are 02:...; these MACs name neither.
            if (payload.size() >= 6) payload[0] = 0xF0;
            // Any version, reserved and status bytes.
            auto cmd = EncodeCommand(code, payload);
            for (size_t k : {0, 1, 2, 3, 6, 7}) cmd[k] = static_cast<uint8_t>(rng());
            stream = Concat({stream, cmd});
            if (auto e = Expected(code, payload)) want.emplace_back(code, *e);
        }
        ASSERT_TRUE(c.SendRaw(stream));
        for (size_t i = 0; i < want.size(); ++i) {
            const auto& [code, answer] = want[i];
            EXPECT_TRUE(IsResponse(c.ReadResponse(5s), code, answer.first, answer.second))
                << "round " << round << ", answer " << i << ": " << c.Error();
        }
        EXPECT_TRUE(c.Silent(200ms)) << "round " << round << ": " << c.Error();
    }
}

// qorlab --veths 1
TEST_F(MngServer, SixtyThreeClientsAreServedAndTheRestRefused) {
    // All connect before the service accepts: those beyond 63 wait in the backlog until the
    // listen socket closes, which resets them.
    std::vector<Client> clients(70);
    std::vector<std::thread> connecting;
    for (auto& c : clients) connecting.emplace_back([&c] { c.Connect("127.0.0.1", kPort, 1s); });
    for (auto& t : connecting) t.join();
    std::this_thread::sleep_for(300ms);
    int served = 0;
    for (auto& c : clients) {
        if (c.IsOpen() && c.Request(kGetServiceInfo, {}, 1s).value_or(Packet{}).Payload == kServiceInfo)
            ++served;
        else
            c.Close();
    }
    EXPECT_EQ(served, 63);
    // With 63 clients the listen socket is closed: a newcomer is refused outright.
    EXPECT_FALSE(Listening(kPort));
    Client extra;
    EXPECT_FALSE(extra.Connect()) << "a 64th client was taken";
    EXPECT_EQ(extra.ConnectErrno(), ECONNREFUSED) << extra.Error();

    // One leaves: the socket is back within a turn or so, and the newcomer gets its index.
    auto leaving = std::find_if(clients.begin(), clients.end(), [](const Client& c) { return c.IsOpen(); });
    ASSERT_NE(leaving, clients.end());
    const int index = IndexOf(*leaving);
    leaving->Close();
    ASSERT_TRUE(Eventually([] { return Listening(kPort); }, 1s)) << "no listen socket after a client left";
    Client late = NewClient();
    ASSERT_TRUE(Eventually([&] { return Served(late); }, 2s));
    EXPECT_EQ(IndexOf(late), index);
    EXPECT_TRUE(Eventually([] { return !Listening(kPort); }, 1s));
    for (auto& c : clients) EXPECT_TRUE(!c.IsOpen() || Served(c));
}

// qorlab --veths 1
TEST_F(MngServer, ThePortAnswersOnlyOnLoopback) {
    ASSERT_EQ(system("ip addr add 10.77.0.1/24 dev veth0"), 0);
    ASSERT_EQ(RunShellInNetns(lab_.PeerPids[0], "ip addr add 10.77.0.2/24 dev p0"), 0);
    // A listener of the test on the veth address shows that the path itself works.
    UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(probe);
    const sockaddr_in addr{AF_INET, htons(50001), {htonl(0x0A4D0001)}, {}};
    ASSERT_EQ(bind(probe.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(probe.get(), 4), 0);

    Client through, control;
    RunInNetns(lab_.PeerPids[0], [&] {
        EXPECT_TRUE(control.Connect("10.77.0.1", 50001)) << control.Error();
        EXPECT_FALSE(through.Connect("10.77.0.1", kPort)) << "the management port answered on veth0";
    });
    EXPECT_EQ(through.ConnectErrno(), ECONNREFUSED) << through.Error();
    // From the service's own namespace the veth address is refused too.
    Client sideways;
    EXPECT_FALSE(sideways.Connect("10.77.0.1", kPort)) << "the management port answered on 10.77.0.1";
    EXPECT_EQ(sideways.ConnectErrno(), ECONNREFUSED) << sideways.Error();
    // The loopback address is the only way in.
    Client local = NewClient();
    EXPECT_TRUE(Served(local));
}

}  // namespace
}  // namespace qortest
