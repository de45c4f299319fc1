// The TTY bridge end to end: the service's test netlink build, the kernel-driver stand-in,
// qorsim playing a unit with a UART of each controller generation, and a tap on the far side
// of veth0 that shows every TLP the service sends to the unit.
#include <map>

#include "qor_nlk_driver.h"
#include "tlp_tap.h"

namespace qortest {

// Failures show a TLP as its header fields, bytes 4..7 and data.
void PrintTo(const Tlp& t, std::ostream* os) {
    *os << "[type " << int(t.Type) << " rw " << int(t.RW) << " chl " << int(t.Chl) << " | "
        << nlk::Hex({t.B4, t.B5, t.B6, t.B7}) << " | " << nlk::Hex(t.Data) << "]";
}

namespace {

using namespace nlk;

const Mac kUartUnit = UnitMac(2, 1);  // ctu_uart_versions
// Its UART channels by controller version.
enum : uint8_t { kChlV0 = 1, kChlV1 = 2, kChlV2 = 3, kChlV4 = 4, kChlV5 = 5 };

// Unit register values set before the connect, so the controller reads at connect have
// something to find: Status (MSR 0x78, credit 0x456, FIFO count 0x123), trigger levels,
// Control2 (MODE_1 0xC3, MODE_2 0xA5).
constexpr uint32_t kStatusAtConnect = 0x12345678;
constexpr uint32_t kTriggerAtConnect = 0x00004B3C;
constexpr uint32_t kControl2AtConnect = 0x0000A5C3;

void PutLe(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Register write and read commands (TransactionID 0).
Tlp RegWrite(uint8_t chl, uint8_t offset, const std::vector<uint32_t>& words, uint8_t aolbe = 0x0F) {
    Tlp t{0, 1, chl, 0, offset, static_cast<uint8_t>(words.size()), aolbe, {}};
    for (uint32_t w : words) PutLe(t.Data, w, 4);
    return t;
}
Tlp RegRead(uint8_t chl, uint8_t offset) {
    return {0, 0, chl, 0, offset, 1, 0x0F, {}};
}

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i);
    return b;
}

// The message must be exactly this one, Length equal to the payload.
::testing::AssertionResult Is(const std::optional<Message>& m, uint8_t minor, uint16_t code, uint16_t status,
                              const std::vector<uint8_t>& payload = {}) {
    const auto want =
        Encode(Message{1, 0, 1, minor, code, status, static_cast<uint32_t>(payload.size()), payload});
    if (!m) return ::testing::AssertionFailure() << "nothing came, wanted " << Hex(want);
    if (Encode(*m) != want)
        return ::testing::AssertionFailure() << "got  " << Hex(Encode(*m)) << "\nwant " << Hex(want);
    return ::testing::AssertionSuccess();
}
// A request's reply: the request's code | 0x8000 for its minor.
::testing::AssertionResult IsReply(const std::optional<Message>& m, uint8_t minor, uint16_t code,
                                   uint16_t status, const std::vector<uint8_t>& payload = {}) {
    return Is(m, minor, static_cast<uint16_t>(code | kResponseBit), status, payload);
}

class Tty : public ServiceTest {
  protected:
    Tty() { daemonPath_ = QORSERVICE_NLKTEST_PATH; }

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
            ASSERT_NO_FATAL_FAILURE(
                SetReg(chl, 2, {kStatusAtConnect, kTriggerAtConnect, kControl2AtConnect}));
        }
        for (const auto& [profile, mac] : units) {
            auto mapping = Map(client_, mac);
            ASSERT_TRUE(mapping) << profile;
            for (const auto& [chl, minor] : mapping->Uarts) minors_[{mac, chl}] = minor;
            ASSERT_TRUE(Connect(client_, mng::ConnectRecord(mac, 0))) << profile;
        }
        serviceMac_ = ReadIfMac("veth0").value_or(Mac{});
        tap_ = std::make_unique<FrameTap>(lab_.PeerPids.at(0), lab_.PeerIfs.at(0));
        // NETLINK_USERSOCK and a group it accepts, as the service's test build uses them.
        ASSERT_TRUE(drv_.Open(2, 3)) << drv_.Error();
        drv_.Target(static_cast<uint32_t>(daemon_->Pid()));
    }

    uint8_t Minor(uint8_t chl, const Mac& mac = kUartUnit) const { return minors_.at({mac, chl}); }
    static std::string Unit() { return MacString(kUartUnit); }
    void Sim(const std::string& line) { ASSERT_TRUE(sim_->Ok(line)) << line << ": " << sim_->LastAnswer(); }
    void SetReg(uint8_t chl, uint8_t offset, const std::vector<uint32_t>& values) {
        std::string line = "reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(offset);
        for (uint32_t v : values) line += " " + std::to_string(v);
        Sim(line);
    }

    // The `uart-tx` answer of a channel, ending in the bytes it kept (emptied now).
    std::string Kept(uint8_t chl) {
        return sim_->Control("uart-tx " + Unit() + " " + std::to_string(chl) + " clear");
    }
    // The TLPs the service sent to the unit since the last call: waits until at least `want`
    // came, then a moment more so that one too many shows as well.
    std::vector<Tlp> SentTlps(size_t want = 0) { return SentTlpsSince(*tap_, serviceMac_, &seen_, want, 2s); }

    // Sends the message and expects it refused: `ending` once more in the log behind the TTY's
    // prefix, a reply with status 1 unless it is transmit data, and nothing to the unit.
    void ExpectRefused(uint8_t minor, const std::vector<uint8_t>& message, const std::string& ending) {
        const std::string line = "TTY (M:" + std::to_string(minor) + "), " + ending;
        const size_t before = CountOccurrences(Log(), line);
        ASSERT_TRUE(drv_.Send(message));
        const auto code = static_cast<uint16_t>(message[4] | message[5] << 8);
        if (code != kDataToService) {
            EXPECT_TRUE(IsReply(drv_.WaitCode(minor, code | kResponseBit), minor, code, 1)) << ending;
        }
        EXPECT_TRUE(WaitForFileContains(kLogPath, line, 2s, before + 1)) << line;
        EXPECT_EQ(SentTlps(), std::vector<Tlp>{}) << ending;
    }

    Driver drv_;
    std::unique_ptr<FrameTap> tap_;
    size_t seen_ = 0;
    Mac serviceMac_{};
    std::map<std::pair<Mac, uint8_t>, uint8_t> minors_;
};

// A register request: which register and field it touches, the version it needs, and for a
// set the payload it sends.
struct Row {
    uint16_t Code;   // the codes run 3..20 in this order
    const char* Op;  // the operation word of the service's messages
    bool Set;
    uint8_t Reg, Shift, Bits;  // a 12-bit field answers two bytes big-endian
    uint8_t MinVersion;        // 1: any but 0
    std::vector<uint8_t> Payload;
};

const Row kRows[] = {
    {0x0003, "set DLLDLM", true, 0, 0, 16, 0, {0x0C, 0x01}},
    {0x0004, "set LCR", true, 0, 16, 8, 0, {0x1B}},
    {0x0005, "set FIFO_CTRL", true, 0, 24, 8, 0, {0x07}},
    {0x0006, "set MCR", true, 1, 0, 8, 0, {0x0B}},
    {0x0007, "set EVENT_CTRL", true, 1, 8, 8, 0, {0x1F}},
    {0x0008, "get MSR", false, 2, 0, 8, 0, {}},
    {0x0009, "get MODE_1", false, 4, 0, 8, 1, {}},
    {0x000A, "set MODE_1", true, 4, 0, 8, 1, {0x00}},
    {0x000B, "get MODE_2", false, 4, 8, 8, 1, {}},
    {0x000C, "set MODE_2", true, 4, 8, 8, 1, {0x01}},
    {0x000D, "get OnChipHardwareFlowCtrl", false, 1, 16, 8, 4, {}},
    {0x000E, "set OnChipHardwareFlowCtrl", true, 1, 16, 8, 4, {0x03}},
    {0x000F, "get TxCurrentCredit", false, 2, 8, 12, 5, {}},
    {0x0010, "get TxFifoDataCnt", false, 2, 20, 12, 5, {}},
    {0x0011, "get TxTriggerLevel", false, 3, 0, 8, 4, {}},
    {0x0012, "set TxTriggerLevel", true, 3, 0, 8, 4, {0x20}},
    {0x0013, "get RxTriggerLevel", false, 3, 8, 8, 4, {}},
    {0x0014, "set RxTriggerLevel", true, 3, 8, 8, 4, {0x30}},
};

// What a get finds in the unit's register: different from everything the sets write.
constexpr uint32_t kProbe[5] = {0, 0x00E75A3C, 0x9ABCDE6F, 0x00004D2E, 0x0000C3A5};

// The 17-byte open record from the register copies the service keeps.
std::vector<uint8_t> OpenRecord(uint8_t version, const uint32_t (&r)[5]) {
    const uint32_t credit = version == 5 ? (r[2] >> 8) & 0xFFF : 0, count = version == 5 ? r[2] >> 20 : 0;
    std::vector<uint8_t> out{version};
    PutLe(out, r[0], 4);
    PutLe(out, r[1], 3);
    out.insert(out.end(),
               {static_cast<uint8_t>(r[2]), static_cast<uint8_t>(credit >> 8), static_cast<uint8_t>(credit),
                static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
    PutLe(out, r[3], 2);
    PutLe(out, r[4], 2);
    return out;
}

// qorlab --veths 1
TEST_F(Tty, EveryCodeOnEachControllerVersionSendsItsTlpsAndRepliesByteForByte) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    // Requests reach the service by unicast to its process id and through the group alike.
    const std::tuple<uint8_t, uint8_t, bool> channels[] = {
        {kChlV0, 0, false}, {kChlV1, 1, true}, {kChlV4, 4, false}, {kChlV5, 5, true}};
    for (const auto& [chl, version, multicast] : channels) {
        Step("version " + std::to_string(version) + (multicast ? " by multicast" : " by unicast"));
        drv_.Target(multicast ? 0 : static_cast<uint32_t>(daemon_->Pid()));
        const uint8_t minor = Minor(chl);
        // The copies as the connect read them: trigger levels on 4 and 5, Control2 from 1 on.
        uint32_t r[5] = {0, 0, kStatusAtConnect, version >= 4 ? kTriggerAtConnect : 0,
                         version >= 1 ? kControl2AtConnect : 0};
        // Open and close write the defaults (and on 4, 5 the trigger levels in a second TLP).
        const uint32_t control0 = version >= 4 ? 0x03030060 : 0x3F030060;
        std::vector<Tlp> init{RegWrite(chl, 0, {control0, 0}, 0x1F)};
        if (version >= 4) init.push_back(RegWrite(chl, 3, {0xBFBF}, 0x1F));
        // Open also reads Status; its record shows the copies, the defaults in place.
        auto open = [&] {
            SentTlps();
            const auto reply = drv_.Request(minor, kOpen);
            auto want = init;
            want.push_back(RegRead(chl, 2));
            EXPECT_EQ(SentTlps(want.size()), want) << "open";
            r[0] = control0;
            r[1] = 0;
            r[3] = version >= 4 ? 0xBFBF : 0;
            EXPECT_TRUE(IsReply(reply, minor, kOpen, 0, OpenRecord(version, r)));
        };
        open();

        for (const Row& row : kRows) {
            SCOPED_TRACE(row.Op);
            // Gets carry a stray byte: they take no payload and must not look at it.
            const auto payload = row.Set ? row.Payload : std::vector<uint8_t>{0xEE};
            if (row.MinVersion == 1 ? version == 0 : version < row.MinVersion) {
                EXPECT_TRUE(IsReply(drv_.Request(minor, row.Code, payload), minor, row.Code, 1));
                EXPECT_EQ(SentTlps(), std::vector<Tlp>{});
                continue;
            }
            const uint32_t mask = static_cast<uint32_t>(((1ull << row.Bits) - 1) << row.Shift);
            uint32_t field = 0;
            for (size_t i = 0; i < row.Payload.size(); ++i)
                field |= static_cast<uint32_t>(row.Payload[i]) << (8 * i);
            const uint32_t value = row.Set ? (r[row.Reg] & ~mask) | (field << row.Shift) : kProbe[row.Reg];
            if (!row.Set) {
                ASSERT_NO_FATAL_FAILURE(SetReg(chl, row.Reg, {value}));
            }
            const auto reply = drv_.Request(minor, row.Code, payload);
            EXPECT_EQ(SentTlps(1),
                      std::vector<Tlp>{row.Set ? RegWrite(chl, row.Reg, {value}) : RegRead(chl, row.Reg)});
            r[row.Reg] = value;
            const auto got = (value & mask) >> row.Shift;
            std::vector<uint8_t> answer{static_cast<uint8_t>(got)};
            if (row.Bits == 12) answer.insert(answer.begin(), static_cast<uint8_t>(got >> 8));
            EXPECT_TRUE(IsReply(reply, minor, row.Code, 0, row.Set ? std::vector<uint8_t>{} : answer));
        }

        const auto reply = drv_.Request(minor, kClose);
        EXPECT_EQ(SentTlps(init.size()), init) << "close";
        EXPECT_TRUE(IsReply(reply, minor, kClose, 0));
        // Opened again, the record shows the defaults and what the gets last read.
        ASSERT_NO_FATAL_FAILURE(SetReg(chl, 2, {kProbe[2]}));
        r[2] = kProbe[2];
        open();
    }
}

// qorlab --veths 1
TEST_F(Tty, RefusalsComeInOrderAndBeforeAnyUnitTraffic) {
    const Mac v6unit = UnitMac(2, 2);
    ASSERT_NO_FATAL_FAILURE(StartBridge({{PROFILE_DIR "/uart_v6.prof", v6unit}}));
    SentTlps();

    Step("payload size before version");
    for (const Row& row : kRows) {
        if (!row.Set) continue;
        for (size_t n : {row.Payload.size() - 1, row.Payload.size() + 1}) {
            const std::string ending = std::string(row.Op) + ", invalid data length\n";
            ExpectRefused(Minor(kChlV0), Encode(Minor(kChlV0), row.Code, std::vector<uint8_t>(n, 0)), ending);
        }
    }
    Step("version gates, then the MODE_1 and MODE_2 checks in order and what they allow");
    const std::tuple<uint8_t, uint16_t, std::vector<uint8_t>, const char*> checks[] = {
        {kChlV0, kGetMode1, {}, "get MODE_1, version (x00) not support\n"},
        {kChlV4, kGetTxCredit, {}, "get TxCurrentCredit, version (x04) not support\n"},
        {kChlV1, kSetMode1, {0x1F}, "set MODE_1, MODE_1:x1f invalid\n"},
        {kChlV1, kSetMode1, {0x0F}, "set MODE_1, no RI power I/O 5V cap\n"},
        {kChlV1, kSetMode1, {0x02}, "set MODE_1, no RI power I/O 12V cap\n"},
        {kChlV1, kSetMode1, {0x04}, "set MODE_1, no DCD power I/O 5V cap\n"},
        // Layout 2 here: RI 5 V and 12 V, DCD 5 V, none of the no-distinction capabilities.
        {kChlV2, kSetMode1, {0x03}, "set MODE_1, no RI power I/O no distinguish 5V/12V cap\n"},
        {kChlV2, kSetMode1, {0x0C}, "set MODE_1, no DCD power I/O 12V cap\n"},
        {kChlV2, kSetMode2, {0x84}, "set MODE_2, MODE_2:x84 invalid\n"},
        {kChlV1, kSetMode2, {0x7E}, "set MODE_2, no RS422 cap\n"},
        {kChlV2, kSetMode2, {0x04}, "set MODE_2, no RS485 cap\n"},
        {kChlV1, kSetMode2, {0x08}, "set MODE_2, no AHDC cap\n"},
        {kChlV2, kSetMode2, {0x10}, "set MODE_2, no CS cap\n"},
        {kChlV1, kSetMode2, {0x20}, "set MODE_2, no RS422 termination cap\n"},
        {kChlV2, kSetMode2, {0x40}, "set MODE_2, no RS485 termination cap\n"},
        // Allowed, and written to the unit (layout 4 has every capability).
        {kChlV2, kSetMode1, {0x05}, nullptr},
        {kChlV2, kSetMode2, {0x2B}, nullptr},
        {kChlV4, kSetMode1, {0x0F}, nullptr},
        {kChlV4, kSetMode2, {0x7F}, nullptr},
    };
    for (const auto& [chl, code, payload, ending] : checks) {
        if (ending != nullptr) {
            ExpectRefused(Minor(chl), Encode(Minor(chl), code, payload), ending);
            continue;
        }
        EXPECT_TRUE(IsReply(drv_.Request(Minor(chl), code, payload), Minor(chl), code, 0));
        EXPECT_EQ(SentTlps(1).size(), 1u);
    }

    Step("minors without an object");
    for (uint16_t code : {kOpen, kGetMsr, kSetRxTrigger, kDataToService}) {
        EXPECT_TRUE(IsReply(drv_.Request(200, code, {0x41}), 200, code, 1)) << code;
    }
    EXPECT_EQ(SentTlps(), std::vector<Tlp>{});

    Step("a controller version the service does not handle: no open, no data, no events");
    EXPECT_NE(Log().find("get info fail, unsupport version:x06"), std::string::npos);
    const uint8_t v6 = Minor(1, v6unit);
    EXPECT_TRUE(IsReply(drv_.Request(v6, kOpen), v6, kOpen, 1));
    EXPECT_TRUE(IsReply(drv_.Request(v6, kClose), v6, kClose, 0));
    ExpectRefused(v6, Encode(v6, kDataToService, {0x41}), "TX DATA, unsupport version:x06\n");
    ASSERT_NO_FATAL_FAILURE(Sim("event " + MacString(v6unit) + " 1 0xFF 0x0F 1 0xFF 41424344"));
    EXPECT_TRUE(WaitForFileContains(
        kLogPath, "TTY (M:" + std::to_string(v6) + "), EVENT, unsupport version:x06\n", 2s));
    EXPECT_TRUE(drv_.Silent(100ms));

    Step("messages that lie about their lengths, or are not for a TTY");
    const uint8_t v4 = Minor(kChlV4);
    ASSERT_TRUE(drv_.Send(Encode(Message{1, 0, 1, v4, kSetLcr, 0, 0xFFFFFFFF, {0x03}})));
    EXPECT_TRUE(IsReply(drv_.WaitCode(v4, kSetLcr | kResponseBit), v4, kSetLcr, 1));
    ASSERT_TRUE(drv_.SendRaw({0x08, 0, 0, 0, 0, 0, 0, 0}));  // shorter than a netlink header
    ASSERT_TRUE(drv_.Send(Encode(v4, kGetMsr), 16 + 11));    // NLK header cut short
    ASSERT_TRUE(drv_.Send(Encode(Message{1, 0, 2, v4, kSetLcr, 0, 1, {0x03}})));  // device type 2
    ASSERT_TRUE(drv_.Send(Encode(v4, 0x0015)));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "NLK, rx thd, recvmsg fail, RxLength:11\n", 2s));
    EXPECT_TRUE(WaitForFileContains(kLogPath, "unsupport packet type from kernel\n", 2s));
    EXPECT_TRUE(drv_.Silent(100ms)) << "none of these is answered";
    EXPECT_EQ(SentTlps(), std::vector<Tlp>{});
    // An nlmsg_len past the bytes received: taken as what arrived, or dropped; then the bridge
    // still answers.
    ASSERT_TRUE(drv_.Send(Encode(v4, kGetMsr), 0xFFFF));
    drv_.Silent(600ms);
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, {0x4D}));
    EXPECT_TRUE(IsReply(drv_.Request(v4, kGetMsr), v4, kGetMsr, 0, {0x4D}));
}

// qorlab --veths 1
TEST_F(Tty, EventsAndReceivedDataReachTheDriverByVersion) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    // The driver's first message tells the service where the driver listens.
    ASSERT_TRUE(drv_.Request(Minor(kChlV2), kOpen));
    // Each command, then the messages it must bring in this order, and nothing else.
    const std::pair<std::string, std::vector<std::tuple<uint8_t, uint16_t, std::vector<uint8_t>>>> cases[] = {
        // E0 = 0x50: MSR and data on version 2, MSR and line status on version 4.
        {"event 3 0x50 0 1 0 41424344",
         {{kChlV2, kEventMsr, {0x00}}, {kChlV2, kEventData, {0x41, 0x42, 0x43, 0x44}}}},
        {"event 4 0x50 0 0 0", {{kChlV4, kEventMsr, {0x00}}, {kChlV4, kEventLsr, {0x08, 0x00, 0x00}}}},
        // Nothing in E0 or E1 that version 2 reports.
        {"event 3 0x00 0x04 0 0", {}},
        // Modem and line status as each generation encodes them.
        {"uart-msr 1 0xB3", {{kChlV0, kEventMsr, {0x03}}}},
        {"uart-lsr 1 0x0F 0", {{kChlV0, kEventLsr, {0x0F, 0x00, 0x00}}}},
        {"uart-lsr 2 0x0A 0x1FF", {{kChlV1, kEventLsr, {0x0A, 0x01, 0xFF}}}},
        {"uart-lsr 5 0x0D 0xABC", {{kChlV5, kEventLsr, {0x0D, 0x0A, 0xBC}}}},
        // All three parts of one event, in the order MSR, line status, data.
        {"event 2 0xF2 0x09 1 0x21 a1a2a3a4",
         {{kChlV1, kEventMsr, {0x02}},
          {kChlV1, kEventLsr, {0x07, 0x01, 0x21}},
          {kChlV1, kEventData, {0xA1, 0xA2, 0xA3, 0xA4}}}},
        // Received data: whole words in events, a flag byte in front on versions 4 and 5.
        {"uart-rx 1 0 0102030405", {{kChlV0, kEventData, {1, 2, 3, 4, 5, 0, 0, 0}}}},
        {"uart-rx 5 3 count:2043", {{kChlV5, kDataToKernel, Concat({{0x03}, Counting(2043)})}}},
    };
    for (const auto& [command, messages] : cases) {
        SCOPED_TRACE(command);
        const auto space = command.find(' ');
        ASSERT_NO_FATAL_FAILURE(Sim(command.substr(0, space) + " " + Unit() + command.substr(space)));
        for (const auto& [chl, code, payload] : messages)
            EXPECT_TRUE(Is(drv_.Wait([](const Message&) { return true; }), Minor(chl), code, 0, payload));
    }
    ASSERT_NO_FATAL_FAILURE(Sim("uart-rx " + Unit() + " 4 0 count:2044"));
    EXPECT_TRUE(WaitForFileContains(
        kLogPath,
        "TTY (M:" + std::to_string(Minor(kChlV4)) + "), RX DATA, Flag:x00, DataLength:2044, too BIG !!!\n",
        2s));
    EXPECT_TRUE(drv_.Silent(200ms));
}

// qorlab --veths 1
TEST_F(Tty, TransmitDataGoesToTheUnitWholeOrNotAtAll) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    SentTlps();
    // The TLP without its data: a window write enabling the bytes of the last word, or a data
    // TLP with LengthInByte.
    const std::tuple<uint8_t, size_t, Tlp> cases[] = {
        {kChlV2, 7, {0, 1, kChlV2, 0x10, 3, 2, 0x07, {}}},
        {kChlV0, 5, {0, 1, kChlV0, 0x10, 3, 2, 0x01, {}}},
        {kChlV1, 1020, {0, 1, kChlV1, 0x10, 3, 255, 0x0F, {}}},
        {kChlV4, 1484, {1, 1, kChlV4, 0x05, 0xCC, 0, 0, {}}},
        {kChlV5, 7, {1, 1, kChlV5, 0x00, 7, 0, 0, {}}},
    };
    for (const auto& [chl, n, head] : cases) {
        SCOPED_TRACE(std::to_string(n) + " bytes on channel " + std::to_string(chl));
        const auto bytes = Counting(n);
        ASSERT_TRUE(drv_.Send(Encode(Minor(chl), kDataToService, bytes)));
        auto sent = SentTlps(1);
        ASSERT_EQ(sent.size(), 1u);
        // The bytes, then zeros up to the word.
        auto want = head;
        want.Data = bytes;
        if (head.Type == 0) want.Data.resize((n + 3) / 4 * 4, 0);
        EXPECT_EQ(sent[0], want);
        EXPECT_TRUE(Kept(chl).ends_with(" kept=" + Hex(bytes)));
    }
    // Transmit data is never answered.
    EXPECT_TRUE(drv_.Silent(200ms));

    Step("refused: empty, longer than received, longer than one TLP");
    const std::string old = "TX DATA V0V1V2V3, invalid data length\n",
                      fresh = "TX DATA V4V5, invalid data length\n";
    const std::tuple<uint8_t, std::vector<uint8_t>, std::string> refusals[] = {
        {kChlV2, Encode(Minor(kChlV2), kDataToService, {}), old},
        {kChlV2, Encode(Minor(kChlV2), kDataToService, Counting(1021)), old},
        {kChlV4, Encode(Minor(kChlV4), kDataToService, {}), fresh},
        {kChlV5, Encode(Minor(kChlV5), kDataToService, Counting(1485)), fresh},
        {kChlV4, Encode(Message{1, 0, 1, Minor(kChlV4), kDataToService, 0, 0xFFFFFFFF, Counting(5)}), fresh},
    };
    for (const auto& [chl, message, ending] : refusals) ExpectRefused(Minor(chl), message, ending);
    EXPECT_TRUE(drv_.Silent(100ms));
}

// qorlab --veths 1
TEST_F(Tty, OnlyTheRequestsOwnAnswerCompletesIt) {
    ASSERT_NO_FATAL_FAILURE(StartBridge());
    const uint8_t minor = Minor(kChlV4);
    Step("answers with another TransactionID, Offset or LengthInDW, and none at all");
    const std::pair<const char*, const char*> faults[] = {
        {"tid", nullptr},
        {"offset", "get status reg response, invalid Offset:x03\n"},
        {"length", "get status reg response, invalid LengthInDW:x00\n"},
        {"drop", nullptr},
    };
    uint8_t msr = 0x50;
    for (const auto& [fault, message] : faults) {
        SCOPED_TRACE(fault);
        ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, {++msr}));
        ASSERT_NO_FATAL_FAILURE(Sim("answer-fault " + Unit() + " " + fault));
        EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 1));
        if (message != nullptr) {
            EXPECT_NE(Log().find("TTY (M:" + std::to_string(minor) + "), " + message), std::string::npos)
                << message;
        }
        // The next request gets its own answer.
        EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 0, {msr}));
    }

    Step("an answer that comes after its request gave up is not the next one's");
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, {0x11}));
    ASSERT_NO_FATAL_FAILURE(Sim("answer-fault " + Unit() + " late 700"));
    EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 1));
    std::this_thread::sleep_for(400ms);  // the late answer arrives meanwhile
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV4, 2, {0x22}));
    EXPECT_TRUE(IsReply(drv_.Request(minor, kGetMsr), minor, kGetMsr, 0, {0x22}));

    Step("the echo of a transmit-window write does not complete a waiting read");
    const uint8_t v2 = Minor(kChlV2);
    ASSERT_NO_FATAL_FAILURE(SetReg(kChlV2, 2, {0x33}));
    ASSERT_NO_FATAL_FAILURE(Sim("answer-fault " + Unit() + " late 250"));
    ASSERT_TRUE(drv_.Send(Encode(v2, kGetMsr)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(drv_.Send(Encode(v2, kDataToService, {0xE1, 0xE2, 0xE3, 0xE4})));
    EXPECT_TRUE(IsReply(drv_.WaitCode(v2, kGetMsr | kResponseBit), v2, kGetMsr, 0, {0x33}));
    EXPECT_TRUE(Kept(kChlV2).ends_with(" kept=e1e2e3e4"));

    Step("two sets of different fields of one register at once both stay");
    const uint8_t v5 = Minor(kChlV5);
    EXPECT_TRUE(IsReply(drv_.Request(v5, kSetDllDlm, {0x0C, 0x00}), v5, kSetDllDlm, 0));
    for (uint8_t i = 1; i <= 40; ++i) {
        const uint8_t lcr = i, fifo = static_cast<uint8_t>(0x80 | i);
        ASSERT_TRUE(drv_.Send(Encode(v5, kSetLcr, {lcr})));
        ASSERT_TRUE(drv_.Send(Encode(v5, kSetFifoCtrl, {fifo})));
        EXPECT_TRUE(IsReply(drv_.WaitCode(v5, kSetLcr | kResponseBit), v5, kSetLcr, 0));
        EXPECT_TRUE(IsReply(drv_.WaitCode(v5, kSetFifoCtrl | kResponseBit), v5, kSetFifoCtrl, 0));
        SentTlps(2);
        const std::string reg = sim_->Control("reg " + Unit() + " 5 0");
        ASSERT_TRUE(reg.ends_with(Hex({fifo, lcr, 0x00, 0x0C}))) << "round " << int(i) << ": " << reg;
    }
}

// qorlab --veths 1
TEST_F(Tty, WithoutTheDriverTheServiceRunsAndReportsTheBridgeNotStarted) {
    // The shipped build (its netlink protocol does not exist on this kernel), then the test build.
    for (const uint8_t bridge : {0, 1}) {
        daemonPath_ = bridge == 1 ? QORSERVICE_NLKTEST_PATH : QORSERVICE_PATH;
        ASSERT_NO_FATAL_FAILURE(StartService());
        client_ = NewClient();
        // The bridge starts after the management server, so the byte is read until it settles.
        std::this_thread::sleep_for(500ms);
        const auto info = RequestUntil(
            client_, mng::kGetServiceInfo, {},
            [bridge](const mng::Packet& p) {
                return mng::IsServiceInfo(p.Payload) && p.Payload.back() == bridge;
            },
            3s);
        EXPECT_TRUE(info && mng::IsServiceInfo(info->Payload) && info->Payload.back() == bridge) << "started";
        if (bridge == 0) {
            EXPECT_EQ(Log().find("NLK, "), std::string::npos) << Log();
            ASSERT_EQ(Stop(), std::optional<int>(0));
        }
    }
}

}  // namespace
}  // namespace qortest
