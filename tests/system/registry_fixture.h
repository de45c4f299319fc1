// Fixture for tests that run the service's modules inside the test process, in a lab: qorsim
// plays units on the far side of the veths, _InitProgFunc() creates the NIC records of the
// lab's veths and starts the real search thread, and the test reads the unit registry
// through the module API.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>

#include "pem_lock.h"
#include "pem_main.h"
#include "service_fixture.h"
#include "vn_get_info.h"
#include "vn_main.h"

namespace qortest {

// The search thread: a cycle is advance search, 1 s, dock search, 1 s; the periodic removal
// runs on every sixth cycle, the first one five cycles after start-up.
constexpr auto kRemovalPeriod = 12s;
constexpr auto kRemovalDeadline = 14s;

class InProcessService : public LabTest {
  protected:
    void TearDown() override {
        if (started_) _FreeProgFunc();
        LabTest::TearDown();
    }

    // The daemon's own start-up, in this process.
    void StartService() {
        ASSERT_FALSE(started_);
        ASSERT_EQ(_InitProgFunc(), 1) << Log();
        started_ = true;
    }

    // Polls the registry until the unit with this MAC has a record for which done() holds.
    static VnRef WaitForUnit(
        const Mac& mac, Clock::duration timeout,
        const std::function<bool(PVN_DEVICE)>& done = [](PVN_DEVICE) { return true; }) {
        VnRef unit;
        const bool found =
            Eventually([&] { return (unit = VnMainGetByMac(mac.data())) && done(unit.get()); }, timeout, 5ms);
        return found ? std::move(unit) : VnRef();
    }

    // A record whose info structure has been decoded.
    static VnRef WaitInformed(const Mac& mac, Clock::duration timeout = 3s) {
        return WaitForUnit(mac, timeout,
                           [](PVN_DEVICE p) { return p->DllpGetInfoThreadSuccess.load() == 1; });
    }

    // True once the registry has no record for the MAC.
    static bool WaitGone(const Mac& mac, Clock::duration timeout) {
        return Eventually([&] { return !VnMainGetByMac(mac.data()); }, timeout, 5ms);
    }

    // Triggers get-info passes of the unit until qorsim has counted `requests` more info
    // requests from it. Passes run one after another in the unit's thread, so once the
    // second request after a change of the unit's answer is seen, a pass has decoded (or
    // refused) the changed answer completely.
    static bool DrivePasses(const SimProcess& sim, const Mac& mac, unsigned long requests,
                            Clock::duration timeout = 5s) {
        const auto start = sim.Counters(mac);
        return start && Eventually(
                            [&] {
                                if (VnRef unit = VnMainGetByMac(mac.data())) VnMainUpdateInfo(unit.get());
                                const auto now = sim.Counters(mac);
                                return now && now->InfoRequests >= start->InfoRequests + requests;
                            },
                            timeout, 3ms);
    }

    // Runs fn on the record while no get-info pass can decode into it: passes decode under
    // the record's DLLP command mutex.
    template <typename Fn>
    static void Inspect(const VnRef& unit, Fn fn) {
        qor::MutexLock lock(&unit->DllpCmdCompleteMutex);
        fn(unit.get());
    }

    bool started_ = false;
};

// What the registry holds of a unit: model, link status, channel count and, of the first
// `dibs` slots, channel number, type, length in words and info byte.
inline std::string View(PVN_DEVICE p, size_t dibs = 64) {
    const char* model = reinterpret_cast<const char*>(p->ModelName);
    std::string out = std::string(model, strnlen(model, 10)) + " link " + std::to_string(p->LinkStatus) +
                      " chls " + std::to_string(p->AvailableChls) + " dibs";
    for (size_t i = 0; i < std::min<size_t>(dibs, p->AvailableChls); ++i) {
        const _DIB& d = p->DibArray[i];
        out += " " + std::to_string(d.ChlNumber) + "/" + std::to_string(d.Type) + "/" +
               std::to_string(d.LengthInDW) + "/" + std::to_string(d.Info);
    }
    return out;
}

// The View of a sim/profiles/ctu_uart2.prof unit with `chls` channels of which the first
// `dibs` are the profile's own; the decoding of every field is proven by the decoder's unit
// tests, the bytes a unit's info structure turns into by the management tests.
inline std::string CtuUart2View(int chls = 3, size_t dibs = 3, int link = 0) {
    const char* own[] = {" 0/0/4/2", " 1/1/4/5", " 2/1/3/2"};
    std::string out = "VN-U2S link " + std::to_string(link) + " chls " + std::to_string(chls) + " dibs";
    for (size_t i = 0; i < std::min<size_t>({dibs, static_cast<size_t>(chls), 3}); ++i) out += own[i];
    return out;
}

}  // namespace qortest
