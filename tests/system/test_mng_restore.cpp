// Mapping and connect records across a restart of the daemon: what a start restores, in
// which order, from which file names, and what clear-all and a late unit leave. How a record
// file is named and read is proven by the unit tests of the record helpers.
#include <sys/stat.h>

#include <filesystem>

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
    void Start() {
        ASSERT_NO_FATAL_FAILURE(StartService());
        startedAt_ = Clock::now();
        client_ = NewClient();
    }

    bool Lists(uint16_t code, const std::vector<Mac>& units) { return Listed(client_, code) == units; }
    bool Lists(const std::vector<Mac>& mapped, const std::vector<Mac>& connected) {
        return Lists(kGetAllMappingInfo, mapped) && Lists(kGetAllConnected, connected);
    }

    // Seconds from the start until cond held; fails the test past the deadline.
    double SecondsUntil(const std::function<bool()>& cond) {
        EXPECT_TRUE(Eventually(cond, 12s, 100ms)) << "not restored in time";
        return std::chrono::duration<double>(Clock::now() - startedAt_).count();
    }

    // Waits until the restore's five mapping and five connect passes, a second apart, are over.
    void PastTheRestore() { std::this_thread::sleep_for(startedAt_ + 11s - Clock::now()); }

    Clock::time_point startedAt_{};
};

// qorlab --veths 1
TEST_F(MngRestore, RecordsBringUnitsBackMappedFirstOnlyWithinTheRestorePasses) {
    // Records named in upper case, and records of a unit that appears only after the passes.
    for (const char* dir : {kMappingDir, kConnectDir}) ASSERT_EQ(mkdir(dir, 0700), 0) << dir;
    const std::string upper = "/020000ABCDEF";  // kLetters
    for (const auto& [mapping, connect] :
         {std::pair{kMappingDir + upper, kConnectDir + upper},
          std::pair{Record(kMappingDir, kLate), Record(kConnectDir, kLate)}}) {
        ASSERT_TRUE(WriteFile(mapping, "") && WriteFile(connect, std::string(32, '\xff')));
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    SimProcess* sim = StartSim({{"dock_basic", kDock},
                                {"advance_password", kAdvance},
                                {"ctu_uart2", kOpen},
                                {"dock_basic", kLetters}});
    ASSERT_TRUE(sim);
    SecondsUntil([&] { return Lists({kLetters}, {kLetters}); });
    EXPECT_TRUE(IsResponse(client_.Request(kGetVnPassword, MacBytes(kLetters)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kLetters), {0}})));
    // A unit found after the restore passes is neither mapped nor connected; its records stay
    // for the next start (and go now, so that it does not come back).
    PastTheRestore();
    ASSERT_TRUE(sim->Ok("add dock_basic " + MacString(kLate) + " " + lab_.PeerIfs[0])) << sim->LastAnswer();
    ASSERT_TRUE(WaitListed(client_, kLate));
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(Lists({kLetters}, {kLetters}));
    for (const char* dir : {kMappingDir, kConnectDir})
        EXPECT_EQ(unlink(Record(dir, kLate).c_str()), 0) << dir;
    // Let go by a client, the unit must not come back at the next start: no record of it may
    // survive, whatever the case of its name.
    EXPECT_TRUE(Echoes(kVnDisconnect, kLetters, kSuccess));
    EXPECT_TRUE(Echoes(kVnUnmapping, kLetters, kSuccess));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_FALSE(PathExists(Record(dir, kLetters)) || PathExists(dir + upper)) << dir;
    }

    // Restart: mapped before connected (a connected unit cannot be mapped), within the passes.
    ASSERT_TRUE(Map(client_, kDock) && Map(client_, kOpen));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kDock, 0)));
    ASSERT_TRUE(Connect(client_, ConnectRecord(kAdvance, "varnel-secret")));
    ASSERT_EQ(Stop(), 0) << "the daemon did not stop cleanly";
    ASSERT_NO_FATAL_FAILURE(Start());
    const double mappedAt = SecondsUntil([&] { return Lists(kGetAllMappingInfo, {kDock, kOpen}); });
    const double connectedAt = SecondsUntil([&] { return Lists(kGetAllConnected, {kDock, kAdvance}); });
    EXPECT_LE(mappedAt, connectedAt);
    EXPECT_LT(connectedAt, 11.0);
    // Both for the unit that was both: so it was mapped before it was connected.
    EXPECT_TRUE(Lists(kGetAllMappingInfo, {kDock, kOpen}));
    EXPECT_EQ(Log().find("mapping FAIL"), std::string::npos);
    // The password came back from the record and reached the unit (it accepted it).
    EXPECT_TRUE(IsResponse(client_.Request(kGetVnPassword, MacBytes(kAdvance)), kGetVnPassword, kSuccess,
                           Concat({MacBytes(kAdvance), {13}, Bytes("varnel-secret")})));
    // After clear-all, a restart restores nothing.
    PastTheRestore();  // a restore pass still running would write the records again
    EXPECT_TRUE(IsResponse(client_.Request(kClearAllRecords), kClearAllRecords, kSuccess, {}));
    ASSERT_EQ(Stop(), 0);
    ASSERT_NO_FATAL_FAILURE(Start());
    for (const Mac& m : {kDock, kAdvance, kLetters}) ASSERT_TRUE(WaitListed(client_, m));
    PastTheRestore();
    EXPECT_TRUE(Lists({}, {}));
    for (const char* dir : {kMappingDir, kConnectDir}) {
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 0) << dir;
    }
}

}  // namespace
}  // namespace qortest
