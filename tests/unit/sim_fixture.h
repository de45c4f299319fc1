// The fake world the stand-in unit's tests run in: interfaces are faked, sent frames
// collected, and the clock is the test's.
#pragma once

#include <gtest/gtest.h>
#include <linux/if_packet.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim_control.h"
#include "sim_unit.h"

inline const SimMac kHost{0x02, 0x00, 0x00, 0x00, 0x99, 0x01};
inline const SimMac kUnitA{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline const SimMac kUnitB{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
inline const SimMac kUnitC{0x02, 0x00, 0x00, 0x00, 0x00, 0x03};

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
    void TearDown() override { fclose(ctx.Log); }

    std::string Do(const std::string& line) { return SimControlExecute(ctx, line); }

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

    std::string LogText() {
        fflush(ctx.Log);
        rewind(ctx.Log);
        std::string s;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), ctx.Log)) > 0) s.append(buf, n);
        return s;
    }

    _SIM_CONTEXT ctx;
    std::vector<Sent> sent;
    int64_t now = 1000;
};

inline SimMac DstOf(const std::vector<uint8_t>& f) {
    return {f[0], f[1], f[2], f[3], f[4], f[5]};
}
inline SimMac SrcOf(const std::vector<uint8_t>& f) {
    return {f[6], f[7], f[8], f[9], f[10], f[11]};
}
