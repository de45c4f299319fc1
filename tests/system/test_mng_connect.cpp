// Connect, disconnect and password through the management port, against units that qorsim
// plays with their own connect rules; races for one unit; the loss of a unit reported to
// every client. How the unit's refusals map to statuses is proven by the link tests.
#include <algorithm>
#include <atomic>
#include <tuple>

#include "service_fixture.h"

namespace qortest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(2, 1);     // dock_basic: dock mode, no password
const Mac kAdvance = UnitMac(2, 2);  // advance_password: password "varnel-secret"
const Mac kOpen = UnitMac(2, 3);     // ctu_uart2: advance mode, no password required

class MngConnect : public ServiceTest {
  protected:
    // The password record command 15 answers: the MAC, a length byte and the password.
    ::testing::AssertionResult HasPassword(const Mac& mac, const std::string& password) {
        return IsResponse(Ask(kGetVnPassword, MacBytes(mac)), kGetVnPassword, kSuccess,
                          Concat({MacBytes(mac), {static_cast<uint8_t>(password.size())}, Bytes(password)}));
    }

    // Sends the same command from kClients clients at once; every answer.
    static std::vector<std::optional<Packet>> Race(const std::vector<uint8_t>& cmd, uint16_t code) {
        constexpr int kClients = 16;
        std::vector<Client> clients(kClients);
        for (auto& c : clients) EXPECT_TRUE(c.Connect()) << c.Error();
        std::atomic<int> ready{0};
        std::vector<std::optional<Packet>> answers(kClients);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i)
            threads.emplace_back([&, i] {
                ++ready;
                while (ready < kClients) std::this_thread::yield();
                answers[i] = clients[i].RequestRaw(cmd, code);
            });
        for (auto& t : threads) t.join();
        return answers;
    }
};

// qorlab --veths 1
TEST_F(MngConnect, ConnectAnswersThePortsAndWritesTheRecord) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    const auto veth0 = ReadIfMac("veth0").value_or(Mac{});
    Step("the NIC cannot send");
    ASSERT_EQ(system("ip link set veth0 down"), 0);
    auto down = Ask(kVnConnect, ConnectRecord(kDock, 0));
    ASSERT_EQ(system("ip link set veth0 up"), 0);
    EXPECT_TRUE(IsResponse(down, kVnConnect, kNicTransmitFail, MacBytes(kDock)));
    EXPECT_NE(Log().find("TX CMD, connect fail"), std::string::npos);
    EXPECT_FALSE(PathExists(Record(kConnectDir, kDock)));
    ASSERT_TRUE(Eventually([] { return ReadFile("/sys/class/net/veth0/carrier") == "1\n"; }, 3s));
    auto result = Connect(client_, ConnectRecord(kDock, 0));
    ASSERT_TRUE(result);
    // Ports of the unit's servers, when it has them, are listening on loopback (each server's
    // listen thread opens its socket on its first 10 ms tick after the connect).
    for (uint32_t port : {result->CtuPort, result->SioPort}) {
        EXPECT_TRUE(port < 65536 &&
                    (port == 0 || Eventually([port] { return Listening(static_cast<uint16_t>(port)); }, 1s)))
            << port;
    }
    // A unit without password: the record is 32 bytes 0xFF.
    EXPECT_EQ(ReadFile(Record(kConnectDir, kDock)), std::string(32, '\xff'));
    Step("connected");
    // Connected already: 64 with the same result, so a second client learns the ports.
    Client other = NewClient();
    auto again = other.Request(kVnConnect, ConnectRecord(kDock, 0));
    ASSERT_TRUE(again) << other.Error();
    EXPECT_EQ(again->Hdr.Status, kConnectedAlready);
    EXPECT_EQ(DecodeConnectResult(again->Payload).value_or(ConnectResult{}).CtuPort, result->CtuPort);
    EXPECT_EQ(DecodeConnectResult(again->Payload).value_or(ConnectResult{}).SioPort, result->SioPort);
    EXPECT_TRUE(Echoes(kVnMapping, kDock, kConnectedAlready));
    // Listed as connected by this host, with the ports and this NIC as the host; the detail
    // record starts with the same 36 bytes.
    auto list = Ask(kGetAllConnected);
    ASSERT_TRUE(list);
    const auto connected = DecodeUnitInfoList(list->Payload, true).value_or(std::vector<UnitInfo>{});
    ASSERT_EQ(connected.size(), 1u) << Describe(*list);
    const UnitInfo& u = connected[0];
    EXPECT_EQ(std::tuple(u.UnitMac, u.LinkStatus, u.ConnectedHostMac, u.CtuPort, u.SioPort),
              std::tuple(kDock, 1, veth0, result->CtuPort, result->SioPort));
    const auto detail = Ask(kGetSpecificVnInfo, MacBytes(kDock)).value_or(Packet{}).Payload;
    EXPECT_TRUE(detail.size() >= 36 &&
                std::equal(list->Payload.begin(), list->Payload.end(), detail.begin()));
    EXPECT_TRUE(HasPassword(kDock, ""));
    Step("disconnected");
    // Disconnect answers the MAC echo, removes the record, the listing and the servers.
    EXPECT_TRUE(Echoes(kVnDisconnect, kDock, kSuccess));
    EXPECT_FALSE(PathExists(Record(kConnectDir, kDock)));
    EXPECT_TRUE(Listed(client_, kGetAllConnected).empty());
    for (uint32_t port : {result->CtuPort, result->SioPort})
        EXPECT_TRUE(port == 0 || !Listening(static_cast<uint16_t>(port))) << port;
}

// qorlab --veths 1
TEST_F(MngConnect, ConcurrentMappingsAndConnectsOfOneUnitActOnce) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}}));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    for (int round = 0; round < 5 && !HasFailure(); ++round) {
        SCOPED_TRACE("mapping, round " + std::to_string(round));
        const auto answers = Race(EncodeCommand(kVnMapping, MacBytes(kAdvance)), kVnMapping);
        auto count = [&](uint16_t status) {
            return std::count_if(answers.begin(), answers.end(),
                                 [&](const auto& a) { return a && a->Hdr.Status == status; });
        };
        EXPECT_EQ(count(kSuccess), 1);
        EXPECT_EQ(count(kMappingAlready), static_cast<long>(answers.size()) - 1);
        // Whoever won, the unit holds the four lowest minors and no others are taken.
        EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess,
                               Concat({MacBytes(kAdvance), {4, 1, 0, 2, 1, 3, 2, 4, 3}})));
        EXPECT_TRUE(Echoes(kVnUnmapping, kAdvance, kSuccess));
        for (int minor = 0; minor < 8; ++minor)
            EXPECT_FALSE(PathExists("/dev/ttyVN" + std::to_string(minor))) << minor;
    }
    Step("connect");
    const auto answers =
        Race(EncodeCommand(kVnConnect, ConnectRecord(kAdvance, "varnel-secret")), kVnConnect);
    int won = 0, already = 0;
    for (const auto& a : answers) {
        ASSERT_TRUE(a);
        ASSERT_EQ(a->Payload.size(), kConnectResultLength) << Describe(*a);
        EXPECT_EQ(a->Payload, answers[0]->Payload) << "every client learns the same ports";
        won += a->Hdr.Status == kSuccess;
        already += a->Hdr.Status == kConnectedAlready;
    }
    EXPECT_EQ(won, 1);
    EXPECT_EQ(already, static_cast<int>(answers.size()) - 1);
    EXPECT_EQ(Listed(client_, kGetAllConnected).size(), 1u);
    EXPECT_EQ(CountOccurrences(Log(), "connect ok, CTU_TcpPort"), 1u);
}

// qorlab --veths 1
TEST_F(MngConnect, PasswordsGoToTheUnitAndComeBackAsSentOnlyWithFlagOne) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}, {"ctu_uart2", kOpen}}));
    Step("refused by the unit");
    // No password, a wrong one, one cut short, and the right one behind flag 0.
    for (const auto& record :
         {ConnectRecord(kAdvance, 0), ConnectRecord(kAdvance, "varnel-secreT"),
          ConnectRecord(kAdvance, "varnel-secre"), ConnectRecord(kAdvance, 0, Bytes("varnel-secret"))})
        EXPECT_TRUE(IsResponse(Ask(kVnConnect, record), kVnConnect, kPasswordIncorrect, MacBytes(kAdvance)))
            << Hex(record);
    EXPECT_FALSE(PathExists(Record(kConnectDir, kAdvance)));
    EXPECT_TRUE(Listed(client_, kGetAllConnected).empty());
    Step("the right password");
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, "varnel-secret")));
    EXPECT_TRUE(HasPassword(kAdvance, "varnel-secret"));
    EXPECT_TRUE(PathExists(Record(kConnectDir, kAdvance)));
    EXPECT_TRUE(Echoes(kVnDisconnect, kAdvance, kSuccess));
    Step("32 bytes at most");
    const std::string longest = "0123456789abcdefghijklmnopqrstuv";
    ASSERT_TRUE(sim_->Ok("password " + MacString(kAdvance) + " " + longest)) << sim_->LastAnswer();
    // Length 39 (a longer one is refused before anything is sent): read back whole.
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, longest)));
    EXPECT_TRUE(HasPassword(kAdvance, longest));
    Step("a unit without password");
    // Flag 0 ignores the bytes behind it; a password the unit does not ask for is kept.
    ASSERT_TRUE(Connect(client_, ConnectRecord(kOpen, 0, Bytes("ignored bytes"))));
    EXPECT_TRUE(HasPassword(kOpen, ""));
    EXPECT_TRUE(Echoes(kVnDisconnect, kOpen, kSuccess));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kOpen, "spare")));
    EXPECT_TRUE(HasPassword(kOpen, "spare"));
    EXPECT_EQ(Listed(client_, kGetAllConnected), (std::vector<Mac>{kAdvance, kOpen}));
}

// qorlab --veths 1
TEST_F(MngConnect, ALostUnitIsReportedOnceToEveryConnectedClient) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}, {"ctu_uart2", kOpen}}));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kDock, 0)));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kOpen, 0)));
    const std::string lost = "##### been disconnect, send event #####";
    Step("lost while no client is connected: no event is built");
    // Management dumps on: an event that is built shows in the log.
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, {0, 1, 0, 1, 0, 0, 0}), kSetDebugConfig, kSuccess, {}));
    client_.Close();
    std::this_thread::sleep_for(100ms);  // reaped
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    ASSERT_TRUE(WaitForFileContains(kLogPath, lost, 30s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Log().find("EVENT_VN_DISCONNECT"), std::string::npos);
    client_ = NewClient();
    ASSERT_TRUE(sim_->Ok("talk " + MacString(kDock))) << sim_->LastAnswer();
    const auto ok = [](const Packet& p) { return p.Hdr.Status == kSuccess; };
    const auto p = RequestUntil(client_, kVnConnect, ConnectRecord(kDock, 0), ok, 15s);
    ASSERT_TRUE(p && ok(*p)) << "the unit could not be connected again";
    Step("lost with clients: one event each");
    // One client waits quietly, one keeps asking (its events arrive between responses).
    Client quiet = NewClient();
    Client busy = NewClient();
    ASSERT_TRUE(busy.Request(kGetServiceInfo));
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    const auto start = Clock::now();
    auto event = quiet.WaitEvent(30s);
    ASSERT_TRUE(event) << "no event: " << quiet.Error();
    // Detection takes 3.6 to 6.9 s, then 21 reconnect attempts.
    EXPECT_GT(Clock::now() - start, 3s);
    const auto head = EncodeHeader(event->Hdr);
    EXPECT_EQ(Concat({{head.begin(), head.end()}, event->Payload}),
              Concat({{0x01, 0, 0, 0, 0x01, 0x10, 0, 0, 6, 0, 0, 0}, MacBytes(kDock)}));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "CmdResponseEvent: EVENT_VN_DISCONNECT\n", 2s));
    const auto until = Clock::now() + 4s;
    while (Clock::now() < until) ASSERT_TRUE(busy.Request(kGetServiceInfo)) << busy.Error();
    ASSERT_EQ(busy.Events().size(), 1u);
    EXPECT_EQ(busy.Events().front().Payload, MacBytes(kDock));
    EXPECT_EQ(busy.Events().front().Hdr.Code, kEventVnDisconnect);
    EXPECT_TRUE(quiet.Silent(500ms)) << quiet.Error();
    EXPECT_EQ(CountOccurrences(Log(), lost), 2u);

    // The lost unit is no longer connected by this host; its record stays for the next
    // start. The other unit was not disturbed.
    EXPECT_EQ(Listed(client_, kGetAllConnected), std::vector<Mac>{kOpen});
    EXPECT_EQ(ReadFile(Record(kConnectDir, kDock)), std::string(32, '\xff'));
}

}  // namespace
}  // namespace qortest
