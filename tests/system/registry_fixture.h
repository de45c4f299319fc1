// Fixture for tests that run the service's modules inside the test process, in a lab: qorsim
// plays units on the far side of the veths, _InitProgFunc() creates the NIC records of the
// lab's veths and starts the real search thread, and the test reads the unit registry
// through the module API.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "pem_lock.h"
#include "pem_main.h"
#include "qor_lab.h"
#include "qor_sim.h"
#include "vn_get_info.h"
#include "vn_main.h"

namespace qortest {

constexpr const char* kServiceLogPath = "/var/log/qorservice.log";

// The search thread: a cycle is advance search, 1 s, dock search, 1 s; the periodic removal
// runs on every sixth cycle, the first one five cycles after start-up.
constexpr auto kRemovalPeriod = 12s;
constexpr auto kRemovalDeadline = 14s;

class InProcessService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InLab()) << "run under qorlab: qorlab [--veths N] -- registry_tests --gtest_filter=...";
        lab_ = LabInfo::FromEnv();
    }

    void TearDown() override {
        if (started_) _FreeProgFunc();
        for (auto& sim : sims_)
            if (HasFailure()) std::cerr << "qorsim output:\n" << sim->Output() << "\n";
        sims_.clear();
        if (HasFailure()) std::cerr << "service log:\n" << Log() << "\n";
    }

    // qorsim playing each (profile, MAC) on interface ifname in the network namespace of
    // process nsPid (by default the far side of veth0); null (with a failure recorded) when
    // it did not start.
    SimProcess* StartSim(const std::vector<std::pair<std::string, Mac>>& units, pid_t nsPid = 0,
                         std::string ifname = "p0") {
        std::vector<std::string> args;
        for (const auto& [profile, mac] : units)
            args.insert(args.end(), {"--unit", profile + "," + MacString(mac) + "," + ifname});
        auto sim = std::make_unique<SimProcess>();
        if (!sim->Start(QORSIM_PATH, nsPid ? nsPid : lab_.PeerPids.at(0), args)) {
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
    }

    static std::string Log() { return ReadFile(kServiceLogPath).value_or(""); }

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

    LabInfo lab_;
    std::vector<std::unique_ptr<SimProcess>> sims_;
    bool started_ = false;
};

inline std::string ModelOf(PVN_DEVICE p) {
    return std::string(reinterpret_cast<const char*>(p->ModelName),
                       strnlen(reinterpret_cast<const char*>(p->ModelName), 10));
}

// The channels of sim/profiles/ctu_uart2.prof as they travel in the info structure: channel
// number, type, length in words, info byte.
inline const std::vector<std::array<uint8_t, 4>> kCtuUart2 = {{0, 0, 4, 2}, {1, 1, 4, 5}, {2, 1, 3, 2}};

// The profile's own DIBs in slots 0..n-1.
inline void ExpectProfileDibs(PVN_DEVICE p, size_t n) {
    for (size_t i = 0; i < n && i < kCtuUart2.size(); ++i) {
        const _DIB& dib = p->DibArray[i];
        EXPECT_EQ((std::array<uint8_t, 4>{dib.ChlNumber, dib.Type, dib.LengthInDW, dib.Info}), kCtuUart2[i])
            << "slot " << i;
    }
}

// The record of a ctu_uart2 unit, as far as qorsim and the service must agree on it; the
// decoding of every field is proven by the decoder's unit tests, the bytes a unit's info
// structure turns into by the management tests.
inline void ExpectCtuUart2Record(PVN_DEVICE p, uint8_t linkStatus = 0) {
    EXPECT_EQ(ModelOf(p), "VN-U2S");
    EXPECT_EQ(p->LinkStatus, linkStatus);
    EXPECT_EQ(p->MinorVersion, 7);
    ASSERT_EQ(p->AvailableChls, kCtuUart2.size());
    ExpectProfileDibs(p, kCtuUart2.size());
    // UART layouts 5 and 2: 1024- and 256-byte buffers; no TTY assigned yet.
    EXPECT_EQ(p->DibArray[1].Uart.TxBuffSize, 1024u);
    EXPECT_EQ(p->DibArray[2].Uart.RxBuffSize, 256u);
    EXPECT_EQ(p->DibArray[1].Uart.TtyMinorNumber, -1);
}

}  // namespace qortest
