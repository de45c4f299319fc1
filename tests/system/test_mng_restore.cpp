// Mapping and connect records across a restart of the daemon: what a start restores, in
// which order, from which file names, and what clear-all and a late unit leave. How a record
// file is named and read is proven by the unit tests of the record helpers.
#include <sys/stat.h>

#include "service_fixture.h"

namespace qortest {
namespace {

using namespace mng;

const Mac kDock = UnitMac(3, 1);                            // dock_basic: dock mode, no password
const Mac kAdvance = UnitMac(3, 2);                         // advance_password: "varnel-secret"
const Mac kOpen = UnitMac(3, 3);                            // ctu_uart2: advance mode, no password needed
const Mac kLate = UnitMac(3, 4);                            // dock_basic, found after the restore
const Mac kLetters = {0x02, 0x00, 0x00, 0xAB, 0xCD, 0xEF};  // dock_basic, named in upper case

class MngRestore : public ServiceTest {
  protected:
    void StartAt() {
        ASSERT_NO_FATAL_FAILURE(StartService());
        startedAt_ = Clock::now();
        client_ = NewClient();
    }

    void Restart() {
        ASSERT_EQ(Stop(), 0) << "the daemon did not stop cleanly";
        daemon_.reset();
        ASSERT_NO_FATAL_FAILURE(StartAt());
    }

    std::vector<Mac> Mapped() { return Listed(client_, kGetAllMappingInfo); }
    std::vector<Mac> Connected() { return Listed(client_, kGetAllConnected); }

    // Seconds since the (re)start until cond held; fails the test past the deadline.
    double SecondsUntil(const std::function<bool()>& cond, Clock::duration timeout = 12s) {
        if (!Eventually(cond, timeout, 100ms)) {
            ADD_FAILURE() << "not restored in time";
            return -1;
        }
        return std::chrono::duration<double>(Clock::now() - startedAt_).count();
    }

    // Waits until the restore's five mapping and five connect passes, a second apart, are over.
    void PastTheRestore() { std::this_thread::sleep_for(startedAt_ + 11s - Clock::now()); }

    Clock::time_point startedAt_{};
};

// qorlab --veths 1
TEST_F(MngRestore, RecordsBringUnitsBackMappedFirstOnlyWithinTheRestorePasses) {
    for (const char* dir : {kMappingDir, kConnectDir}) ASSERT_EQ(mkdir(dir, 0700), 0) << dir;
    const std::string upper = "/020000ABCDEF";  // kLetters
    ASSERT_TRUE(WriteFile(kMappingDir + upper, ""));
    ASSERT_TRUE(WriteFile(kConnectDir + upper, std::string(32, '\xff')));
    // Records of a unit that appears only after the restore passes.
    ASSERT_TRUE(WriteFile(Record(kMappingDir, kLate), ""));
    ASSERT_TRUE(WriteFile(Record(kConnectDir, kLate), std::string(32, '\xff')));
    ASSERT_NO_FATAL_FAILURE(StartAt());
    SimProcess* sim = StartSim({{"dock_basic", kDock},
                                {"advance_password", kAdvance},
                                {"ctu_uart2", kOpen},
                                {"dock_basic", kLetters}});
    ASSERT_TRUE(sim);

    Step("record names in upper case");
    SecondsUntil(
        [&] { return Mapped() == std::vector<Mac>{kLetters} && Connected() == std::vector<Mac>{kLetters}; });
    EXPECT_TRUE(IsResponse(client_.Request(kGetVnPassword, MacBytes(kLetters)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kLetters), {0}})));
    Step("a unit found after the restore passes");
    PastTheRestore();
    ASSERT_TRUE(sim->Ok("add dock_basic " + MacString(kLate) + " " + lab_.PeerIfs[0])) << sim->LastAnswer();
    ASSERT_TRUE(WaitListed(client_, kLate));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Mapped(), std::vector<Mac>{kLetters});
    EXPECT_EQ(Connected(), std::vector<Mac>{kLetters});
    // Its records stay for the next start (and go now, so that it does not come back).
    for (const char* dir : {kMappingDir, kConnectDir})
        EXPECT_EQ(unlink(Record(dir, kLate).c_str()), 0) << dir;
    Step("let go by a client");
    // Disconnected and unmapped, the unit must not come back at the next start: no record of
    // it may survive, whatever the case of its name.
    EXPECT_TRUE(Echoes(kVnDisconnect, kLetters, kSuccess));
    EXPECT_TRUE(Echoes(kVnUnmapping, kLetters, kSuccess));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_FALSE(PathExists(Record(dir, kLetters))) << dir;
        EXPECT_FALSE(PathExists(dir + upper)) << dir;
    }

    Step("restart");
    // Mapped before connected (a connected unit cannot be mapped).
    ASSERT_TRUE(Map(client_, kDock));
    ASSERT_TRUE(Map(client_, kOpen));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kDock, 0)));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, "varnel-secret")));
    ASSERT_NO_FATAL_FAILURE(Restart());
    const double mappedAt = SecondsUntil([&] { return Mapped() == std::vector<Mac>{kDock, kOpen}; });
    const double connectedAt = SecondsUntil([&] { return Connected() == std::vector<Mac>{kDock, kAdvance}; });
    EXPECT_LE(mappedAt, connectedAt);
    EXPECT_LT(connectedAt, 11.0);
    // Both for the unit that was both: so it was mapped before it was connected.
    EXPECT_EQ(Mapped(), (std::vector<Mac>{kDock, kOpen}));
    EXPECT_EQ(Log().find("mapping FAIL"), std::string::npos);
    // The password came back from the record and reached the unit (it accepted it).
    EXPECT_TRUE(IsResponse(client_.Request(kGetVnPassword, MacBytes(kAdvance)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kAdvance), {13}, Bytes("varnel-secret")})));
    auto detail =
        DecodeDetailInfo(client_.Request(kGetSpecificVnInfo, MacBytes(kDock)).value_or(Packet{}).Payload);
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->Unit.Mapped, 1);
    EXPECT_EQ(detail->Unit.LinkStatus, 1);
    Step("restart after clear-all");
    PastTheRestore();  // a restore pass still running would write the records again
    EXPECT_TRUE(IsResponse(client_.Request(kClearAllRecords), kClearAllRecords, kSuccess, {}));
    ASSERT_NO_FATAL_FAILURE(Restart());
    for (const Mac& m : {kDock, kAdvance, kLetters}) ASSERT_TRUE(WaitListed(client_, m));
    PastTheRestore();
    EXPECT_TRUE(Mapped().empty());
    EXPECT_TRUE(Connected().empty());
    for (const char* dir : {kMappingDir, kConnectDir})
        for (const Mac& m : {kDock, kAdvance, kOpen})
            EXPECT_FALSE(PathExists(Record(dir, m))) << Record(dir, m);
}

}  // namespace
}  // namespace qortest
