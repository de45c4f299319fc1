// Fixture of the SIO channel server tests: the real service, qorsim playing a unit with a UART
// of each controller generation (connected, not mapped, so its UARTs are SER channels), a
// client of the unit's SIO port with its own codec, and a tap on the far side of veth0 that
// shows every TLP the service sends to the unit.
#pragma once

#include <cstdio>
#include <map>
#include <memory>

#include "qor_sio_client.h"
#include "qor_tap.h"
#include "service_fixture.h"
#include "tlp_tap.h"

namespace qortest {

inline const Mac kUartUnit = UnitMac(0x51, 1);  // ctu_uart_versions
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
        s += b + (t.Data.size() <= 32 ? sio::Hex(t.Data) : std::to_string(t.Data.size()) + " bytes") + "] ";
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

inline std::vector<uint8_t> Counting(size_t n, uint8_t from = 0) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}

class SioTest : public ServiceTest {
  protected:
    // The service with the UART unit and `extra` units, mapped first when `map`, all connected,
    // then the tap and, when the UART unit got an SIO port, sio_ connected to it. Frames up to
    // 9000 bytes pass the veth, so received data TLPs of 2044 bytes fit.
    void StartSer(const std::vector<std::pair<std::string, Mac>>& extra = {}, bool map = false) {
        ASSERT_EQ(system("ip link set veth0 mtu 9000"), 0);
        ASSERT_EQ(RunShellInNetns(lab_.PeerPids.at(0), "ip link set " + lab_.PeerIfs.at(0) + " mtu 9000"), 0);
        std::vector<std::pair<std::string, Mac>> units{{"ctu_uart_versions", kUartUnit}};
        units.insert(units.end(), extra.begin(), extra.end());
        ASSERT_NO_FATAL_FAILURE(StartWithUnits(units));
        for (uint8_t chl = kChlV0; chl <= kChlV5; ++chl)
            ASSERT_TRUE(sim_->Ok("reg " + MacString(kUartUnit) + " " + std::to_string(chl) + " 2 " +
                                 std::to_string(kStatusAtConnect) + " " + std::to_string(kTriggerAtConnect) + " " +
                                 std::to_string(kControl2AtConnect)))
                << sim_->LastAnswer();
        for (const auto& [profile, mac] : units) {
            if (map) {
                auto mapping = Map(client_, mac);
                ASSERT_TRUE(mapping) << profile;
                mappings_[mac] = *mapping;
            }
            auto connected = Connect(client_, mng::ConnectRecord(mac, 0));
            ASSERT_TRUE(connected) << profile;
            connects_[mac] = *connected;
        }
        serviceMac_ = ReadIfMac("veth0").value_or(Mac{});
        tap_ = std::make_unique<FrameTap>(lab_.PeerPids.at(0), lab_.PeerIfs.at(0));
        if (SioPort() != 0) {
            ASSERT_TRUE(OpenSio(sio_)) << sio_.Error();
        }
    }

    uint16_t SioPort(const Mac& mac = kUartUnit) const {
        const auto at = connects_.find(mac);
        return at == connects_.end() ? 0 : static_cast<uint16_t>(at->second.SioPort);
    }
    // Connects c to the unit's SIO port and waits until the service has taken it (its listen
    // thread accepts within a few ticks): a message for a parallel port is answered with 16.
    bool OpenSio(sio::Client& c, const Mac& mac = kUartUnit) {
        if (!Eventually([&] { return c.Connect(SioPort(mac)); }, 2s)) return false;
        auto m = c.Request(sio::kParallel, 0, 1);
        return m && m->Hdr.Status == sio::kNoObject;
    }
    // The prefix of the service's SER messages for a channel of the UART unit.
    std::string Prefix(uint8_t chl) const {
        return "SER (T:" + std::to_string(SioPort()) + ", C:" + std::to_string(chl) + "), ";
    }

    // The message must be exactly this one (header and payload).
    static ::testing::AssertionResult Is(const std::optional<sio::Message>& m, const sio::Message& want) {
        if (!m) return ::testing::AssertionFailure() << "nothing arrived, wanted " << sio::Describe(want);
        if (*m != want)
            return ::testing::AssertionFailure() << "got  " << sio::Describe(*m) << "\nwant " << sio::Describe(want);
        return ::testing::AssertionSuccess();
    }
    // A SER response: code | 0x8000, the status, the payload only with status 0.
    static sio::Message Response(uint8_t chl, uint16_t code, uint16_t status, std::vector<uint8_t> payload = {}) {
        return sio::Make(sio::kSer, chl, static_cast<uint16_t>(code | sio::kResponseBit), status,
                         std::move(payload));
    }
    // Sends a SER command on sio_ and checks its whole response.
    ::testing::AssertionResult Answers(uint8_t chl, uint16_t code, const std::vector<uint8_t>& payload,
                                       uint16_t status, const std::vector<uint8_t>& answer = {}) {
        if (!sio_.SendRaw(sio::Encode(sio::kSer, chl, code, payload)))
            return ::testing::AssertionFailure() << sio_.Error();
        auto m = sio_.ReadResponse(3s);
        if (!m) return ::testing::AssertionFailure() << "no response to code " << code << ": " << sio_.Error();
        return Is(m, Response(chl, code, status, answer));
    }

    // The TLPs the service sent to the unit since the last call: waits until at least `want`
    // came, then a moment more so that one too many shows as well.
    std::vector<Tlp> SentTlps(size_t want = 0, Clock::duration timeout = 2s) {
        return SentTlpsSince(*tap_, serviceMac_, &seen_, want, timeout);
    }

    void SimOk(const std::string& line) { ASSERT_TRUE(sim_->Ok(line)) << line << ": " << sim_->LastAnswer(); }
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

    std::unique_ptr<FrameTap> tap_;
    size_t seen_ = 0;
    Mac serviceMac_{};
    std::map<Mac, mng::MappingInfo> mappings_;
    std::map<Mac, mng::ConnectResult> connects_;
    sio::Client sio_;
};

}  // namespace qortest
