// The unit registry against simulated units: creation by a search answer, the info fetched
// right after, indices, the periodic removal, and the NIC a unit is reached through.
#include <algorithm>

#include "qor_tap.h"
#include "registry_fixture.h"

namespace qortest {
namespace {

class UnitRegistry : public InProcessService {};

// qorlab --veths 1
TEST_F(UnitRegistry, AUnitIsFoundInformedAndRemovedOnePeriodAfterItFellSilent) {
    const Mac mac = UnitMac(1, 1);
    SimProcess* sim = StartSim({{"ctu_uart2", mac}});
    ASSERT_TRUE(sim);
    ASSERT_NO_FATAL_FAILURE(StartService());
    {
        VnRef unit = WaitInformed(mac);
        ASSERT_TRUE(unit && unit->NicPtr) << "the unit was not found and informed within 3 s";
        EXPECT_EQ(std::pair(int{unit->Index}, std::string(unit->NicPtr->InterfaceName)),
                  std::pair(1, std::string("veth0")));
        Inspect(unit, [](PVN_DEVICE p) { EXPECT_EQ(View(p), CtuUart2View()); });
        // The first periodic removal drops the answering unit too; the next search finds it
        // again as a fresh record.
        ASSERT_TRUE(WaitForUnit(mac, kRemovalDeadline + 3s, [&](PVN_DEVICE p) { return p != unit.get(); }))
            << "no periodic removal within 17 s of start-up";
    }
    // Silent just after a removal, the unit lasts until the next one, a removal period later.
    ASSERT_TRUE(sim->Ok("silent " + MacString(mac))) << sim->LastAnswer();
    const auto silentAt = Clock::now();
    ASSERT_TRUE(WaitGone(mac, kRemovalDeadline + 3s)) << "a silent unit was still listed 17 s later";
    const auto gone = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - silentAt);
    EXPECT_GE(gone, kRemovalPeriod - 2s) << "removals closer together than the removal period";
    EXPECT_LE(gone, kRemovalDeadline) << "removals further apart than the removal period";
    EXPECT_FALSE(Eventually([&] { return static_cast<bool>(VnMainGetByMac(mac.data())); }, 3s))
        << "a silent unit came back";
}

// qorlab --veths 2 --peers 1: both veths reach one segment through br0, where the unit is.
TEST_F(UnitRegistry, UnitAnsweringOnTwoNicsKeepsNicOfFirstAnswer) {
    ASSERT_TRUE(lab_.BridgePid && lab_.UnitPids.size() == 1) << "needs qorlab --veths 2 --peers 1";
    const Mac veth0 = ReadIfMac("veth0").value_or(Mac{}), veth1 = ReadIfMac("veth1").value_or(Mac{});
    ASSERT_TRUE(veth0 != Mac{} && veth1 != Mac{});
    // At first only veth1 reaches the unit, so its answer comes through veth1.
    ASSERT_EQ(RunShellInNetns(lab_.BridgePid, "ip link set p0 nomaster"), 0);
    const Mac mac = UnitMac(5, 1);
    SimProcess* sim = StartSim({{"ctu_uart2", mac}}, lab_.UnitPids[0], lab_.UnitIfs[0]);
    ASSERT_TRUE(sim);
    FrameTap p0(lab_.BridgePid, "p0"), p1(lab_.BridgePid, "p1");
    ASSERT_NO_FATAL_FAILURE(StartService());
    VnRef unit = WaitInformed(mac);
    ASSERT_TRUE(unit && unit->NicPtr);
    ASSERT_STREQ(unit->NicPtr->InterfaceName, "veth1");

    // Now veth0 reaches it too, and veth0 is searched first in every cycle.
    ASSERT_EQ(RunShellInNetns(lab_.BridgePid, "ip link set p0 master br0"), 0);
    const int64_t joinedAt = RealNowNs();
    // Frames sent since then from `from` with one of the DLLP codes.
    auto count = [&](const FrameTap& tap, const Mac& from, std::initializer_list<uint8_t> codes) {
        const auto frames = tap.Frames();
        return std::count_if(frames.begin(), frames.end(), [&](const TapFrame& f) {
            return f.RealNs > joinedAt && f.Source() == from &&
                   std::find(codes.begin(), codes.end(), f.DllpCode()) != codes.end();
        });
    };
    ASSERT_TRUE(Eventually(
        [&] {
            return count(p0, mac, {5, 7}) >= 3;
        },
        5s))
        << "the unit did not answer the searches of veth0";
    // One more search cycle, so that the answers through veth0 have been handled.
    const auto searches = [&] { return sim->Counters(mac).value_or(SimUnitCounters{}).Searches; };
    const auto before = searches();
    ASSERT_TRUE(Eventually([&] { return searches() >= before + 2; }, 5s));

    // Still the same record, still reached through veth1; info requests go out there only.
    EXPECT_EQ(VnMainGetByMac(mac.data()).get(), unit.get()) << "the record was re-created";
    EXPECT_STREQ(unit->NicPtr->InterfaceName, "veth1");
    EXPECT_EQ(VnAmount, 1);
    EXPECT_EQ(count(p0, veth0, {16}), 0) << "an info request went out on veth0";
    EXPECT_GE(count(p1, veth1, {16}), 2)
        << "the answers after veth0 joined did not refresh the info through veth1";
}

}  // namespace
}  // namespace qortest
