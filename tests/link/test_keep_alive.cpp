// Keep-alive timing, reconnect attempts and the one teardown per loss. Timings are measured
// with wide tolerances: these machines are shared and noisy.
#include <dirent.h>

#include "../unit/test_support_log.h"
#include "link_harness.h"
#include "vn_connect.h"
#include "vn_unit_services.h"

namespace {

std::atomic<int> gEvents{0};

bool IsConnect(const Frame& f) {
    return (IsDllp(f, 2) || IsDllp(f, 10)) && ((f.link[2] >> 2) & 3) == 0;
}
bool IsKeepAlive(const Frame& f) {
    return IsDllp(f, 8);
}

int Threads() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The log line that contains `marker` ends with the time and a line end of its own.
bool EndsWithBlankLine(const std::string& log, const char* marker) {
    const size_t at = log.find(marker), end = log.find('\n', at);
    return at != std::string::npos && end != std::string::npos && log.compare(end, 2, "\n\n") == 0;
}

class KeepAlive : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        gEvents = 0;
        VnUnitServices.DisconnectEvent = [](PVN_DEVICE) { ++gEvents; };
    }
    void TearDown() override {
        LinkFixture::TearDown();
        VnUnitServices.DisconnectEvent = nullptr;
    }
    void Connect() {
        uint8_t raw[32] = {};
        uint32_t ctu, sio;
        ASSERT_EQ(VnMainConnect(unit->Mac().data(), raw, &ctu, &sio), 0);
    }
};

}  // namespace

TEST_F(KeepAlive, AnsweringUnitIsProbedEvery300msAndNeverDeclaredDown) {
    Connect();
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    const auto probes = unit->Frames(IsKeepAlive);
    EXPECT_GE(probes.size(), 7u);
    EXPECT_LE(probes.size(), 11u);
    for (size_t i = 1; i < probes.size(); ++i) {
        const double gap = Seconds(probes[i].at - probes[i - 1].at);
        EXPECT_GT(gap, 0.2);
        EXPECT_LT(gap, 0.6);
    }
    EXPECT_EQ(unit->Frames(IsConnect).size(), 1u);  // no reconnect attempt
    EXPECT_EQ(vn->DllpKeepAliveTryReConnectCnt, 0u);
}

// A loss: 21 attempts, one teardown and one event; a later connect reuses the idle thread,
// and removing the unit ends it.
TEST_F(KeepAlive, SilentUnitIsRetried21TimesThenTornDownOnceKeepingOneThread) {
    LogCapture cap;
    const int before = Threads();
    Connect();
    const int connected = Threads();
    EXPECT_EQ(connected, before + 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    unit->silent = true;
    const auto silence = Clock::now();
    auto attempts = unit->WaitFrames(IsConnect, 2, 10000);
    ASSERT_GE(attempts.size(), 2u);
    // Down after the 11th unanswered probe of a window: 12 to 23 ticks.
    const double detected = Seconds(attempts[1].at - silence);
    EXPECT_GT(detected, 3.0);
    EXPECT_LT(detected, 8.0);
    ASSERT_TRUE(WaitUntil([&] { return gEvents.load() == 1; }, 20000));
    EXPECT_EQ(unit->Frames(IsConnect).size(), 1u + 21u);
    EXPECT_EQ(vn->IsConnectedByHost, 0);
    EXPECT_EQ(vn->LinkStatus, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(gEvents.load(), 1);
    EXPECT_EQ(unit->Frames(IsConnect).size(), 1u + 21u);
    EXPECT_TRUE(EndsWithBlankLine(cap.Text(), "reconnect fail @@@@@, cnt:21,")) << cap.Text();
    EXPECT_TRUE(EndsWithBlankLine(cap.Text(), "##### been disconnect, send event #####")) << cap.Text();

    unit->silent = false;
    Connect();
    EXPECT_TRUE(WaitUntil([&] { return Threads() == connected; }, 2000))
        << Threads() << " threads, " << connected;
    vn.reset();
    VnMainDelAll();
    EXPECT_TRUE(WaitUntil([&] { return Threads() == before - 1; }, 2000))
        << Threads() << " threads, " << before;
}

// A unit-reported time-out starts the reconnect at the next tick; a unit that comes back
// during the attempts is reconnected: probes resume, no event.
TEST_F(KeepAlive, UnitReportedTimeoutOrReturningUnitIsReconnectedWithoutEvent) {
    LogCapture cap;
    Connect();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    unit->ClearFrames();
    const auto sent = Clock::now();
    unit->Send({0x20, 24, 0, 0});
    auto attempts = unit->WaitFrames(IsConnect, 1, 2000);
    ASSERT_EQ(attempts.size(), 1u);
    EXPECT_LT(Seconds(attempts[0].at - sent), 0.7);
    EXPECT_TRUE(WaitUntil([&] { return EndsWithBlankLine(cap.Text(), "reconnect ok @@@@@, cnt:1,"); }, 2000))
        << cap.Text();

    unit->silent = true;
    ASSERT_GE(unit->WaitFrames(IsConnect, 4, 12000).size(), 4u);  // three attempts failed
    unit->silent = false;
    ASSERT_TRUE(WaitUntil([&] { return vn->DllpKeepAliveTryReConnectCnt == 0; }, 3000));
    unit->ClearFrames();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_GE(unit->Frames(IsKeepAlive).size(), 3u);
    EXPECT_TRUE(unit->Frames(IsConnect).empty());
    EXPECT_EQ(gEvents.load(), 0);
    EXPECT_EQ(vn->IsConnectedByHost, 1);
}
