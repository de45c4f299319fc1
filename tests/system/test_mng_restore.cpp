// Mapping and connect records across a restart of the daemon: what a start restores, in
// which order, from which file names and contents, and what clear-all leaves.
#include <sys/stat.h>

#include <algorithm>

#include "mng_fixture.h"

namespace qortest::mngtest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(3, 1);                            // dock_basic: dock mode, no password
const Mac kAdvance = UnitMac(3, 2);                         // advance_password: "varnel-secret"
const Mac kOpen = UnitMac(3, 3);                            // ctu_uart2: advance mode, no password needed
const Mac kOpen2 = UnitMac(3, 4);                           // ctu_uart2
const Mac kLetters = {0x02, 0x00, 0x00, 0xAB, 0xCD, 0xEF};  // dock_basic, named in upper case

// The connect record of a password: reversed, right-aligned in 32 bytes, bits inverted.
std::string StoredForm(const std::string& password) {
    std::string raw(32, '\0');
    for (size_t i = 0; i < password.size(); ++i) raw[31 - i] = password[i];
    for (auto& c : raw) c = static_cast<char>(~static_cast<uint8_t>(c));
    return raw;
}

std::string Upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return s;
}

class MngRestore : public MngTest {
  protected:
    // Record directories as the daemon makes them, for records written before it starts.
    static void MakeRecordDirs() {
        for (const char* dir : {kMappingDir, kConnectDir}) {
            mkdir(dir, 0700);
            ASSERT_TRUE(PathExists(dir)) << dir;
        }
    }

    void StartUnits(const std::vector<std::pair<std::string, Mac>>& units) {
        sim_ = StartUnitsSim(units);
        ASSERT_TRUE(sim_);
    }

    void Restart() {
        ASSERT_EQ(Stop(), 0) << "the daemon did not stop cleanly";
        daemon_.reset();
        ASSERT_NO_FATAL_FAILURE(StartService());
        startedAt_ = Clock::now();
        client_ = NewClient();
    }

    std::vector<Mac> Mapped() {
        auto p = client_.Request(kGetAllMappingInfo);
        std::vector<Mac> macs;
        if (auto list = p ? DecodeMappingInfoList(p->Payload) : std::nullopt)
            for (const auto& m : *list) macs.push_back(m.UnitMac);
        std::sort(macs.begin(), macs.end());
        return macs;
    }
    std::vector<Mac> Connected() {
        auto p = client_.Request(kGetAllConnected);
        std::vector<Mac> macs;
        if (auto list = p ? DecodeUnitInfoList(p->Payload, true) : std::nullopt)
            for (const auto& u : *list) macs.push_back(u.UnitMac);
        std::sort(macs.begin(), macs.end());
        return macs;
    }
    static std::vector<Mac> Sorted(std::vector<Mac> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    std::optional<Packet> Password(const Mac& mac) {
        auto p = client_.Request(kGetVnPassword, MacBytes(mac));
        EXPECT_TRUE(p) << client_.Error();
        return p;
    }

    // Seconds since the (re)start until cond held; fails the test past the deadline.
    double SecondsUntil(const std::function<bool()>& cond, Clock::duration timeout) {
        if (!Eventually(cond, timeout, 100ms)) {
            ADD_FAILURE() << "not restored in time; log:\n" << Log();
            return -1;
        }
        return std::chrono::duration<double>(Clock::now() - startedAt_).count();
    }

    static std::string MappingRecord(const Mac& m) { return std::string(kMappingDir) + "/" + RecordName(m); }
    static std::string ConnectRecordPath(const Mac& m) {
        return std::string(kConnectDir) + "/" + RecordName(m);
    }

    SimProcess* sim_ = nullptr;
    Client client_;
    Clock::time_point startedAt_{};
};

// qorlab --veths 1
TEST_F(MngRestore, MappedAndConnectedUnitsComeBackMappedFirst) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(
        StartUnits({{"dock_basic", kDock}, {"advance_password", kAdvance}, {"ctu_uart2", kOpen}}));
    client_ = NewClient();
    for (const Mac& m : {kDock, kAdvance, kOpen}) ASSERT_TRUE(WaitListed(client_, m));
    // Mapped before connected (a connected unit cannot be mapped).
    ASSERT_TRUE(Map(client_, kDock));
    ASSERT_TRUE(Map(client_, kOpen));
    for (const auto& record : {ConnectRecord(kDock, 0), ConnectRecord(kAdvance, "varnel-secret")}) {
        auto p = ConnectUnit(client_, record);
        ASSERT_TRUE(p && p->Hdr.Status == kSuccess) << (p ? Describe(*p) : client_.Error());
    }
    ASSERT_EQ(Mapped(), Sorted({kDock, kOpen}));
    ASSERT_EQ(Connected(), Sorted({kDock, kAdvance}));

    ASSERT_NO_FATAL_FAILURE(Restart());
    const double mappedAt = SecondsUntil([&] { return Mapped() == Sorted({kDock, kOpen}); }, 12s);
    const double connectedAt = SecondsUntil([&] { return Connected() == Sorted({kDock, kAdvance}); }, 12s);
    EXPECT_LE(mappedAt, connectedAt);
    EXPECT_LT(connectedAt, 11.0);
    // Both at once for the unit that was both: so it was mapped before it was connected.
    EXPECT_EQ(Mapped(), Sorted({kDock, kOpen}));
    EXPECT_EQ(Log().find("mapping FAIL"), std::string::npos) << Log();
    // The password came back from the record and reached the unit (it accepted it).
    EXPECT_TRUE(IsResponse(Password(kAdvance), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kAdvance), {13}, Bytes("varnel-secret")})));
    EXPECT_EQ(ReadFile(ConnectRecordPath(kAdvance)), StoredForm("varnel-secret"));
    auto detail = DecodeDetailInfo(client_.Request(kGetSpecificVnInfo, MacBytes(kDock))->Payload);
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->Unit.Mapped, 1);
    EXPECT_EQ(detail->Unit.LinkStatus, 1);
}

// qorlab --veths 1
TEST_F(MngRestore, UpperCaseRecordNamesRestoreTheSameUnit) {
    ASSERT_NO_FATAL_FAILURE(MakeRecordDirs());
    ASSERT_EQ(RecordName(kLetters), "020000abcdef");
    ASSERT_TRUE(WriteFile(std::string(kMappingDir) + "/" + Upper(RecordName(kLetters)), ""));
    ASSERT_TRUE(
        WriteFile(std::string(kConnectDir) + "/" + Upper(RecordName(kLetters)), std::string(32, '\xff')));
    // Names that are not twelve hexadecimal digits are left alone.
    ASSERT_TRUE(WriteFile(std::string(kMappingDir) + "/020000abcdeg", ""));
    ASSERT_TRUE(WriteFile(std::string(kMappingDir) + "/020000abcdef0", ""));
    ASSERT_NO_FATAL_FAILURE(StartService());
    startedAt_ = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartUnits({{"dock_basic", kLetters}}));
    client_ = NewClient();
    SecondsUntil(
        [&] { return Mapped() == std::vector<Mac>{kLetters} && Connected() == std::vector<Mac>{kLetters}; },
        12s);
    EXPECT_TRUE(PathExists(std::string(kMappingDir) + "/020000abcdeg"));
    EXPECT_TRUE(IsResponse(Password(kLetters), kGetVnPassword, kSuccess, Concat({MacBytes(kLetters), {0}})));
}

// qorlab --veths 1
TEST_F(MngRestore, AUnitRestoredFromUpperCaseRecordsCanBeLetGo) {
    ASSERT_NO_FATAL_FAILURE(MakeRecordDirs());
    ASSERT_TRUE(WriteFile(std::string(kMappingDir) + "/" + Upper(RecordName(kLetters)), ""));
    ASSERT_TRUE(
        WriteFile(std::string(kConnectDir) + "/" + Upper(RecordName(kLetters)), std::string(32, '\xff')));
    ASSERT_NO_FATAL_FAILURE(StartService());
    startedAt_ = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartUnits({{"dock_basic", kLetters}}));
    client_ = NewClient();
    SecondsUntil(
        [&] { return Mapped() == std::vector<Mac>{kLetters} && Connected() == std::vector<Mac>{kLetters}; },
        12s);
    // Disconnected and unmapped by a client, the unit must not come back at the next start:
    // no record of it may survive, whatever the case of its name.
    EXPECT_TRUE(IsResponse(client_.Request(kVnDisconnect, MacBytes(kLetters)), kVnDisconnect, kSuccess,
                           MacBytes(kLetters)));
    EXPECT_TRUE(IsResponse(client_.Request(kVnUnmapping, MacBytes(kLetters)), kVnUnmapping, kSuccess,
                           MacBytes(kLetters)));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_FALSE(PathExists(std::string(dir) + "/" + RecordName(kLetters))) << dir;
        EXPECT_FALSE(PathExists(std::string(dir) + "/" + Upper(RecordName(kLetters)))) << dir;
    }
    ASSERT_NO_FATAL_FAILURE(Restart());
    ASSERT_TRUE(WaitListed(client_, kLetters));
    std::this_thread::sleep_for(startedAt_ + 11s - Clock::now());
    EXPECT_TRUE(Mapped().empty());
    EXPECT_TRUE(Connected().empty());
}

// qorlab --veths 1
TEST_F(MngRestore, AShortConnectRecordReadsZerosForItsMissingBytes) {
    ASSERT_NO_FATAL_FAILURE(MakeRecordDirs());
    // Full record: "abc" comes back as sent.
    ASSERT_TRUE(WriteFile(ConnectRecordPath(kOpen2), StoredForm("abc")));
    // Cut to 30 bytes: the last two, where the password's first bytes lie, read as zero,
    // so nothing of it is left (0xFF there would have read back as two 0xFF bytes).
    ASSERT_TRUE(WriteFile(ConnectRecordPath(kOpen), StoredForm("abc").substr(0, 30)));
    // An empty record: no password at all; a dock unit connects with it.
    ASSERT_TRUE(WriteFile(ConnectRecordPath(kDock), ""));
    // The right password cut short by one byte loses its first byte: the unit refuses it.
    ASSERT_TRUE(WriteFile(ConnectRecordPath(kAdvance), StoredForm("varnel-secret").substr(0, 31)));
    ASSERT_NO_FATAL_FAILURE(StartService());
    startedAt_ = Clock::now();
    ASSERT_NO_FATAL_FAILURE(StartUnits({{"ctu_uart2", kOpen},
                                        {"ctu_uart2", kOpen2},
                                        {"dock_basic", kDock},
                                        {"advance_password", kAdvance}}));
    client_ = NewClient();
    SecondsUntil([&] { return Connected() == Sorted({kOpen, kOpen2, kDock}); }, 12s);
    EXPECT_TRUE(IsResponse(Password(kOpen2), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kOpen2), {3}, Bytes("abc")})));
    EXPECT_TRUE(IsResponse(Password(kOpen), kGetVnPassword, kSuccess, Concat({MacBytes(kOpen), {0}})));
    EXPECT_TRUE(IsResponse(Password(kDock), kGetVnPassword, kSuccess, Concat({MacBytes(kDock), {0}})));
    const std::string refused = "VN  (:00:03:02), CFG, ";
    EXPECT_TRUE(WaitForFileContains(kLogPath, refused, 12s)) << Log();
    const std::string log = Log();
    const size_t at = log.find(refused);
    ASSERT_NE(at, std::string::npos);
    EXPECT_NE(log.find("connect FAIL, nStatus:x45", at), std::string::npos) << log;
    EXPECT_EQ(Connected(), Sorted({kOpen, kOpen2, kDock}));
}

// qorlab --veths 1
TEST_F(MngRestore, AfterClearAllNothingIsRestored) {
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_NO_FATAL_FAILURE(StartUnits({{"dock_basic", kDock}, {"advance_password", kAdvance}}));
    client_ = NewClient();
    for (const Mac& m : {kDock, kAdvance}) ASSERT_TRUE(WaitListed(client_, m));
    ASSERT_TRUE(Map(client_, kDock));
    for (const auto& record : {ConnectRecord(kDock, 0), ConnectRecord(kAdvance, "varnel-secret")}) {
        auto p = ConnectUnit(client_, record);
        ASSERT_TRUE(p && p->Hdr.Status == kSuccess) << (p ? Describe(*p) : client_.Error());
    }
    ASSERT_TRUE(PathExists(MappingRecord(kDock)));
    ASSERT_TRUE(PathExists(ConnectRecordPath(kAdvance)));
    EXPECT_TRUE(IsResponse(client_.Request(kClearAllRecords), kClearAllRecords, kSuccess, {}));

    ASSERT_NO_FATAL_FAILURE(Restart());
    for (const Mac& m : {kDock, kAdvance}) ASSERT_TRUE(WaitListed(client_, m));
    // Past the restore's ten seconds: nothing mapped, nothing connected, no records.
    std::this_thread::sleep_for(startedAt_ + 11s - Clock::now());
    EXPECT_TRUE(Mapped().empty());
    EXPECT_TRUE(Connected().empty());
    for (const char* dir : {kMappingDir, kConnectDir}) {
        auto listing = [&] {
            std::string names;
            for (const Mac& m : {kDock, kAdvance})
                if (PathExists(std::string(dir) + "/" + RecordName(m))) names += RecordName(m) + " ";
            return names;
        };
        EXPECT_EQ(listing(), "") << dir;
    }
}

// qorlab --veths 1
TEST_F(MngRestore, AUnitFoundAfterTheRestorePassesIsNotRestored) {
    ASSERT_NO_FATAL_FAILURE(MakeRecordDirs());
    ASSERT_TRUE(WriteFile(MappingRecord(kDock), ""));
    ASSERT_TRUE(WriteFile(ConnectRecordPath(kDock), std::string(32, '\xff')));
    ASSERT_NO_FATAL_FAILURE(StartService());
    startedAt_ = Clock::now();
    client_ = NewClient();
    // Five mapping and five connect passes a second apart: done after ten seconds.
    std::this_thread::sleep_for(startedAt_ + 11s - Clock::now());
    ASSERT_NO_FATAL_FAILURE(StartUnits({{"dock_basic", kDock}}));
    ASSERT_TRUE(WaitListed(client_, kDock));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(Mapped().empty());
    EXPECT_TRUE(Connected().empty());
    // The records stay for the next start.
    EXPECT_TRUE(PathExists(MappingRecord(kDock)));
    EXPECT_TRUE(PathExists(ConnectRecordPath(kDock)));
}

}  // namespace
}  // namespace qortest::mngtest
