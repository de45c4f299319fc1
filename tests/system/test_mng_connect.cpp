// Connect, disconnect and password through the management port, against units that qorsim
// plays with their own connect rules; the loss of a unit reported to every client.
#include <algorithm>
#include <atomic>

#include "mng_fixture.h"

namespace qortest::mngtest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(2, 1);     // dock_basic: dock mode, no password
const Mac kAdvance = UnitMac(2, 2);  // advance_password: password "varnel-secret"
const Mac kOpen = UnitMac(2, 3);     // ctu_uart2: advance mode, no password required

// The connect record as it lies on disk: the password reversed and right-aligned in 32
// bytes, every bit inverted.
std::string StoredForm(const std::string& password) {
    std::string raw(32, '\0');
    for (size_t i = 0; i < password.size(); ++i) raw[31 - i] = password[i];
    for (auto& c : raw) c = static_cast<char>(~static_cast<uint8_t>(c));
    return raw;
}

class MngConnect : public MngTest {
  protected:
    void StartWithUnits(const std::vector<std::pair<std::string, Mac>>& units) {
        ASSERT_NO_FATAL_FAILURE(StartService());
        sim_ = StartUnitsSim(units);
        ASSERT_TRUE(sim_);
        client_ = NewClient();
        for (const auto& [profile, mac] : units) ASSERT_TRUE(WaitListed(client_, mac)) << profile;
    }

    std::optional<Packet> Ask(uint16_t code, const std::vector<uint8_t>& payload = {}) {
        auto p = client_.Request(code, payload);
        EXPECT_TRUE(p) << client_.Error();
        return p;
    }

    // Connects and returns the 14-byte result; a failure is recorded otherwise.
    std::optional<ConnectResult> Connect(const Mac& mac, const std::vector<uint8_t>& record) {
        auto p = ConnectUnit(client_, record);
        if (!p || p->Hdr.Status != kSuccess) {
            ADD_FAILURE() << "connect " << MacString(mac) << ": " << (p ? Describe(*p) : client_.Error());
            return std::nullopt;
        }
        auto r = DecodeConnectResult(p->Payload);
        EXPECT_TRUE(r) << Describe(*p);
        if (r) {
            EXPECT_EQ(r->UnitMac, mac);
        }
        return r;
    }

    std::vector<UnitInfo> Connected() {
        auto p = Ask(kGetAllConnected);
        if (!p) return {};
        EXPECT_EQ(p->Hdr.Status, kSuccess);
        auto list = DecodeUnitInfoList(p->Payload, true);
        EXPECT_TRUE(list) << Describe(*p);
        return list.value_or(std::vector<UnitInfo>{});
    }

    static std::string RecordPath(const Mac& m) { return std::string(kConnectDir) + "/" + RecordName(m); }

    SimProcess* sim_ = nullptr;
    Client client_;
};

// qorlab --veths 1
TEST_F(MngConnect, ConnectAnswersThePortsAndWritesTheRecord) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    const auto veth0 = *ReadIfMac("veth0");
    auto result = Connect(kDock, ConnectRecord(kDock, 0));
    ASSERT_TRUE(result);
    // Ports of the unit's servers, when it has them, are listening on loopback.
    for (uint32_t port : {result->CtuPort, result->SioPort}) {
        EXPECT_LT(port, 65536u);
        if (port != 0) {
            EXPECT_TRUE(Listening(static_cast<uint16_t>(port))) << port;
        }
    }
    const auto resultBytes =
        Concat({MacBytes(kDock),
                {static_cast<uint8_t>(result->CtuPort >> 24), static_cast<uint8_t>(result->CtuPort >> 16),
                 static_cast<uint8_t>(result->CtuPort >> 8), static_cast<uint8_t>(result->CtuPort)},
                {static_cast<uint8_t>(result->SioPort >> 24), static_cast<uint8_t>(result->SioPort >> 16),
                 static_cast<uint8_t>(result->SioPort >> 8), static_cast<uint8_t>(result->SioPort)}});
    // A unit without password: the record is 32 bytes 0xFF.
    EXPECT_EQ(ReadFile(RecordPath(kDock)), std::string(32, '\xff'));

    // Connected already: 64 with the same result, so a second client learns the ports.
    Client other = NewClient();
    auto again = other.Request(kVnConnect, ConnectRecord(kDock, 0));
    EXPECT_TRUE(IsResponse(again, kVnConnect, kConnectedAlready, resultBytes)) << other.Error();
    // Mapping a connected unit: 64 with the MAC echo.
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kConnectedAlready, MacBytes(kDock)));

    // Listed as connected by this host, with the ports and this NIC as the host.
    const auto connected = Connected();
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].UnitMac, kDock);
    EXPECT_EQ(connected[0].LinkStatus, 1);
    EXPECT_EQ(connected[0].ConnectedHostMac, veth0);
    EXPECT_EQ(connected[0].CtuPort, result->CtuPort);
    EXPECT_EQ(connected[0].SioPort, result->SioPort);
    EXPECT_EQ(connected[0].Model(), "VN-DOCK1");
    auto detail = DecodeDetailInfo(Ask(kGetSpecificVnInfo, MacBytes(kDock))->Payload);
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->Unit.LinkStatus, 1);
    EXPECT_EQ(detail->Unit.CtuPort, result->CtuPort);
    EXPECT_EQ(detail->Unit.SioPort, result->SioPort);
    // No password: a record of the MAC and length 0.
    EXPECT_TRUE(IsResponse(Ask(kGetVnPassword, MacBytes(kDock)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kDock), {0}})));

    // Disconnect answers the MAC echo, removes the record and the listing.
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, MacBytes(kDock)), kVnDisconnect, kSuccess, MacBytes(kDock)));
    EXPECT_FALSE(PathExists(RecordPath(kDock)));
    EXPECT_TRUE(Connected().empty());
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, MacBytes(kDock)), kVnDisconnect, kDisconnectedAlready,
                           MacBytes(kDock)));
    // Its password is gone with the connection (68), or the silent unit has already been
    // dropped from the registry (32).
    auto pw = Ask(kGetVnPassword, MacBytes(kDock));
    ASSERT_TRUE(pw);
    EXPECT_TRUE(pw->Hdr.Status == kConnectFail || pw->Hdr.Status == kVnNotFound) << Describe(*pw);
    EXPECT_EQ(pw->Payload, MacBytes(kDock));
    for (uint32_t port : {result->CtuPort, result->SioPort}) {
        if (port != 0) {
            EXPECT_FALSE(Listening(static_cast<uint16_t>(port))) << port;
        }
    }
    // And it can be connected again.
    EXPECT_TRUE(Connect(kDock, ConnectRecord(kDock, 0)));
}

// qorlab --veths 1
TEST_F(MngConnect, ConcurrentConnectsOfOneUnitConnectItOnce) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}}));
    constexpr int kClients = 16;
    std::vector<Client> clients(kClients);
    for (auto& c : clients) ASSERT_TRUE(c.Connect()) << c.Error();
    std::atomic<int> ready{0};
    std::vector<std::optional<Packet>> answers(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i] {
            const auto cmd = EncodeCommand(kVnConnect, ConnectRecord(kAdvance, "varnel-secret"));
            ++ready;
            while (ready < kClients) std::this_thread::yield();
            answers[i] = clients[i].RequestRaw(cmd, kVnConnect);
        });
    }
    for (auto& t : threads) t.join();
    int won = 0, already = 0;
    std::vector<uint8_t> result;
    for (const auto& a : answers) {
        ASSERT_TRUE(a);
        ASSERT_EQ(a->Payload.size(), kConnectResultLength) << Describe(*a);
        if (result.empty()) result = a->Payload;
        EXPECT_EQ(a->Payload, result) << "every client learns the same ports";
        won += a->Hdr.Status == kSuccess;
        already += a->Hdr.Status == kConnectedAlready;
    }
    EXPECT_EQ(won, 1);
    EXPECT_EQ(already, kClients - 1);
    EXPECT_EQ(Connected().size(), 1u);
    EXPECT_EQ(CountOccurrences(Log(), "connect ok, CTU_TcpPort"), 1u) << Log();
}

// qorlab --veths 1
TEST_F(MngConnect, PasswordGoesToTheUnitAndComesBackAsSent) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}}));
    const auto mac = MacBytes(kAdvance);
    // No password, a wrong one, and the right one followed by flag 0: the unit refuses.
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kAdvance, 0)), kVnConnect, kPasswordIncorrect, mac));
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kAdvance, "varnel-secreT")), kVnConnect,
                           kPasswordIncorrect, mac));
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kAdvance, "varnel-secre")), kVnConnect,
                           kPasswordIncorrect, mac));
    // Flag 0 ignores the bytes behind it, even when they are the password.
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kAdvance, 0, Bytes("varnel-secret"))), kVnConnect,
                           kPasswordIncorrect, mac));
    EXPECT_FALSE(PathExists(RecordPath(kAdvance)));
    EXPECT_TRUE(Connected().empty());

    ASSERT_TRUE(Connect(kAdvance, ConnectRecord(kAdvance, "varnel-secret")));
    EXPECT_TRUE(IsResponse(Ask(kGetVnPassword, mac), kGetVnPassword, kSuccess,
                           Concat({mac, {13}, Bytes("varnel-secret")})));
    EXPECT_EQ(ReadFile(RecordPath(kAdvance)), StoredForm("varnel-secret"));
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, mac), kVnDisconnect, kSuccess, mac));
}

// qorlab --veths 1
TEST_F(MngConnect, ThirtyTwoPasswordBytesAreTheMost) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}}));
    const std::string longest = "0123456789abcdefghijklmnopqrstuv";
    ASSERT_EQ(longest.size(), 32u);
    ASSERT_TRUE(sim_->Ok("password " + MacString(kAdvance) + " " + longest)) << sim_->LastAnswer();
    // Length 40: refused before anything is sent.
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kAdvance, longest + "w")), kVnConnect,
                           kParameterInvalid, Zeros(6)));
    // Length 39: accepted, and read back whole.
    auto p = Ask(kVnConnect, ConnectRecord(kAdvance, longest));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Hdr.Length, 14u);
    EXPECT_EQ(p->Hdr.Status, kSuccess) << Describe(*p);
    EXPECT_TRUE(IsResponse(Ask(kGetVnPassword, MacBytes(kAdvance)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kAdvance), {32}, Bytes(longest)})));
    EXPECT_EQ(ReadFile(RecordPath(kAdvance)), StoredForm(longest));
}

// qorlab --veths 1
TEST_F(MngConnect, FlagZeroConnectsWithoutPasswordWhateverFollows) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}, {"ctu_uart2", kOpen}}));
    for (const Mac& mac : {kDock, kOpen}) {
        ASSERT_TRUE(Connect(mac, ConnectRecord(mac, 0, Bytes("ignored bytes"))));
        EXPECT_TRUE(IsResponse(Ask(kGetVnPassword, MacBytes(mac)), kGetVnPassword, kSuccess,
                               Concat({MacBytes(mac), {0}})));
        EXPECT_EQ(ReadFile(RecordPath(mac)), std::string(32, '\xff'));
    }
    // A password a unit does not ask for is kept all the same.
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, MacBytes(kOpen)), kVnDisconnect, kSuccess, MacBytes(kOpen)));
    ASSERT_TRUE(Connect(kOpen, ConnectRecord(kOpen, "spare")));
    EXPECT_TRUE(IsResponse(Ask(kGetVnPassword, MacBytes(kOpen)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kOpen), {5}, Bytes("spare")})));
    EXPECT_EQ(Connected().size(), 2u);
}

// qorlab --veths 1
TEST_F(MngConnect, RefusalsOfTheUnitBecomeConnectStatuses) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    const auto mac = MacBytes(kDock);
    const std::vector<std::pair<std::string, uint16_t>> cases = {
        {"1", kBusy},         {"2", kVersionUnsupported}, {"3", kConnectFail}, {"4", kPasswordIncorrect},
        {"63", kConnectFail}, {"none", kConnectTimeout}};
    for (const auto& [reply, status] : cases) {
        ASSERT_TRUE(sim_->Ok("connect-reply " + MacString(kDock) + " " + reply)) << sim_->LastAnswer();
        EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 0)), kVnConnect, status, mac))
            << "reply " << reply;
        EXPECT_TRUE(Connected().empty()) << "reply " << reply;
        EXPECT_FALSE(PathExists(RecordPath(kDock))) << "reply " << reply;
    }
    // Another host holds the unit: the unit itself answers busy.
    ASSERT_TRUE(sim_->Ok("connect-reply " + MacString(kDock) + " default")) << sim_->LastAnswer();
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 1 02:00:00:05:05:05")) << sim_->LastAnswer();
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 0)), kVnConnect, kBusy, mac));
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 0 00:00:00:00:00:00")) << sim_->LastAnswer();
    EXPECT_TRUE(Connect(kDock, ConnectRecord(kDock, 0)));
}

// qorlab --veths 1
TEST_F(MngConnect, AConnectTakesOnlyTheConnectAnswer) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", kAdvance}}));
    const auto mac = MacBytes(kAdvance);
    // Every answer of the unit comes 300 ms late. Command 14 asks for the info structure and
    // returns after its 200 ms; a connect right after it must not take the info answer,
    // which arrives during its own wait, for the answer to the connect: that one comes
    // after the 200 ms the service waits, so the connect has timed out (65).
    ASSERT_TRUE(sim_->Ok("delay " + MacString(kAdvance) + " 300")) << sim_->LastAnswer();
    std::this_thread::sleep_for(700ms);  // answers to earlier requests are through
    Client other = NewClient();
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(other.SendCommand(kUpdateDetailInfo, mac));
        ASSERT_TRUE(other.ReadResponse(2s)) << other.Error();
        auto p = Ask(kVnConnect, ConnectRecord(kAdvance, "not-the-password"));
        ASSERT_TRUE(p);
        EXPECT_NE(p->Hdr.Status, kSuccess)
            << "a wrong password connected, round " << round << ": " << Describe(*p);
        EXPECT_TRUE(p->Hdr.Status == kConnectTimeout || p->Hdr.Status == kPasswordIncorrect) << Describe(*p);
        if (p->Hdr.Status == kSuccess) {
            EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, mac), kVnDisconnect, kSuccess, mac));
        }
        std::this_thread::sleep_for(700ms);
    }
    EXPECT_TRUE(Connected().empty());
    EXPECT_FALSE(PathExists(RecordPath(kAdvance)));
}

// qorlab --veths 1
TEST_F(MngConnect, RefusedDisconnectsTearDownButKeepTheRecord) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    const auto mac = MacBytes(kDock);
    const std::vector<std::pair<std::string, uint16_t>> refusals = {
        {"1", 72}, {"2", 73}, {"3", 74}, {"4", 75}, {"9", 74}};
    for (const auto& [reply, status] : refusals) {
        ASSERT_TRUE(Connect(kDock, ConnectRecord(kDock, 0))) << "before reply " << reply;
        ASSERT_TRUE(sim_->Ok("disconnect-reply " + MacString(kDock) + " " + reply)) << sim_->LastAnswer();
        EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, mac), kVnDisconnect, status, mac)) << "reply " << reply;
        EXPECT_TRUE(Connected().empty()) << "reply " << reply;
        EXPECT_TRUE(PathExists(RecordPath(kDock))) << "reply " << reply;
        ASSERT_TRUE(sim_->Ok("disconnect-reply " + MacString(kDock) + " default")) << sim_->LastAnswer();
    }
    // No answer at all: 71, and the host side stays connected.
    ASSERT_TRUE(Connect(kDock, ConnectRecord(kDock, 0)));
    ASSERT_TRUE(sim_->Ok("disconnect-reply " + MacString(kDock) + " none")) << sim_->LastAnswer();
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, mac), kVnDisconnect, kDisconnectTimeout, mac));
    EXPECT_EQ(Connected().size(), 1u);
    ASSERT_TRUE(sim_->Ok("disconnect-reply " + MacString(kDock) + " default")) << sim_->LastAnswer();
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, mac), kVnDisconnect, kSuccess, mac));
    EXPECT_FALSE(PathExists(RecordPath(kDock)));
}

// qorlab --veths 1
TEST_F(MngConnect, ALostUnitIsReportedOnceToEveryClient) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}, {"ctu_uart2", kOpen}}));
    ASSERT_TRUE(Connect(kDock, ConnectRecord(kDock, 0)));
    ASSERT_TRUE(Connect(kOpen, ConnectRecord(kOpen, 0)));
    // One client waits quietly, one keeps asking (its events arrive between responses).
    Client quiet = NewClient();
    Client busy = NewClient();
    ASSERT_TRUE(busy.Request(kGetServiceInfo));
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    const auto start = Clock::now();
    auto event = quiet.WaitEvent(30s);
    ASSERT_TRUE(event) << "no event: " << quiet.Error();
    const auto took = Clock::now() - start;
    const auto wantEvent = Concat({{0x01, 0, 0, 0, 0x01, 0x10, 0, 0, 6, 0, 0, 0}, MacBytes(kDock)});
    const auto head = EncodeHeader(event->Hdr);
    EXPECT_EQ(Concat({{head.begin(), head.end()}, event->Payload}), wantEvent);
    // Detection takes 3.6 to 6.9 s, then 21 reconnect attempts.
    EXPECT_GT(took, 3s);

    const auto until = Clock::now() + 4s;
    while (Clock::now() < until) {
        auto p = busy.Request(kGetServiceInfo);
        ASSERT_TRUE(p) << busy.Error();
    }
    // Exactly one event at each client.
    ASSERT_EQ(busy.Events().size(), 1u);
    EXPECT_EQ(busy.Events().front().Payload, MacBytes(kDock));
    EXPECT_EQ(busy.Events().front().Hdr.Code, kEventVnDisconnect);
    EXPECT_TRUE(quiet.Silent(500ms)) << quiet.Error();
    EXPECT_EQ(CountOccurrences(Log(), "##### been disconnect, send event #####"), 1u) << Log();

    // The lost unit is no longer connected by this host; its record stays for the next
    // start. The other unit was not disturbed.
    const auto connected = Connected();
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].UnitMac, kOpen);
    EXPECT_EQ(ReadFile(RecordPath(kDock)), std::string(32, '\xff'));
    // Its password is gone with the connection (68), or the silent unit has already been
    // dropped from the registry (32).
    auto pw = Ask(kGetVnPassword, MacBytes(kDock));
    ASSERT_TRUE(pw);
    EXPECT_TRUE(pw->Hdr.Status == kConnectFail || pw->Hdr.Status == kVnNotFound) << Describe(*pw);
    EXPECT_EQ(pw->Payload, MacBytes(kDock));

    // Back again, it can be connected anew; no further event arrives.
    ASSERT_TRUE(sim_->Ok("talk " + MacString(kDock))) << sim_->LastAnswer();
    EXPECT_TRUE(Eventually(
        [&] {
            auto p = client_.Request(kVnConnect, ConnectRecord(kDock, 0));
            return p && p->Hdr.Status == kSuccess;
        },
        15s, 200ms))
        << "the unit could not be connected again";
    EXPECT_TRUE(quiet.Silent(1s)) << quiet.Error();
}

// qorlab --veths 1
TEST_F(MngConnect, ALossWithNoClientConnectedBuildsNoEvent) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    ASSERT_TRUE(Connect(kDock, ConnectRecord(kDock, 0)));
    // Management dumps on: an event that is built shows in the log.
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, {0, 1, 0, 1, 0, 0, 0}), kSetDebugConfig, kSuccess, {}));
    client_.Close();
    std::this_thread::sleep_for(100ms);  // reaped
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    ASSERT_TRUE(WaitForFileContains(kLogPath, "##### been disconnect, send event #####", 30s)) << Log();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Log().find("EVENT_VN_DISCONNECT"), std::string::npos) << Log();
    // With a client, the same loss is dumped as the event it sends.
    client_ = NewClient();
    ASSERT_TRUE(sim_->Ok("talk " + MacString(kDock))) << sim_->LastAnswer();
    ASSERT_TRUE(Eventually(
        [&] {
            auto p = client_.Request(kVnConnect, ConnectRecord(kDock, 0));
            return p && p->Hdr.Status == kSuccess;
        },
        15s, 200ms));
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    auto event = client_.WaitEvent(30s);
    ASSERT_TRUE(event) << client_.Error();
    EXPECT_EQ(event->Payload, MacBytes(kDock));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "CmdResponseEvent: EVENT_VN_DISCONNECT\n", 2s)) << Log();
}

// qorlab --veths 1
TEST_F(MngConnect, AUnitBackWithinTheAttemptsIsKeptWithoutEvent) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    ASSERT_TRUE(Connect(kDock, ConnectRecord(kDock, 0)));
    Client watcher = NewClient();
    ASSERT_TRUE(sim_->Ok("silent " + MacString(kDock))) << sim_->LastAnswer();
    // The first failed reconnect shows the link was found down.
    ASSERT_TRUE(WaitForFileContains(kLogPath, "@@@@@ reconnect fail @@@@@", 15s)) << Log();
    ASSERT_TRUE(sim_->Ok("talk " + MacString(kDock))) << sim_->LastAnswer();
    ASSERT_TRUE(WaitForFileContains(kLogPath, "@@@@@ reconnect ok @@@@@", 10s)) << Log();
    EXPECT_TRUE(watcher.Silent(2s)) << watcher.Error();
    const auto connected = Connected();
    ASSERT_EQ(connected.size(), 1u);
    EXPECT_EQ(connected[0].UnitMac, kDock);
    EXPECT_EQ(connected[0].LinkStatus, 1);
}

}  // namespace
}  // namespace qortest::mngtest
