// The unit registry and the get-info thread, driven in-process through a NIC record whose
// socket is closed (nothing leaves the process) and replies delivered by hand.
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
std::vector<uint8_t> AcuFrame(const uint8_t* mac, uint8_t code, uint8_t returnCode, uint8_t lengthByte,
                              int channels) {
    InfoBuilder info;
    for (int i = 0; i < channels; ++i) info.Dib(static_cast<uint8_t>(i + 1), 1, 2, {0, 1, 0, 1});
    std::vector<uint8_t> f(12, 0);
    memcpy(f.data() + 6, mac, 6);
    f.insert(f.end(), {0xD4, 0x1F, 0x20, code, returnCode, lengthByte});
    f.insert(f.end(), info.bytes.begin(), info.bytes.end());
    return f;
}

struct Registry : ::testing::Test {
    LogCapture cap;
    NicRef nic{NewClosedNic("fake0")};
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

TEST_F(Registry, LowestFreeIndexAndOneRecordPerMac) {
    auto a = Mac(1), b = Mac(2);
    VnRef ua = VnMainAdd(nic.get(), a.data());
    ASSERT_TRUE(ua);
    EXPECT_EQ(VnMainAdd(nic.get(), a.data()).get(), ua.get());  // same MAC, same record
    VnRef ub = VnMainAdd(nic.get(), b.data());
    EXPECT_EQ(std::tuple(ua->Index, ub->Index, VnAmount, VnMainGetByIndex(2).get() == ub.get()),
              std::tuple(1, 2, 2, true));
    EXPECT_EQ(std::tuple(ua->DibArray[63].Uart.TtyMinorNumber, ua->ReConnectJobIsDone.load()),
              std::tuple(-1, 1));
    ua.reset();
    ub.reset();
    VnMainDelAllWithoutMappingOrConnectedByHost();
    EXPECT_EQ(VnAmount, 0);
    EXPECT_FALSE(VnMainGetByMac(a.data()));
    EXPECT_EQ(VnMainAdd(nic.get(), b.data())->Index, 1);  // index 1 again once freed
}

TEST_F(Registry, MappedOrConnectedUnitsSurviveThePeriodicRemoval) {
    auto a = Mac(1), b = Mac(2), c = Mac(3);
    VnMainAdd(nic.get(), a.data())->IsMappingByHost = 1;
    VnMainAdd(nic.get(), b.data())->IsConnectedByHost = 1;
    VnMainAdd(nic.get(), c.data());
    VnMainDelAllWithoutMappingOrConnectedByHost();
    EXPECT_EQ(std::tuple(!!VnMainGetByMac(a.data()), !!VnMainGetByMac(b.data()), !!VnMainGetByMac(c.data()),
                         VnAmount),
              std::tuple(true, true, false, 2));
    VnMainDelByNic(nic.get());  // a removed NIC takes only free units with it
    EXPECT_EQ(VnAmount, 2);
}

TEST_F(Registry, IndexTableRefusesPastOneByte) {
    for (int i = 1; i <= kVnMaxUnits; ++i) VnIndexActive[i] = 1;
    auto a = Mac(9);
    EXPECT_FALSE(VnMainAdd(nic.get(), a.data()));
    EXPECT_EQ(VnIndexActive[256], 0);  // the over-range index was given back
    EXPECT_NE(cap.Text().find("VN can't get available index\n"), std::string::npos);
}

TEST_F(Registry, GetInfoThreadDecodesTheReplyAndEndsOnFatalAnswers) {
    auto a = Mac(1);
    VnRef u = VnMainAdd(nic.get(), a.data());
    ASSERT_TRUE(u);
    // The first pass starts at once; it waits for the reply we deliver here.
    ASSERT_TRUE(Inform(u.get(), AcuFrame(a.data(), 18, 1, 0xFF, 3)));
    EXPECT_EQ(u->AvailableChls, 3);
    EXPECT_EQ(VnGetChannelType(u.get(), 2), 1);

    // A return code other than 0 or 1 ends the thread; triggers and delete then return.
    auto bad = AcuFrame(a.data(), 18, 2, 0xFF, 0);
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
        for (uint8_t last = 1; last <= 4; ++last) {
            auto m = Mac(last);
            VnMainAdd(nic.get(), m.data());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        VnMainDelAllWithoutMappingOrConnectedByHost();
    }
    stop = true;
    for (auto& r : readers) r.join();
    EXPECT_GT(hits.load(), 0);
    EXPECT_EQ(VnAmount, 0);
}

TEST_F(Registry, QueriesListInformedUnitsByIndexAndNeverOverrunTheBuffer) {
    auto a = Mac(1), b = Mac(2), c = Mac(3);
    VnRef ua = VnMainAdd(nic.get(), a.data());
    VnRef ub = VnMainAdd(nic.get(), b.data());
    VnRef uc = VnMainAdd(nic.get(), c.data());
    // b is not informed yet; c has two UARTs and is mapped; a has no channels.
    for (const auto& [u, mac, n] : {std::tuple{ua.get(), a.data(), 0}, std::tuple{uc.get(), c.data(), 2}})
        ASSERT_TRUE(Inform(u, AcuFrame(mac, 18, 1, 0xFF, n)));
    ua->AvailableChls = 0;
    uint8_t buf[8192];
    size_t len = 0;
    EXPECT_EQ(VnMainSearchByAllNic(buf, sizeof(buf), &len), 0);
    ASSERT_EQ(len, 28u);  // only the unit with channels is listed
    EXPECT_EQ(0, memcmp(buf, c.data(), 6));
    EXPECT_EQ(buf[25], 2);

    EXPECT_EQ(VnMainGetSpecificVnDetailInfo(a.data(), buf, sizeof(buf), &len), 0);
    EXPECT_EQ(len, 36u);  // a unit without channels
    auto unknown = Mac(0x77);
    EXPECT_EQ(VnMainGetSpecificVnDetailInfo(unknown.data(), buf, sizeof(buf), &len), 32);
    EXPECT_EQ(len, 0u);

    uc->IsMappingByHost = 1;
    uc->DibArray[0].Uart.TtyMinorNumber = 5;
    EXPECT_EQ(VnMainGetAllMappingInfoMappedByHost(buf, sizeof(buf), &len), 0);
    ASSERT_EQ(len, 7u + 4u);
    EXPECT_EQ((std::vector<uint8_t>(buf + 6, buf + 11)), (std::vector<uint8_t>{2, 1, 5, 2, 0xFF}));

    // A buffer too small for the next whole record gets none of it, and nothing past its end.
    uint8_t small[40];
    memset(small, 0xEE, sizeof(small));
    EXPECT_EQ(VnMainGetSpecificVnDetailInfo(c.data(), small, 37, &len), 0);
    EXPECT_EQ(len, 36u);
    EXPECT_EQ(small[37], 0xEE);
    EXPECT_EQ(VnMainSearchByAllNic(small, 27, &len), 0);
    EXPECT_EQ(len, 0u);
}

TEST_F(Registry, TriggerDuringAPassNeverWaitsAndIsNotLost) {
    auto a = Mac(1);
    VnRef u = VnMainAdd(nic.get(), a.data());
    ASSERT_TRUE(u);
    // The first pass is waiting for its reply (up to 200 ms). The receive thread triggers
    // from the very thread that must deliver that reply, so the trigger must return at once.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = std::chrono::steady_clock::now();
    VnMainUpdateInfo(u.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    // The trigger is kept: after the first pass another one follows and decodes this reply.
    ASSERT_TRUE(Inform(u.get(), AcuFrame(a.data(), 18, 1, 0xFF, 2)));
    EXPECT_EQ(u->AvailableChls, 2);
}

TEST_F(Registry, AnAwaitedReplyIsNeitherFakedNorOverwrittenByAnotherCommandsReply) {
    auto a = Mac(1);
    VnRef u = VnMainAdd(nic.get(), a.data());
    ASSERT_TRUE(u);
    auto connectReply = AcuFrame(a.data(), 3, 0, 0x55, 0);
    auto lateInfo = AcuFrame(a.data(), 18, 1, 0xFF, 1);
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
    EXPECT_EQ(u->RxBuff[15], 3);
    EXPECT_EQ(u->RxBuff[17], 0x55);
    u->DllpCmdExpectedCode = 0;
}
