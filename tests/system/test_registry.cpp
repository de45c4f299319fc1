// The unit registry against simulated units: creation by a search answer, the info fetched
// right after, indices, the periodic removal and what survives it, and the NIC a unit is
// reached through.
#include <array>
#include <cstring>

#include "ctu_uart2_record.h"
#include "qor_tap.h"
#include "registry_fixture.h"

namespace qortest {
namespace {

class UnitRegistry : public InProcessService {};

// qorlab --veths 1
TEST_F(UnitRegistry, OneUnitIsFoundInformedAndGetsIndexOneAgain) {
    const Mac mac = UnitMac(1, 1);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("ctu_uart2", mac, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());

    {
        VnRef unit = WaitInformed(mac);
        ASSERT_TRUE(unit) << "the unit was not found and informed within 3 s";
        EXPECT_EQ(unit->Index, 1);
        EXPECT_EQ(MacOf(unit.get()), mac);
        ASSERT_TRUE(unit->NicPtr);
        EXPECT_STREQ(unit->NicPtr->InterfaceName, "veth0");
        Inspect(unit, [](PVN_DEVICE p) { ExpectCtuUart2Record(p); });
        EXPECT_EQ(VnAmount, 1);
        EXPECT_EQ(VnMainGetByIndex(1).get(), unit.get());
        EXPECT_FALSE(VnMainGetByIndex(2));

        // The management view of the same record.
        EXPECT_EQ(ListedUnits(), std::vector<Mac>{mac});
        std::vector<uint8_t> detail(4096, 0xEE);
        size_t length = 0;
        ASSERT_EQ(VnMainGetSpecificVnDetailInfo(mac.data(), detail.data(), detail.size(), &length), MNG_STATUS_SUCCESS);
        ASSERT_EQ(length, kMngBasicVnInfoWithPortsLength + (6 + 12) + (6 + 12) + (6 + 8));
        EXPECT_TRUE(std::equal(mac.begin(), mac.end(), detail.begin()));
        EXPECT_EQ(detail[25], 3);  // channels
        const size_t dib1 = kMngBasicVnInfoWithPortsLength + 6 + 12;
        EXPECT_EQ(std::vector<uint8_t>(detail.begin() + dib1, detail.begin() + dib1 + 6),
                  (std::vector<uint8_t>{1, 1, 4, 5, 0, 12}));
    }

    // The unit goes away: the periodic removal drops it, and nothing finds it again.
    ASSERT_TRUE(sim->Ok("remove " + MacString(mac))) << sim->LastAnswer();
    const auto removedAt = Clock::now();
    ASSERT_TRUE(WaitGone(mac, kRemovalDeadline)) << "still listed 14 s after it stopped answering";
    EXPECT_EQ(VnAmount, 0);
    EXPECT_FALSE(VnMainGetByIndex(1));
    EXPECT_TRUE(ListedUnits().empty());
    std::cout << "removed after " << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - removedAt).count()
              << " ms\n";

    // Back again while no other unit exists: the lowest free index, 1, once more.
    ASSERT_TRUE(sim->Ok("add ctu_uart2 " + MacString(mac) + " " + lab_.PeerIfs[0])) << sim->LastAnswer();
    VnRef again = WaitInformed(mac);
    ASSERT_TRUE(again) << "the returning unit was not found within 3 s";
    EXPECT_EQ(again->Index, 1);
    EXPECT_EQ(VnAmount, 1);
    Inspect(again, [](PVN_DEVICE p) { ExpectCtuUart2Record(p); });
}

// qorlab --veths 1
TEST_F(UnitRegistry, UnitWithoutChannelsIsInformedButNotListed) {
    ASSERT_TRUE(WriteFile("/run/no_channels.prof", "model \"VN-EMPTY\"\nmode dock\nversion 1 4\n"));
    const Mac empty = UnitMac(2, 1);
    const Mac full = UnitMac(2, 2);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("/run/no_channels.prof", empty, lab_.PeerIfs[0]),
                                                  "--unit", UnitSpec("ctu_uart2", full, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());

    VnRef e = WaitInformed(empty);
    VnRef f = WaitInformed(full);
    ASSERT_TRUE(e && f);
    Inspect(e, [](PVN_DEVICE p) {
        EXPECT_EQ(ModelOf(p), "VN-EMPTY");
        EXPECT_EQ(p->TypeInfo_Mode, 0);
        EXPECT_EQ(p->MajorVersion, 1);
        EXPECT_EQ(p->MinorVersion, 4);
        EXPECT_EQ(p->AvailableChls, 0);
        EXPECT_EQ(VnGetChannelType(p, 0), 0);
        EXPECT_EQ(VnGetDibPointer(p, 0), nullptr);
    });
    EXPECT_EQ(VnAmount, 2);
    EXPECT_NE(e->Index, f->Index);
    EXPECT_TRUE((e->Index == 1 && f->Index == 2) || (e->Index == 2 && f->Index == 1));

    // Both searches list the informed unit with channels, once, and never the empty one.
    EXPECT_EQ(ListedUnits(), std::vector<Mac>{full});
    const auto vethMac = ReadIfMac("veth0");
    ASSERT_TRUE(vethMac);
    std::vector<uint8_t> buff(1024);
    size_t length = 0;
    ASSERT_EQ(VnMainSearchBySpecificNic(vethMac->data(), buff.data(), buff.size(), &length), MNG_STATUS_SUCCESS);
    ASSERT_EQ(length, kMngBasicVnInfoLength);
    EXPECT_TRUE(std::equal(full.begin(), full.end(), buff.begin()));

    // Asked for by name, the empty unit is known: a detail record without channels.
    ASSERT_EQ(VnMainGetSpecificVnDetailInfo(empty.data(), buff.data(), buff.size(), &length), MNG_STATUS_SUCCESS);
    EXPECT_EQ(length, kMngBasicVnInfoWithPortsLength);
    EXPECT_EQ(buff[25], 0);
}

// qorlab --veths 1
TEST_F(UnitRegistry, SilentUnitIsRemovedWithinRemovalPeriod) {
    const Mac mac = UnitMac(3, 1);
    const Mac other = UnitMac(3, 2);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("ctu_uart2", mac, lab_.PeerIfs[0]), "--unit",
                                                  UnitSpec("dock_basic", other, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_TRUE(WaitInformed(mac));
    {
        // The unit goes silent just after a removal, so it must last a whole removal period:
        // the first removal is the moment the answering unit's record is dropped.
        VnRef first = WaitInformed(other);
        ASSERT_TRUE(first);
        ASSERT_TRUE(WaitForUnit(other, kRemovalDeadline + 3s, [&](PVN_DEVICE p) { return p != first.get(); }))
            << "no periodic removal within 14 s of start-up";
    }
    ASSERT_TRUE(sim->Ok("silent " + MacString(mac))) << sim->LastAnswer();
    const auto silentAt = Clock::now();
    ASSERT_TRUE(WaitGone(mac, kRemovalDeadline + 3s)) << "a silent unit was still listed 17 s later";
    const auto gone = Clock::now() - silentAt;
    std::cout << "silent unit removed after " << std::chrono::duration_cast<std::chrono::milliseconds>(gone).count()
              << " ms\n";
    EXPECT_LE(gone, kRemovalDeadline) << "the removal period is longer than 12 s";

    // The unit that keeps answering is listed again by the next search at the latest; the
    // silent one stays away.
    EXPECT_TRUE(WaitInformed(other, 3s)) << "the answering unit was not found again after the removal";
    const auto quietUntil = Clock::now() + 3s;
    while (Clock::now() < quietUntil) {
        ASSERT_FALSE(VnMainGetByMac(mac.data())) << "a silent unit came back";
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(VnAmount, 1);
}

// qorlab --veths 1
TEST_F(UnitRegistry, MappedOrConnectedUnitsSurviveRemoval) {
    const Mac mapped = UnitMac(4, 1), connected = UnitMac(4, 2), plain = UnitMac(4, 3);
    SimProcess* sim = StartSim(lab_.PeerPids[0], {"--unit", UnitSpec("ctu_uart2", mapped, lab_.PeerIfs[0]), "--unit",
                                                  UnitSpec("ctu_uart2", connected, lab_.PeerIfs[0]), "--unit",
                                                  UnitSpec("ctu_uart2", plain, lab_.PeerIfs[0])});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    VnRef m = WaitInformed(mapped), c = WaitInformed(connected);
    ASSERT_TRUE(m && c && WaitInformed(plain));
    ASSERT_LT(SinceStart(), 8s) << "too slow to set the flags before the first removal";
    m->IsMappingByHost = 1;
    c->IsConnectedByHost = 1;
    const uint8_t mIndex = m->Index, cIndex = c->Index;

    // None of them answers any more; only the plain one may go.
    ASSERT_TRUE(sim->Ok("silent all")) << sim->LastAnswer();
    ASSERT_TRUE(WaitGone(plain, kRemovalDeadline)) << "the plain silent unit was not removed";
    const auto firstRemoval = Clock::now();
    // The same records, with their indices, are still listed (the references held here keep
    // their memory, so equal pointers mean the records were never re-created).
    EXPECT_EQ(VnMainGetByMac(mapped.data()).get(), m.get());
    EXPECT_EQ(VnMainGetByMac(connected.data()).get(), c.get());
    EXPECT_EQ(VnMainGetByIndex(mIndex).get(), m.get());
    EXPECT_EQ(VnMainGetByIndex(cIndex).get(), c.get());
    EXPECT_EQ(VnAmount, 2);
    // A mapped unit that stopped answering stays in the mapping list too.
    std::vector<uint8_t> buff(4096);
    size_t length = 0;
    ASSERT_EQ(VnMainGetAllMappingInfoMappedByHost(buff.data(), buff.size(), &length), MNG_STATUS_SUCCESS);
    ASSERT_EQ(length, 7u + 2 * 2);
    EXPECT_TRUE(std::equal(mapped.begin(), mapped.end(), buff.begin()));
    EXPECT_EQ(buff[6], 2);  // two UARTs

    // Without its mapping the unit goes with the next removal; the connected one stays.
    m->IsMappingByHost = 0;
    ASSERT_TRUE(WaitGone(mapped, kRemovalPeriod + 2s)) << "unmapped silent unit was not removed by the next removal";
    const auto between = Clock::now() - firstRemoval;
    EXPECT_GE(between, kRemovalPeriod - 2s) << "removals closer together than the removal period";
    EXPECT_LE(between, kRemovalDeadline) << "removals further apart than the removal period";
    EXPECT_EQ(VnMainGetByMac(connected.data()).get(), c.get());
    EXPECT_EQ(VnAmount, 1);
    c->IsConnectedByHost = 0;
}

// qorlab --veths 2 --peers 1: both veths reach one segment through br0, where the unit is.
TEST_F(UnitRegistry, UnitAnsweringOnTwoNicsKeepsNicOfFirstAnswer) {
    ASSERT_EQ(lab_.Veths.size(), 2u);
    ASSERT_EQ(lab_.UnitPids.size(), 1u);
    ASSERT_NE(lab_.BridgePid, 0);
    const auto veth0Mac = ReadIfMac("veth0"), veth1Mac = ReadIfMac("veth1");
    ASSERT_TRUE(veth0Mac && veth1Mac);
    // At first only veth1 reaches the unit, so its answer comes through veth1.
    ASSERT_EQ(RunShellInNetns(lab_.BridgePid, "ip link set p0 nomaster"), 0);
    const Mac mac = UnitMac(5, 1);
    SimProcess* sim = StartSim(lab_.UnitPids[0], {"--unit", UnitSpec("ctu_uart2", mac, lab_.UnitIfs[0])});
    ASSERT_TRUE(sim);
    FrameTap p0(lab_.BridgePid, "p0"), p1(lab_.BridgePid, "p1");
    ASSERT_NO_FATAL_FAILURE(StartService());

    VnRef unit = WaitInformed(mac);
    ASSERT_TRUE(unit);
    ASSERT_TRUE(unit->NicPtr);
    ASSERT_STREQ(unit->NicPtr->InterfaceName, "veth1");

    // Now veth0 reaches it too, and veth0 is searched first in every cycle.
    ASSERT_EQ(RunShellInNetns(lab_.BridgePid, "ip link set p0 master br0"), 0);
    const int64_t joinedAt = RealNowNs();
    auto answersOnVeth0 = [&]() {
        size_t n = 0;
        for (const auto& f : p0.Frames())
            if (f.RealNs > joinedAt && f.Outgoing() && f.Source() == mac && f.Dest() == *veth0Mac &&
                (f.DllpCode() == 5 || f.DllpCode() == 7))
                ++n;
        return n;
    };
    const auto deadline = Clock::now() + 5s;
    while (answersOnVeth0() < 3 && Clock::now() < deadline) std::this_thread::sleep_for(20ms);
    ASSERT_GE(answersOnVeth0(), 3u) << "the unit did not answer the searches of veth0; p0 saw:\n" << Describe(p0.Frames());
    // Wait for one more search cycle so that the answers through veth0 have been handled.
    const auto searches = sim->Counters(mac);
    ASSERT_TRUE(searches);
    for (;;) {
        const auto now = sim->Counters(mac);
        ASSERT_TRUE(now);
        if (now->Searches >= searches->Searches + 2) break;
        ASSERT_LT(Clock::now(), deadline + 3s) << "no further searches reached the unit";
        std::this_thread::sleep_for(20ms);
    }

    // Still the same record, still reached through veth1; info requests go out there only.
    EXPECT_EQ(VnMainGetByMac(mac.data()).get(), unit.get()) << "the record was re-created";
    EXPECT_STREQ(unit->NicPtr->InterfaceName, "veth1");
    EXPECT_EQ(VnAmount, 1);
    size_t requestsVeth0 = 0, requestsVeth1 = 0;
    for (const auto& f : p0.Frames())
        if (!f.Outgoing() && f.Source() == *veth0Mac && f.DllpCode() == 16) ++requestsVeth0;
    for (const auto& f : p1.Frames())
        if (!f.Outgoing() && f.Source() == *veth1Mac && f.DllpCode() == 16 && f.RealNs > joinedAt) ++requestsVeth1;
    EXPECT_EQ(requestsVeth0, 0u) << "an info request went out on veth0";
    EXPECT_GE(requestsVeth1, 2u) << "the answers after veth0 joined did not refresh the info through veth1";
}

}  // namespace
}  // namespace qortest
