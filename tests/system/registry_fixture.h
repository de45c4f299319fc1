// Fixture for tests that run the service's modules inside the test process, in a lab: qorsim
// plays units on the far side of the veths, _InitProgFunc() creates the NIC records of the
// lab's veths and starts the real search thread, and the test reads the unit registry
// through the module API.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pem_lock.h"
#include "pem_main.h"
#include "qor_lab.h"
#include "qor_sim.h"
#include "vn_get_info.h"
#include "vn_main.h"
#include "vn_mng_query.h"

namespace qortest {

constexpr const char* kServiceLogPath = "/var/log/qorservice.log";

// The search thread: a cycle is advance search, 1 s, dock search, 1 s; the periodic removal
// runs on every sixth cycle, the first one five cycles after start-up.
constexpr auto kRemovalPeriod = 12s;
constexpr auto kRemovalDeadline = 14s;

// MACs of simulated units: 02:00:00:00:<group>:<n>.
inline Mac UnitMac(uint8_t group, uint8_t n) { return {0x02, 0x00, 0x00, 0x00, group, n}; }

inline std::string UnitSpec(const std::string& profile, const Mac& mac, const std::string& ifname) {
    return profile + "," + MacString(mac) + "," + ifname;
}

class InProcessService : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(InLab()) << "run under qorlab: qorlab [--veths N] -- registry_tests --gtest_filter=...";
        lab_ = LabInfo::FromEnv();
    }

    void TearDown() override {
        StopService();
        for (auto& sim : sims_) {
            if (HasFailure()) std::cerr << "qorsim output:\n" << sim->Output() << "\n";
        }
        sims_.clear();
        if (HasFailure()) std::cerr << "service log:\n" << Log() << "\n";
    }

    // qorsim in the network namespace of process nsPid; null (with a failure recorded) when
    // it did not start.
    SimProcess* StartSim(pid_t nsPid, const std::vector<std::string>& args) {
        auto sim = std::make_unique<SimProcess>();
        if (!sim->Start(QORSIM_PATH, nsPid, args)) {
            ADD_FAILURE() << "qorsim did not start: " << sim->Error();
            return nullptr;
        }
        sims_.push_back(std::move(sim));
        return sims_.back().get();
    }

    // The daemon's own start-up, in this process.
    void StartService() {
        ASSERT_FALSE(started_);
        ASSERT_EQ(_InitProgFunc(), 1) << Log();
        started_ = true;
        startedAt_ = Clock::now();
    }

    void StopService() {
        if (!started_) return;
        _FreeProgFunc();
        started_ = false;
    }

    Clock::duration SinceStart() const { return Clock::now() - startedAt_; }

    static std::string Log() { return ReadFile(kServiceLogPath).value_or(""); }

    // Polls the registry until the unit with this MAC has a record for which done() holds.
    static VnRef WaitForUnit(const Mac& mac, Clock::duration timeout,
                             const std::function<bool(PVN_DEVICE)>& done = [](PVN_DEVICE) { return true; }) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            VnRef unit = VnMainGetByMac(mac.data());
            if (unit && done(unit.get())) return unit;
            if (Clock::now() >= deadline) return VnRef();
            std::this_thread::sleep_for(5ms);
        }
    }

    // A record whose info structure has been decoded.
    static VnRef WaitInformed(const Mac& mac, Clock::duration timeout = 3s) {
        return WaitForUnit(mac, timeout, [](PVN_DEVICE p) { return p->DllpGetInfoThreadSuccess.load() == 1; });
    }

    // True once the registry has no record for the MAC.
    static bool WaitGone(const Mac& mac, Clock::duration timeout) {
        const auto deadline = Clock::now() + timeout;
        while (VnMainGetByMac(mac.data())) {
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // Triggers get-info passes of the unit until qorsim has counted `requests` more info
    // requests from it. Passes run one after another in the unit's thread, so once the
    // second request after a change of the unit's answer is seen, a pass has decoded (or
    // refused) the changed answer completely.
    static bool DrivePasses(const SimProcess& sim, const Mac& mac, unsigned long requests,
                            Clock::duration timeout = 5s) {
        const auto start = sim.Counters(mac);
        if (!start) return false;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto now = sim.Counters(mac);
            if (now && now->InfoRequests >= start->InfoRequests + requests) return true;
            if (Clock::now() >= deadline) return false;
            if (VnRef unit = VnMainGetByMac(mac.data())) VnMainUpdateInfo(unit.get());
            std::this_thread::sleep_for(3ms);
        }
    }

    // Runs fn on the record while no get-info pass can decode into it: passes decode under
    // the record's DLLP command mutex.
    template <typename Fn>
    static void Inspect(const VnRef& unit, Fn fn) {
        qor::MutexLock lock(&unit->DllpCmdCompleteMutex);
        fn(unit.get());
    }

    // MACs of the units VnMainSearchByAllNic lists, in list order.
    static std::vector<Mac> ListedUnits() {
        std::vector<uint8_t> buff(kMngBasicVnInfoLength * 300);
        size_t length = 0;
        EXPECT_EQ(VnMainSearchByAllNic(buff.data(), buff.size(), &length), MNG_STATUS_SUCCESS);
        EXPECT_EQ(length % kMngBasicVnInfoLength, 0u);
        std::vector<Mac> macs;
        for (size_t at = 0; at + kMngBasicVnInfoLength <= length; at += kMngBasicVnInfoLength) {
            Mac m{};
            std::copy(buff.begin() + at, buff.begin() + at + 6, m.begin());
            macs.push_back(m);
        }
        return macs;
    }

    LabInfo lab_;
    std::vector<std::unique_ptr<SimProcess>> sims_;
    bool started_ = false;
    Clock::time_point startedAt_{};
};

inline std::string ModelOf(PVN_DEVICE p) {
    return std::string(reinterpret_cast<const char*>(p->ModelName), strnlen(reinterpret_cast<const char*>(p->ModelName), 10));
}

inline Mac MacOf(PVN_DEVICE p) {
    Mac m{};
    std::copy(p->Mac, p->Mac + 6, m.begin());
    return m;
}

}  // namespace qortest
