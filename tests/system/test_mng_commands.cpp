// The sixteen management commands against the real daemon, with units played by qorsim:
// every success answer byte for byte, and every error status a handler gives.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <set>

#include "mng_fixture.h"

namespace qortest::mngtest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(1, 1);     // dock_basic: CTU, one UART, one DIO bank
const Mac kAdvance = UnitMac(1, 2);  // advance_password: CTU, four UARTs
const Mac kNoUart = UnitMac(1, 3);   // ctu_dio: CTU and DIO, no UART
const Mac kUnknown = UnitMac(9, 9);  // never played

std::vector<uint8_t> Model(const std::string& name) {
    std::vector<uint8_t> m(name.begin(), name.end());
    m.resize(10, 0);
    return m;
}

// The 28-byte search record of a unit that reports no link to any host.
std::vector<uint8_t> BasicRecord(const Mac& mac, const std::string& model, uint8_t typeInfo, uint8_t mapped,
                                 uint8_t channels, uint8_t major, uint8_t minor) {
    return Concat({MacBytes(mac), Model(model), {typeInfo, 0}, Zeros(6), {mapped, channels, major, minor}});
}

// Detail record of dock_basic, not connected; uartMinor is the minor byte of its UART entry.
std::vector<uint8_t> DockDetail(uint8_t mapped, uint8_t uartMinor) {
    return Concat(
        {BasicRecord(kDock, "VN-DOCK1", 0x00, mapped, 3, 1, 0),
         Zeros(8),
         // CTU, layout 0: the device name, three words
         {0, 0, 4, 0, 0, 12},
         Bytes("Dock unit   "),
         // UART layout 1: TX and RX buffer sizes
         {1, 1, 2, 1, uartMinor, 4, 0x80, 0x00, 0x80, 0x00},
         // DIO layout 1, one bank
         {2, 3, 5, 1, 0, 16},
         {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x40, 0x78, 0x7D, 0x01, 0xC7, 0x01, 0x00, 0x00}});
}

class MngCommands : public MngTest {
  protected:
    // The daemon plus qorsim playing `units` on the far side of veth0; a client.
    void StartWithUnits(const std::vector<std::string>& units) {
        ASSERT_NO_FATAL_FAILURE(StartService());
        if (!units.empty()) {
            std::vector<std::string> args;
            for (const auto& u : units) {
                args.push_back("--unit");
                args.push_back(u);
            }
            sim_ = StartSim(args);
            ASSERT_TRUE(sim_);
        }
        client_ = NewClient();
        ASSERT_TRUE(client_.IsOpen());
    }

    std::optional<Packet> Ask(uint16_t code, const std::vector<uint8_t>& payload = {}) {
        auto p = client_.Request(code, payload);
        EXPECT_TRUE(p) << client_.Error();
        return p;
    }
    std::optional<Packet> AskRaw(uint16_t code, const std::vector<uint8_t>& payload, uint32_t length) {
        auto p = client_.RequestRaw(EncodeCommand(code, payload, length), code);
        EXPECT_TRUE(p) << client_.Error();
        return p;
    }

    // Every MAC command answers a wrong Length with status 1 and six zero bytes.
    void ExpectLengthChecked(uint16_t code, const Mac& mac) {
        const auto m = MacBytes(mac);
        const std::vector<uint8_t> five(m.begin(), m.begin() + 5);
        EXPECT_TRUE(IsResponse(Ask(code, five), code, kParameterInvalid, Zeros(6)))
            << "Length 5, code " << code;
        EXPECT_TRUE(IsResponse(Ask(code, Concat({m, {0}})), code, kParameterInvalid, Zeros(6)))
            << "Length 7, code " << code;
        EXPECT_TRUE(IsResponse(Ask(code, {}), code, kParameterInvalid, Zeros(6)))
            << "Length 0, code " << code;
    }

    std::string MappingRecordPath(const Mac& m) const {
        return std::string(kMappingDir) + "/" + RecordName(m);
    }

    SimProcess* sim_ = nullptr;
    Client client_;
};

// qorlab --veths 1
TEST_F(MngCommands, ServiceInfoIsEighteenBytesWhateverThePayload) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    // 8 "1.0.15.0" 7 "1.0.4.0", and no netlink bridge runs here.
    const auto want = Concat({{8}, Bytes("1.0.15.0"), {7}, Bytes("1.0.4.0"), {0}});
    ASSERT_EQ(want.size(), 18u);
    auto p = Ask(kGetServiceInfo);
    EXPECT_TRUE(IsResponse(p, kGetServiceInfo, kSuccess, want));
    // The header bytes as they travel: version, reserved, 0x8001, status 0, Length 18.
    ASSERT_TRUE(p);
    const auto head = EncodeHeader(p->Hdr);
    EXPECT_EQ(Hex(head), "01 00 00 00 01 80 00 00 12 00 00 00");
    const auto info = DecodeServiceInfo(p->Payload);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ServiceVersion, "1.0.15.0");
    EXPECT_EQ(info->DriverVersion, "1.0.4.0");
    EXPECT_EQ(info->DriverStarted, 0);
    // A payload, a status and reserved bytes in the command change nothing.
    EXPECT_TRUE(IsResponse(Ask(kGetServiceInfo, {1, 2, 3, 4, 5}), kGetServiceInfo, kSuccess, want));
    Header odd;
    odd.Code = kGetServiceInfo;
    odd.Reserved = {0xAA, 0xBB, 0xCC};
    odd.Status = 0x1234;
    const auto oddHead = EncodeHeader(odd);
    auto q = client_.RequestRaw(std::vector<uint8_t>(oddHead.begin(), oddHead.end()), kGetServiceInfo);
    EXPECT_TRUE(IsResponse(q, kGetServiceInfo, kSuccess, want)) << client_.Error();
}

// qorlab --veths 1
TEST_F(MngCommands, SetDebugConfigTakesOnlySevenBytesOfZeroOrOne) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    const std::string dumpIn = "###############################, Length:12\n";
    const std::string dumpOut = "===============================, Length:30\n";
    auto dumpsOfServiceInfo = [&] { return CountOccurrences(Log(), dumpOut); };
    // Off at start: a request leaves no dump.
    ASSERT_TRUE(Ask(kGetServiceInfo));
    EXPECT_EQ(dumpsOfServiceInfo(), 0u);

    // Log on, management dump on.
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, {0, 1, 0, 1, 0, 0, 0}), kSetDebugConfig, kSuccess, {}));
    Ask(kGetServiceInfo);
    EXPECT_TRUE(WaitForFileContains(kLogPath, dumpOut, 2s)) << Log();
    EXPECT_TRUE(WaitForFileContains(kLogPath, dumpIn, 2s)) << Log();
    EXPECT_NE(Log().find("CmdResponseEvent: RESPONSE_GET_SERVICE_INFO\n"), std::string::npos) << Log();

    // Refused records: status 1, no payload, and the switches stay as they were (a record of
    // all zeros would have stopped the dumps).
    const std::vector<std::vector<uint8_t>> refused = {
        {0, 0, 0, 0, 0, 0},        // Length 6
        {0, 0, 0, 0, 0, 0, 0, 0},  // Length 8
        {0, 0, 0, 0, 0, 0, 2},     // a 2
        {0xFF, 0, 0, 0, 0, 0, 0},  // a 255
        {},                        // nothing
    };
    for (const auto& r : refused) {
        EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, r), kSetDebugConfig, kParameterInvalid, {})) << Hex(r);
        const size_t before = dumpsOfServiceInfo();
        Ask(kGetServiceInfo);
        EXPECT_TRUE(WaitForFileContains(kLogPath, dumpOut, 2s, before + 1))
            << "dump stopped after " << Hex(r);
    }

    // Seven zeros switch everything off.
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, Zeros(7)), kSetDebugConfig, kSuccess, {}));
    const size_t before = dumpsOfServiceInfo();
    Ask(kGetServiceInfo);
    Ask(kGetServiceInfo);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(dumpsOfServiceInfo(), before);
}

// qorlab --veths 2
TEST_F(MngCommands, NicInfoListsEveryVethWithIndexMacAndName) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    auto p = Ask(kGetAllNicInfo);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Hdr.Status, kSuccess);
    const auto nics = DecodeNicInfoList(p->Payload);
    ASSERT_TRUE(nics) << Describe(*p);
    ASSERT_EQ(nics->size(), 2u) << Describe(*p);
    std::vector<uint8_t> want;
    for (size_t i = 0; i < 2; ++i) {
        const auto mac = ReadIfMac(lab_.Veths[i]);
        ASSERT_TRUE(mac);
        const auto& nic = (*nics)[i];
        EXPECT_EQ(nic.NicMac, *mac);
        EXPECT_EQ(nic.Name, lab_.Veths[i]);
        want = Concat({want,
                       {nic.Index},
                       MacBytes(*mac),
                       {static_cast<uint8_t>(lab_.Veths[i].size())},
                       Bytes(lab_.Veths[i])});
    }
    // Distinct NIC numbers, listed in ascending order.
    EXPECT_LT((*nics)[0].Index, (*nics)[1].Index);
    EXPECT_EQ(p->Payload, want);
}

// qorlab --veths 1
TEST_F(MngCommands, RefreshNicFollowsTheInterfacesAndReportsAFailedRefresh) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    auto names = [&](const Packet& p) {
        std::vector<std::string> n;
        if (auto list = DecodeNicInfoList(p.Payload))
            for (const auto& nic : *list) n.push_back(nic.Name);
        return n;
    };
    ASSERT_EQ(
        system("ip link add qmx0 type veth peer name qmx1 && ip link set qmx0 up && ip link set qmx1 up"), 0);
    // Only a refresh brings the new interfaces in.
    auto before = Ask(kGetAllNicInfo);
    ASSERT_TRUE(before);
    EXPECT_EQ(names(*before), std::vector<std::string>{"veth0"});
    auto refreshed = Ask(kRefreshNic);
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(refreshed->Hdr.Status, kSuccess);
    auto n = names(*refreshed);
    std::sort(n.begin(), n.end());
    EXPECT_EQ(n, (std::vector<std::string>{"qmx0", "qmx1", "veth0"})) << Describe(*refreshed);
    // The same list as command 3 gives afterwards.
    auto after = Ask(kGetAllNicInfo);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->Payload, refreshed->Payload);

    ASSERT_EQ(system("ip link del qmx0"), 0);
    auto shrunk = Ask(kRefreshNic);
    ASSERT_TRUE(shrunk);
    EXPECT_EQ(names(*shrunk), std::vector<std::string>{"veth0"}) << Describe(*shrunk);

    // Without a free descriptor the service cannot read the interface list: status 17, no
    // payload. The connection is open already, so it still gets the answer.
    struct rlimit saved {
    }, none{0, 0};
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    none.rlim_max = saved.rlim_max;
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, &none, nullptr), 0);
    auto failed = Ask(kRefreshNic);
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(IsResponse(failed, kRefreshNic, kNicRefreshFail, {}));
    // A failed refresh keeps the list it had.
    auto kept = Ask(kGetAllNicInfo);
    ASSERT_TRUE(kept);
    EXPECT_EQ(names(*kept), std::vector<std::string>{"veth0"});
    EXPECT_TRUE(IsResponse(Ask(kRefreshNic), kRefreshNic, kSuccess, kept->Payload));
}

// qorlab --veths 1
TEST_F(MngCommands, SearchByAllNicListsEachUnitAsItReportsItself) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock), Unit("advance_password", kAdvance)}));
    ASSERT_TRUE(WaitListed(client_, kDock));
    ASSERT_TRUE(WaitListed(client_, kAdvance));
    const auto dock = BasicRecord(kDock, "VN-DOCK1", 0x00, 0, 3, 1, 0);
    // advance mode (1), password enable (bit 4), external EEPROM (bit 7)
    const auto advance = BasicRecord(kAdvance, "VN-U4P", 0x91, 0, 5, 2, 9);
    auto p =
        RequestUntil(client_, kSearchByAllNic, {}, [](const Packet& q) { return q.Payload.size() == 56; });
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Hdr.Status, kSuccess);
    ASSERT_EQ(p->Payload.size(), 56u) << Describe(*p);
    // Listed in registry order, which depends on which answer came first.
    const std::vector<uint8_t> first(p->Payload.begin(), p->Payload.begin() + 28);
    const std::vector<uint8_t> second(p->Payload.begin() + 28, p->Payload.end());
    EXPECT_TRUE((first == dock && second == advance) || (first == advance && second == dock)) << Describe(*p);

    // A unit that reports a link to another host: the host MAC shows only with link status 1.
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 1 02:00:00:05:05:05")) << sim_->LastAnswer();
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kAdvance) + " 0 02:00:00:06:06:06")) << sim_->LastAnswer();
    auto linked = Concat({MacBytes(kDock), Model("VN-DOCK1"), {0x00, 1}, {2, 0, 0, 5, 5, 5}, {0, 3, 1, 0}});
    auto q = RequestUntil(client_, kSearchByAllNic, {}, [&](const Packet& r) {
        for (size_t at = 0; at + 28 <= r.Payload.size(); at += 28)
            if (std::equal(linked.begin(), linked.end(), r.Payload.begin() + static_cast<long>(at)))
                return true;
        return false;
    });
    ASSERT_TRUE(q);
    const auto units = DecodeUnitInfoList(q->Payload, false);
    ASSERT_TRUE(units);
    bool sawDock = false;
    for (const auto& u : *units) {
        if (u.UnitMac == kDock) {
            sawDock = true;
            EXPECT_EQ(u.LinkStatus, 1);
            EXPECT_EQ(u.ConnectedHostMac, (Mac{2, 0, 0, 5, 5, 5}));
        }
        if (u.UnitMac == kAdvance) {
            EXPECT_EQ(u.ConnectedHostMac, Mac{}) << "host MAC shown with link status 0";
        }
    }
    EXPECT_TRUE(sawDock) << Describe(*q);
}

// qorlab --veths 1
TEST_F(MngCommands, SearchListsNoUnitWithoutChannelsButItsDetailIsThirtySixBytes) {
    ASSERT_TRUE(WriteFile("/run/empty.prof", "model \"VN-EMPTY\"\nmode advance\nversion 3 4\n"));
    const Mac empty = UnitMac(1, 7);
    ASSERT_NO_FATAL_FAILURE(
        StartWithUnits({Unit("dock_basic", kDock), "/run/empty.prof," + MacString(empty) + ",p0"}));
    ASSERT_TRUE(WaitListed(client_, kDock));
    // The unit is known (its detail answers) but reported no channel.
    auto d = RequestUntil(client_, kGetSpecificVnInfo, MacBytes(empty),
                          [](const Packet& p) { return p.Hdr.Status == kSuccess && p.Payload[26] == 3; });
    const auto want =
        Concat({MacBytes(empty), Model("VN-EMPTY"), {0x01, 0}, Zeros(6), {0, 0, 3, 4}, Zeros(8)});
    EXPECT_TRUE(IsResponse(d, kGetSpecificVnInfo, kSuccess, want));
    auto list = Ask(kSearchByAllNic);
    ASSERT_TRUE(list);
    const auto units = DecodeUnitInfoList(list->Payload, false);
    ASSERT_TRUE(units) << Describe(*list);
    for (const auto& u : *units) EXPECT_NE(u.UnitMac, empty) << "a unit without channels was listed";
}

// qorlab --veths 2
TEST_F(MngCommands, SearchBySpecificNicKeepsToThatNic) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock, 0)}));
    ASSERT_TRUE(StartSim({"--unit", Unit("advance_password", kAdvance, 1)}, 1));
    ASSERT_TRUE(WaitListed(client_, kDock));
    ASSERT_TRUE(WaitListed(client_, kAdvance));
    const auto veth0 = *ReadIfMac("veth0");
    const auto veth1 = *ReadIfMac("veth1");
    auto only = [](const Mac& unit) {
        return [unit](const Packet& p) {
            return p.Payload.size() == 28 && std::equal(unit.begin(), unit.end(), p.Payload.begin());
        };
    };
    auto on0 = RequestUntil(client_, kSearchBySpecificNic, MacBytes(veth0), only(kDock));
    EXPECT_TRUE(
        IsResponse(on0, kSearchBySpecificNic, kSuccess, BasicRecord(kDock, "VN-DOCK1", 0, 0, 3, 1, 0)));
    auto on1 = RequestUntil(client_, kSearchBySpecificNic, MacBytes(veth1), only(kAdvance));
    EXPECT_TRUE(
        IsResponse(on1, kSearchBySpecificNic, kSuccess, BasicRecord(kAdvance, "VN-U4P", 0x91, 0, 5, 2, 9)));
    // No NIC has that MAC: 16 and the MAC echo. A unit's MAC is no NIC's either.
    EXPECT_TRUE(IsResponse(Ask(kSearchBySpecificNic, MacBytes(kUnknown)), kSearchBySpecificNic, kNicNotFound,
                           MacBytes(kUnknown)));
    EXPECT_TRUE(IsResponse(Ask(kSearchBySpecificNic, MacBytes(kDock)), kSearchBySpecificNic, kNicNotFound,
                           MacBytes(kDock)));
    ExpectLengthChecked(kSearchBySpecificNic, veth0);
}

// qorlab --veths 1
TEST_F(MngCommands, DetailInfoCarriesEveryChannelEntry) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock), Unit("advance_password", kAdvance)}));
    auto d = WaitDetail(client_, kDock, 3);
    ASSERT_TRUE(d);
    auto p = RequestUntil(client_, kGetSpecificVnInfo, MacBytes(kDock),
                          [](const Packet& q) { return q.Payload.size() > 36; });
    EXPECT_TRUE(IsResponse(p, kGetSpecificVnInfo, kSuccess, DockDetail(0, 0)));

    // Four UARTs of layout 4 behind a CTU of layout 1.
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    auto a = Ask(kGetSpecificVnInfo, MacBytes(kAdvance));
    std::vector<uint8_t> want = Concat({BasicRecord(kAdvance, "VN-U4P", 0x91, 0, 5, 2, 9),
                                        Zeros(8),
                                        {0, 0, 3, 1, 0, 8},
                                        Bytes("U4P-EX"),
                                        {0, 0}});
    for (uint8_t ch = 1; ch <= 4; ++ch)
        want = Concat({want, {ch, 1, 3, 4, 0, 8, 0x00, 0x08, 0x00, 0x08, 0x07, 0x10, 0x00, 0x00}});
    EXPECT_TRUE(IsResponse(a, kGetSpecificVnInfo, kSuccess, want));

    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kUnknown)), kGetSpecificVnInfo, kVnNotFound,
                           MacBytes(kUnknown)));
    ExpectLengthChecked(kGetSpecificVnInfo, kDock);
}

// qorlab --veths 1
TEST_F(MngCommands, MappingGivesEachUartAMinorANodeAndARecord) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits(
        {Unit("dock_basic", kDock), Unit("advance_password", kAdvance), Unit("ctu_dio", kNoUart)}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    ASSERT_TRUE(WaitDetail(client_, kNoUart, 2));
    EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess, {}));

    // dock_basic: one UART on channel 1, the first free minor.
    auto dock = Ask(kVnMapping, MacBytes(kDock));
    EXPECT_TRUE(IsResponse(dock, kVnMapping, kSuccess, Concat({MacBytes(kDock), {1, 1, 0}})));
    EXPECT_TRUE(PathExists("/dev/ttyVN0"));
    const auto record = ReadFile(MappingRecordPath(kDock));
    ASSERT_TRUE(record) << "no mapping record";
    EXPECT_EQ(*record, "");
    // advance_password: four UARTs, the next four minors in DIB order.
    auto adv = Ask(kVnMapping, MacBytes(kAdvance));
    EXPECT_TRUE(
        IsResponse(adv, kVnMapping, kSuccess, Concat({MacBytes(kAdvance), {4, 1, 1, 2, 2, 3, 3, 4, 4}})));
    for (int minor = 1; minor <= 4; ++minor) EXPECT_TRUE(PathExists("/dev/ttyVN" + std::to_string(minor)));

    // Already mapped: 48. No UART: 50, and no record or minor is left behind.
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kMappingAlready, MacBytes(kDock)));
    EXPECT_TRUE(
        IsResponse(Ask(kVnMapping, MacBytes(kNoUart)), kVnMapping, kNoIoForMapping, MacBytes(kNoUart)));
    EXPECT_FALSE(PathExists(MappingRecordPath(kNoUart)));
    EXPECT_FALSE(PathExists("/dev/ttyVN5"));
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kUnknown)), kVnMapping, kVnNotFound, MacBytes(kUnknown)));
    ExpectLengthChecked(kVnMapping, kDock);

    // The detail and search records show the mapping; the list holds both units.
    EXPECT_TRUE(
        IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, DockDetail(1, 0)));
    auto listed = WaitListed(client_, kDock);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->Mapped, 1);
    auto all = Ask(kGetAllMappingInfo);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->Hdr.Status, kSuccess);
    auto maps = DecodeMappingInfoList(all->Payload);
    ASSERT_TRUE(maps) << Describe(*all);
    ASSERT_EQ(maps->size(), 2u) << Describe(*all);
    for (const auto& m : *maps) {
        if (m.UnitMac == kDock) {
            EXPECT_EQ(m.Uarts, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0}}));
        } else if (m.UnitMac == kAdvance) {
            EXPECT_EQ(m.Uarts, (std::vector<std::pair<uint8_t, uint8_t>>{{1, 1}, {2, 2}, {3, 3}, {4, 4}}));
        } else {
            ADD_FAILURE() << "unexpected unit " << MacString(m.UnitMac);
        }
    }

    // Unmapping answers the MAC echo on success too and removes nodes and record.
    EXPECT_TRUE(IsResponse(Ask(kVnUnmapping, MacBytes(kDock)), kVnUnmapping, kSuccess, MacBytes(kDock)));
    EXPECT_FALSE(PathExists("/dev/ttyVN0"));
    EXPECT_FALSE(PathExists(MappingRecordPath(kDock)));
    EXPECT_TRUE(IsResponse(Ask(kVnUnmapping, MacBytes(kDock)), kVnUnmapping, kNotMapping, MacBytes(kDock)));
    EXPECT_TRUE(
        IsResponse(Ask(kVnUnmapping, MacBytes(kNoUart)), kVnUnmapping, kNotMapping, MacBytes(kNoUart)));
    EXPECT_TRUE(
        IsResponse(Ask(kVnUnmapping, MacBytes(kUnknown)), kVnUnmapping, kVnNotFound, MacBytes(kUnknown)));
    ExpectLengthChecked(kVnUnmapping, kAdvance);
    EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess,
                           Concat({MacBytes(kAdvance), {4, 1, 1, 2, 2, 3, 3, 4, 4}})));
    // The freed minor is the lowest again.
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kSuccess,
                           Concat({MacBytes(kDock), {1, 1, 0}})));
}

// qorlab --veths 1
TEST_F(MngCommands, ConcurrentMappingsOfOneUnitMapItOnce) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("advance_password", kAdvance)}));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    constexpr int kClients = 16;
    std::vector<Client> clients(kClients);
    for (auto& c : clients) ASSERT_TRUE(c.Connect()) << c.Error();
    for (int round = 0; round < 10; ++round) {
        std::atomic<int> ready{0};
        std::vector<uint16_t> statuses(kClients, 0xFFFF);
        std::vector<std::thread> threads;
        for (int i = 0; i < kClients; ++i) {
            threads.emplace_back([&, i] {
                const auto cmd = EncodeCommand(kVnMapping, MacBytes(kAdvance));
                ++ready;
                while (ready < kClients) std::this_thread::yield();
                if (auto p = clients[i].RequestRaw(cmd, kVnMapping)) statuses[i] = p->Hdr.Status;
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kSuccess), 1) << "round " << round;
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), kMappingAlready), kClients - 1)
            << "round " << round;
        // Whoever won, the unit holds the four lowest minors and no others are taken.
        EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess,
                               Concat({MacBytes(kAdvance), {4, 1, 0, 2, 1, 3, 2, 4, 3}})))
            << "round " << round;
        EXPECT_TRUE(
            IsResponse(Ask(kVnUnmapping, MacBytes(kAdvance)), kVnUnmapping, kSuccess, MacBytes(kAdvance)));
        for (int minor = 0; minor < 8; ++minor)
            EXPECT_FALSE(PathExists("/dev/ttyVN" + std::to_string(minor)))
                << "round " << round << ", minor " << minor;
        if (HasFailure()) break;
    }
}

// qorlab --veths 1
TEST_F(MngCommands, MappingReportsDeviceNodeFailures) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock)}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    // A file in the way of the node: 51, the minor is released and no record is written.
    ASSERT_TRUE(WriteFile("/dev/ttyVN0", "in the way"));
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, 51, MacBytes(kDock)));
    EXPECT_FALSE(PathExists(MappingRecordPath(kDock)));
    EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess, {}));
    EXPECT_TRUE(
        IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, DockDetail(0, 0)));
    unlink("/dev/ttyVN0");
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kSuccess,
                           Concat({MacBytes(kDock), {1, 1, 0}})));

    // A node that cannot be removed: 52, and the unit stays mapped with its record.
    ASSERT_EQ(unlink("/dev/ttyVN0"), 0);
    ASSERT_EQ(mkdir("/dev/ttyVN0", 0700), 0);
    ASSERT_TRUE(WriteFile("/dev/ttyVN0/keep", "x"));
    EXPECT_TRUE(IsResponse(Ask(kVnUnmapping, MacBytes(kDock)), kVnUnmapping, 52, MacBytes(kDock)));
    EXPECT_TRUE(PathExists(MappingRecordPath(kDock)));
    auto listed = WaitListed(client_, kDock);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->Mapped, 1);
    EXPECT_NE(Log().find("delete ttyVN0 fail"), std::string::npos) << Log();
}

// qorlab --veths 1
TEST_F(MngCommands, MappingRunsOutOfMinorsAfterTwoHundredFiftySix) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    // 65 units of four UARTs each: 64 of them take all 256 minors.
    sim_ = StartSim({"--units-count", "65", "--units-from", "advance_password,02:00:00:00:07:01,p0"});
    ASSERT_TRUE(sim_);
    std::vector<Mac> macs;
    for (int i = 0; i < 65; ++i) macs.push_back(UnitMac(7, static_cast<uint8_t>(1 + i)));
    ASSERT_TRUE(Eventually(
        [&] {
            auto p = client_.Request(kSearchByAllNic);
            return p && p->Payload.size() == 65 * 28;
        },
        15s, 200ms))
        << "not all 65 units were listed";
    std::set<int> minors;
    for (int i = 0; i < 64; ++i) {
        auto m = Map(client_, macs[i]);
        ASSERT_TRUE(m) << "unit " << i;
        for (const auto& [ch, minor] : m->Uarts) minors.insert(minor);
    }
    EXPECT_EQ(minors.size(), 256u);
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(macs[64])), kVnMapping, 53, MacBytes(macs[64])));
    EXPECT_FALSE(PathExists(MappingRecordPath(macs[64])));
    // One unit unmapped frees four minors for the last one.
    EXPECT_TRUE(
        IsResponse(Ask(kVnUnmapping, MacBytes(macs[10])), kVnUnmapping, kSuccess, MacBytes(macs[10])));
    auto last = Map(client_, macs[64]);
    ASSERT_TRUE(last);
    std::vector<uint8_t> got;
    for (const auto& [ch, minor] : last->Uarts) got.push_back(minor);
    EXPECT_EQ(got, (std::vector<uint8_t>{40, 41, 42, 43}));
}

// qorlab --veths 1
TEST_F(MngCommands, UpdateDetailInfoReadsTheUnitAgain) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock)}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    // Mapped, the unit is never dropped; answering searches with a code the service does not
    // take as a search answer, it gets no refresh but the one command 14 asks for.
    ASSERT_TRUE(Map(client_, kDock));
    ASSERT_TRUE(sim_->Ok("search-reply " + MacString(kDock) + " advance 15")) << sim_->LastAnswer();
    ASSERT_TRUE(sim_->Ok("search-reply " + MacString(kDock) + " dock 15")) << sim_->LastAnswer();
    std::this_thread::sleep_for(2500ms);  // answers to searches already on their way
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 1 02:00:00:05:05:05")) << sim_->LastAnswer();
    const auto requestsBefore = sim_->Counters(kDock);
    ASSERT_TRUE(requestsBefore);

    auto old = DockDetail(1, 0);
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, old));
    auto fresh = old;
    fresh[17] = 1;
    std::copy_n(std::vector<uint8_t>{2, 0, 0, 5, 5, 5}.begin(), 6, fresh.begin() + 18);
    EXPECT_TRUE(IsResponse(Ask(kUpdateDetailInfo, MacBytes(kDock)), kUpdateDetailInfo, kSuccess, fresh));
    const auto requestsAfter = sim_->Counters(kDock);
    ASSERT_TRUE(requestsAfter);
    EXPECT_GT(requestsAfter->InfoRequests, requestsBefore->InfoRequests);
    // Command 7 now shows what command 14 read.
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, fresh));

    EXPECT_TRUE(IsResponse(Ask(kUpdateDetailInfo, MacBytes(kUnknown)), kUpdateDetailInfo, kVnNotFound,
                           MacBytes(kUnknown)));
    ExpectLengthChecked(kUpdateDetailInfo, kDock);
}

// qorlab --veths 1
TEST_F(MngCommands, PasswordAndDisconnectNeedAUnitThisHostConnected) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock)}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    EXPECT_TRUE(
        IsResponse(Ask(kGetVnPassword, MacBytes(kDock)), kGetVnPassword, kConnectFail, MacBytes(kDock)));
    EXPECT_TRUE(
        IsResponse(Ask(kGetVnPassword, MacBytes(kUnknown)), kGetVnPassword, kVnNotFound, MacBytes(kUnknown)));
    ExpectLengthChecked(kGetVnPassword, kDock);
    EXPECT_TRUE(IsResponse(Ask(kVnDisconnect, MacBytes(kDock)), kVnDisconnect, kDisconnectedAlready,
                           MacBytes(kDock)));
    EXPECT_TRUE(
        IsResponse(Ask(kVnDisconnect, MacBytes(kUnknown)), kVnDisconnect, kVnNotFound, MacBytes(kUnknown)));
    ExpectLengthChecked(kVnDisconnect, kDock);
    EXPECT_TRUE(IsResponse(Ask(kGetAllConnected), kGetAllConnected, kSuccess, {}));
}

// qorlab --veths 1
TEST_F(MngCommands, ConnectRequestIsCheckedBeforeTheUnitIsAsked) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock)}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    const auto mac = MacBytes(kDock);
    // Length outside 7..39: status 1, six zero bytes.
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, mac), kVnConnect, kParameterInvalid, Zeros(6)));
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, {}), kVnConnect, kParameterInvalid, Zeros(6)));
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 1, std::vector<uint8_t>(33, 'x'))),
                           kVnConnect, kParameterInvalid, Zeros(6)));
    // A flag other than 0 or 1, or flag 1 without a password byte: status 1, MAC echo.
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 2, Bytes("pw"))), kVnConnect,
                           kParameterInvalid, mac));
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 1)), kVnConnect, kParameterInvalid, mac));
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 0xFF)), kVnConnect, kParameterInvalid, mac));
    // Unknown unit: 32.
    EXPECT_TRUE(
        IsResponse(Ask(kVnConnect, ConnectRecord(kUnknown, 0)), kVnConnect, kVnNotFound, MacBytes(kUnknown)));
    // None of these wrote a record or connected anything.
    EXPECT_FALSE(PathExists(std::string(kConnectDir) + "/" + RecordName(kDock)));
    EXPECT_TRUE(IsResponse(Ask(kGetAllConnected), kGetAllConnected, kSuccess, {}));
}

// qorlab --veths 1
TEST_F(MngCommands, ConnectFailsWhenTheNicCannotSendOrTheUnitIsLate) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock)}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    ASSERT_TRUE(Map(client_, kDock));  // keeps the unit listed while it does not answer
    const auto mac = MacBytes(kDock);
    // Its answer would come after the 200 ms the service waits: 65.
    ASSERT_TRUE(sim_->Ok("delay " + MacString(kDock) + " 600")) << sim_->LastAnswer();
    EXPECT_TRUE(IsResponse(Ask(kVnConnect, ConnectRecord(kDock, 0)), kVnConnect, kConnectTimeout, mac));
    ASSERT_TRUE(sim_->Ok("delay " + MacString(kDock) + " 0")) << sim_->LastAnswer();
    std::this_thread::sleep_for(700ms);  // the late answer arrives and is dropped
    // The interface is down, so the command cannot be sent: 18.
    ASSERT_EQ(system("ip link set veth0 down"), 0);
    auto down = Ask(kVnConnect, ConnectRecord(kDock, 0));
    ASSERT_EQ(system("ip link set veth0 up"), 0);
    EXPECT_TRUE(IsResponse(down, kVnConnect, kNicTransmitFail, mac));
    EXPECT_NE(Log().find("TX CMD, connect fail"), std::string::npos) << Log();
    EXPECT_FALSE(PathExists(std::string(kConnectDir) + "/" + RecordName(kDock)));
    EXPECT_TRUE(IsResponse(Ask(kGetAllConnected), kGetAllConnected, kSuccess, {}));
}

// qorlab --veths 1
TEST_F(MngCommands, ClearRecordsEmptiesBothDirectoriesAndLeavesUnitsAsTheyAre) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({Unit("dock_basic", kDock)}));
    // Empty directories, with or without a payload.
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords), kClearAllRecords, kSuccess, {}));
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords, {1, 2, 3}), kClearAllRecords, kSuccess, {}));

    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    ASSERT_TRUE(Map(client_, kDock));
    ASSERT_TRUE(PathExists(MappingRecordPath(kDock)));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        ASSERT_TRUE(WriteFile(std::string(dir) + "/0a1b2c3d4e5f", std::string(32, '\xff')));
        ASSERT_TRUE(WriteFile(std::string(dir) + "/not-a-record", "x"));
    }
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords), kClearAllRecords, kSuccess, {}));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_TRUE(PathExists(dir)) << dir;
        for (const char* name : {"0a1b2c3d4e5f", "not-a-record"})
            EXPECT_FALSE(PathExists(std::string(dir) + "/" + name)) << dir << "/" << name;
    }
    EXPECT_FALSE(PathExists(MappingRecordPath(kDock)));
    // The unit is still mapped in memory.
    EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess,
                           Concat({MacBytes(kDock), {1, 1, 0}})));
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kMappingAlready, MacBytes(kDock)));

    // Directories that are gone: still 0.
    ASSERT_EQ(system("rm -rf /usr/share/qorservice_mapping /usr/share/qorservice_connect"), 0);
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords), kClearAllRecords, kSuccess, {}));
}

}  // namespace
}  // namespace qortest::mngtest
