// The management commands against the real daemon, with units played by qorsim: every
// success answer byte for byte, and the error statuses that need a unit or a NIC to happen.
// Statuses for malformed requests and unknown MACs are proven by the stream model of
// MngServer.AStreamOfOddButWholePacketsIsAnsweredInOrder.
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <tuple>

#include "service_fixture.h"

namespace qortest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(1, 1);     // dock_basic: CTU, one UART, one DIO bank
const Mac kAdvance = UnitMac(1, 2);  // advance_password: CTU, four UARTs

// The 28-byte search record of a unit: MAC, model, type info, link status, host MAC, mapped,
// channels, versions.
std::vector<uint8_t> BasicRecord(const Mac& mac, const std::string& model, uint8_t typeInfo, uint8_t mapped,
                                 uint8_t channels, uint8_t major, uint8_t minor, uint8_t link = 0,
                                 const std::vector<uint8_t>& host = Zeros(6)) {
    auto name = Bytes(model);
    name.resize(10, 0);
    return Concat({MacBytes(mac), name, {typeInfo, link}, host, {mapped, channels, major, minor}});
}
const auto kDockRecord = BasicRecord(kDock, "VN-DOCK1", 0x00, 0, 3, 1, 0);
// advance mode (1), password enable (bit 4), external EEPROM (bit 7)
const auto kAdvanceRecord = BasicRecord(kAdvance, "VN-U4P", 0x91, 0, 5, 2, 9);

// Detail record of dock_basic, not connected: the record, no ports, then its channel entries.
std::vector<uint8_t> DockDetail(uint8_t mapped, uint8_t link = 0,
                                const std::vector<uint8_t>& host = Zeros(6)) {
    return Concat(
        {BasicRecord(kDock, "VN-DOCK1", 0x00, mapped, 3, 1, 0, link, host),
         Zeros(8),
         // CTU, layout 0: the device name, three words
         {0, 0, 4, 0, 0, 12},
         Bytes("Dock unit   "),
         // UART layout 1: TX and RX buffer sizes
         {1, 1, 2, 1, 0, 4, 0x80, 0x00, 0x80, 0x00},
         // DIO layout 1, one bank
         {2, 3, 5, 1, 0, 16},
         {0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x40, 0x78, 0x7D, 0x01, 0xC7, 0x01, 0x00, 0x00}});
}

// Index, MAC, name length and name of each interface, in ascending index order.
std::vector<uint8_t> NicList(const std::vector<std::string>& names) {
    std::map<uint8_t, std::vector<uint8_t>> byIndex;
    for (const auto& name : names) {
        const int index = std::stoi(ReadFile("/sys/class/net/" + name + "/ifindex").value_or("0"));
        byIndex[static_cast<uint8_t>(index)] = Concat({{static_cast<uint8_t>(index)},
                                                       MacBytes(ReadIfMac(name).value_or(Mac{})),
                                                       {static_cast<uint8_t>(name.size())},
                                                       Bytes(name)});
    }
    std::vector<uint8_t> out;
    for (const auto& [index, record] : byIndex) out = Concat({out, record});
    return out;
}

using MngCommands = ServiceTest;

// qorlab --veths 1
TEST_F(MngCommands, DebugSwitchesAndNicList) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({}));
    // Log and management dump on: both directions are dumped. A refused record leaves the
    // switches as they were; seven zeros switch the dumps off.
    const std::string dumpOut = "===============================, Length:30\n";
    const auto dumps = [&] { return CountOccurrences(Log(), dumpOut); };
    ASSERT_TRUE(Ask(kGetServiceInfo));
    EXPECT_EQ(dumps(), 0u) << "dumps are off at start";
    const std::vector<std::tuple<std::vector<uint8_t>, uint16_t, size_t>> switches = {
        {{0, 1, 0, 1, 0, 0, 0}, kSuccess, 1},
        {Zeros(6), kParameterInvalid, 1},
        {Zeros(8), kParameterInvalid, 1},
        {{0, 0, 0, 0, 0, 0, 2}, kParameterInvalid, 1},
        {Zeros(7), kSuccess, 0},
    };
    for (const auto& [record, status, dumped] : switches) {
        EXPECT_TRUE(IsResponse(Ask(kSetDebugConfig, record), kSetDebugConfig, status, {}));
        const size_t before = dumps();
        Ask(kGetServiceInfo);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(dumps(), before + dumped) << Hex(record);
    }
    EXPECT_TRUE(WaitForFileContains(kLogPath, "###############################, Length:12\n", 2s));
    EXPECT_NE(Log().find("CmdResponseEvent: RESPONSE_GET_SERVICE_INFO\n"), std::string::npos);
    // Only a refresh brings new interfaces in, or takes gone ones out.
    ASSERT_EQ(
        system("ip link add qmx0 type veth peer name qmx1 && ip link set qmx0 up && ip link set qmx1 up"), 0);
    EXPECT_TRUE(IsResponse(Ask(kGetAllNicInfo), kGetAllNicInfo, kSuccess, NicList({"veth0"})));
    const auto all = NicList({"veth0", "qmx0", "qmx1"});
    EXPECT_TRUE(IsResponse(Ask(kRefreshNic), kRefreshNic, kSuccess, all));
    EXPECT_TRUE(IsResponse(Ask(kGetAllNicInfo), kGetAllNicInfo, kSuccess, all));
    const auto veth0 = NicList({"veth0"});
    ASSERT_EQ(system("ip link del qmx0"), 0);
    EXPECT_TRUE(IsResponse(Ask(kRefreshNic), kRefreshNic, kSuccess, veth0));
    // Without a free descriptor the service cannot read the interface list: 17, no payload,
    // and the list stays as it was.
    struct rlimit saved {};
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, nullptr, &saved), 0);
    const struct rlimit none = {0, saved.rlim_max};
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, &none, nullptr), 0);
    auto failed = Ask(kRefreshNic);
    ASSERT_EQ(prlimit(daemon_->Pid(), RLIMIT_NOFILE, &saved, nullptr), 0);
    EXPECT_TRUE(IsResponse(failed, kRefreshNic, kNicRefreshFail, {}));
    EXPECT_TRUE(IsResponse(Ask(kGetAllNicInfo), kGetAllNicInfo, kSuccess, veth0));
}

// qorlab --veths 2: dock_basic behind veth0, advance_password behind veth1.
TEST_F(MngCommands, SearchAndDetailRecordsShowEachUnitAsItReportsItself) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}}));
    SimProcess* far = StartSim({{"advance_password", kAdvance}}, 1);
    ASSERT_TRUE(far);
    ASSERT_TRUE(WaitListed(client_, kAdvance));
    // Search by all NICs: in registry order, which depends on which answer came first. The
    // host MAC shows only with link status 1.
    const auto both = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
        return [=](const Packet& q) { return q.Payload == Concat({a, b}) || q.Payload == Concat({b, a}); };
    };
    const auto found = both(kDockRecord, kAdvanceRecord);
    auto p = RequestUntil(client_, kSearchByAllNic, {}, found);
    EXPECT_TRUE(p && p->Hdr.Status == kSuccess && found(*p)) << (p ? Describe(*p) : client_.Error());
    // Search by specific NIC: the units behind that NIC only.
    for (const auto& [veth, record] : {std::pair{"veth0", kDockRecord}, std::pair{"veth1", kAdvanceRecord}}) {
        const auto nic = MacBytes(ReadIfMac(veth).value_or(Mac{}));
        const auto only = [want = record](const Packet& q) { return q.Payload == want; };
        EXPECT_TRUE(IsResponse(RequestUntil(client_, kSearchBySpecificNic, nic, only), kSearchBySpecificNic,
                               kSuccess, record))
            << veth;
    }
    // Detail records; four UARTs of layout 4 behind a CTU of layout 1.
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    EXPECT_TRUE(
        IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, DockDetail(0)));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    auto want = Concat({kAdvanceRecord, Zeros(8), {0, 0, 3, 1, 0, 8}, Bytes("U4P-EX"), {0, 0}});
    for (uint8_t ch = 1; ch <= 4; ++ch) {
        want = Concat({want, {ch, 1, 3, 4, 0, 8, 0x00, 0x08, 0x00, 0x08, 0x07, 0x10, 0x00, 0x00}});
    }
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kAdvance)), kGetSpecificVnInfo, kSuccess, want));
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 1 02:00:00:05:05:05")) << sim_->LastAnswer();
    ASSERT_TRUE(far->Ok("link-state " + MacString(kAdvance) + " 0 02:00:00:06:06:06")) << far->LastAnswer();
    const auto linked =
        both(BasicRecord(kDock, "VN-DOCK1", 0x00, 0, 3, 1, 0, 1, {2, 0, 0, 5, 5, 5}), kAdvanceRecord);
    const auto q = RequestUntil(client_, kSearchByAllNic, {}, linked);
    EXPECT_TRUE(q && linked(*q)) << (q ? Describe(*q) : client_.Error());
}

// qorlab --veths 1
TEST_F(MngCommands, MappingGivesEachUartAMinorANodeAndARecordAndCommand14ReadsTheUnitAgain) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"dock_basic", kDock}, {"advance_password", kAdvance}}));
    ASSERT_TRUE(WaitDetail(client_, kDock, 3));
    ASSERT_TRUE(WaitDetail(client_, kAdvance, 5));
    EXPECT_TRUE(IsResponse(Ask(kGetAllMappingInfo), kGetAllMappingInfo, kSuccess, {}));
    // dock_basic: one UART on channel 1, the first free minor; advance_password: four UARTs,
    // the next four minors in DIB order. An empty record file each; the list holds both.
    const auto dockMap = Concat({MacBytes(kDock), {1, 1, 0}});
    const auto advanceMap = Concat({MacBytes(kAdvance), {4, 1, 1, 2, 2, 3, 3, 4, 4}});
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kDock)), kVnMapping, kSuccess, dockMap));
    EXPECT_TRUE(IsResponse(Ask(kVnMapping, MacBytes(kAdvance)), kVnMapping, kSuccess, advanceMap));
    EXPECT_EQ(ReadFile(Record(kMappingDir, kDock)), "");
    EXPECT_EQ(WaitListed(client_, kDock).value_or(UnitInfo{}).Mapped, 1);
    auto all = Ask(kGetAllMappingInfo).value_or(Packet{}).Payload;
    EXPECT_TRUE(all == Concat({dockMap, advanceMap}) || all == Concat({advanceMap, dockMap})) << Hex(all);
    // Mapped, the unit is never dropped; answering searches with a code the service does not
    // take as a search answer, it gets no refresh but the one command 14 asks for, which
    // answers what it read; command 7 shows it from then on.
    ASSERT_TRUE(sim_->Ok("search-reply " + MacString(kDock) + " advance 15")) << sim_->LastAnswer();
    ASSERT_TRUE(sim_->Ok("search-reply " + MacString(kDock) + " dock 15")) << sim_->LastAnswer();
    std::this_thread::sleep_for(2500ms);  // answers to searches already on their way
    ASSERT_TRUE(sim_->Ok("link-state " + MacString(kDock) + " 1 02:00:00:05:05:05")) << sim_->LastAnswer();
    const auto before = sim_->Counters(kDock).value_or(SimUnitCounters{}).InfoRequests;
    EXPECT_TRUE(
        IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, DockDetail(1)));
    const auto fresh = DockDetail(1, 1, {2, 0, 0, 5, 5, 5});
    EXPECT_TRUE(IsResponse(Ask(kUpdateDetailInfo, MacBytes(kDock)), kUpdateDetailInfo, kSuccess, fresh));
    EXPECT_GT(sim_->Counters(kDock).value_or(SimUnitCounters{}).InfoRequests, before);
    EXPECT_TRUE(IsResponse(Ask(kGetSpecificVnInfo, MacBytes(kDock)), kGetSpecificVnInfo, kSuccess, fresh));
    // A node that cannot be removed: 52, and the unit stays mapped with its record.
    ASSERT_EQ(unlink("/dev/ttyVN0"), 0);
    ASSERT_EQ(mkdir("/dev/ttyVN0", 0700), 0);
    ASSERT_TRUE(WriteFile("/dev/ttyVN0/keep", "x"));
    EXPECT_TRUE(Echoes(kVnUnmapping, kDock, 52));
    EXPECT_TRUE(PathExists(Record(kMappingDir, kDock)));
    EXPECT_NE(Log().find("delete ttyVN0 fail"), std::string::npos);
    // Clear all records: every file of both directories goes, record or not (any payload), and
    // the units stay mapped; directories that are gone answer 0 too.
    for (const char* dir : {kMappingDir, kConnectDir}) {
        ASSERT_TRUE(WriteFile(std::string(dir) + "/0a1b2c3d4e5f", std::string(32, '\xff')));
        ASSERT_TRUE(WriteFile(std::string(dir) + "/not-a-record", "x"));
    }
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords, {1, 2, 3}), kClearAllRecords, kSuccess, {}));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0) << dir;
    }
    EXPECT_TRUE(Echoes(kVnMapping, kDock, kMappingAlready));
    ASSERT_EQ(system("rm -rf /usr/share/qorservice_mapping /usr/share/qorservice_connect"), 0);
    EXPECT_TRUE(IsResponse(Ask(kClearAllRecords), kClearAllRecords, kSuccess, {}));
}

}  // namespace
}  // namespace qortest
