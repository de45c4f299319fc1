// The unit registry and the get-info thread, driven in-process through a NIC record whose
// socket is closed (nothing leaves the process) and replies delivered by hand. The records the
// management queries return are proven byte for byte by the system tests; here, their bounds.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <tuple>
#include <vector>

#include "pem_lock.h"
#include "registry_support.h"
#include "test_support_log.h"
#include "vn_get_info.h"
#include "vn_main.h"
#include "vn_mng_query.h"
#include "vn_utils.h"

namespace {

std::array<uint8_t, 6> Mac(uint8_t last) {
    return {0x00, 0x11, 0x22, 0x33, 0x44, last};
}

// A DLLP answer frame from mac (code, return code, length byte), then a unit header and
// `channels` UART DIBs.
std::vector<uint8_t> AcuFrame(const std::array<uint8_t, 6>& mac, uint8_t code, uint8_t returnCode,
                              uint8_t lengthByte, int channels) {
    InfoBuilder info;
    for (int i = 0; i < channels; ++i) info.Dib(static_cast<uint8_t>(i + 1), 1, 2, {0, 1, 0, 1});
    std::vector<uint8_t> f(12, 0);
    memcpy(f.data() + 6, mac.data(), 6);
    f.insert(f.end(), {0xD4, 0x1F, 0x20, code, returnCode, lengthByte});
    f.insert(f.end(), info.bytes.begin(), info.bytes.end());
    return f;
}

struct Registry : ::testing::Test {
    LogCapture cap;
    NicRef nic{NewClosedNic("fake0")};
    std::array<uint8_t, 6> a = Mac(1), b = Mac(2), c = Mac(3);
    VnRef Add(const std::array<uint8_t, 6>& mac) { return VnMainAdd(nic.get(), mac.data()); }
    // Hands Frame to the unit's get-info thread until a pass has decoded one.
    static bool Inform(_VN_DEVICE* u, const std::vector<uint8_t>& frame) {
        return WaitUntil([&] {
            VnMainDeliverReply(u, frame.data(), frame.size());
            return u->DllpGetInfoThreadSuccess == 1;
        });
    }
    ~Registry() override {
        VnMainDelAll();
        memset(VnIndexActive, 0, sizeof(VnIndexActive));
    }
};

}  // namespace

TEST_F(Registry, IndexesRecordsPerMacAndThePeriodicRemovalKeepsMappedOrConnectedUnits) {
    VnRef ua = Add(a);
    ASSERT_TRUE(ua);
    EXPECT_EQ(Add(a).get(), ua.get());  // same MAC, same record
    VnRef ub = Add(b);
    VnRef uc = Add(c);
    EXPECT_EQ(std::tuple(ua->Index, ub->Index, uc->Index, VnMainGetByIndex(2).get() == ub.get()),
              std::tuple(1, 2, 3, true));
    EXPECT_EQ(std::tuple(ua->DibArray[63].Uart.TtyMinorNumber, ua->ReConnectJobIsDone.load()),
              std::tuple(-1, 1));
    ub->IsMappingByHost = 1;
    uc->IsConnectedByHost = 1;
    ua.reset();
    VnMainDelAllWithoutMappingOrConnectedByHost();
    EXPECT_EQ(std::tuple(!!VnMainGetByMac(a.data()), VnAmount), std::tuple(false, 2));
    VnMainDelByNic(nic.get());  // a removed NIC takes only free units with it
    EXPECT_EQ(VnAmount, 2);
    EXPECT_EQ(Add(a)->Index, 1);  // the lowest free index again
    // The index is one byte: with every index taken the next unit is refused.
    for (int i = 1; i <= kVnMaxUnits; ++i) VnIndexActive[i] = 1;
    auto d = Mac(9);
    EXPECT_FALSE(Add(d));
    EXPECT_EQ(VnIndexActive[256], 0);  // the over-range index was given back
    EXPECT_NE(cap.Text().find("VN can't get available index\n"), std::string::npos);
}

TEST_F(Registry, GetInfoThreadDecodesTheReplyAndEndsOnFatalAnswers) {
    VnRef u = Add(a);
    ASSERT_TRUE(u);
    // The first pass starts at once; it waits for the reply we deliver here.
    ASSERT_TRUE(Inform(u.get(), AcuFrame(a, 18, 1, 0xFF, 3)));
    EXPECT_EQ(std::tuple(u->AvailableChls, VnGetChannelType(u.get(), 2)), std::tuple(3, 1));
    // A return code other than 0 or 1 ends the thread; triggers and delete then return.
    auto bad = AcuFrame(a, 18, 2, 0xFF, 0);
    VnMainUpdateInfo(u.get());
    ASSERT_TRUE(WaitUntil([&] {
        VnMainDeliverReply(u.get(), bad.data(), bad.size());
        return cap.Text().find("get info thd, ReturnCode:x02 fail") != std::string::npos;
    }));
    VnMainUpdateInfo(u.get());
    VnMainUpdateInfo(u.get());
    const auto start = std::chrono::steady_clock::now();
    u.reset();
    VnMainDelAll();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(Registry, LookupsStayValidWhileRecordsAreRemoved) {
    // Readers hold references while the remover unlinks and re-creates units; ASan/TSan
    // builds turn any use of a freed record into a failure.
    std::atomic<bool> stop{false};
    std::atomic<long> hits{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&] {
            while (!stop.load()) {
                for (uint8_t last = 1; last <= 4; ++last) {
                    auto m = Mac(last);
                    VnRef u = VnMainGetByMac(m.data());
                    if (!u) continue;
                    VnMainDeliverReply(u.get(), m.data(), 6);
                    VnMainUpdateInfo(u.get());
                    if (memcmp(u->Mac, m.data(), 6) == 0) hits.fetch_add(1);
                }
            }
        });
    for (int round = 0; round < 6; ++round) {
        for (uint8_t last = 1; last <= 4; ++last) Add(Mac(last));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        VnMainDelAllWithoutMappingOrConnectedByHost();
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_GT(hits.load(), 0);
    EXPECT_EQ(VnAmount, 0);
}

TEST_F(Registry, QueriesListInformedUnitsWithChannelsAndNeverOverrunTheirBuffer) {
    // a is informed without channels, b not informed, c informed with two UARTs.
    VnRef ua = Add(a), ub = Add(b), u = Add(c);
    ASSERT_TRUE(Inform(ua.get(), AcuFrame(a, 18, 1, 0xFF, 0)));
    ASSERT_TRUE(Inform(u.get(), AcuFrame(c, 18, 1, 0xFF, 2)));
    uint8_t small[40];
    size_t len = 99;
    EXPECT_EQ(VnMainSearchByAllNic(small, sizeof(small), &len), 0);
    EXPECT_EQ(std::tuple(len, memcmp(small, c.data(), 6)), std::tuple(28u, 0));
    auto unknown = Mac(0x77);
    EXPECT_EQ(VnMainGetSpecificVnDetailInfo(unknown.data(), small, sizeof(small), &len), 32);
    // A buffer too small for the next whole record gets none of it, and nothing past its end.
    memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(VnMainGetSpecificVnDetailInfo(c.data(), small, 37, &len), 0);
    EXPECT_EQ(std::tuple(len, small[37]), std::tuple(36u, 0xEE));
    EXPECT_EQ(VnMainSearchByAllNic(small, 27, &len), 0);
    EXPECT_EQ(len, 0u);
    u->IsMappingByHost = 1;  // MAC, count and two channels: 11 bytes
    EXPECT_EQ(VnMainGetAllMappingInfoMappedByHost(small, 11, &len), 0);
    EXPECT_EQ(len, 11u);
    memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(VnMainGetAllMappingInfoMappedByHost(small, 10, &len), 0);
    EXPECT_EQ(std::tuple(len, small[10]), std::tuple(0u, 0xEE));
}

TEST_F(Registry, TriggerDuringAPassNeverWaitsAndIsNotLost) {
    VnRef u = Add(a);
    ASSERT_TRUE(u);
    // The first pass is waiting for its reply (up to 200 ms). The receive thread triggers
    // from the very thread that must deliver that reply, so the trigger must return at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    VnMainUpdateInfo(u.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    // The trigger is kept: after the first pass another one follows and decodes this reply.
    ASSERT_TRUE(Inform(u.get(), AcuFrame(a, 18, 1, 0xFF, 2)));
    EXPECT_EQ(u->AvailableChls, 2);
}

TEST_F(Registry, AnAwaitedReplyIsNeitherFakedNorOverwrittenByAnotherCommandsReply) {
    VnRef u = Add(a);
    ASSERT_TRUE(u);
    auto connectReply = AcuFrame(a, 3, 0, 0x55, 0);
    auto lateInfo = AcuFrame(a, 18, 1, 0xFF, 1);
    // Let the first info pass finish, so only this test waits on the slot.
    ASSERT_TRUE(Inform(u.get(), lateInfo));
    {
        qor::MutexLock lock(&u->DllpCmdCompleteMutex);
        u->RxLength = 0;
        u->DllpCmdExpectedCode = 3;
    }
    VnMainDeliverReply(u.get(), lateInfo.data(), lateInfo.size());  // before the answer: dropped
    {
        qor::MutexLock lock(&u->DllpCmdCompleteMutex);
        EXPECT_EQ(u->RxLength, 0u);
    }
    VnMainDeliverReply(u.get(), connectReply.data(), connectReply.size());
    VnMainDeliverReply(u.get(), lateInfo.data(), lateInfo.size());  // after it: the answer stays
    qor::MutexLock lock(&u->DllpCmdCompleteMutex);
    EXPECT_EQ(std::tuple(u->RxBuff[15], u->RxBuff[17]), std::tuple(3, 0x55));
    u->DllpCmdExpectedCode = 0;
}
