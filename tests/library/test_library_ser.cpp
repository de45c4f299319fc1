// The channel (SIO) core and UART (SER) API of libqorio against the real service and qorsim's
// UART models: every call with what it leaves in the unit's registers, events to each
// callback, data both ways, calls from two threads, a response that comes after its call
// gave up, the connection freed when its unit is lost, and a stand-in SIO server that lies.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <mutex>
#include <set>
#include <thread>

#include "library_fixture.h"

namespace qortest {
namespace {

const Mac kUnit = UnitMac(0x51, 1);  // ctu_uart_versions: channels 1..5 of versions 0, 1, 2, 4, 5
enum : int { kV0 = 1, kV1 = 2, kV2 = 3, kV4 = 4, kV5 = 5 };

// What the callbacks saw, as text.
std::mutex gMu;
std::vector<std::string> gSeen;
void Seen(const std::string& s) {
    std::lock_guard<std::mutex> l(gMu);
    gSeen.push_back(s);
}
bool WasSeen(const std::string& s) {
    return Eventually([&] {
        std::lock_guard<std::mutex> l(gMu);
        return std::find(gSeen.begin(), gSeen.end(), s) != gSeen.end();
    }, 5s);
}
std::string Hex(const uint8_t* p, int n) {
    std::string s;
    char b[4];
    for (int i = 0; i < n; ++i) {
        snprintf(b, sizeof(b), "%02x", p[i]);
        s += b;
    }
    return s;
}
bool MacOk(const uint8_t* m) { return memcmp(m, kUnit.data(), 6) == 0; }

class LibSer : public LibraryTest {
  protected:
    void StartSer() {
        ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({{"ctu_uart_versions", kUnit}}));
        // Control2 (MODE_1 0xC3, MODE_2 0xA5) and the MSR, read at connect and at open.
        for (int chl = kV0; chl <= kV5; ++chl) ASSERT_TRUE(sim_->Ok("reg " + Unit() + " " + std::to_string(chl) + " 2 0xB0 0 0xA5C3"));
        uint32_t ctu = 0;
        ASSERT_EQ(vn_connect(mac_.data(), &sio_, &ctu, 0, nullptr, 0), 0);
        ASSERT_EQ(sio_init(mac_.data(), sio_), 0u);
    }
    std::string Unit() const { return MacString(kUnit); }
    // A word of the unit's register file.
    uint32_t Reg(int chl, int offset) {
        const std::string a = sim_->Control("reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(offset));
        return static_cast<uint32_t>(std::stoul(a.substr(a.rfind(' ') + 1), nullptr, 16));
    }
    bool RegField(int chl, int offset, int shift, uint32_t mask, uint32_t want) {
        return Eventually([&] { return ((Reg(chl, offset) >> shift) & mask) == want; }, 2s);
    }
    void SetReg(int chl, int offset, uint32_t value) {
        ASSERT_TRUE(sim_->Ok("reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(offset) + " " +
                             std::to_string(value)));
    }

    Mac mac_ = kUnit;
    uint32_t sio_ = 0;
};

// qorlab --veths 1
TEST_F(LibSer, EveryCallLeavesItsBytesAtTheUnitAndReturnsItsOwnAnswer) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    uint8_t* m = mac_.data();
    uint8_t out = 0, info[SER_INFO_SIZE] = {};
    Mac other = UnitMac(9, 9);
    EXPECT_EQ(sio_init(other.data(), 50000), 19u);
    EXPECT_EQ(sio_free(other.data()), 80u);
    EXPECT_EQ(sio_get_connection_status(other.data()), 80u);
    EXPECT_EQ(ser_open(other.data(), kV4, info), 80u);
    EXPECT_EQ(ser_set_msr_event_callback(other.data(), kV4, [](uint8_t*, int, uint8_t) {}), 80u);
    EXPECT_EQ(sio_init(m, sio_), 85u);
    EXPECT_EQ(sio_get_connection_status(m), 1u);

    Step("open: the unit's defaults and the registers read back");
    ASSERT_EQ(ser_open(m, kV4, info), 0u);
    const uint8_t want[SER_INFO_SIZE] = {4, 10, 0x03, 0, 0, 0, 0xB0, 0xBF, 0xBF, 0xC3, 0xA5};
    EXPECT_EQ(Hex(info, SER_INFO_SIZE), Hex(want, SER_INFO_SIZE));

    Step("each set call and the field it writes");
    struct Set {
        const char* What;
        std::function<unsigned()> Call;
        int Reg, Shift;
        uint32_t Mask, Value;
    };
    const std::vector<Set> sets = {
        {"dll/dlm", [&] { return ser_set_dll_dlm(m, kV4, 0x08, 0x01); }, 0, 0, 0xFFFF, 0x0108},
        {"lcr", [&] { return ser_set_lcr(m, kV4, 0x1B); }, 0, 16, 0xFF, 0x1B},
        {"break on keeps the LCR", [&] { return ser_set_break(m, kV4, 1); }, 0, 16, 0xFF, 0x5B},
        {"break off", [&] { return ser_set_break(m, kV4, 0); }, 0, 16, 0xFF, 0x1B},
        {"fifo", [&] { return ser_set_fifo_ctrl(m, kV4, 0x07); }, 0, 24, 0xFF, 0x07},
        {"mcr", [&] { return ser_set_mcr(m, kV4, 0x0B); }, 1, 0, 0xFF, 0x0B},
        {"event ctrl: value | MSR & 0xF8, bit 2 with bit 0", [&] { return ser_set_event_ctrl(m, kV4, 0x01); }, 1, 8,
         0xFF, 0xB5},
        {"event ctrl on version 0: its one byte", [&] { return ser_set_event_ctrl(m, kV0, 0x03); }, 1, 8, 0xFF, 0xB3},
        {"power io", [&] { return ser_set_power_io(m, kV4, 0x01); }, 4, 0, 0xFF, 0x01},
        {"mode", [&] { return ser_set_mode_ctrl(m, kV4, 0x02); }, 4, 8, 0xFF, 0x02},
        {"on-chip flow 2", [&] { return ser_set_on_chip_hw_flow_ctrl(m, kV4, 2); }, 1, 16, 0xFF, 0x31},
        {"tx trigger", [&] { return ser_set_tx_trigger_level(m, kV4, 0x20); }, 3, 0, 0xFF, 0x20},
        {"rx trigger", [&] { return ser_set_rx_trigger_level(m, kV4, 0x30); }, 3, 8, 0xFF, 0x30},
        {"setting 9600 8N1 RTS/CTS: divisor", [&] { return ser_setting(m, kV4, 10, 3, 0, 0, 1); }, 0, 0, 0xFFFF,
         0x0060},
        {"... and on-chip flow 0x0D", [] { return 0u; }, 1, 16, 0xFF, 0x0D},
        {"setting 2 stop bits, even: LCR bit 2, never the parity bit", [&] { return ser_setting(m, kV4, 14, 3, 2, 2, 0); },
         0, 16, 0xFF, 0x1F},
        {"setting on version 2: flow through MCR", [&] { return ser_setting(m, kV2, 14, 3, 0, 1, 2); }, 1, 0, 0xFF,
         0x22},
    };
    ASSERT_EQ(ser_open(m, kV2, info), 0u);
    ASSERT_EQ(ser_open(m, kV0, info), 0u);
    for (const auto& s : sets) {
        EXPECT_EQ(s.Call(), 0u) << s.What;
        EXPECT_TRUE(RegField(s.What[0] == 'e' && strstr(s.What, "version 0") ? kV0
                             : strstr(s.What, "version 2")                   ? kV2
                                                                             : kV4,
                             s.Reg, s.Shift, s.Mask, s.Value))
            << s.What;
    }

    Step("each get returns its own register's field");
    SetReg(kV4, 2, 0x5A);
    SetReg(kV4, 4, 0x6C00);
    SetReg(kV4, 3, 0x4D2E);
    EXPECT_EQ(ser_get_msr(m, kV4, &out), 0u);
    EXPECT_EQ(out, 0x5A);
    EXPECT_EQ(ser_get_mode_ctrl(m, kV4, &out), 0u);
    EXPECT_EQ(out, 0x6C);
    EXPECT_EQ(ser_get_tx_trigger_level(m, kV4, &out), 0u);
    EXPECT_EQ(out, 0x2E);
    EXPECT_EQ(ser_get_rx_trigger_level(m, kV4, &out), 0u);
    EXPECT_EQ(out, 0x4D);
    SetReg(kV4, 1, 0x310000);
    EXPECT_EQ(ser_get_on_chip_hw_flow_ctrl(m, kV4, &out), 0u);
    EXPECT_EQ(out, 2);
    SetReg(kV4, 1, 0x050000);
    EXPECT_EQ(ser_get_on_chip_hw_flow_ctrl(m, kV4, &out), 0u);
    EXPECT_EQ(out, 2) << "a value of no mode leaves out unchanged";

    Step("refusals: the service's statuses and the library's codes");
    out = 0x77;
    EXPECT_EQ(ser_get_mode_ctrl(m, kV0, &out), 4u);
    EXPECT_EQ(out, 0x77);
    EXPECT_EQ(ser_set_mode_ctrl(m, kV4, 0x80), 3u);
    EXPECT_EQ(ser_get_msr(m, 9, &out), 16u);
    EXPECT_EQ(ser_setting(m, kV0, 10, 3, 0, 0, 1), 4u);
    EXPECT_EQ(ser_setting(m, kV0, 10, 3, 0, 0, 0), 0u);
    EXPECT_EQ(ser_setting(m, 9, 10, 3, 0, 0, 0), 16u) << "the first failing status";
    EXPECT_EQ(ser_get_msr(m, 64, &out), 98u);
    const std::vector<uint8_t> big(1025, 0x55);
    EXPECT_EQ(ser_write(m, kV4, big.data(), 1025), 99u);
    EXPECT_EQ(ser_write(m, kV4, big.data(), 0), 99u);
    EXPECT_EQ(ser_write(m, kV4, big.data(), -1), 99u);
    EXPECT_EQ(ser_write(m, kV4, nullptr, 4), 98u);
    EXPECT_EQ(ser_close(m, kV4), 0u);
    EXPECT_EQ(sio_free(m), 0u);
    EXPECT_EQ(ser_get_msr(m, kV4, &out), 80u);
}

// qorlab --veths 1
TEST_F(LibSer, EventsReachEachCallbackAndDataFlowsBothWays) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    uint8_t* m = mac_.data();
    uint8_t info[SER_INFO_SIZE];
    for (int chl = kV0; chl <= kV5; ++chl) ASSERT_EQ(ser_open(m, chl, info), 0u);
    ser_msr_event_register_function([](uint8_t* mac, int chl, uint8_t msr) {
        Seen("msr " + std::to_string(chl) + " " + Hex(&msr, 1) + (MacOk(mac) ? "" : " wrong mac"));
    });
    ASSERT_EQ(ser_set_msr_event_callback(m, kV0, ser_msr_event_function_needing_callback), 0u);
    ASSERT_EQ(ser_set_msr_event_callback(m, kV0, [](uint8_t*, int, uint8_t) { Seen("second msr callback"); }), 0u);
    auto lsr = [](uint8_t*, int chl, uint8_t f, uint8_t h, uint8_t l) {
        const uint8_t b[3] = {f, h, l};
        Seen("lsr " + std::to_string(chl) + " " + Hex(b, 3));
    };
    auto data = [](uint8_t*, int chl, uint8_t* p, int n) { Seen("data " + std::to_string(chl) + " " + std::to_string(n) + " " + Hex(p, chl >= kV4 ? 2 * n : n)); };
    auto notify = [](uint8_t*, int chl) { Seen("notify " + std::to_string(chl)); };
    for (int chl = kV0; chl <= kV5; ++chl) {
        ASSERT_EQ(ser_set_lsr_event_callback(m, chl, lsr), 0u);
        ASSERT_EQ(ser_set_data_event_callback(m, chl, data), 0u);
        ASSERT_EQ(ser_set_data_callback(m, chl, notify), 0u);
    }

    Step("line events");
    ASSERT_TRUE(sim_->Ok("uart-msr " + Unit() + " 1 0xB3"));
    EXPECT_TRUE(WasSeen("msr 1 03"));
    ASSERT_TRUE(sim_->Ok("uart-lsr " + Unit() + " 2 0x0A 0x1FF"));
    EXPECT_TRUE(WasSeen("lsr 2 0a01ff"));

    Step("received data: bytes on versions 0..3, (byte, status) pairs counted in bytes on 4, 5");
    ASSERT_TRUE(sim_->Ok("uart-rx " + Unit() + " 1 0 0102030405"));
    EXPECT_TRUE(WasSeen("data 1 8 0102030405000000"));
    ASSERT_TRUE(sim_->Ok("uart-rx " + Unit() + " 4 1 414243"));
    EXPECT_TRUE(WasSeen("data 4 3 410042004300"));
    ASSERT_TRUE(sim_->Ok("uart-rx " + Unit() + " 5 0 7e"));
    EXPECT_TRUE(WasSeen("data 5 1 7e08"));
    EXPECT_TRUE(WasSeen("notify 5"));

    Step("data to the unit, and through its loopback back to the callback");
    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(ser_write(m, kV4, hello, 5), 0u);
    EXPECT_TRUE(Eventually([&] { return sim_->Control("uart-tx " + Unit() + " 4").find("kept=68656c6c6f") != std::string::npos; }, 2s))
        << sim_->Control("uart-tx " + Unit() + " 4");
    ASSERT_TRUE(sim_->Ok("uart " + Unit() + " 2 loopback"));
    EXPECT_EQ(ser_write(m, kV1, hello, 5), 0u);
    EXPECT_TRUE(WasSeen("data 2 8 68656c6c6f000000"));
    std::lock_guard<std::mutex> l(gMu);
    EXPECT_EQ(std::count(gSeen.begin(), gSeen.end(), "second msr callback"), 0);
}

// qorlab --veths 1
TEST_F(LibSer, EachCallGetsItsOwnResponseAndALostUnitFreesItsConnection) {
    ASSERT_NO_FATAL_FAILURE(StartSer());
    uint8_t* m = mac_.data();
    SetReg(kV4, 2, 0x44);
    SetReg(kV5, 4, 0x5500);

    Step("two threads on one unit: each gets its own result");
    std::atomic<int> wrong{0};
    auto loop = [&](bool msr) {
        for (int i = 0; i < 150; ++i) {
            uint8_t v = 0;
            const unsigned rc = msr ? ser_get_msr(m, kV4, &v) : ser_get_mode_ctrl(m, kV5, &v);
            if (rc != 0 || v != (msr ? 0x44 : 0x55)) ++wrong;
        }
    };
    std::thread a(loop, true), b(loop, false);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);

    Step("a response that comes after its call gave up is not taken by the next call");
    ASSERT_TRUE(daemon_->Signal(SIGSTOP));
    uint8_t v = 0;
    EXPECT_EQ(ser_get_msr(m, kV4, &v), 101u);
    SetReg(kV4, 2, 0x66);
    ASSERT_TRUE(daemon_->Signal(SIGCONT));
    EXPECT_EQ(ser_get_mode_ctrl(m, kV4, &v), 0u);
    EXPECT_EQ(v, 0xA5) << "MODE_2, not the late MSR";
    EXPECT_EQ(ser_get_msr(m, kV4, &v), 0u);
    EXPECT_EQ(v, 0x66);

    Step("the unit is lost: its SIO connection and receive thread go");
    const int threads = ThreadCount();
    ASSERT_TRUE(sim_->Ok("silent " + Unit()));
    EXPECT_TRUE(Eventually([&] { return sio_get_connection_status(m) == 80u; }, 45s));
    EXPECT_EQ(ThreadCount(), threads - 1);
}


// An SIO message as a lying server sends it: Length may claim more than follows.
std::vector<uint8_t> Msg(uint8_t type, uint8_t chl, uint16_t code, uint16_t status, std::vector<uint8_t> payload,
                         int64_t length = -1, uint8_t version = 1) {
    const uint32_t n = static_cast<uint32_t>(length < 0 ? static_cast<int64_t>(payload.size()) : length);
    std::vector<uint8_t> m(12 + payload.size());
    const uint8_t h[12] = {version, 0, type, chl, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8),
                           static_cast<uint8_t>(status), static_cast<uint8_t>(status >> 8), static_cast<uint8_t>(n),
                           static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
    for (size_t i = 0; i < 12; ++i) m[i] = h[i];
    for (size_t i = 0; i < payload.size(); ++i) m[12 + i] = payload[i];
    return m;
}

// qorlab --veths 0
TEST(LibSerHostile, AnswersThatLieEndWithACodeAndNeverReachAnotherCall) {
    constexpr uint16_t kPort = 55099;
    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(lfd, 4), 0);
    // Each request is answered by the next reply of the script; a reply may close the connection.
    struct Reply {
        std::vector<uint8_t> Bytes;
        bool Close = false;
    };
    std::mutex mu;
    std::vector<Reply> script;
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop) {
            const int c = accept(lfd, nullptr, nullptr);
            if (c < 0) return;
            for (bool open = true; open && !stop;) {
                uint8_t h[12];
                if (recv(c, h, 12, MSG_WAITALL) != 12) break;
                std::vector<uint8_t> rest(h[8] | (h[9] << 8));
                if (!rest.empty() && recv(c, rest.data(), rest.size(), MSG_WAITALL) <= 0) break;
                Reply r;
                {
                    std::lock_guard<std::mutex> l(mu);
                    if (script.empty()) continue;
                    r = script.front();
                    script.erase(script.begin());
                }
                send(c, r.Bytes.data(), r.Bytes.size(), MSG_NOSIGNAL);
                open = !r.Close;
            }
            close(c);
        }
    });
    auto play = [&](std::vector<uint8_t> bytes, bool close = false) {
        std::lock_guard<std::mutex> l(mu);
        script.push_back({std::move(bytes), close});
    };
    Mac mac = kUnit;
    uint8_t* m = mac.data();
    ASSERT_EQ(sio_init(m, kPort), 0u);
    static std::atomic<int> calls{0};
    ASSERT_EQ(ser_set_msr_event_callback(m, 4, [](uint8_t*, int, uint8_t) { ++calls; }), 0u);
    ASSERT_EQ(ser_set_data_event_callback(m, 4, [](uint8_t*, int, uint8_t*, int n) { calls += 100 + n; }), 0u);
    const uint16_t kMsr = 0x8008;
    uint8_t out = 0x77, info[SER_INFO_SIZE] = {};

    // Foreign responses and broken events first: only the call's own response counts.
    play(Concat({Msg(1, 5, kMsr, 0, {0x11}), Msg(1, 4, 0x800B, 0, {0x22}), Msg(3, 4, kMsr, 0, {0x33}),
                 Msg(1, 4, kMsr, 0, {0x44}, -1, 7), Msg(1, 4, 0x1001, 0, {}), Msg(1, 4, 0x1002, 0, {1}),
                 Msg(1, 4, 0x2002, 0, {}), Msg(1, 4, 0x2002, 0, {5, 1, 2}), Msg(1, 4, kMsr, 0, {0x5A})}));
    EXPECT_EQ(ser_get_msr(m, 4, &out), 0u);
    EXPECT_EQ(out, 0x5A);
    EXPECT_EQ(calls, 100) << "no MSR callback for an empty event; data with an unknown flag delivers 0 bytes";
    play(Msg(1, 4, kMsr, 0, {}));
    out = 0x77;
    EXPECT_EQ(ser_get_msr(m, 4, &out), 84u) << "status 0 without its byte";
    EXPECT_EQ(out, 0x77);
    play(Msg(1, 4, 0x8001, 0, {4, 0x60, 0}));
    EXPECT_EQ(ser_open(m, 4, info), 84u) << "an open record cut short";

    // A length that lies, then the close: the call ends at once, the next call reconnects.
    play(Msg(1, 4, kMsr, 0, {0x66}, 30000), true);
    const auto t0 = Clock::now();
    EXPECT_EQ(ser_get_msr(m, 4, &out), 101u);
    EXPECT_LT(Clock::now() - t0, 5s);
    play(Msg(1, 4, kMsr, 0, {0x5B}));
    EXPECT_EQ(ser_get_msr(m, 4, &out), 0u);
    EXPECT_EQ(out, 0x5B);
    // A close in mid-header.
    play({1, 0, 1, 4, 0x08}, true);
    EXPECT_EQ(ser_get_msr(m, 4, &out), 101u);
    EXPECT_EQ(sio_free(m), 0u);
    stop = true;
    shutdown(lfd, SHUT_RDWR);
    close(lfd);
    server.join();
}
}  // namespace
}  // namespace qortest
