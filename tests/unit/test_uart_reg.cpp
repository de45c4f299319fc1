// The pure parts of the UART register protocol: transmit-data TLPs, event bytes, the
// MODE_1/MODE_2 capability checks and the controller-info answer check.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "uart_reg.h"

namespace {

TEST(UartReg, TransmitDataTlpsAndTheirLimits) {
    const struct {
        uint8_t version;
        size_t n;
        bool ok;
        uint8_t type, tid, offset, dw, aolbe;
        size_t total;  // header and the data that goes on the wire
    } cases[] = {
        {2, 5, true, 0, 0x50, 3, 2, 0x01, 16 + 8},
        {0, 8, true, 0, 0x50, 3, 2, 0x0F, 16 + 8},
        {3, 7, true, 0, 0x50, 3, 2, 0x07, 16 + 8},
        {1, 1020, true, 0, 0x50, 3, 255, 0x0F, 16 + 1020},
        {1, 1021, false, 0, 0, 0, 0, 0, 0},
        {4, 1484, true, 1, 0, 0, 0, 0, 16 + 1484},
        {5, 1485, false, 0, 0, 0, 0, 0, 0},
        {5, 0, false, 0, 0, 0, 0, 0, 0},
        {6, 5, false, 0, 0, 0, 0, 0, 0},
    };
    std::vector<uint8_t> data(1500, 0xAB), tlp(16 + 1500, 0xEE);
    for (const auto& c : cases) {
        size_t length = 0;
        const UartTxBuild r = UartBuildTxData(7, c.version, data.data(), c.n, tlp.data(), &length);
        ASSERT_EQ(r == UART_TX_OK, c.ok) << int(c.version) << " " << c.n;
        if (!c.ok) {
            EXPECT_EQ(r, c.version == 6 ? UART_TX_BAD_VERSION : UART_TX_BAD_LENGTH);
            continue;
        }
        _TLP_HEADER h;
        memcpy(&h, tlp.data(), sizeof(h));
        EXPECT_EQ(length, c.total);
        EXPECT_EQ(h.ChlNumber, 7);
        EXPECT_EQ(h.RW, 1);
        EXPECT_EQ(h.Type, c.type);
        EXPECT_EQ(TlpGetExtraDataLength(&h), c.n);
        if (c.type == 0) {
            EXPECT_EQ(h.TransactionID, c.tid);
            EXPECT_EQ(h.Offset, c.offset);
            EXPECT_EQ(h.LengthInDW, c.dw);
            EXPECT_EQ(h.AOLBE, c.aolbe);
        } else {
            EXPECT_EQ(h.LengthInByte, c.n);
            EXPECT_EQ(h.Flag, 0);
        }
        // The bytes, then zeros up to the last whole word.
        for (size_t i = 16; i < length; ++i) {
            ASSERT_EQ(tlp[i], i - 16 < c.n ? 0xAB : 0x00) << i;
        }
    }
}

TEST(UartReg, EventBytesByVersion) {
    const struct {
        uint8_t version;
        uint8_t e[4];
        bool msr;
        uint8_t msrBits;
        bool lsr;
        uint8_t flags;
        uint16_t count;
        bool data;
    } cases[] = {
        {2, {0x50, 0, 0, 0}, true, 0x00, false, 0, 0, true},
        {4, {0x50, 0, 0, 0}, true, 0x00, true, 0x08, 0, false},
        {1, {0xA0, 0x0B, 0, 0x34}, false, 0, true, 0x0F, 0x134, false},
        {0, {0x1F, 0x01, 0, 0x34}, true, 0x0F, true, 0x04, 0, false},
        {5, {0xE0, 0, 0xFF, 0xFF}, false, 0, true, 0x0D, 0xFFF, false},
        {3, {0x00, 0x04, 0, 0}, false, 0, false, 0, 0, false},
    };
    for (const auto& c : cases) {
        _UART_EVENT e;
        ASSERT_EQ(UartEventDecode(c.version, c.e, &e), 1);
        EXPECT_EQ(e.HasMsr, c.msr) << int(c.version) << " " << int(c.e[0]);
        if (c.msr) {
            EXPECT_EQ(e.Msr, c.msrBits);
        }
        EXPECT_EQ(e.HasLsr, c.lsr) << int(c.version) << " " << int(c.e[0]);
        if (c.lsr) {
            EXPECT_EQ(e.LsrFlags, c.flags);
            EXPECT_EQ(e.LsrCount, c.count);
        }
        EXPECT_EQ(e.HasData, c.data);
    }
    _UART_EVENT e;
    const uint8_t any[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(UartEventDecode(6, any, &e), 0);
}

TEST(UartReg, ModeChecksInTheirOrder) {
    _DIB_UART u{};
    u.RIPowerIO5VCap = u.RIPowerIO12VCap = 1;
    u.DCDPowerIO5VCap = 1;
    u.RS232Cap = u.RS485Cap = 1;
    u.CSCap = 2;  // only exactly 1 counts
    auto str = [](const char* s) { return std::string(s ? s : "ok"); };
    EXPECT_EQ(str(UartCheckMode1(u, 0x13)), "MODE_1:x%02x invalid");
    EXPECT_EQ(str(UartCheckMode1(u, 0x03)), "no RI power I/O no distinguish 5V/12V cap");
    EXPECT_EQ(str(UartCheckMode1(u, 0x05)), "ok");
    EXPECT_EQ(str(UartCheckMode1(u, 0x08)), "no DCD power I/O 12V cap");
    u.RIPowerIOCap = 1;
    EXPECT_EQ(str(UartCheckMode1(u, 0x07)), "ok");
    EXPECT_EQ(str(UartCheckMode2(u, 0x81)), "MODE_2:x%02x invalid");
    EXPECT_EQ(str(UartCheckMode2(u, 0x05)), "ok");
    EXPECT_EQ(str(UartCheckMode2(u, 0x06)), "no RS422 cap");
    EXPECT_EQ(str(UartCheckMode2(u, 0x10)), "no CS cap");
    EXPECT_EQ(str(UartCheckMode2(u, 0x40)), "no RS485 termination cap");
}

// An answer of the wrong shape is invalid and leaves the register copies as they were.
TEST(UartReg, ControllerInfoAnswerIsCheckedBeforeItIsTaken) {
    _DIB dib{};
    dib.Uart.Version = 1;
    dib.Uart.Control0Reg = 0x11111111;
    pthread_mutex_t reg = PTHREAD_MUTEX_INITIALIZER;
    const _UART_CHL c{nullptr, &dib, nullptr, &reg, "TTY (M:0), "};
    uint8_t rx[16 + 20] = {};
    rx[5] = 3;  // LengthInDW 3 where V1V2V3 reads 5
    for (int i = 0; i < 20; ++i) rx[16 + i] = static_cast<uint8_t>(i + 1);
    EXPECT_EQ(UartResponseGetControllerInfo(c, rx, sizeof(rx), UART_GEN_V1V2V3), 0);
    EXPECT_EQ(dib.Uart.Control0Reg, 0x11111111u);
    rx[5] = 5;
    EXPECT_EQ(UartResponseGetControllerInfo(c, rx, sizeof(rx) - 1, UART_GEN_V1V2V3), 0) << "a word is missing";
    ASSERT_EQ(UartResponseGetControllerInfo(c, rx, sizeof(rx), UART_GEN_V1V2V3), 1);
    EXPECT_EQ(dib.Uart.Control0Reg, 0x04030201u);
    EXPECT_EQ(dib.Uart.Control2Reg, 0x14131211u);
    EXPECT_EQ(dib.Uart.FifoTriggerLevelReg, 0u) << "DW3 is not a V1V2V3 register";
}

}  // namespace
