// What the info structure of a unit playing sim/profiles/ctu_uart2.prof puts into its record.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "registry_fixture.h"

namespace qortest {

struct ExpectedDib {
    uint8_t Chl, Type, LengthInDW, Info;
    std::vector<uint8_t> Extra;
};

// The channels of sim/profiles/ctu_uart2.prof as they travel in the info structure.
inline const std::vector<ExpectedDib> kCtuUart2 = {
    {0, 0, 4, 2, {0x01, 0, 0, 0, 'U', '2', 'S', '-', 'E', 'X', 0, 0}},
    {1, 1, 4, 5, {0x0e, 0x01, 0x01, 0x00, 0x00, 0x04, 0x00, 0x04, 0x77, 0, 0, 0}},
    {2, 1, 3, 2, {0x00, 0x01, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00}},
};

// Everything the info structure of a ctu_uart2 unit puts into its record.
inline void ExpectCtuUart2Record(PVN_DEVICE p, uint8_t linkStatus = 0) {
    EXPECT_EQ(ModelOf(p), "VN-U2S");
    EXPECT_EQ(p->TypeInfo, 0x01);
    EXPECT_EQ(p->TypeInfo_Mode, 1);
    EXPECT_EQ(p->TypeInfo_Experiment + p->TypeInfo_PasswordEnable + p->TypeInfo_TimeSharingEnable +
                  p->TypeInfo_IsMORA + p->TypeInfo_WithExternalEEPROM,
              0);
    EXPECT_EQ(p->LinkStatus, linkStatus);
    EXPECT_EQ(p->MajorVersion, 2);
    EXPECT_EQ(p->MinorVersion, 7);
    EXPECT_EQ(p->DibLengthInDW, 11);
    ASSERT_EQ(p->AvailableChls, kCtuUart2.size());
    for (size_t i = 0; i < kCtuUart2.size(); ++i) {
        SCOPED_TRACE("DIB " + std::to_string(i));
        const _DIB& dib = p->DibArray[i];
        const ExpectedDib& want = kCtuUart2[i];
        EXPECT_EQ(dib.ChlNumber, want.Chl);
        EXPECT_EQ(dib.Type, want.Type);
        EXPECT_EQ(dib.LengthInDW, want.LengthInDW);
        EXPECT_EQ(dib.Info, want.Info);
        EXPECT_EQ(std::vector<uint8_t>(dib.ExtraData, dib.ExtraData + want.Extra.size()), want.Extra);
        EXPECT_EQ(VnGetChannelType(p, want.Chl), want.Type);
        EXPECT_EQ(VnGetDibPointer(p, want.Chl), &dib);
    }
    EXPECT_EQ(p->DibArray[0].CtU.Version, 2);
    // UART layout 5: clock triple, 1024-byte buffers, C0 = 0x77.
    const _DIB_UART& u1 = p->DibArray[1].Uart;
    EXPECT_EQ(u1.Version, 5);
    EXPECT_EQ(u1.SystemBaseClockX, 14);
    EXPECT_EQ(u1.ClockMultiplierM, 1);
    EXPECT_EQ(u1.ClockDivisorN, 1);
    EXPECT_EQ(u1.TxBuffSize, 1024u);
    EXPECT_EQ(u1.RxBuffSize, 1024u);
    EXPECT_EQ((std::array<int, 8>{u1.RS232Cap, u1.RS422Cap, u1.RS485Cap, u1.AHDCCap, u1.CSCap,
                                  u1.RS422TerminationCtrlCap, u1.RS485TerminationCtrlCap, u1.RIPowerIO5VCap}),
              (std::array<int, 8>{1, 1, 1, 0, 1, 1, 1, 0}));
    // UART layout 2: 256-byte buffers, RS-232 only.
    const _DIB_UART& u2 = p->DibArray[2].Uart;
    EXPECT_EQ(u2.Version, 2);
    EXPECT_EQ(u2.TxBuffSize, 256u);
    EXPECT_EQ(u2.RxBuffSize, 256u);
    EXPECT_EQ(u2.RS232Cap, 1);
    EXPECT_EQ(u2.RS422Cap + u2.RS485Cap + u2.CSCap, 0);
    // Channels that are not there read as type 0 and have no DIB.
    EXPECT_EQ(VnGetChannelType(p, 3), 0);
    EXPECT_EQ(VnGetDibPointer(p, 3), nullptr);
    // No TTY is assigned to any UART yet.
    EXPECT_EQ(p->DibArray[1].Uart.TtyMinorNumber, -1);
    EXPECT_EQ(p->DibArray[2].Uart.TtyMinorNumber, -1);
}

}  // namespace qortest
