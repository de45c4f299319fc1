// The UART controller-info answer check: the TTY system tests cannot make the unit answer
// the connect's read with the wrong shape, so the decoder is proven here.
#include <gtest/gtest.h>

#include "uart_reg.h"

namespace {

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
    EXPECT_EQ(UartResponseGetControllerInfo(c, rx, sizeof(rx) - 1, UART_GEN_V1V2V3), 0)
        << "a word is missing";
    ASSERT_EQ(UartResponseGetControllerInfo(c, rx, sizeof(rx), UART_GEN_V1V2V3), 1);
    EXPECT_EQ(dib.Uart.Control0Reg, 0x04030201u);
    EXPECT_EQ(dib.Uart.Control2Reg, 0x14131211u);
    EXPECT_EQ(dib.Uart.FifoTriggerLevelReg, 0u) << "DW3 is not a V1V2V3 register";
}

}  // namespace
