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

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

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
        ctx.Transmit = [this](_SIM_IFACE&, const std::vector<uint8_t>& f, std::string*) {
            sent.push_back(f);
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
    // Writes a profile of our own and returns its path.
    std::string Profile(const std::string& name, const std::string& text) {
        char tmpl[] = "/tmp/qorsim-test-XXXXXX";
        if (dir_.empty() && mkdtemp(tmpl) != nullptr) dir_ = tmpl;
        const std::string path = dir_ + "/" + name + ".prof";
        std::ofstream(path) << text;
        return path;
    }

    // One frame from `src` to `dst` arrives on veth0.
    void Send(const SimMac& dst, const Bytes& link, const SimMac& src = kHost, bool pad = true,
              uint8_t pktType = PACKET_HOST) {
        const Bytes frame = SimEthFrameBuild(dst, src, link, pad);
        std::string err;
        _SIM_IFACE* i = SimIfaceGet(ctx, "veth0", &err);
        ASSERT_NE(i, nullptr) << err;
        SimFrameReceive(ctx, *i, frame.data(), frame.size(), pktType);
    }
    // Every frame sent since the last call, from link byte 0 on (padding included); each
    // must go to `to`.
    std::vector<Bytes> Drain(const SimMac& to = kHost) {
        std::vector<Bytes> out;
        for (const auto& f : sent) {
            EXPECT_EQ((SimMac{f[0], f[1], f[2], f[3], f[4], f[5]}), to);
            out.emplace_back(f.begin() + 14, f.end());
        }
        sent.clear();
        return out;
    }
    // The one frame sent since the last call.
    Bytes One(const SimMac& to = kHost) {
        auto out = Drain(to);
        EXPECT_EQ(out.size(), 1u);
        return out.empty() ? Bytes{} : out[0];
    }
    static Bytes Head(const Bytes& l, size_t n) {
        return Bytes(l.begin(), l.begin() + std::min(n, l.size()));
    }
    // Sends Link to unit A and returns every frame sent in answer.
    std::vector<Bytes> Links(const Bytes& link, bool pad = true) {
        sent.clear();
        Send(kUnitA, link, kHost, pad);
        return Drain();
    }
    // Sends Link and returns the first four bytes of the one answer to `src`, or nothing.
    Bytes Reply(const SimMac& dst, const Bytes& link, const SimMac& src = kHost, bool pad = true) {
        sent.clear();
        Send(dst, link, src, pad);
        return sent.empty() ? Bytes{} : Head(One(src), 4);
    }
    _SIM_UNIT& Unit(const SimMac& mac = kUnitA) { return *SimUnitGet(ctx, mac); }

    _SIM_CONTEXT ctx;
    std::vector<Bytes> sent;
    int64_t now = 1000;

  private:
    std::string dir_;
};
