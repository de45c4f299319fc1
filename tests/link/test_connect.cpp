// Connect, disconnect, mapping and the password query against a scripted unit; then the
// keep-alive: timing, reconnect attempts and the one teardown per loss (timings with wide
// tolerances: these machines are shared and noisy).
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <tuple>

#include "../unit/test_support_log.h"
#include "cfg_check_dir.h"
#include "cfg_record.h"
#include "link_harness.h"
#include "nlk_tty_info.h"
#include "vn_connect.h"

namespace {

const auto Exists = [](const std::string& path) { return access(path.c_str(), F_OK) == 0; };

class Connect : public LinkFixture {
  protected:
    std::string Record(const char* dir) {
        char path[96];
        return CfgRecordPath(path, sizeof(path), dir, mac().data()), path;
    }
    void ExpectTornDown() {
        EXPECT_EQ(vn->IsConnectedByHost + vn->LinkStatus + vn->DllpKeepAliveThreadRunning, 0);
    }
};

}  // namespace

// Advance mode sends the password block reversed, all zero for an empty password.
TEST_F(Connect, AdvanceModeSendsTheReversedPasswordBlock) {
    Reinform(0x11, 2);  // advance mode, password enabled
    Bytes expected = {0x20, 10, 0x10, 0x00};
    expected.resize(40);
    for (const char* password : {"abc", ""}) {
        unit->ClearFrames();
        ASSERT_EQ(ConnectUnit(mac(), password), 0);
        for (size_t i = 0; i < 3; ++i) expected[4 + 31 - i] = password[0] ? password[i] : 0;
        EXPECT_EQ(unit->Frames(IsConnect, 1, 500).at(0).link, expected) << password;
        ASSERT_EQ(VnMainDisconnect(mac().data(), 1), 0);
    }
}

TEST_F(Connect, RefusalsLeaveNothingBehind) {
    const std::pair<int, uint16_t> cases[] = {{1, 66}, {2, 67}, {3, 68}, {4, 69}, {-1, 65}};
    for (const auto& [returnCode, status] : cases) {
        unit->connectReturnCode = returnCode;
        EXPECT_EQ(ConnectUnit(mac()), status) << "return code " << returnCode;
        ExpectTornDown();
        EXPECT_FALSE(Exists(Record(kCfgConnectDir)));
    }
    uint8_t raw[32] = {};
    uint32_t ctu, sio;
    EXPECT_EQ(ConnectUnit({1, 2, 3, 4, 5, 6}), 32);
    EXPECT_EQ(VnMainConnect(nullptr, raw, &ctu, &sio), 1);
    size_t len;
    EXPECT_EQ(VnMainGetVnPassword(mac().data(), raw, sizeof(raw), &len), 68);
}

// Each round connects in dock mode, then the unit answers the disconnect its way.
TEST_F(Connect, DockConnectAndDisconnectAnswersWhateverTheUnitSays) {
    EXPECT_EQ(VnMainDisconnect(mac().data(), 1), 70);
    vn->HostSeqNumber = 0x2A7;
    const std::pair<int, uint16_t> cases[] = {{1, 72}, {2, 73}, {4, 75}, {5, 74}, {0, 0}};
    for (const auto& [returnCode, status] : cases) {
        ASSERT_EQ(ConnectUnit(mac(), "ignored in dock mode"), 0);
        EXPECT_EQ(unit->Frames(IsConnect, 1, 500).at(0).link, (Bytes{0x20, 2, 0x02, 0xA7}));
        // Linked, the unit's number minus one kept, keep-alive running.
        EXPECT_EQ(std::tuple(vn->LinkStatus, vn->DeviceSeqNumberRx, vn->DllpKeepAliveThreadRunning),
                  std::tuple(1, 0x154, 1));
        EXPECT_TRUE(Exists(Record(kCfgConnectDir)));
        unit->disconnectReturnCode = returnCode;
        unit->ClearFrames();
        EXPECT_EQ(VnMainDisconnect(mac().data(), 1), status) << "return code " << returnCode;
        ExpectTornDown();
        EXPECT_EQ(Exists(Record(kCfgConnectDir)), status != 0);  // kept unless the unit agreed
        auto frames = unit->Frames(IsConnect);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].link[2] & 0x0C, 1 << 2);  // disconnect requested by a client
        unit->ClearFrames();
    }
    // No answer: 71, and the host side stays connected.
    ASSERT_EQ(ConnectUnit(mac()), 0);
    unit->disconnectReturnCode = -1;
    EXPECT_EQ(VnMainDisconnect(mac().data(), 1), 71);
    EXPECT_EQ(vn->IsConnectedByHost, 1);
}

// Nodes for each UART, removed by the unmapping; a failed mapping releases every minor.
TEST_F(Connect, MappingCreatesOneNodePerUartAndEveryUnmappingOrFailureReleasesThem) {
    ASSERT_EQ(MapUnit(mac()), 0);
    for (int minor : {0, 1}) {
        struct stat st {};
        ASSERT_EQ(stat(("/dev/ttyVN" + std::to_string(minor)).c_str(), &st), 0) << minor;
        EXPECT_EQ(std::tuple(S_ISCHR(st.st_mode), st.st_mode & 07777, st.st_rdev, NlkTtyInfo[minor].IsMaping),
                  std::tuple(true, 0777u, makedev(222, minor), 1));
    }
    EXPECT_EQ(VnMainUnMapping(mac().data()), 0);
    EXPECT_EQ(NlkTtyInfo[0].IsMaping + NlkTtyInfo[1].IsMaping, 0);
    EXPECT_EQ(VnMainUnMapping(mac().data()), 49);

    // Only minor 255 free: the first UART gets it, the second finds none.
    for (int minor = 0; minor < 255; ++minor) NlkTtyInfo[minor].IsMaping = 1;
    EXPECT_EQ(MapUnit(mac()), 53);
    EXPECT_EQ(
        std::tuple(NlkTtyInfo[255].IsMaping, vn->DibArray[1].Uart.TtyMinorNumber, vn->IsMappingByHost.load()),
        std::tuple(0, -1, 0));
    memset(NlkTtyInfo, 0, sizeof(NlkTtyInfo));

    // A node that cannot be created: 51, minors released.
    ASSERT_EQ(mkdir("/dev/ttyVN1", 0700), 0);
    EXPECT_EQ(MapUnit(mac()), 51);
    EXPECT_EQ(NlkTtyInfo[0].IsMaping + NlkTtyInfo[1].IsMaping, 0);
    EXPECT_FALSE(Exists("/dev/ttyVN0"));
    rmdir("/dev/ttyVN1");

    Reinform(0, 0);
    EXPECT_EQ(MapUnit(mac()), 50);
    for (const auto& e : NlkTtyInfo) ASSERT_EQ(e.IsMaping, 0);
    ASSERT_EQ(ConnectUnit(mac()), 0);
    EXPECT_EQ(MapUnit(mac()), 64);
}

namespace {

const auto IsKeepAlive = [](const Frame& f) { return IsDllp(f, 8); };
const auto Seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
const auto Threads = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); };
// The log line that contains `marker` ends with the time and a line end of its own.
bool EndsWithBlankLine(const std::string& log, const char* marker) {
    const size_t at = log.find(marker), end = log.find('\n', at);
    return at != std::string::npos && end != std::string::npos && log.compare(end, 2, "\n\n") == 0;
}
using KeepAlive = LinkFixture;

}  // namespace

// An answering unit is probed every 300 ms and never declared down. A unit-reported time-out
// starts the reconnect at the next tick; a unit back during the attempts is reconnected
// without an event. A loss: 21 attempts, one teardown and one event; a later connect reuses
// the idle thread, and removing the unit ends it.
TEST_F(KeepAlive, ProbesReconnectsAndALossIsRetried21TimesThenTornDownOnceKeepingOneThread) {
    LogCapture cap;
    const int before = Threads();
    ASSERT_EQ(ConnectUnit(mac()), 0);
    const int connected = Threads();
    EXPECT_EQ(connected, before + 1);
    std::this_thread::sleep_for(3000ms);
    const auto probes = unit->Frames(IsKeepAlive);
    EXPECT_TRUE(probes.size() >= 7u && probes.size() <= 11u) << probes.size();
    for (size_t i = 1; i < probes.size(); ++i)
        EXPECT_NEAR(Seconds(probes[i].at - probes[i - 1].at), 0.4, 0.2);
    EXPECT_EQ(unit->Frames(IsConnect).size(), 1u);  // no reconnect attempt
    unit->ClearFrames();
    const auto sent = Clock::now();
    unit->Send({0x20, 24, 0, 0});
    EXPECT_LT(Seconds(unit->Frames(IsConnect, 1, 2000).at(0).at - sent), 0.7);
    EXPECT_TRUE(WaitUntil([&] { return EndsWithBlankLine(cap.Text(), "reconnect ok @@@@@, cnt:1,"); }, 2000));

    unit->silent = true;
    ASSERT_GE(unit->Frames(IsConnect, 4, 12000).size(), 4u);  // three attempts failed
    unit->silent = false;
    ASSERT_TRUE(WaitUntil([&] { return vn->DllpKeepAliveTryReConnectCnt == 0; }, 3000));
    unit->ClearFrames();
    std::this_thread::sleep_for(1500ms);
    EXPECT_GE(unit->Frames(IsKeepAlive).size(), 3u);
    EXPECT_TRUE(unit->Frames(IsConnect).empty());
    EXPECT_EQ(std::tuple(lost.load(), vn->IsConnectedByHost.load()), std::tuple(0, 1));

    unit->silent = true;
    const auto silence = Clock::now();
    // Down after the 11th unanswered probe of a window: 12 to 23 ticks.
    const double detected = Seconds(unit->Frames(IsConnect, 1, 10000).at(0).at - silence);
    EXPECT_TRUE(detected > 3.0 && detected < 8.0) << detected;
    ASSERT_TRUE(WaitUntil([&] { return lost.load() == 1; }, 20000));
    EXPECT_EQ(vn->IsConnectedByHost + vn->LinkStatus, 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(lost.load(), 1);
    EXPECT_EQ(unit->Frames(IsConnect).size(), 21u);
    for (const char* line : {"reconnect fail @@@@@, cnt:21,", "##### been disconnect, send event #####"})
        EXPECT_TRUE(EndsWithBlankLine(cap.Text(), line)) << cap.Text();

    unit->silent = false;
    ASSERT_EQ(ConnectUnit(mac()), 0);
    EXPECT_TRUE(WaitUntil([&] { return Threads() == connected; }, 2000)) << Threads();
    vn.reset();
    VnMainDelAll();
    EXPECT_TRUE(WaitUntil([&] { return Threads() == before - 1; }, 2000)) << Threads();
}
