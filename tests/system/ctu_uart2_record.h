// What the info structure of a unit playing sim/profiles/ctu_uart2.prof puts into its record.
#pragma once

#include <gtest/gtest.h>

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

// What the info structure of a ctu_uart2 unit puts into its record, as far as qorsim and the
// service must agree on it; the decoding of every field is proven by the decoder's unit tests.
inline void ExpectCtuUart2Record(PVN_DEVICE p, uint8_t linkStatus = 0) {
    EXPECT_EQ(ModelOf(p), "VN-U2S");
    EXPECT_EQ(p->TypeInfo, 0x01);
    EXPECT_EQ(p->LinkStatus, linkStatus);
    EXPECT_EQ(p->MajorVersion, 2);
    EXPECT_EQ(p->MinorVersion, 7);
    EXPECT_EQ(p->DibLengthInDW, 11);
    ASSERT_EQ(p->AvailableChls, kCtuUart2.size());
    for (size_t i = 0; i < kCtuUart2.size(); ++i) {
        SCOPED_TRACE("DIB " + std::to_string(i));
        const _DIB& dib = p->DibArray[i];
        const ExpectedDib& want = kCtuUart2[i];
        EXPECT_EQ(std::vector<uint8_t>({dib.ChlNumber, dib.Type, dib.LengthInDW, dib.Info}),
                  std::vector<uint8_t>({want.Chl, want.Type, want.LengthInDW, want.Info}));
        EXPECT_EQ(std::vector<uint8_t>(dib.ExtraData, dib.ExtraData + want.Extra.size()), want.Extra);
        EXPECT_EQ(VnGetChannelType(p, want.Chl), want.Type);
    }
    // UART layouts 5 and 2: 1024- and 256-byte buffers; no TTY assigned yet.
    EXPECT_EQ(p->DibArray[1].Uart.TxBuffSize, 1024u);
    EXPECT_EQ(p->DibArray[2].Uart.RxBuffSize, 256u);
    EXPECT_EQ(p->DibArray[1].Uart.TtyMinorNumber, -1);
    EXPECT_EQ(p->DibArray[2].Uart.TtyMinorNumber, -1);
    EXPECT_EQ(VnGetChannelType(p, 3), 0);
}

}  // namespace qortest
