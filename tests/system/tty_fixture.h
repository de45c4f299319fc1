// Fixture of the TTY bridge tests: the service build that speaks the test netlink protocol,
// qorsim playing a unit with a UART of each controller generation (mapped and connected), the
// kernel-driver stand-in, and a tap on the far side of veth0 that shows every TLP the service
// sends to the unit.
#pragma once

#include <map>
#include <memory>

#include "qor_nlk_driver.h"
#include "qor_tap.h"
#include "service_fixture.h"
#include "tlp_tap.h"

namespace qortest {

// The netlink protocol and group of the service's test build (NETLINK_USERSOCK exists on
// every kernel, and groups up to 32 can be joined).
constexpr int kTestNlkProtocol = 2;
constexpr int kTestNlkGroup = 3;

inline const Mac kUartUnit = UnitMac(2, 1);  // ctu_uart_versions
// Its UART channels by controller version.
enum : uint8_t { kChlV0 = 1, kChlV1 = 2, kChlV2 = 3, kChlV4 = 4, kChlV5 = 5 };

// Unit register values set before the connect, so the controller reads at connect have
// something to find: Status (MSR 0x78, credit 0x456, FIFO count 0x123), trigger levels,
// Control2 (MODE_1 0xC3, MODE_2 0xA5).
constexpr uint32_t kStatusAtConnect = 0x12345678;
constexpr uint32_t kTriggerAtConnect = 0x00004B3C;
constexpr uint32_t kControl2AtConnect = 0x0000A5C3;

inline std::string Describe(const std::vector<Tlp>& tlps) {
    std::string s;
    char b[64];
    for (const auto& t : tlps) {
        std::snprintf(b, sizeof(b), "[type %u rw %u chl %u | %02x %02x %02x %02x | ", t.Type, t.RW, t.Chl, t.B4,
                      t.B5, t.B6, t.B7);
        s += b + nlk::Hex(t.Data) + "] ";
    }
    return s.empty() ? "(none)" : s;
}

inline std::vector<uint8_t> LeWords(const std::vector<uint32_t>& words) {
    std::vector<uint8_t> out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

// Register write and read commands (TransactionID 0).
inline Tlp RegWrite(uint8_t chl, uint8_t offset, const std::vector<uint32_t>& words, uint8_t aolbe = 0x0F) {
    return {0, 1, chl, 0, offset, static_cast<uint8_t>(words.size()), aolbe, LeWords(words)};
}
inline Tlp RegRead(uint8_t chl, uint8_t offset, uint8_t words = 1, uint8_t aolbe = 0x0F) {
    return {0, 0, chl, 0, offset, words, aolbe, {}};
}

class TtyTest : public ServiceTest {
  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        daemonPath_ = QORSERVICE_NLKTEST_PATH;
    }

    // The service with the UART unit (and `extra` units, mapped and connected too), the driver
    // stand-in sending by unicast to the service's process id, and the tap. Frames up to 9000
    // bytes pass the veth, so received data TLPs of 2044 bytes fit.
    void StartBridge(const std::vector<std::pair<std::string, Mac>>& extra = {}) {
        ASSERT_EQ(system("ip link set veth0 mtu 9000"), 0);
        ASSERT_EQ(RunShellInNetns(lab_.PeerPids.at(0), "ip link set " + lab_.PeerIfs.at(0) + " mtu 9000"), 0);
        std::vector<std::pair<std::string, Mac>> units{{"ctu_uart_versions", kUartUnit}};
        units.insert(units.end(), extra.begin(), extra.end());
        ASSERT_NO_FATAL_FAILURE(StartWithUnits(units));
        for (uint8_t chl = kChlV0; chl <= kChlV5; ++chl) {
            ASSERT_TRUE(sim_->Ok("reg " + MacString(kUartUnit) + " " + std::to_string(chl) + " 2 " +
                                 std::to_string(kStatusAtConnect) + " " + std::to_string(kTriggerAtConnect) + " " +
                                 std::to_string(kControl2AtConnect)))
                << sim_->LastAnswer();
        }
        for (const auto& [profile, mac] : units) {
            auto mapping = Map(client_, mac);
            ASSERT_TRUE(mapping) << profile;
            for (const auto& [chl, minor] : mapping->Uarts) minors_[{mac, chl}] = minor;
            ASSERT_TRUE(Connect(client_, mng::ConnectRecord(mac, 0))) << profile;
        }
        serviceMac_ = ReadIfMac("veth0").value_or(Mac{});
        tap_ = std::make_unique<FrameTap>(lab_.PeerPids.at(0), lab_.PeerIfs.at(0));
        ASSERT_TRUE(drv_.Open(kTestNlkProtocol, kTestNlkGroup)) << drv_.Error();
        drv_.Target(static_cast<uint32_t>(daemon_->Pid()));
    }

    uint8_t Minor(uint8_t chl, const Mac& mac = kUartUnit) const { return minors_.at({mac, chl}); }

    // The TLPs the service sent to the unit since the last call: waits until at least `want`
    // came, then a moment more so that one too many shows as well.
    std::vector<Tlp> SentTlps(size_t want = 0, Clock::duration timeout = 2s) {
        return SentTlpsSince(*tap_, serviceMac_, &seen_, want, timeout);
    }

    // Sets unit registers of a channel from `offset` on.
    void SetReg(uint8_t chl, uint8_t offset, uint32_t value, const Mac& mac = kUartUnit) {
        ASSERT_TRUE(sim_->Ok("reg " + MacString(mac) + " " + std::to_string(chl) + " " + std::to_string(offset) + " " +
                             std::to_string(value)))
            << sim_->LastAnswer();
    }
    uint32_t UnitReg(uint8_t chl, uint8_t offset) {
        const std::string a = sim_->Control("reg " + MacString(kUartUnit) + " " + std::to_string(chl) + " " +
                                            std::to_string(offset));
        const auto at = a.rfind(" 0x");
        return at == std::string::npos ? 0xDEADBEEF : static_cast<uint32_t>(std::stoul(a.substr(at + 1), nullptr, 16));
    }
    // The `uart-tx` answer's kept bytes ("-" when none), emptying them.
    std::string KeptTx(uint8_t chl) {
        const std::string a = sim_->Control("uart-tx " + MacString(kUartUnit) + " " + std::to_string(chl) + " clear");
        const auto at = a.find(" kept=");
        return at == std::string::npos ? a : a.substr(at + 6);
    }

    // A request's reply must be the request's code | 0x8000 for its minor with this status and
    // payload (and Length equal to the payload).
    static ::testing::AssertionResult IsReply(const std::optional<nlk::Message>& m, uint8_t minor, uint16_t code,
                                              uint16_t status, const std::vector<uint8_t>& payload = {}) {
        if (!m) return ::testing::AssertionFailure() << "no reply to code " << code;
        nlk::Message want;
        want.Minor = minor;
        want.Code = static_cast<uint16_t>(code | nlk::kResponseBit);
        want.Status = status;
        want.Length = static_cast<uint32_t>(payload.size());
        want.Payload = payload;
        if (nlk::Encode(*m) != nlk::Encode(want))
            return ::testing::AssertionFailure() << "got  " << nlk::Describe(*m) << "\nwant " << nlk::Describe(want);
        return ::testing::AssertionSuccess();
    }

    nlk::Driver drv_;
    std::unique_ptr<FrameTap> tap_;
    size_t seen_ = 0;
    Mac serviceMac_{};
    std::map<std::pair<Mac, uint8_t>, uint8_t> minors_;
};

}  // namespace qortest
