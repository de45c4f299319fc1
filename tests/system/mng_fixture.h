// Fixture for the management tests: the real daemon in a lab, clients on 127.0.0.1:50000 of
// the service's network namespace, and qorsim playing units on the far side of the veths.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qor_mng_client.h"
#include "qor_sim.h"
#include "service_fixture.h"

namespace qortest::mngtest {

using mng::Client;
using mng::Packet;

constexpr const char* kMappingDir = "/usr/share/qorservice_mapping";
constexpr const char* kConnectDir = "/usr/share/qorservice_connect";

// Simulated units: 02:00:00:00:<group>:<n>.
inline Mac UnitMac(uint8_t group, uint8_t n) {
    return {0x02, 0x00, 0x00, 0x00, group, n};
}

inline std::string RecordName(const Mac& m) {
    char name[13];
    snprintf(name, sizeof(name), "%02x%02x%02x%02x%02x%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return name;
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

// Whether a socket of this network namespace listens on the TCP port (from /proc/net/tcp).
inline bool Listening(uint16_t port) {
    const auto table = ReadFile("/proc/net/tcp");
    if (!table) return false;
    std::istringstream in(*table);
    std::string line;
    std::getline(in, line);  // column titles
    char want[16];
    snprintf(want, sizeof(want), ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string slot, local, remote, state;
        f >> slot >> local >> remote >> state;
        if (state == "0A" && local.size() >= 5 && local.substr(local.size() - 5) == want) return true;
    }
    return false;
}

// Polls fn until it returns true; false at the deadline.
inline bool Eventually(const std::function<bool()>& fn, Clock::duration timeout,
                       Clock::duration step = 20ms) {
    const auto deadline = Clock::now() + timeout;
    while (!fn()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

class MngTest : public ServiceTest {
  protected:
    void TearDown() override {
        if (HasFailure()) {
            std::cerr << "---- service log ----\n" << Log() << "\n";
            for (auto& sim : sims_) std::cerr << "---- qorsim output ----\n" << sim->Output() << "\n";
        }
        sims_.clear();
        ServiceTest::TearDown();
    }

    // Starts the daemon and waits until its management port takes connections.
    void StartService() {
        ASSERT_NO_FATAL_FAILURE(StartAndWaitForNics());
        ASSERT_TRUE(Eventually(
            [] {
                Client c;
                return c.Connect();
            },
            5s))
            << "the management port never opened";
    }

    // A connected client; a failure is recorded when the service does not take it.
    static Client NewClient() {
        Client c;
        if (!c.Connect()) ADD_FAILURE() << "management connect failed: " << c.Error();
        return c;
    }

    // qorsim on the far side of veth `peer` (or the bridge namespace with --bridge).
    SimProcess* StartSim(const std::vector<std::string>& args, size_t peer = 0) {
        if (peer >= lab_.PeerPids.size()) {
            ADD_FAILURE() << "the lab has no peer " << peer;
            return nullptr;
        }
        auto sim = std::make_unique<SimProcess>();
        if (!sim->Start(QORSIM_PATH, lab_.PeerPids[peer], args)) {
            ADD_FAILURE() << "qorsim did not start: " << sim->Error();
            return nullptr;
        }
        sims_.push_back(std::move(sim));
        return sims_.back().get();
    }

    std::string Unit(const std::string& profile, const Mac& mac, size_t peer = 0) const {
        return profile + "," + MacString(mac) + "," + lab_.PeerIfs.at(peer);
    }

    // qorsim on the far side of veth0 playing each (profile, MAC).
    SimProcess* StartUnitsSim(const std::vector<std::pair<std::string, Mac>>& units) {
        std::vector<std::string> args;
        for (const auto& [profile, mac] : units) {
            args.push_back("--unit");
            args.push_back(Unit(profile, mac));
        }
        return StartSim(args);
    }

    // Requests until the response satisfies done (the search finds units within a few
    // seconds, and the periodic removal drops idle units for a moment); the last response.
    static std::optional<Packet> RequestUntil(Client& c, uint16_t code, const std::vector<uint8_t>& payload,
                                              const std::function<bool(const Packet&)>& done,
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
    static std::optional<mng::UnitInfo> WaitListed(Client& c, const Mac& mac, Clock::duration timeout = 8s) {
        std::optional<mng::UnitInfo> found;
        RequestUntil(
            c, mng::kSearchByAllNic, {},
            [&](const Packet& p) {
                const auto list = mng::DecodeUnitInfoList(p.Payload, false);
                if (!list) return false;
                for (const auto& u : *list)
                    if (u.UnitMac == mac && u.AvailableChls > 0) found = u;
                return found.has_value();
            },
            timeout);
        return found;
    }

    // The unit's detail record once the service holds its decoded info structure.
    static std::optional<mng::DetailInfo> WaitDetail(Client& c, const Mac& mac, uint8_t channels,
                                                     Clock::duration timeout = 8s) {
        std::optional<mng::DetailInfo> found;
        RequestUntil(
            c, mng::kGetSpecificVnInfo, mng::MacBytes(mac),
            [&](const Packet& p) {
                if (p.Hdr.Status != mng::kSuccess) return false;
                auto d = mng::DecodeDetailInfo(p.Payload);
                if (!d || d->Unit.AvailableChls != channels) return false;
                found = std::move(d);
                return true;
            },
            timeout);
        return found;
    }

    // Maps the unit (which must be known) and returns its mapping record.
    // A unit dropped by the periodic removal is back (and decoded) within moments, so 32
    // and 50 are retried for a short while.
    static std::optional<mng::MappingInfo> Map(Client& c, const Mac& mac) {
        auto p = RequestUntil(
            c, mng::kVnMapping, mng::MacBytes(mac),
            [](const Packet& q) {
                return q.Hdr.Status != mng::kVnNotFound && q.Hdr.Status != mng::kNoIoForMapping;
            },
            3s);
        if (!p) return std::nullopt;
        if (p->Hdr.Status != mng::kSuccess) {
            ADD_FAILURE() << "mapping " << MacString(mac) << ": " << mng::Describe(*p);
            return std::nullopt;
        }
        auto list = mng::DecodeMappingInfoList(p->Payload);
        if (!list || list->size() != 1) {
            ADD_FAILURE() << "mapping record: " << mng::Describe(*p);
            return std::nullopt;
        }
        return list->front();
    }

    // Connects the unit; like Map, a unit dropped a moment ago by the periodic removal (32)
    // is tried again. The last response.
    static std::optional<Packet> ConnectUnit(Client& c, const std::vector<uint8_t>& record) {
        return RequestUntil(
            c, mng::kVnConnect, record, [](const Packet& q) { return q.Hdr.Status != mng::kVnNotFound; }, 3s);
    }

    std::vector<std::unique_ptr<SimProcess>> sims_;
};

// Expectations that compare a whole response: header fields and payload bytes.
inline ::testing::AssertionResult IsResponse(const std::optional<Packet>& p, uint16_t code, uint16_t status,
                                             const std::vector<uint8_t>& payload) {
    if (!p) return ::testing::AssertionFailure() << "no response";
    const auto head = mng::EncodeHeader(p->Hdr);
    const mng::Header want{mng::kVersion,
                           {},
                           static_cast<uint16_t>(mng::kResponseBit | code),
                           status,
                           static_cast<uint32_t>(payload.size())};
    const auto wantHead = mng::EncodeHeader(want);
    if (head != wantHead || p->Payload != payload)
        return ::testing::AssertionFailure() << "got  " << mng::Hex(head) << " | " << mng::Hex(p->Payload)
                                             << "\nwant " << mng::Hex(wantHead) << " | " << mng::Hex(payload);
    return ::testing::AssertionSuccess();
}

inline std::vector<uint8_t> Zeros(size_t n) {
    return std::vector<uint8_t>(n, 0);
}

}  // namespace qortest::mngtest
