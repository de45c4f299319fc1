// Connect, disconnect and password through the management port, against units that qorsim
// plays with their own connect rules; races for one unit; the loss of a unit reported to
// every client. How the unit's refusals map to statuses, and the records a connect or a
// disconnect leaves, are proven by the link tests; the unit's servers by the CTU and SIO tests.
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

    // Sends the same command from 16 clients at once; every answer.
    static std::vector<std::optional<Packet>> Race(uint16_t code, const std::vector<uint8_t>& payload) {
        std::vector<Client> clients(16);
        for (auto& c : clients) EXPECT_TRUE(c.Connect()) << c.Error();
        std::atomic<size_t> ready{0};
        std::vector<std::optional<Packet>> answers(clients.size());
        std::vector<std::thread> threads;
        for (size_t i = 0; i < clients.size(); ++i) {
            threads.emplace_back([&, i] {
                for (++ready; ready < clients.size();) std::this_thread::yield();
                answers[i] = clients[i].Request(code, payload);
            });
        }
        for (auto& t : threads) t.join();
        return answers;
    }
};

// qorlab --veths 1
TEST_F(MngConnect, ConnectAnswersThePortsAndWritesTheRecord) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    auto result = Connect(client_, ConnectRecord(kDock, 0));
    ASSERT_TRUE(result);
    // A unit without password: the record is 32 bytes 0xFF, the password query answers none.
    EXPECT_EQ(ReadFile(Record(kConnectDir, kDock)), std::string(32, '\xff'));
    EXPECT_TRUE(HasPassword(kDock, ""));
    // Connected already: 64 with the same result, so a second client learns the ports.
    Client other = NewClient();
    auto again = other.Request(kVnConnect, ConnectRecord(kDock, 0));
    ASSERT_TRUE(again) << other.Error();
    EXPECT_EQ(again->Hdr.Status, kConnectedAlready);
    const auto second = DecodeConnectResult(again->Payload).value_or(ConnectResult{});
    EXPECT_EQ(std::tuple(second.UnitMac, second.CtuPort, second.SioPort),
              std::tuple(kDock, result->CtuPort, result->SioPort));
    // Listed as connected by this host, with the ports and this NIC as the host; the detail
    // record starts with the same 36 bytes.
    auto list = Ask(kGetAllConnected);
    ASSERT_TRUE(list);
    const auto connected = DecodeUnitInfoList(list->Payload, true).value_or(std::vector<UnitInfo>{});
    ASSERT_EQ(connected.size(), 1u) << Describe(*list);
    const UnitInfo& u = connected[0];
    EXPECT_EQ(std::tuple(u.UnitMac, u.LinkStatus, u.ConnectedHostMac, u.CtuPort, u.SioPort),
              std::tuple(kDock, 1, ReadIfMac("veth0").value_or(Mac{}), result->CtuPort, result->SioPort));
    const auto detail = Ask(kGetSpecificVnInfo, MacBytes(kDock)).value_or(Packet{}).Payload;
    EXPECT_TRUE(
        std::ranges::equal(list->Payload, std::span(detail).first(std::min<size_t>(36, detail.size()))));
    // Disconnected: no longer listed.
    EXPECT_TRUE(Echoes(kVnDisconnect, kDock, kSuccess));
    EXPECT_TRUE(Listed(client_, kGetAllConnected).empty());
}

// qorlab --veths 1
TEST_F(MngConnect, ConcurrentMappingsAndConnectsOfOneUnitActOnce) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}}));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    // The winner of each race answers 0, every other client the "already" status, with the
    // same payload for a connect; whoever won a mapping, the unit holds the four lowest minors.
    const auto count = [](const std::vector<std::optional<Packet>>& answers, uint16_t status) {
        return std::ranges::count_if(answers, [&](const auto& a) { return a && a->Hdr.Status == status; });
    };
    for (int round = 0; round < 5 && !HasFailure(); ++round) {
        const auto answers = Race(kVnMapping, MacBytes(kAdvance));
        EXPECT_EQ(std::tuple(count(answers, kSuccess), count(answers, kMappingAlready)), std::tuple(1, 15))
            << round;
        EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess,
                               Concat({MacBytes(kAdvance), {4, 1, 0, 2, 1, 3, 2, 4, 3}})));
        EXPECT_TRUE(Echoes(kVnUnmapping, kAdvance, kSuccess));
        for (int minor = 0; minor < 8; ++minor)
            EXPECT_FALSE(PathExists("/dev/ttyVN" + std::to_string(minor)));
    }
    const auto answers = Race(kVnConnect, ConnectRecord(kAdvance, "varnel-secret"));
    EXPECT_EQ(std::tuple(count(answers, kSuccess), count(answers, kConnectedAlready)), std::tuple(1, 15));
    for (const auto& a : answers) {
        EXPECT_TRUE(a && DecodeConnectResult(a->Payload) &&
                    a->Payload == answers[0].value_or(Packet{}).Payload);
    }
    EXPECT_EQ(Listed(client_, kGetAllConnected).size(), 1u);
    EXPECT_EQ(CountOccurrences(Log(), "connect ok, CTU_TcpPort"), 1u);
}

// qorlab --veths 1
TEST_F(MngConnect, PasswordsGoToTheUnitAndComeBackAsSentOnlyWithFlagOne) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}, {"ctu_uart2", kOpen}}));
    // No password, a wrong one, one cut short, and the right one behind flag 0.
    for (const auto& record :
         {ConnectRecord(kAdvance, 0), ConnectRecord(kAdvance, "varnel-secreT"),
          ConnectRecord(kAdvance, "varnel-secre"), ConnectRecord(kAdvance, 0, Bytes("varnel-secret"))}) {
        EXPECT_TRUE(IsResponse(Ask(kVnConnect, record), kVnConnect, kPasswordIncorrect, MacBytes(kAdvance)))
            << Hex(record);
    }
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, "varnel-secret")));
    EXPECT_TRUE(HasPassword(kAdvance, "varnel-secret"));
    EXPECT_TRUE(Echoes(kVnDisconnect, kAdvance, kSuccess));
    // 32 bytes at most (length 39; a longer one is refused before anything is sent).
    const std::string longest = "0123456789abcdefghijklmnopqrstuv";
    ASSERT_TRUE(sim_->Ok("password " + MacString(kAdvance) + " " + longest)) << sim_->LastAnswer();
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, longest)));
    EXPECT_TRUE(HasPassword(kAdvance, longest));
    // Flag 0 ignores the bytes behind it; a password the unit does not ask for is kept.
    ASSERT_TRUE(Connect(client_, ConnectRecord(kOpen, 0, Bytes("ignored bytes"))));
    EXPECT_TRUE(HasPassword(kOpen, ""));
    EXPECT_TRUE(Echoes(kVnDisconnect, kOpen, kSuccess));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kOpen, "spare")));
    EXPECT_TRUE(HasPassword(kOpen, "spare"));
}

// qorlab --veths 1
TEST_F(MngConnect, ALostUnitIsReportedOnceToEveryConnectedClient) {
    ASSERT_NO_FATAL_FAILURE(
        StartWithUnits({{"dock_basic", kDock}, {"ctu_uart2", kOpen}, {"advance_password", kAdvance}}));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kDock, 0)));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kOpen, 0)));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, "varnel-secret")));
    // Management dumps on, so that a built event shows in the log.
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, {0, 1, 0, 1, 0, 0, 0}), kSetDebugConfig, kSuccess, {}));
    // Lost while no client is connected: no event is built.
    client_.Close();
    std::this_thread::sleep_for(100ms);  // reaped
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kOpen))) << sim_->LastAnswer();
    const std::string lost = "##### been disconnect, send event #####";
    ASSERT_TRUE(WaitForFileContains(kLogPath, lost, 30s));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Log().find("EVENT_VN_DISCONNECT"), std::string::npos);
    // Lost with clients: one event each, to one that waits quietly and, between its responses,
    // to one that keeps asking.
    Client quiet = NewClient();
    Client busy = NewClient();
    ASSERT_TRUE(busy.Request(kGetServiceInfo));
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    const auto start = Clock::now();
    const auto event = quiet.ReadPacket(30s);
    ASSERT_TRUE(event) << "no event: " << quiet.Error();
    EXPECT_GT(Clock::now() - start, 3s) << "detection takes 3.6 to 6.9 s, then 21 reconnect attempts";
    const std::vector<uint8_t> wire = {0x01, 0, 0, 0, 0x01, 0x10, 0, 0, 6, 0, 0, 0};
    const auto head = EncodeHeader(event->Hdr);
    EXPECT_EQ(Concat({{head.begin(), head.end()}, event->Payload}), Concat({wire, MacBytes(kDock)}));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "CmdResponseEvent: EVENT_VN_DISCONNECT\n", 2s));
    for (const auto until = Clock::now() + 4s; Clock::now() < until;) {
        ASSERT_TRUE(busy.Request(kGetServiceInfo)) << busy.Error();
    }
    ASSERT_EQ(busy.Events().size(), 1u);
    EXPECT_EQ(EncodeHeader(busy.Events().front().Hdr), head);
    EXPECT_EQ(busy.Events().front().Payload, MacBytes(kDock));
    EXPECT_TRUE(quiet.Silent(500ms)) << quiet.Error();
    EXPECT_EQ(CountOccurrences(Log(), lost), 2u);
    // The lost unit's record stays for the next start; the unit never lost is still connected.
    EXPECT_EQ(ReadFile(Record(kConnectDir, kDock)), std::string(32, '\xff'));
    EXPECT_EQ(Listed(busy, kGetAllConnected), std::vector<Mac>{kAdvance});
}

}  // namespace
}  // namespace qortest
