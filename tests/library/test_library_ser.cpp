// The channel (SIO) core and UART (SER) API of libqorio against the real service and qorsim's
// UART models: every call with what it leaves in the unit's registers, events to each
// callback, data both ways, calls from two threads, a response that comes after its call
// gave up, and the connection freed when its unit is lost.
#include <signal.h>

#include <mutex>
#include <thread>

#include "library_fixture.h"
#include "qor_ctu_client.h"

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
    return Eventually(
        [&] {
            std::lock_guard<std::mutex> l(gMu);
            return std::find(gSeen.begin(), gSeen.end(), s) != gSeen.end();
        },
        5s);
}
std::string Hex(const uint8_t* p, int n) {
    return ctu::Hex({p, static_cast<size_t>(n)});
}

class LibSer : public LibraryTest {
  protected:
    void StartSer() {
        mac_ = kUnit;
        ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({{"ctu_uart_versions", kUnit}}));
        // Control2 (MODE_1 0xC3, MODE_2 0xA5) and the MSR, read at connect and at open.
        for (int chl = kV0; chl <= kV5; ++chl)
            SimOk("reg " + Unit() + " " + std::to_string(chl) + " 2 0xB0 0 0xA5C3");
        uint32_t ctu = 0;
        ASSERT_EQ(vn_connect(mac_.data(), &sio_, &ctu, 0, nullptr, 0), 0);
        ASSERT_EQ(sio_init(mac_.data(), sio_), 0u);
    }
    std::string Unit() const { return MacString(kUnit); }
    void SetReg(int chl, int offset, uint32_t value) {
        SimOk("reg " + Unit() + " " + std::to_string(chl) + " " + std::to_string(offset) + " " +
              std::to_string(value));
    }

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
    EXPECT_EQ(ser_open(other.data(), kV4, info), 80u);
    EXPECT_EQ(ser_set_msr_event_callback(other.data(), kV4, [](uint8_t*, int, uint8_t) {}), 80u);
    EXPECT_EQ(sio_init(m, sio_), 85u);
    EXPECT_EQ(sio_get_connection_status(m), 1u);

    Step("open: the unit's defaults and the registers read back");
    ASSERT_EQ(ser_open(m, kV4, info), 0u);
    const uint8_t want[SER_INFO_SIZE] = {4, 10, 0x03, 0, 0, 0, 0xB0, 0xBF, 0xBF, 0xC3, 0xA5};
    EXPECT_EQ(Hex(info, SER_INFO_SIZE), Hex(want, SER_INFO_SIZE));
    ASSERT_EQ(ser_open(m, kV2, info), 0u);
    ASSERT_EQ(ser_open(m, kV0, info), 0u);

    Step("each call and the field it writes; gets read it back");
    Check(
        kV4,
        {
            {"dll/dlm", [&] { return ser_set_dll_dlm(m, kV4, 0x08, 0x01); }, 0, 0, 0xFFFF, 0x0108, nullptr},
            Row("lcr", 0, 16, 0xFF, 0x1B, ser_set_lcr, nullptr, m, kV4),
            {"break on keeps the LCR", [&] { return ser_set_break(m, kV4, 1); }, 0, 16, 0xFF, 0x5B, nullptr},
            {"break off", [&] { return ser_set_break(m, kV4, 0); }, 0, 16, 0xFF, 0x1B, nullptr},
            Row("fifo", 0, 24, 0xFF, 0x07, ser_set_fifo_ctrl, nullptr, m, kV4),
            Row("mcr", 1, 0, 0xFF, 0x0B, ser_set_mcr, nullptr, m, kV4),
            {"event ctrl: value | MSR & 0xF8, bit 2 with bit 0",
             [&] { return ser_set_event_ctrl(m, kV4, 1); }, 1, 8, 0xFF, 0xB5, nullptr},
            Row("power io", 4, 0, 0xFF, 0x01, ser_set_power_io, nullptr, m, kV4),
            Row("mode", 4, 8, 0xFF, 0x02, ser_set_mode_ctrl, ser_get_mode_ctrl, m, kV4),
            {"on-chip flow 2", [&] { return ser_set_on_chip_hw_flow_ctrl(m, kV4, 2); }, 1, 16, 0xFF, 0x31,
             nullptr},
            Row("tx trigger", 3, 0, 0xFF, 0x20, ser_set_tx_trigger_level, ser_get_tx_trigger_level, m, kV4),
            Row("rx trigger", 3, 8, 0xFF, 0x30, ser_set_rx_trigger_level, ser_get_rx_trigger_level, m, kV4),
            {"setting 9600 8N1 RTS/CTS: divisor", [&] { return ser_setting(m, kV4, 10, 3, 0, 0, 1); }, 0, 0,
             0xFFFF, 0x0060, nullptr},
            {"... and on-chip flow 0x0D", [] { return 0u; }, 1, 16, 0xFF, 0x0D, nullptr},
            {"setting 2 stop bits, even: LCR bit 2, never the parity bit",
             [&] { return ser_setting(m, kV4, 14, 3, 2, 2, 0); }, 0, 16, 0xFF, 0x1F, nullptr},
        });
    Check(kV0, {{"event ctrl on version 0: its one byte", [&] { return ser_set_event_ctrl(m, kV0, 3); }, 1, 8,
                 0xFF, 0xB3, nullptr}});
    Check(kV2, {{"setting on version 2: flow through MCR",
                 [&] { return ser_setting(m, kV2, 14, 3, 0, 1, 2); }, 1, 0, 0xFF, 0x22, nullptr}});
    SetReg(kV4, 1, 0x310000);
    EXPECT_EQ(ser_get_on_chip_hw_flow_ctrl(m, kV4, &out), 0u);
    EXPECT_EQ(out, 2);
    SetReg(kV4, 1, 0x050000);
    EXPECT_EQ(ser_get_on_chip_hw_flow_ctrl(m, kV4, &out), 0u);
    EXPECT_EQ(out, 2) << "a value of no mode leaves out unchanged";
    SetReg(kV4, 2, 0x5A);
    EXPECT_EQ(ser_get_msr(m, kV4, &out), 0u);
    EXPECT_EQ(out, 0x5A);

    Step("refusals: a service status leaves out alone; the library's own codes");
    out = 0x77;
    EXPECT_EQ(ser_get_mode_ctrl(m, kV0, &out), 4u);
    EXPECT_EQ(out, 0x77);
    EXPECT_EQ(ser_setting(m, 9, 10, 3, 0, 0, 0), 16u) << "the first failing status";
    EXPECT_EQ(ser_get_msr(m, 64, &out), 98u);
    const std::vector<uint8_t> big(1025, 0x55);
    for (int length : {1025, 0, -1}) {
        EXPECT_EQ(ser_write(m, kV4, big.data(), length), 99u) << length;
    }
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
    ser_msr_event_register_function([](uint8_t* mac, int chl, uint8_t msr) {
        Seen("msr " + std::to_string(chl) + " " + Hex(&msr, 1) + (ToMac(mac) == kUnit ? "" : " wrong mac"));
    });
    auto lsr = [](uint8_t*, int chl, uint8_t f, uint8_t h, uint8_t l) {
        const uint8_t b[3] = {f, h, l};
        Seen("lsr " + std::to_string(chl) + " " + Hex(b, 3));
    };
    auto data = [](uint8_t*, int chl, uint8_t* p, int n) {
        Seen("data " + std::to_string(chl) + " " + std::to_string(n) + " " + Hex(p, chl >= kV4 ? 2 * n : n));
    };
    for (int chl = kV0; chl <= kV5; ++chl) {
        ASSERT_EQ(ser_open(m, chl, info), 0u);
        ASSERT_EQ(ser_set_lsr_event_callback(m, chl, lsr), 0u);
        ASSERT_EQ(ser_set_data_event_callback(m, chl, data), 0u);
        ASSERT_EQ(
            ser_set_data_callback(m, chl, [](uint8_t*, int chl) { Seen("notify " + std::to_string(chl)); }),
            0u);
    }
    ASSERT_EQ(ser_set_msr_event_callback(m, kV0, ser_msr_event_function_needing_callback), 0u);
    // A second registration leaves the first callback in place.
    ASSERT_EQ(ser_set_msr_event_callback(m, kV0, [](uint8_t*, int, uint8_t) { Seen("second msr callback"); }),
              0u);

    Step("line events");
    SimOk("uart-msr " + Unit() + " 1 0xB3");
    EXPECT_TRUE(WasSeen("msr 1 03"));
    SimOk("uart-lsr " + Unit() + " 2 0x0A 0x1FF");
    EXPECT_TRUE(WasSeen("lsr 2 0a01ff"));

    Step("received data: bytes on versions 0..3, (byte, status) pairs counted in bytes on 4, 5");
    SimOk("uart-rx " + Unit() + " 1 0 0102030405");
    EXPECT_TRUE(WasSeen("data 1 8 0102030405000000"));
    SimOk("uart-rx " + Unit() + " 4 1 414243");
    EXPECT_TRUE(WasSeen("data 4 3 410042004300"));
    SimOk("uart-rx " + Unit() + " 5 0 7e");
    EXPECT_TRUE(WasSeen("data 5 1 7e08"));
    EXPECT_TRUE(WasSeen("notify 5"));

    Step("data to the unit, and through its loopback back to the callback");
    const uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(ser_write(m, kV4, hello, 5), 0u);
    EXPECT_TRUE(Eventually(
        [&] {
            return sim_->Control("uart-tx " + Unit() + " 4").find("kept=68656c6c6f") != std::string::npos;
        },
        2s))
        << sim_->Control("uart-tx " + Unit() + " 4");
    SimOk("uart " + Unit() + " 2 loopback");
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
            wrong += rc != 0 || v != (msr ? 0x44 : 0x55);
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
    SimOk("silent " + Unit());
    EXPECT_TRUE(Eventually([&] { return sio_get_connection_status(m) == 80u; }, 45s));
    // The connection leaves the list before its receive thread is joined.
    EXPECT_TRUE(Eventually([&] { return ThreadCount() == threads - 1; }, 5s)) << ThreadCount();
}

}  // namespace
}  // namespace qortest
