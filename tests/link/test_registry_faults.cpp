// Races and lifetimes of the unit and NIC registries: removal against connect and mapping,
// get-info against late answers, records the search re-creates, re-homing after a refresh,
// the receive threads' stack and lookups, and the order of the service's shutdown.
#include <linux/capability.h>
#include <sys/syscall.h>

#include <cstring>

#include "../unit/test_support_log.h"
#include "link_harness.h"
#include "nlk_tty_info.h"
#include "pem_lock.h"
#include "pem_main.h"
#include "vn_connect.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"
#include "vn_utils.h"

namespace {

using namespace std::chrono_literals;

bool IsConnect(const Frame& f) {
    return IsDllp(f, 2) || IsDllp(f, 10);
}
bool IsInfoRequest(const Frame& f) {
    return IsDllp(f, 16);
}

uint16_t Connect(const std::array<uint8_t, 6>& mac, const char* password = "") {
    uint8_t raw[32];
    VnPasswordToRaw(reinterpret_cast<const uint8_t*>(password), strlen(password), raw);
    uint32_t ctu, sio;
    return VnMainConnect(mac.data(), raw, &ctu, &sio);
}
uint16_t Map(const std::array<uint8_t, 6>& mac) {
    return VnMainMapping(mac.data(), 0, nullptr, 0, nullptr);
}

// Hooks that hold an operation at a known point until the test lets it go on.
std::atomic<int> gHeld{0}, gHold{0};
void HoldHere() {
    if (!gHold.exchange(0)) return;
    gHeld = 1;
    std::this_thread::sleep_for(150ms);
}
int (*gMinorAlloc)(PVN_DEVICE, uint8_t) = nullptr;
int SlowMinorAlloc(PVN_DEVICE pVn, uint8_t chl) {
    HoldHere();
    return gMinorAlloc(pVn, chl);
}

class RegistryFaults : public LinkFixture {
  protected:
    const std::array<uint8_t, 6>& mac() const { return unit->Mac(); }
    uint8_t Channels() {
        qor::ReadLock info(&vn->InfoLock);
        return vn->AvailableChls;
    }
};

}  // namespace

// A mapping taking its minors and a connect waiting for its answer both hold the removal off,
// so the record they succeed on stays listed and keeps its threads and minors.
TEST_F(RegistryFaults, RemovalWaitsForConnectAndMappingInProgress) {
    gMinorAlloc = VnUnitServices.TtyMinorAlloc;
    VnUnitServices.TtyMinorAlloc = SlowMinorAlloc;
    unit->delayMs = 120;
    gHeld = 0;
    const struct {
        std::function<uint16_t()> op;
        std::function<bool()> started;
        std::atomic<int> _VN_DEVICE::*flag;
    } cases[] = {
        {[&] { return gHold = 1, Map(mac()); }, [] { return gHeld == 1; }, &_VN_DEVICE::IsMappingByHost},
        {[&] { return Connect(mac()); }, [&] { return !unit->Frames(IsConnect).empty(); },
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
        EXPECT_EQ(c.connect ? Connect(mac()) : Map(mac()), c.status) << c.connect << c.infoComes;
        if (c.status == 0 && c.connect) {
            EXPECT_TRUE(IsDllp(unit->Frames(IsConnect).at(0), 10)) << "not connected in advance mode";
            EXPECT_EQ(VnMainDisconnect(mac().data(), 1), 0);
        }
        if (c.status == 0 && !c.connect) {
            EXPECT_EQ(VnMainUnMapping(mac().data()), 0);
        }
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
    std::thread connect([&] { EXPECT_EQ(Connect(mac(), "xyz"), 0); });
    ASSERT_TRUE(WaitUntil([] { return gHeld == 1; }, 2000));
    uint8_t record[64];
    size_t length = 0;
    EXPECT_EQ(VnMainGetVnPassword(mac().data(), record, sizeof(record), &length), 0);
    connect.join();
    VnUnitServices.Families[DIB_TYPE_UART] = nullptr;
    EXPECT_EQ(std::string(record + 7, record + length), "xyz");
}

// The receive path keeps its TLP buffers off the thread's stack, leaving it to the handlers.
TEST_F(RegistryFaults, ReceivePathLeavesTheStackToTheHandlers) {
    static char* entry;
    static std::atomic<long> depth{0};
    static const _VN_TLP_CONSUMER kProbe = {[](PVN_DEVICE, uint8_t) -> void* { return &depth; },
                                            [](void*, const _TLP_HEADER*, size_t) {
                                                depth =
                                                    entry - static_cast<char*>(__builtin_frame_address(0));
                                            },
                                            nullptr, nullptr};
    VnTlpConsumers[DIB_TYPE_UART] = &kProbe;
    Bytes frame(14 + kUartAnswer.size(), 0);
    memcpy(frame.data() + 6, mac().data(), 6);
    frame[12] = 0xD4, frame[13] = 0x1F;
    memcpy(frame.data() + 14, kUartAnswer.data(), kUartAnswer.size());
    std::thread([&] {
        entry = static_cast<char*>(__builtin_frame_address(0));
        NicRxHandleFrame(nic.get(), frame.data(), frame.size());
    }).join();
    VnTlpConsumers[DIB_TYPE_UART] = nullptr;
    EXPECT_GT(depth.load(), 0);
    EXPECT_LT(depth.load(), 1024) << "bytes of stack between the dispatch and the handler";
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
        ASSERT_EQ(unit->WaitFrames(IsInfoRequest, 1, 1000).size(), 1u) << "the get-info thread has ended";
        unit->Send({0x20, 3, 0, 0});
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(cap.Text().find("get info thd, TIMEOUT") != std::string::npos, on == 1) << cap.Text();
    }
    __atomic_store_n(&LogEnable, 0, __ATOMIC_RELAXED);
    unit->answerInfo = true;
    unit->uartChannels = 3;
    VnMainUpdateInfo(vn.get());
    EXPECT_TRUE(WaitUntil([&] { return Channels() == 4; }, 2000));
}

// Connects from a thread that may not ask for SCHED_RR: its keep-alive threads fall back to
// ordinary scheduling, which is logged once for all of them.
TEST_F(RegistryFaults, RefusedRealtimeSchedulingIsLoggedOncePerThreadKind) {
    LogCapture cap;
    std::thread([&] {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        ASSERT_EQ(syscall(SYS_capget, &header, caps), 0);
        caps[0].effective &= ~(1u << CAP_SYS_NICE);
        ASSERT_EQ(syscall(SYS_capset, &header, caps), 0);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(Connect(mac()), 0);
            EXPECT_EQ(VnMainDisconnect(mac().data(), 1), 0);
        }
    }).join();
    const std::string text = cap.Text();
    const size_t first = text.find("VN keep alive thd, SCHED_RR refused");
    EXPECT_NE(first, std::string::npos) << text;
    EXPECT_EQ(text.find("SCHED_RR refused", text.find('\n', first)), std::string::npos) << text;
}

// A second NIC, a veth pair qa0/qa1 in the test's namespace, whose far end plays a unit.
class RemovedNic : public RegistryFaults {
  protected:
    void SetUp() override {
        RegistryFaults::SetUp();
        ASSERT_EQ(
            system("ip link add qa0 type veth peer name qa1 && ip link set qa0 up && ip link set qa1 up"), 0);
        far = std::make_unique<ScriptedUnit>(kFarMac, "qa1");
        qa0 = NicMainAddInterface("qa0");
        ASSERT_TRUE(qa0);
        farVn = VnMainAdd(qa0.get(), kFarMac.data());
        ASSERT_TRUE(WaitUntil([&] { return farVn->Informed == 1; }, 2000));
    }
    void TearDown() override {
        far.reset();
        farVn.reset();
        qa0.reset();
        (void)!system("ip link del qa0 2>/dev/null");
        RegistryFaults::TearDown();
    }
    // The interface goes away and the refresh removes its NIC record.
    void RemoveQa0() {
        far.reset();
        ASSERT_EQ(system("ip link del qa0"), 0);
        ASSERT_EQ(NicMainRefreshList(), 1);
        qa0.reset();
    }
    static constexpr std::array<uint8_t, 6> kFarMac = {0x00, 0x11, 0x22, 0xA1, 0xB1, 0xC1};
    std::unique_ptr<ScriptedUnit> far;
    NicRef qa0;
    VnRef farVn;
};

// A channel handler on qa0's receive thread looks a NIC up while the refresh removes qa0.
TEST_F(RemovedNic, RefreshStopsAReceiveThreadThatLooksNicsUp) {
    static std::atomic<int> inHandler{0}, refreshing{0};
    static const _VN_TLP_CONSUMER kLookup = {[](PVN_DEVICE, uint8_t) -> void* { return &inHandler; },
                                             [](void*, const _TLP_HEADER*, size_t) {
                                                 inHandler = 1;
                                                 WaitUntil([] { return refreshing == 1; }, 2000);
                                                 std::this_thread::sleep_for(100ms);
                                                 NicMainGetByInterfaceName("lo");
                                             },
                                             nullptr, nullptr};
    VnTlpConsumers[DIB_TYPE_UART] = &kLookup;
    far->Send(kUartAnswer);
    ASSERT_TRUE(WaitUntil([] { return inHandler == 1; }, 2000));
    std::atomic<bool> done{false};
    std::thread refresh([&] {
        refreshing = 1;
        RemoveQa0();
        done = true;
    });
    if (!WaitUntil([&] { return done.load(); }, 3000)) {
        ADD_FAILURE() << "the refresh and the receive thread wait for each other";
        fflush(stdout);
        _exit(1);  // the two threads can never be joined
    }
    refresh.join();
    VnTlpConsumers[DIB_TYPE_UART] = nullptr;
}

TEST_F(RemovedNic, MappedUnitMovesToTheNicThatFindsItAgain) {
    ASSERT_EQ(Map(kFarMac), 0);
    RemoveQa0();
    EXPECT_EQ(Connect(kFarMac), 18);  // its NIC is closed
    ScriptedUnit onLo(kFarMac);
    onLo.Send({0x20, 5, 0, 0});
    EXPECT_TRUE(WaitUntil([&] { return farVn->NicPtr.get() == nic.get(); }, 1000));
    EXPECT_EQ(Connect(kFarMac), 0);
}

// The service's own start-up and shutdown: when the shutdown stops a unit's threads, no NIC
// receive thread may still run (it looks units up in a registry about to be emptied).
TEST(Shutdown, ReceiveThreadsStopBeforeTheUnitsAndTheirRegistry) {
    ASSERT_EQ(_InitProgFunc(), 1);
    static NicRef lo;
    static std::atomic<int> stops{0}, whileReceiving{0};
    lo = NicMainAddInterface("lo");
    {
        ScriptedUnit unit({0x00, 0x11, 0x22, 0xA2, 0xB2, 0xC2});
        VnRef vn = VnMainAdd(lo.get(), unit.Mac().data());
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
    // The registries' mutexes and the TTY hooks, as the other tests find them.
    for (pthread_mutex_t* m : {&DbgLock, &NicListMutex, &VnListMutex, &VnListMutexExtra, &VnIndexActiveMutex})
        pthread_mutex_init(m, nullptr);
    pthread_mutex_init(&NlkTtyInfoMutex, nullptr);
    NlkTtyInfoRegister();
}
