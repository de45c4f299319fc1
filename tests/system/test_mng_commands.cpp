// The management commands against the real daemon, with units played by qorsim: every
// success answer byte for byte, and the error statuses that need a unit or a NIC to happen.
// Statuses for malformed requests and unknown MACs are proven by the stream model of
// MngServer.AStreamOfOddButWholePacketsIsAnsweredInOrder.
#include <sys/resource.h>

#include <algorithm>
#include <tuple>

#include "service_fixture.h"

namespace qortest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(1, 1);     // dock_basic: CTU, one UART, one DIO bank
const Mac kAdvance = UnitMac(1, 2);  // advance_password: CTU, four UARTs

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
const auto kDockRecord = BasicRecord(kDock, "VN-DOCK1", 0x00, 0, 3, 1, 0);
// advance mode (1), password enable (bit 4), external EEPROM (bit 7)
const auto kAdvanceRecord = BasicRecord(kAdvance, "VN-U4P", 0x91, 0, 5, 2, 9);

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

using MngCommands = ServiceTest;

// qorlab --veths 1
TEST_F(MngCommands, DebugSwitchesAndNicList) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    Step("debug switches");
    const std::string dumpOut = "===============================, Length:30\n";
    auto dumps = [&] { return CountOccurrences(Log(), dumpOut); };
    ASSERT_TRUE(Ask(kGetServiceInfo));
    EXPECT_EQ(dumps(), 0u) << "dumps are off at start";
    // Log on, management dump on: both directions are dumped.
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, {0, 1, 0, 1, 0, 0, 0}), kSetDebugConfig, kSuccess, {}));
    Ask(kGetServiceInfo);
    EXPECT_TRUE(WaitForFileContains(kLogPath, dumpOut, 2s));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "###############################, Length:12\n", 2s));
    EXPECT_NE(Log().find("CmdResponseEvent: RESPONSE_GET_SERVICE_INFO\n"), std::string::npos);
    // A refused record leaves the switches as they were (all zeros would stop the dumps).
    for (const auto& r : std::vector<std::vector<uint8_t>>{Zeros(6), Zeros(8), {0, 0, 0, 0, 0, 0, 2}}) {
        EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, r), kSetDebugConfig, kParameterInvalid, {})) << Hex(r);
        const size_t before = dumps();
        Ask(kGetServiceInfo);
        EXPECT_TRUE(WaitForFileContains(kLogPath, dumpOut, 2s, before + 1))
            << "dump stopped after " << Hex(r);
    }
    EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, Zeros(7)), kSetDebugConfig, kSuccess, {}));
    const size_t before = dumps();
    Ask(kGetServiceInfo);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(dumps(), before) << "seven zeros did not switch the dumps off";
    Step("NIC list and refresh");
    auto names = [](const std::optional<Packet>& p) {
        std::vector<std::string> n;
        if (p)
            for (const auto& nic : DecodeNicInfoList(p->Payload).value_or(std::vector<NicInfo>{}))
                n.push_back(nic.Name);
        return n;
    };
    ASSERT_EQ(
        system("ip link add qmx0 type veth peer name qmx1 && ip link set qmx0 up && ip link set qmx1 up"), 0);
    // Only a refresh brings new interfaces in.
    EXPECT_EQ(names(Ask(kGetAllNicInfo)), std::vector<std::string>{"veth0"});
    auto refreshed = Ask(kRefreshNic);
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(refreshed->Hdr.Status, kSuccess);
    // Index, MAC, name length and name per NIC, in ascending index order.
    const auto nics = DecodeNicInfoList(refreshed->Payload);
    ASSERT_TRUE(nics && nics->size() == 3) << Describe(*refreshed);
    EXPECT_TRUE(std::adjacent_find(nics->begin(), nics->end(), [](const NicInfo& a, const NicInfo& b) {
                    return a.Index >= b.Index;
                }) == nics->end());
    std::vector<uint8_t> want;
    for (const NicInfo& nic : *nics) {
        want = Concat({want,
                       {nic.Index},
                       MacBytes(ReadIfMac(nic.Name).value_or(Mac{})),
                       {static_cast<uint8_t>(nic.Name.size())},
                       Bytes(nic.Name)});
    }
    EXPECT_EQ(refreshed->Payload, want);
    auto sorted = names(refreshed);
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"qmx0", "qmx1", "veth0"}));
    EXPECT_TRUE(IsResponse(Ask(kGetAllNicInfo), kGetAllNicInfo, kSuccess, refreshed->Payload));
    ASSERT_EQ(system("ip link del qmx0"), 0);
    EXPECT_EQ(names(Ask(kRefreshNic)), std::vector<std::string>{"veth0"});

    // Without a free descriptor the service cannot read the interface list: status 17, no
    // payload, and the list stays as it was.
    struct rlimit saved {};
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    const struct rlimit none = {0, saved.rlim_max};
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, &none, nullptr), 0);
    auto failed = Ask(kRefreshNic);
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(IsResponse(failed, kRefreshNic, kNicRefreshFail, {}));
    EXPECT_EQ(names(Ask(kGetAllNicInfo)), std::vector<std::string>{"veth0"});
}

// qorlab --veths 2: dock_basic behind veth0, advance_password behind veth1.
TEST_F(MngCommands, SearchAndDetailRecordsShowEachUnitAsItReportsItself) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    SimProcess* far = StartSim({{"advance_password", kAdvance}}, 1);
    ASSERT_TRUE(far);
    ASSERT_TRUE(WaitListed(client_, kAdvance));
    Step("search by all NICs");
    // In registry order, which depends on which answer came first.
    auto p =
        RequestUntil(client_, kSearchByAllNic, {}, [](const Packet& q) { return q.Payload.size() == 56; });
    ASSERT_TRUE(p);
    EXPECT_EQ(p->Hdr.Status, kSuccess);
    EXPECT_TRUE(p->Payload == Concat({kDockRecord, kAdvanceRecord}) ||
                p->Payload == Concat({kAdvanceRecord, kDockRecord}))
        << Describe(*p);
    Step("detail records");
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    EXPECT_TRUE(
        IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, DockDetail(0, 0)));
    // Four UARTs of layout 4 behind a CTU of layout 1.
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    auto want = Concat({kAdvanceRecord, Zeros(8), {0, 0, 3, 1, 0, 8}, Bytes("U4P-EX"), {0, 0}});
    for (uint8_t ch = 1; ch <= 4; ++ch)
        want = Concat({want, {ch, 1, 3, 4, 0, 8, 0x00, 0x08, 0x00, 0x08, 0x07, 0x10, 0x00, 0x00}});
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kAdvance)), kGetSpecificVnInfo, kSuccess, want));
    Step("search by specific NIC");
    auto only = [](const Mac& unit) {
        return [unit](const Packet& p) {
            return p.Payload.size() == 28 && std::equal(unit.begin(), unit.end(), p.Payload.begin());
        };
    };
    using Nic = std::tuple<std::string, Mac, std::vector<uint8_t>>;
    for (const auto& [veth, unit, record] :
         {Nic{"veth0", kDock, kDockRecord}, Nic{"veth1", kAdvance, kAdvanceRecord}}) {
        SCOPED_TRACE(veth);
        const auto nic = MacBytes(ReadIfMac(veth).value_or(Mac{}));
        EXPECT_TRUE(IsResponse(RequestUntil(client_, kSearchBySpecificNic, nic, only(unit)),
                               kSearchBySpecificNic, kSuccess, record));
    }
    Step("a link to another host");
    // The host MAC shows only with link status 1.
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 1 02:00:00:05:05:05")) << sim_->LastAnswer();
    ASSERT_TRUE(far->Ok("link-state " + MacString(kAdvance) + " 0 02:00:00:06:06:06")) << far->LastAnswer();
    const auto linked =
        Concat({MacBytes(kDock), Model("VN-DOCK1"), {0x00, 1}, {2, 0, 0, 5, 5, 5}, {0, 3, 1, 0}});
    const auto both = [&](const Packet& q) {
        return q.Payload == Concat({linked, kAdvanceRecord}) || q.Payload == Concat({kAdvanceRecord, linked});
    };
    const auto q = RequestUntil(client_, kSearchByAllNic, {}, both);
    EXPECT_TRUE(q && both(*q)) << (q ? Describe(*q) : client_.Error());
}

// qorlab --veths 1
TEST_F(MngCommands, MappingGivesEachUartAMinorANodeAndARecord) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}, {"advance_password", kAdvance}}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess, {}));
    const auto dockMap = Concat({MacBytes(kDock), {1, 1, 0}});
    const auto advanceMap = Concat({MacBytes(kAdvance), {4, 1, 1, 2, 2, 3, 3, 4, 4}});
    Step("mapping");
    // dock_basic: one UART on channel 1, the first free minor; advance_password: four
    // UARTs, the next four minors in DIB order.
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kSuccess, dockMap));
    EXPECT_EQ(ReadFile(Record(kMappingDir, kDock)), "") << "no empty mapping record";
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kAdvance)), kVnMapping, kSuccess, advanceMap));
    // The detail and search records show the mapping; the list holds both units.
    EXPECT_TRUE(
        IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, DockDetail(1, 0)));
    EXPECT_EQ(WaitListed(client_, kDock).value_or(UnitInfo{}).Mapped, 1);
    auto all = Ask(kGetAllMappingInfo);
    ASSERT_TRUE(all);
    EXPECT_TRUE(all->Payload == Concat({dockMap, advanceMap}) ||
                all->Payload == Concat({advanceMap, dockMap}))
        << Describe(*all);
    Step("a node that cannot be removed");
    // dock_basic holds minor 0: 52, and the unit stays mapped with its record.
    ASSERT_EQ(unlink("/dev/ttyVN0"), 0);
    ASSERT_EQ(mkdir("/dev/ttyVN0", 0700), 0);
    ASSERT_TRUE(WriteFile("/dev/ttyVN0/keep", "x"));
    EXPECT_TRUE(Echoes(kVnUnmapping, kDock, 52));
    EXPECT_TRUE(PathExists(Record(kMappingDir, kDock)));
    EXPECT_EQ(WaitListed(client_, kDock).value_or(UnitInfo{}).Mapped, 1);
    EXPECT_NE(Log().find("delete ttyVN0 fail"), std::string::npos);
    Step("clear all records");
    // Every file of both directories goes, record or not; the units stay mapped in memory.
    for (const char* dir : {kMappingDir, kConnectDir}) {
        ASSERT_TRUE(WriteFile(std::string(dir) + "/0a1b2c3d4e5f", std::string(32, '\xff')));
        ASSERT_TRUE(WriteFile(std::string(dir) + "/not-a-record", "x"));
    }
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords, {1, 2, 3}), kClearAllRecords, kSuccess, {}));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_TRUE(PathExists(dir)) << dir;
        for (const char* name : {"0a1b2c3d4e5f", "not-a-record"})
            EXPECT_FALSE(PathExists(std::string(dir) + "/" + name)) << dir << "/" << name;
    }
    EXPECT_FALSE(PathExists(Record(kMappingDir, kDock)));
    EXPECT_FALSE(PathExists(Record(kMappingDir, kAdvance)));
    EXPECT_TRUE(Echoes(kVnMapping, kDock, kMappingAlready));
    // Directories that are gone: still 0.
    ASSERT_EQ(system("rm -rf /usr/share/qorservice_mapping /usr/share/qorservice_connect"), 0);
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords), kClearAllRecords, kSuccess, {}));
}

// qorlab --veths 1
TEST_F(MngCommands, UpdateDetailInfoReadsTheUnitAgain) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
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

    const auto old = DockDetail(1, 0);
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, old));
    auto fresh = old;
    fresh[17] = 1;
    std::copy_n(std::vector<uint8_t>{2, 0, 0, 5, 5, 5}.begin(), 6, fresh.begin() + 18);
    EXPECT_TRUE(IsResponse(Ask(kUpdateDetailInfo, MacBytes(kDock)), kUpdateDetailInfo, kSuccess, fresh));
    EXPECT_GT(sim_->Counters(kDock).value_or(SimUnitCounters{}).InfoRequests, requestsBefore->InfoRequests);
    // Command 7 now shows what command 14 read.
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, fresh));
}

}  // namespace
}  // namespace qortest
