// Fixture for tests that drive the real qorservice binary inside a lab: the daemon, clients on
// 127.0.0.1:50000 of the service's network namespace, and qorsim playing units on the far
// side of the veths.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qor_daemon.h"
#include "qor_lab.h"
#include "qor_mng_client.h"
#include "qor_sim.h"

namespace qortest {

constexpr const char* kLogPath = "/var/log/qorservice.log";
constexpr const char* kPidPath = "/var/run/qorservice.pid";
constexpr const char* kMappingDir = "/usr/share/qorservice_mapping";
constexpr const char* kConnectDir = "/usr/share/qorservice_connect";

inline std::string NicAdd(const std::string& ifname) {
    return "NIC (" + ifname + "), add\n";
}

inline std::string Record(const char* dir, const Mac& m) {
    std::string name = MacString(m);
    std::erase(name, ':');
    return std::string(dir) + "/" + name;
}

inline bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline std::vector<uint8_t> Zeros(size_t n) {
    return std::vector<uint8_t>(n, 0);
}

// Whether a socket of this network namespace listens on the TCP port: /proc/net/tcp has a
// line with the local port, no remote address and state 0A (listen).
inline bool Listening(uint16_t port) {
    char want[32];
    snprintf(want, sizeof(want), ":%04X 00000000:0000 0A ", port);
    return ReadFile("/proc/net/tcp").value_or("").find(want) != std::string::npos;
}

// Compares a whole response: header fields and payload bytes.
inline ::testing::AssertionResult IsResponse(const std::optional<mng::Packet>& p, uint16_t code,
                                             uint16_t status, const std::vector<uint8_t>& payload) {
    if (!p) return ::testing::AssertionFailure() << "no response";
    const auto head = mng::EncodeHeader(p->Hdr);
    const auto wantHead = mng::EncodeHeader({mng::kVersion,
                                             {},
                                             static_cast<uint16_t>(mng::kResponseBit | code),
                                             status,
                                             static_cast<uint32_t>(payload.size())});
    if (head != wantHead || p->Payload != payload)
        return ::testing::AssertionFailure() << "got  " << mng::Hex(head) << " | " << mng::Hex(p->Payload)
                                             << "\nwant " << mng::Hex(wantHead) << " | " << mng::Hex(payload);
    return ::testing::AssertionSuccess();
}

// What every lab case has: the lab, qorsim processes on its far side, the service log, and
// the output of both when the case failed.
class LabTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(InLab()) << "system tests run only inside a lab: qorlab [--veths N] -- <test binary> ...";
        lab_ = LabInfo::FromEnv();
    }

    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "---- service log ----\n" << Log() << "\n";
            for (auto& sim : sims_) std::cerr << "---- qorsim output ----\n" << sim->Output() << "\n";
        }
        sims_.clear();
    }

    static std::string Log() { return ReadFile(kLogPath).value_or(""); }

    // qorsim playing each (profile, MAC) on interface ifname in the network namespace of
    // process nsPid (by default the far side of veth `peer`); null (with a failure recorded)
    // when it did not start.
    SimProcess* StartSim(const std::vector<std::pair<std::string, Mac>>& units, size_t peer = 0) {
        return StartSim(units, lab_.PeerPids.at(peer), lab_.PeerIfs.at(peer));
    }
    SimProcess* StartSim(const std::vector<std::pair<std::string, Mac>>& units, pid_t nsPid,
                         const std::string& ifname) {
        std::vector<std::string> args;
        for (const auto& [profile, mac] : units)
            args.insert(args.end(), {"--unit", profile + "," + MacString(mac) + "," + ifname});
        sims_.push_back(std::make_unique<SimProcess>());
        if (sims_.back()->Start(QORSIM_PATH, nsPid, args)) return sims_.back().get();
        ADD_FAILURE() << "qorsim did not start: " << sims_.back()->Error();
        return nullptr;
    }

    // Names the step of a long case that later failures belong to, in place of the last one.
    void Step(const std::string& name) {
        step_.reset();
        step_.emplace(__FILE__, __LINE__, name);
    }

    LabInfo lab_;
    std::vector<std::unique_ptr<SimProcess>> sims_;
    std::optional<::testing::ScopedTrace> step_;
};

// The real qorservice binary, clients on 127.0.0.1:50000 and qorsim units.
class ServiceTest : public LabTest {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(LabTest::SetUp());
        // Bound before the daemon starts, so its first syslog() finds it.
        syslog_ = std::make_unique<SyslogSink>();
    }

    void TearDown() override {
        LabTest::TearDown();
        daemon_.reset();  // stops a daemon that is still running
        const std::string reports = DaemonProcess::SanitizerReports();
        EXPECT_TRUE(reports.empty()) << "the daemon's sanitizer runtime reported:\n" << reports;
    }

    // Starts the daemon; its first process must print the version and exit 0.
    void StartDaemon() {
        daemon_ = std::make_unique<DaemonProcess>(daemonPath_);
        ASSERT_TRUE(daemon_->Start()) << daemon_->Error();
        ASSERT_EQ(daemon_->LauncherStatus(), 0);
    }

    // Starts the daemon and waits until every veth of the lab has its NIC record.
    void StartAndWaitForNics() {
        ASSERT_NO_FATAL_FAILURE(StartDaemon());
        for (const auto& veth : lab_.Veths)
            ASSERT_TRUE(WaitForFileContains(kLogPath, NicAdd(veth), 5s)) << "no NIC record for " << veth;
    }

    // Starts the daemon and waits until its management port takes connections.
    void StartService() {
        ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
        ASSERT_TRUE(Eventually([] { return mng::Client().Connect(); }, 5s))
            << "the management port never opened";
    }

    // The service, qorsim playing `units` behind veth0 (sim_; none for no units) and client_,
    // once every unit is listed.
    void StartWithUnits(const std::vector<std::pair<std::string, Mac>>& units) {
        ASSERT_NO_FATAL_FAILURE(StartService());
        if (!units.empty()) {
            ASSERT_TRUE(sim_ = StartSim(units));
        }
        client_ = NewClient();
        ASSERT_TRUE(client_.IsOpen());
        for (const auto& [profile, mac] : units) ASSERT_TRUE(WaitListed(client_, mac)) << profile;
    }

    // A request of client_ that must be answered.
    std::optional<mng::Packet> Ask(uint16_t code, const std::vector<uint8_t>& payload = {}) {
        auto p = client_.Request(code, payload);
        EXPECT_TRUE(p) << client_.Error();
        return p;
    }

    // The answer to a command naming one MAC: status and the MAC echoed.
    ::testing::AssertionResult Echoes(uint16_t code, const Mac& mac, uint16_t status) {
        return IsResponse(Ask(code, mng::MacBytes(mac)), code, status, mng::MacBytes(mac));
    }

    // SIGTERM, then the daemon's exit status (nullopt if it did not end within the timeout).
    std::optional<int> Stop(Clock::duration timeout = 5s) {
        if (!daemon_ || !daemon_->Signal(SIGTERM)) return std::nullopt;
        return daemon_->WaitExit(timeout);
    }

    // A connected client; a failure is recorded when the service does not take it.
    static mng::Client NewClient() {
        mng::Client c;
        if (!c.Connect()) ADD_FAILURE() << "management connect failed: " << c.Error();
        return c;
    }

    // Requests until the response satisfies done (the search finds units within a few
    // seconds, and the periodic removal drops idle units for a moment); the last response.
    static std::optional<mng::Packet> RequestUntil(mng::Client& c, uint16_t code,
                                                   const std::vector<uint8_t>& payload,
                                                   const std::function<bool(const mng::Packet&)>& done,
                                                   Clock::duration timeout = 8s) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            auto p = c.Request(code, payload);
            if (!p) {
                ADD_FAILURE() << "no response to command " << code << ": " << c.Error();
                return std::nullopt;
            }
            if (done(*p) || Clock::now() >= deadline) return p;
            std::this_thread::sleep_for(50ms);
        }
    }

    // The unit's search record once it is listed with its channels.
    static std::optional<mng::UnitInfo> WaitListed(mng::Client& c, const Mac& mac) {
        std::optional<mng::UnitInfo> found;
        RequestUntil(c, mng::kSearchByAllNic, {}, [&](const mng::Packet& p) {
            for (const auto& u :
                 mng::DecodeUnitInfoList(p.Payload, false).value_or(std::vector<mng::UnitInfo>{}))
                if (u.UnitMac == mac && u.AvailableChls > 0) found = u;
            return found.has_value();
        });
        return found;
    }

    // The unit's detail record once the service holds its decoded info structure.
    static std::optional<mng::DetailInfo> WaitDetail(mng::Client& c, const Mac& mac, uint8_t channels) {
        std::optional<mng::DetailInfo> found;
        RequestUntil(c, mng::kGetSpecificVnInfo, mng::MacBytes(mac), [&](const mng::Packet& p) {
            found = mng::DecodeDetailInfo(p.Payload);
            if (p.Hdr.Status != mng::kSuccess || (found && found->Unit.AvailableChls != channels))
                found.reset();
            return found.has_value();
        });
        return found;
    }

    // Maps a known unit and returns its mapping record. A unit dropped by the periodic removal
    // is back (and decoded) within moments, so 32 and 50 are retried for a short while.
    static std::optional<mng::MappingInfo> Map(mng::Client& c, const Mac& mac) {
        auto p = RequestUntil(
            c, mng::kVnMapping, mng::MacBytes(mac),
            [](const mng::Packet& q) {
                return q.Hdr.Status != mng::kVnNotFound && q.Hdr.Status != mng::kNoIoForMapping;
            },
            3s);
        auto list = p ? mng::DecodeMappingInfoList(p->Payload) : std::nullopt;
        if (!p || p->Hdr.Status != mng::kSuccess || !list || list->size() != 1) {
            ADD_FAILURE() << "mapping " << MacString(mac) << ": " << (p ? mng::Describe(*p) : c.Error());
            return std::nullopt;
        }
        return list->front();
    }

    // Connects the unit with this connect record and checks the 14-byte result; like Map, a
    // unit dropped a moment ago by the periodic removal (32) is tried again.
    static std::optional<mng::ConnectResult> Connect(mng::Client& c, const std::vector<uint8_t>& record) {
        auto p = RequestUntil(
            c, mng::kVnConnect, record, [](const mng::Packet& q) { return q.Hdr.Status != mng::kVnNotFound; },
            3s);
        auto r = p ? mng::DecodeConnectResult(p->Payload) : std::nullopt;
        if (!p || p->Hdr.Status != mng::kSuccess || !r ||
            !std::equal(r->UnitMac.begin(), r->UnitMac.end(), record.begin())) {
            ADD_FAILURE() << "connect: " << (p ? mng::Describe(*p) : c.Error());
            return std::nullopt;
        }
        return r;
    }

    // MACs of the units command 10 (mapped) or 13 (connected) lists, sorted.
    static std::vector<Mac> Listed(mng::Client& c, uint16_t code) {
        auto p = c.Request(code);
        std::vector<Mac> macs;
        if (!p) return macs;
        if (code == mng::kGetAllMappingInfo) {
            for (const auto& m :
                 mng::DecodeMappingInfoList(p->Payload).value_or(std::vector<mng::MappingInfo>{}))
                macs.push_back(m.UnitMac);
        } else {
            for (const auto& u :
                 mng::DecodeUnitInfoList(p->Payload, true).value_or(std::vector<mng::UnitInfo>{}))
                macs.push_back(u.UnitMac);
        }
        std::sort(macs.begin(), macs.end());
        return macs;
    }

    // The daemon binary StartDaemon runs; a fixture may choose another build of it (the TTY
    // tests run the one that speaks the test netlink protocol).
    std::string daemonPath_ = QORSERVICE_PATH;
    mng::Client client_;
    SimProcess* sim_ = nullptr;
    std::unique_ptr<SyslogSink> syslog_;
    std::unique_ptr<DaemonProcess> daemon_;
};

}  // namespace qortest
