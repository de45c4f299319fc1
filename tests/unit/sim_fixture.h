// The fake world the stand-in unit's tests run in: interfaces are faked, sent frames
// collected, and the clock is the test's.
#pragma once

#include <gtest/gtest.h>
#include <linux/if_packet.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim_control.h"
#include "sim_unit.h"

inline const SimMac kHost{0x02, 0x00, 0x00, 0x00, 0x99, 0x01};
inline const SimMac kUnitA{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline const SimMac kUnitB{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
inline const SimMac kUnitC{0x02, 0x00, 0x00, 0x00, 0x00, 0x03};

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline SimMac DstOf(const Bytes& f) {
    return {f[0], f[1], f[2], f[3], f[4], f[5]};
}

// One frame from a host and what the unit does: the head of its one answer (empty: no
// answer) and its link status afterwards.
struct Step {
    Bytes Link;
    Bytes Want;
    int LinkStatus;
    SimMac Src = kHost;
    bool Pad = true;
};

struct Sent {
    std::string Iface;
    std::vector<uint8_t> Frame;
};

class SimUnitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ctx.ProfileDirs = {QORSIM_TEST_PROFILE_DIR};
        ctx.Log = tmpfile();
        ctx.Now = [this] { return now; };
        ctx.OpenIface = [](const std::string& name, std::string* err) -> std::unique_ptr<_SIM_IFACE> {
            if (name == "missing0") {
                *err = "no interface 'missing0'";
                return nullptr;
            }
            auto i = std::make_unique<_SIM_IFACE>();
            i->Name = name;
            return i;
        };
        ctx.Transmit = [this](_SIM_IFACE& i, const std::vector<uint8_t>& f, std::string*) {
            sent.push_back({i.Name, f});
            return true;
        };
    }
    void TearDown() override {
        fclose(ctx.Log);
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
    }

    std::string Do(const std::string& line) { return SimControlExecute(ctx, line); }
    // Control lines and the exact answer each must get, in order.
    void Talk(const std::vector<std::pair<std::string, std::string>>& lines) {
        for (const auto& [line, answer] : lines) EXPECT_EQ(Do(line), answer) << line;
    }

    void Receive(const std::string& iface, const std::vector<uint8_t>& frame, uint8_t pktType = PACKET_HOST) {
        std::string err;
        _SIM_IFACE* i = SimIfaceGet(ctx, iface, &err);
        ASSERT_NE(i, nullptr) << err;
        SimFrameReceive(ctx, *i, frame.data(), frame.size(), pktType);
    }
    void ReceiveDllp(const std::string& iface, const SimMac& dst, uint8_t cmd, uint8_t b2 = 0, uint8_t b3 = 0,
                     uint8_t pktType = PACKET_HOST) {
        Receive(iface, SimEthFrameBuild(dst, kHost, SimDllpEncode(cmd, b2, b3)), pktType);
    }

    // Writes a profile of our own and returns its path.
    std::string Profile(const std::string& name, const std::string& text) {
        if (dir_.empty()) {
            char tmpl[] = "/tmp/qorsim-test-XXXXXX";
            if (mkdtemp(tmpl) != nullptr) dir_ = tmpl;
        }
        const std::string path = dir_ + "/" + name + ".prof";
        std::ofstream(path) << text;
        return path;
    }

    void Send(const SimMac& dst, const Bytes& link, const SimMac& src = kHost, bool pad = true) {
        Receive("veth0", SimEthFrameBuild(dst, src, link, pad));
    }
    // The one frame sent since the last call, from link byte 0 on (padding included).
    Bytes OneLink() {
        EXPECT_EQ(sent.size(), 1u);
        if (sent.size() != 1) return {};
        Bytes l(sent[0].Frame.begin() + 14, sent[0].Frame.end());
        sent.clear();
        return l;
    }
    static Bytes Head(const Bytes& l, size_t n) {
        return Bytes(l.begin(), l.begin() + std::min(n, l.size()));
    }
    // Sends Link to unit A and returns every frame sent in answer, from link byte 0 on; each
    // must go to the host.
    std::vector<Bytes> Links(const Bytes& link, bool pad = true) {
        sent.clear();
        Send(kUnitA, link, kHost, pad);
        std::vector<Bytes> out;
        for (const auto& s : sent) {
            EXPECT_EQ(DstOf(s.Frame), kHost);
            out.emplace_back(s.Frame.begin() + 14, s.Frame.end());
        }
        sent.clear();
        return out;
    }
    // Sends Link and returns the first four bytes of the one answer, or nothing.
    Bytes Reply(const SimMac& dst, const Bytes& link, const SimMac& src = kHost, bool pad = true) {
        sent.clear();
        Send(dst, link, src, pad);
        return sent.empty() ? Bytes{} : Head(OneLink(), 4);
    }
    void Run(const SimMac& dst, const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            EXPECT_EQ(Reply(dst, steps[i].Link, steps[i].Src, steps[i].Pad), steps[i].Want) << "step " << i;
            EXPECT_EQ(Unit(dst).Link.LinkStatus, steps[i].LinkStatus) << "step " << i;
        }
    }
    _SIM_UNIT& Unit(const SimMac& mac = kUnitA) { return *SimUnitGet(ctx, mac); }

    _SIM_CONTEXT ctx;
    std::vector<Sent> sent;
    int64_t now = 1000;

  private:
    std::string dir_;
};
