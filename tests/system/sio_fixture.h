// Fixture of the SIO channel server tests: the real service, qorsim playing a unit, a client
// of the unit's SIO port with its own codec, and a tap on the far side of veth0 that shows
// every TLP the service sends to the unit.
#pragma once

#include <cstdio>
#include <map>
#include <memory>
#include <tuple>

#include "qor_sio_client.h"
#include "qor_tap.h"
#include "service_fixture.h"
#include "tlp_tap.h"

namespace qortest {

inline const Mac kUartUnit = UnitMac(0x51, 1);  // ctu_uart_versions
// Its UART channels by controller version.
enum : uint8_t { kChlV0 = 1, kChlV1 = 2, kChlV2 = 3, kChlV4 = 4, kChlV5 = 5 };

// UART registers set before the connect, so the controller reads at connect have something
// to find: Status (MSR 0x78, credit 0x456, FIFO count 0x123), trigger levels, Control2
// (MODE_1 0xC3, MODE_2 0xA5).
constexpr uint32_t kStatusAtConnect = 0x12345678;
constexpr uint32_t kTriggerAtConnect = 0x00004B3C;
constexpr uint32_t kControl2AtConnect = 0x0000A5C3;

inline std::string Describe(const std::vector<Tlp>& tlps) {
    std::string s;
    char b[64];
    for (const auto& t : tlps) {
        std::snprintf(b, sizeof(b), "[type %u rw %u chl %u | %02x %02x %02x %02x | ", t.Type, t.RW, t.Chl,
                      t.B4, t.B5, t.B6, t.B7);
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
inline std::vector<uint8_t> Be32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}
// Bytes written as hex digits; spaces only group fields.
inline std::vector<uint8_t> Hx(const std::string& digits) {
    std::string d;
    for (char c : digits)
        if (c != ' ') d += c;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < d.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(d.substr(i, 2), nullptr, 16)));
    return out;
}
inline std::vector<uint8_t> Counting(size_t n, uint8_t from = 0) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(from + i);
    return b;
}

// Register write and read commands (TransactionID 0); the channel families enable 0x1F.
inline Tlp RegWrite(uint8_t chl, uint8_t offset, const std::vector<uint32_t>& words, uint8_t aolbe = 0x0F) {
    return {0, 1, chl, 0, offset, static_cast<uint8_t>(words.size()), aolbe, LeWords(words)};
}
inline Tlp RegRead(uint8_t chl, uint8_t offset, uint8_t words = 1, uint8_t aolbe = 0x0F) {
    return {0, 0, chl, 0, offset, words, aolbe, {}};
}
inline Tlp Rd(uint8_t chl, uint8_t off, uint8_t words = 1, uint8_t aolbe = 0x1F) {
    return RegRead(chl, off, words, aolbe);
}
inline Tlp Wr(uint8_t chl, uint8_t off, uint32_t v) {
    return RegWrite(chl, off, {v}, 0x1F);
}

// One command on the SIO port: the TLPs the unit must receive, the status and the payload of
// the response.
struct Row {
    uint8_t Type, Chl;
    uint16_t Code;
    std::vector<uint8_t> Payload;
    std::vector<Tlp> Tlps;
    uint16_t Status;
    std::vector<uint8_t> Answer;
};

// Unit registers set before the connect: channel, first offset, values.
using Regs = std::vector<std::tuple<uint8_t, uint8_t, std::vector<uint32_t>>>;

class SioTest : public ServiceTest {
  protected:
    // The service with `units`, the registers of the first set, the tap, every unit connected
    // and sio_ on the first unit's SIO port when it has one. Frames up to 9000 bytes pass the
    // veth, so received data TLPs of 2044 bytes fit.
    void Start(const std::vector<std::pair<std::string, Mac>>& units, const Regs& regs) {
        ASSERT_EQ(system("ip link set veth0 mtu 9000"), 0);
        ASSERT_EQ(RunShellInNetns(lab_.PeerPids.at(0), "ip link set " + lab_.PeerIfs.at(0) + " mtu 9000"), 0);
        unit_ = units.at(0).second;
        ASSERT_NO_FATAL_FAILURE(StartWithUnits(units));
        for (const auto& [chl, off, words] : regs) {
            std::string line =
                "reg " + MacString(unit_) + " " + std::to_string(chl) + " " + std::to_string(off);
            for (uint32_t w : words) line += " " + std::to_string(w);
            SimOk(line);
        }
        serviceMac_ = ReadIfMac("veth0").value_or(Mac{});
        tap_ = std::make_unique<FrameTap>(lab_.PeerPids.at(0), lab_.PeerIfs.at(0));
        for (const auto& [profile, mac] : units) {
            auto connected = Connect(client_, mng::ConnectRecord(mac, 0));
            ASSERT_TRUE(connected) << profile;
            connects_[mac] = *connected;
        }
        if (SioPort() != 0) {
            // The port listens once the connect is answered: the first attempt gets in.
            ASSERT_TRUE(sio_.Connect(SioPort())) << sio_.Error();
            ASSERT_TRUE(Served(sio_)) << sio_.Error();
        }
    }
    // The UART unit (and `extra` units), every UART holding the connect-time registers.
    void StartSer(const std::vector<std::pair<std::string, Mac>>& extra = {}) {
        std::vector<std::pair<std::string, Mac>> units{{"ctu_uart_versions", kUartUnit}};
        units.insert(units.end(), extra.begin(), extra.end());
        Regs regs;
        for (uint8_t chl = kChlV0; chl <= kChlV5; ++chl)
            regs.push_back({chl, 2, {kStatusAtConnect, kTriggerAtConnect, kControl2AtConnect}});
        ASSERT_NO_FATAL_FAILURE(Start(units, regs));
        SentTlps();
    }

    uint16_t SioPort() const { return SioPort(unit_); }
    uint16_t SioPort(const Mac& mac) const {
        const auto at = connects_.find(mac);
        return at == connects_.end() ? 0 : static_cast<uint16_t>(at->second.SioPort);
    }
    // Connects c to the unit's SIO port, retrying while the listen socket is back only after
    // the previous client left, and waits until the service has taken it.
    bool OpenSio(sio::Client& c) { return OpenSio(c, unit_); }
    bool OpenSio(sio::Client& c, const Mac& mac) {
        return Eventually([&] { return c.Connect(SioPort(mac)); }, 2s) && Served(c);
    }
    // The service reads c (its listen thread accepts within a few ticks): a message for a
    // parallel port is answered with 16.
    static bool Served(sio::Client& c) {
        auto m = c.Request(sio::kParallel, 0, 1);
        return m && m->Hdr.Status == sio::kNoObject;
    }
    // The prefix of the service's SER messages for a channel of the unit.
    std::string Prefix(uint8_t chl) const {
        return "SER (T:" + std::to_string(SioPort()) + ", C:" + std::to_string(chl) + "), ";
    }

    // The message must be exactly this one (header and payload).
    static ::testing::AssertionResult Is(const std::optional<sio::Message>& m, const sio::Message& want) {
        if (!m) return ::testing::AssertionFailure() << "nothing arrived, wanted " << sio::Describe(want);
        if (*m != want)
            return ::testing::AssertionFailure()
                   << "got  " << sio::Describe(*m) << "\nwant " << sio::Describe(want);
        return ::testing::AssertionSuccess();
    }
    // A command on sio_ and its whole response: code | 0x8000, the status, the answer.
    ::testing::AssertionResult Cmd(uint8_t type, uint8_t chl, uint16_t code,
                                   const std::vector<uint8_t>& payload, uint16_t status,
                                   const std::vector<uint8_t>& answer = {}) {
        if (!sio_.SendRaw(sio::Encode(type, chl, code, payload)))
            return ::testing::AssertionFailure() << sio_.Error();
        auto m = sio_.ReadResponse(3s);
        if (!m)
            return ::testing::AssertionFailure() << "no response to code " << code << ": " << sio_.Error();
        return Is(m, sio::Make(type, chl, static_cast<uint16_t>(code | sio::kResponseBit), status, answer));
    }
    // Each row in turn; a refused row must send nothing, which the next row's TLPs or the
    // final look at the tap shows.
    void Run(const std::vector<Row>& rows) {
        for (const Row& r : rows) {
            SCOPED_TRACE("type " + std::to_string(r.Type) + " channel " + std::to_string(r.Chl) + " code " +
                         std::to_string(r.Code));
            EXPECT_TRUE(Cmd(r.Type, r.Chl, r.Code, r.Payload, r.Status, r.Answer));
            if (!r.Tlps.empty()) {
                const auto got = SentTlps(r.Tlps.size());
                EXPECT_EQ(got, r.Tlps) << Describe(got);
            }
        }
        const auto rest = SentTlps();
        EXPECT_TRUE(rest.empty()) << Describe(rest);
    }
    // Sends the messages in one write and reads as many responses, all successes, in the
    // order the workers finish; then takes their TLPs off the tap.
    void AtOnce(const std::vector<std::vector<uint8_t>>& messages) {
        std::vector<uint8_t> all;
        for (const auto& m : messages) all.insert(all.end(), m.begin(), m.end());
        ASSERT_TRUE(sio_.SendRaw(all));
        for (size_t i = 0; i < messages.size(); ++i) {
            auto m = sio_.ReadResponse(3s);
            ASSERT_TRUE(m) << sio_.Error();
            EXPECT_EQ(m->Hdr.Status, sio::kSuccess) << sio::Describe(*m);
        }
        SentTlps(messages.size());
    }

    // The TLPs the service sent to the unit since the last call: waits until at least `want`
    // came, then a moment more so that one too many shows as well.
    std::vector<Tlp> SentTlps(size_t want = 0, Clock::duration timeout = 2s) {
        return SentTlpsSince(*tap_, serviceMac_, &seen_, want, timeout);
    }
    static std::vector<Tlp> Of(const std::vector<Tlp>& all, uint8_t chl) {
        std::vector<Tlp> out;
        for (const auto& t : all)
            if (t.Chl == chl) out.push_back(t);
        return out;
    }

    void SimOk(const std::string& line) { ASSERT_TRUE(sim_->Ok(line)) << line << ": " << sim_->LastAnswer(); }
    // A qorsim command about a channel of the unit: "<verb> <mac> <chl> <rest>".
    void Sim(const std::string& verb, uint8_t chl, const std::string& rest) {
        SimOk(verb + " " + MacString(unit_) + " " + std::to_string(chl) + " " + rest);
    }
    // The unit's next answer gets this fault.
    void Fault(const std::string& fault) { SimOk("answer-fault " + MacString(unit_) + " " + fault); }
    void SetReg(uint8_t chl, uint8_t offset, uint32_t value) {
        Sim("reg", chl, std::to_string(offset) + " " + std::to_string(value));
    }
    uint32_t Reg(uint8_t chl, uint8_t offset) {
        const std::string a = sim_->Control("reg " + MacString(unit_) + " " + std::to_string(chl) + " " +
                                            std::to_string(offset));
        const auto at = a.rfind(" 0x");
        return at == std::string::npos ? 0xDEADBEEF
                                       : static_cast<uint32_t>(std::stoul(a.substr(at + 1), nullptr, 16));
    }
    // The `uart-tx` answer's kept bytes ("-" when none), emptying them.
    std::string KeptTx(uint8_t chl) {
        const std::string a =
            sim_->Control("uart-tx " + MacString(unit_) + " " + std::to_string(chl) + " clear");
        const auto at = a.find(" kept=");
        return at == std::string::npos ? a : a.substr(at + 6);
    }

    Mac unit_{};
    std::unique_ptr<FrameTap> tap_;
    size_t seen_ = 0;
    Mac serviceMac_{};
    std::map<Mac, mng::ConnectResult> connects_;
    sio::Client sio_;
};

}  // namespace qortest
