// Races and lifetimes of the unit and NIC registries: removal, get-info, re-created records,
// NIC refresh and re-homing, real-time fallback, and the order of the service's shutdown.
#include <linux/capability.h>
#include <sys/syscall.h>

#include "../unit/test_support_log.h"
#include "link_harness.h"
#include "pem_main.h"
#include "vn_connect.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"

namespace {

const auto IsInfoRequest = [](const Frame& f) { return IsDllp(f, 16); };

// Hooks hold an operation at a known point (HoldHere, once armed) while the test acts.
std::atomic<int> gHeld{0}, gHold{0};
void HoldHere() {
    if (gHold.exchange(0)) gHeld = 1, std::this_thread::sleep_for(150ms);
}
int (*gMinorAlloc)(PVN_DEVICE, uint8_t) = nullptr;

class RegistryFaults : public LinkFixture {};

}  // namespace

// A mapping taking its minors and a connect waiting for its answer both hold the removal off,
// so the record they succeed on stays listed and keeps its threads and minors.
TEST_F(RegistryFaults, RemovalWaitsForConnectAndMappingInProgress) {
    gMinorAlloc = VnUnitServices.TtyMinorAlloc;
    VnUnitServices.TtyMinorAlloc = [](PVN_DEVICE pVn, uint8_t chl) {
        return HoldHere(), gMinorAlloc(pVn, chl);
    };
    unit->delayMs = 120;
    gHeld = 0;
    const struct {
        std::function<uint16_t()> op;
        std::function<bool()> started;
        std::atomic<int> _VN_DEVICE::*flag;
    } cases[] = {
        {[&] { return gHold = 1, MapUnit(mac()); }, [] { return gHeld == 1; }, &_VN_DEVICE::IsMappingByHost},
        {[&] { return ConnectUnit(mac()); }, [&] { return !unit->Frames(IsConnect).empty(); },
         &_VN_DEVICE::IsConnectedByHost},
    };
    for (const auto& c : cases) {
        std::atomic<int> status{-1};
        std::thread op([&] { status = c.op(); });
        EXPECT_TRUE(WaitUntil(c.started, 2000));
        VnMainDelAllWithoutMappingOrConnectedByHost();
        op.join();
        EXPECT_EQ(status.load(), 0);
        VnRef listed = VnMainGetByMac(mac().data());
        ASSERT_TRUE(listed) << "the operation succeeded on a removed record";
        EXPECT_EQ(((*listed).*c.flag).load(), 1);
    }
    VnUnitServices.TtyMinorAlloc = gMinorAlloc;
}

// After the periodic removal the search re-creates the record; an advance-mode unit whose
// info comes 100 ms late is connected in its own mode, one whose info never comes is unknown.
TEST_F(RegistryFaults, ConnectAndMappingOfARecreatedRecordWaitForItsInfo) {
    unit->typeInfo = 0x01;
    unit->delayMs = 100;
    const struct {
        bool connect, infoComes;
        uint16_t status;
    } cases[] = {{true, false, 32}, {false, false, 32}, {true, true, 0}, {false, true, 0}};
    for (const auto& c : cases) {
        VnMainDelAllWithoutMappingOrConnectedByHost();
        unit->answerInfo = c.infoComes;
        unit->ClearFrames();
        unit->Send({0x20, 7, 0, 0});
        ASSERT_TRUE(WaitUntil([&] { return static_cast<bool>(VnMainGetByMac(mac().data())); }, 1000));
        EXPECT_EQ(c.connect ? ConnectUnit(mac()) : MapUnit(mac()), c.status) << c.connect << c.infoComes;
        if (c.status != 0) continue;
        EXPECT_TRUE(!c.connect || IsDllp(unit->Frames(IsConnect).at(0), 10)) << "connected in dock mode";
        EXPECT_EQ(c.connect ? VnMainDisconnect(mac().data(), 1) : VnMainUnMapping(mac().data()), 0);
    }
}

// The connect has set IsConnectedByHost and reads the controllers; the password it stores
// afterwards is the one the query answers.
TEST_F(RegistryFaults, PasswordQueryWaitsForTheConnectThatStoresIt) {
    static const _VN_CHANNEL_FAMILY kSlowUart = {
        0, 0, 0, nullptr, nullptr, [](PVN_DEVICE, PDIB, int) { return HoldHere(), 1; }, 1, "", ""};
    VnUnitServices.Families[DIB_TYPE_UART] = &kSlowUart;
    gHeld = 0;
    gHold = 1;
    std::thread connect([&] { EXPECT_EQ(ConnectUnit(mac(), "xyz"), 0); });
    ASSERT_TRUE(WaitUntil([] { return gHeld == 1; }, 2000));
    uint8_t record[64];
    size_t length = 0;
    EXPECT_EQ(VnMainGetVnPassword(mac().data(), record, sizeof(record), &length), 0);
    connect.join();
    VnUnitServices.Families[DIB_TYPE_UART] = nullptr;
    EXPECT_EQ(std::string(record + 7, record + length), "xyz");
}

// Info passes the unit leaves unanswered: a late connect answer meanwhile is not taken for
// the info, the time-out is logged only with debug output on, and the info refreshes later.
TEST_F(RegistryFaults, UnansweredInfoPassesTimeOutQuietlyAndPassesGoOn) {
    LogCapture cap;
    unit->answerInfo = false;
    for (int on : {0, 1}) {
        __atomic_store_n(&LogEnable, on, __ATOMIC_RELAXED);
        unit->ClearFrames();
        VnMainUpdateInfo(vn.get());
        ASSERT_EQ(unit->Frames(IsInfoRequest, 1, 1000).size(), 1u) << "the get-info thread has ended";
        unit->Send({0x20, 3, 0, 0});
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(cap.Text().find("get info thd, TIMEOUT") != std::string::npos, on == 1) << cap.Text();
    }
    __atomic_store_n(&LogEnable, 0, __ATOMIC_RELAXED);
    unit->answerInfo = true;
    VnMainUpdateInfo(vn.get());
    EXPECT_TRUE(WaitUntil([&] { return vn->DllpGetInfoThreadSuccess == 1; }, 2000));
}

// Connects from a thread that may not ask for SCHED_RR: its keep-alive threads fall back to
// ordinary scheduling, which is logged once for all of them.
TEST_F(RegistryFaults, RefusedRealtimeSchedulingIsLoggedOncePerThreadKind) {
    LogCapture cap;
    std::thread([&] {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, caps), 0);
        caps[0].effective &= ~(1u << CAP_SYS_NICE);  // of this thread only
        ASSERT_EQ(syscall(SYS_capset, &header, caps), 0);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(ConnectUnit(mac()) + VnMainDisconnect(mac().data(), 1), 0);
    }).join();
    const std::string text = cap.Text();
    const size_t first = text.find("VN keep alive thd, SCHED_RR refused"), end = text.find('\n', first);
    EXPECT_TRUE(first != std::string::npos && text.find("refused", end) == std::string::npos) << text;
}

// A second NIC, qa0, whose veth peer qa1 plays a unit; the unit is mapped through qa0. A
// channel handler on qa0's receive thread looks a NIC up while a refresh removes qa0; then
// the unit, found again through lo, moves there.
TEST_F(RegistryFaults, RefreshRemovesANicWhoseThreadLooksNicsUpAndItsUnitMovesOn) {
    const Mac kFar = {0x00, 0x11, 0x22, 0xA1, 0xB1, 0xC1};
    ASSERT_EQ(system("ip link add qa0 type veth peer name qa1 && ip link set qa0 up && ip link set qa1 up"),
              0);
    auto far = std::make_unique<ScriptedUnit>(kFar, "qa1");
    NicRef qa0 = NicMainAddInterface("qa0");
    VnRef farVn = VnMainAdd(qa0.get(), kFar.data());
    ASSERT_TRUE(WaitUntil([&] { return farVn->Informed == 1; }, 2000));
    ASSERT_EQ(MapUnit(kFar), 0);
    static std::atomic<int> inHandler{0}, refreshing{0};
    static const _VN_TLP_CONSUMER kLookup = {[](PVN_DEVICE, uint8_t) -> void* { return &inHandler; },
                                             [](void*, const _TLP_HEADER*, size_t) {
                                                 inHandler = 1;
                                                 WaitUntil([] { return refreshing == 1; }, 2000);
                                                 std::this_thread::sleep_for(100ms);
                                                 NicMainGetByInterfaceName("lo");
                                             },
                                             nullptr, nullptr};
    VnTlpConsumerTty = &kLookup;  // the unit is mapped
    far->Send(kUartAnswer);
    ASSERT_TRUE(WaitUntil([] { return inHandler == 1; }, 2000));
    far.reset();
    qa0.reset();
    ASSERT_EQ(system("ip link del qa0"), 0);
    std::atomic<bool> done{false};
    std::thread refresh([&] { refreshing = 1, NicMainRefreshList(), done = true; });
    // On a failure the two threads can never be joined: the process ends.
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 3000)) << "refresh and receive thread deadlocked";
    refresh.join();
    VnTlpConsumerTty = nullptr;

    EXPECT_EQ(ConnectUnit(kFar), 18);  // its NIC is closed
    ScriptedUnit onLo(kFar);
    onLo.Send({0x20, 5, 0, 0});
    EXPECT_TRUE(WaitUntil([&] { return farVn->NicPtr.get() == nic.get(); }, 1000));
    EXPECT_EQ(ConnectUnit(kFar), 0);
}

// The service's own start-up and shutdown: when the shutdown stops a unit's threads, no NIC
// receive thread may still run (it looks units up in a registry about to be emptied). Runs
// last: the registries' mutexes are destroyed afterwards.
TEST(Shutdown, ReceiveThreadsStopBeforeTheUnitsAndTheirRegistry) {
    ASSERT_EQ(_InitProgFunc(), 1);
    static NicRef lo;
    static std::atomic<int> stops{0}, whileReceiving{0};
    lo = NicMainAddInterface("lo");
    {
        ScriptedUnit unit({0x00, 0x11, 0x22, 0xA2, 0xB2, 0xC2});
        VnRef vn = VnMainAdd(lo.get(), unit.GetMac().data());
        ASSERT_TRUE(WaitUntil([&] { return vn->Informed == 1; }, 2000));
        VnUnitServices.SioServerStop = [](PVN_DEVICE) {
            ++stops;
            whileReceiving += lo->RxThreadRunning;
        };
    }
    _FreeProgFunc();
    VnUnitServices.SioServerStop = nullptr;
    lo.reset();
    EXPECT_GT(stops.load(), 0);
    EXPECT_EQ(whileReceiving.load(), 0);
}
