// Decoding of info structures built by hand, one channel type at a time.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "registry_support.h"
#include "test_support_log.h"
#include "vn_get_info.h"

namespace {

// One unit record, decoded into again and again, and the service's log.
struct DibDecode : ::testing::Test {
    LogCapture cap;
    InfoBuilder b;
    std::unique_ptr<_VN_DEVICE> vn{new _VN_DEVICE{}};
    int Decode(const std::vector<uint8_t>& bytes) {
        return VnGetInfoDecode(vn.get(), bytes.data(), bytes.size());
    }
};

}  // namespace

TEST_F(DibDecode, UnitHeaderAndTypeInfoBits) {
    b.bytes[16] = 0xF9;  // mode 1, experiment, password, time sharing, MORA, external flash
    b.bytes[17] = 1;
    for (int i = 0; i < 6; ++i) b.bytes[18 + i] = static_cast<uint8_t>(0x10 + i);
    b.bytes[25] = 0x33;
    ASSERT_EQ(Decode(b.bytes), 1);
    const _VN_DEVICE& v = *vn;
    EXPECT_EQ(0, memcmp(v.ModelName, "QV-1000XYZ", 10));
    EXPECT_EQ(std::tuple(v.TypeInfo_Mode, v.TypeInfo_Experiment, v.TypeInfo_PasswordEnable,
                         v.TypeInfo_TimeSharingEnable, v.TypeInfo_IsMORA, v.TypeInfo_WithExternalEEPROM),
              std::tuple(1, 1, 1, 1, 1, 1));
    EXPECT_EQ(std::tuple(v.LinkStatus, v.ConnectedHostMac[5], v.DibLengthInDW, v.MajorVersion, v.MinorVersion,
                         v.AvailableChls),
              std::tuple(1, 0x15, 0x33, 2, 7, 0));
    b.bytes[16] = 0x02;
    ASSERT_EQ(Decode(b.bytes), 1);
    EXPECT_EQ(std::tuple(v.TypeInfo_Mode, v.TypeInfo_PasswordEnable), std::tuple(2, 0));
}

TEST_F(DibDecode, UartLayoutsByVersion) {
    b.Dib(0, 0, 2, {})                                       // control unit
        .Dib(1, 1, 0x18, {0x00, 0x04, 0x00, 0x08})           // version byte with line bits
        .Dib(2, 1, 1, {0x00, 0x04, 0x00, 0x08, 0xFE, 0xFF})  // buffers, no caps
        .Dib(3, 1, 3, {0x00, 0x01, 0x00, 0x02, 0xFF, 0x1F})  // caps from bytes 4, 5
        .Dib(4, 1, 5, {0x07, 0x08, 0x09, 0x00, 0x34, 0x12, 0x78, 0x56, 0x06, 0x10})  // clock triple
        .Dib(5, 1, 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})                          // unknown layout
        .Dib(6, 1, 0, {0x00, 0x04, 0x00, 0x08, 0xFE, 0xFF});                         // unknown layout
    ASSERT_EQ(Decode(b.bytes), 1);
    ASSERT_EQ(vn->AvailableChls, 7);
    EXPECT_EQ(vn->DibArray[0].CtU.Version, 2);
    // Buffer sizes, clock X, M and N, and the capability flags as digits (RS232 first, DCD
    // power I/O last).
    auto uart = [this](int i) {
        const _DIB_UART& v = vn->DibArray[i].Uart;
        std::string caps;
        for (int c : {v.RS232Cap, v.RS422Cap, v.RS485Cap, v.AHDCCap, v.CSCap, v.RS422TerminationCtrlCap,
                      v.RS485TerminationCtrlCap, v.RIPowerIO5VCap, v.RIPowerIO12VCap, v.RIPowerIOCap,
                      v.DCDPowerIO5VCap, v.DCDPowerIO12VCap, v.DCDPowerIOCap})
            caps += static_cast<char>('0' + c);
        return std::tuple(v.TxBuffSize, v.RxBuffSize, v.SystemBaseClockX, v.ClockMultiplierM, v.ClockDivisorN,
                          caps);
    };
    // The record keeps the whole Info byte; line-type bits make it read as a layout above 5,
    // which, like layouts 0 and 1 for the caps and unknown layouts for all, means RS232 only.
    const std::string rs232Only = "1000000000000";
    EXPECT_EQ(vn->DibArray[1].Uart.Version, 0x18);
    EXPECT_EQ(uart(1), std::tuple(0u, 0u, 0, 0, 0, rs232Only));
    EXPECT_EQ(uart(2), std::tuple(0x400u, 0x800u, 0, 0, 0, rs232Only));
    EXPECT_EQ(uart(6), std::tuple(0x400u, 0x800u, 0, 0, 0, rs232Only));
    EXPECT_EQ(uart(3), std::tuple(0x100u, 0x200u, 0, 0, 0, std::string(13, '1')));
    EXPECT_EQ(uart(4), std::tuple(0x1234u, 0x5678u, 7, 8, 9, std::string("0110000000001")));
    EXPECT_EQ(uart(5), std::tuple(0u, 0u, 0, 0, 0, rs232Only));
}

TEST_F(DibDecode, DioBanksAreLaidSideBySidePerChannel) {
    std::vector<uint8_t> dio = {
        3,           1,    0,    0,    0xA5,        0,    0, 0,
        0x40,        0x42, 0x0F, 0x00, 0x07 | 0x20, 0x01, 0, 0,  // 8 I/Os, flash cap, rising edge
        0x07 | 0xC0, 0xCE, 0,    0,   // 8 I/Os, both directions, configurable, both resistors
        0x03 | 0x80, 0x02, 0,    0};  // 4 I/Os, output
    b.Dib(5, 3, 2, dio).Dib(6, 3, 2, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1F, 0, 0, 0});
    ASSERT_EQ(Decode(b.bytes), 1);
    const _DIB_DIO* d = vn->DibArray[0].DioPtr.get();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(std::tuple(d->Version, d->NumberOfBanks, d->ShareSameDirectionCtrlCap, d->SamplingClockScaleCap,
                         d->SystemClockFreq),
              std::tuple(2, 3, 1, 0xA5, 1000000u));
    // Per bank: index, I/Os, shift, mask, direction, flash, edge, pin configuration, resistors.
    auto bank = [](const auto& b) {
        return std::tuple(b.BankIndex, b.NumberOfIOs, b.IoShiftBits, b.IoMask, b.DirectionCap,
                          b.WritingSettingsToFlashCap, b.EdgeTriggerCap, b.OutputPinConfigurationCap,
                          b.OutputPinResistorApplied);
    };
    EXPECT_EQ(bank(d->Bank[0]), std::tuple(0, 8, 0u, 0x000000FFu, 0, 1, 1, 0, 0));
    EXPECT_EQ(bank(d->Bank[1]), std::tuple(1, 8, 8u, 0x0000FF00u, 3, 0, 2, 3, 3));
    EXPECT_EQ(bank(d->Bank[2]), std::tuple(2, 4, 16u, 0x000F0000u, 2, 0, 2, 0, 0));
    // A second channel starts again at bit 0.
    ASSERT_NE(vn->DibArray[1].DioPtr, nullptr);
    EXPECT_EQ(bank(vn->DibArray[1].DioPtr->Bank[0]), std::tuple(0, 32, 0u, 0xFFFFFFFFu, 0, 0, 0, 0, 0));
}

TEST_F(DibDecode, AnalogRecords) {
    b.Dib(1, 5, 1,
          {0x00, 0x10, 0x00, 0x80, 4, 16, 3, 0x83, 0x40, 0x0D, 0x03, 0x00, 0xC4, 0x09, 0x00, 0x03})  // AI
        .Dib(2, 6, 1, {0x00, 0x02, 0, 0, 2, 12, 0x81, 0, 0x10, 0x27, 0, 0, 0xC4, 0x09, 0x00, 0x03})  // AO
        .Dib(3, 7, 1, {0x00, 0x01, 0, 0, 0x07, 0, 0, 0, 8, 24, 0x3F, 0x07, 1, 2, 3, 4, 0xC4, 0x09,
                       0,    3,    5, 0, 0,    1, 6, 0, 0, 1,  7,    0,    0, 1, 8, 0, 0,    1})  // UI
        .Dib(4, 8, 1, {2, 16, 3, 1, 0xC4, 0x09, 0, 3, 9, 0, 0, 1, 10, 0, 0, 1})                   // UO
        .Dib(5, 9, 1, {4, 2, 16, 0x82, 0xC4, 0x09, 0, 3})                                         // BAO
        .Dib(6, 10, 1,
             {0x00, 0x20, 0x00, 0x80, 1, 3, 0, 0, 8, 24, 0x0F, 0x87, 0xC4, 0x09, 0x00, 0x03})  // MAI
        .Dib(7, 11, 1, {3, 16, 0, 0, 0x01, 0, 0, 0x02})                                        // TPS
        .Dib(8, 128, 0, {1, 1, 0, 0, 'S', 'N', '1', 0, 'N', 'M', 0, 0})                        // string
        .Dib(9, 2, 0, {0xAA, 0xBB, 0xCC, 0xDD})                                                // parallel
        .Dib(10, 4, 0, {});                                                                    // counter
    ASSERT_EQ(Decode(b.bytes), 1);
    ASSERT_EQ(vn->AvailableChls, 10);
    // Per type: the count that bounds its port table, plus the fields that need more than a
    // byte copy (bit 31 of the FIFO word is its type, rates are little-endian words).
    const auto& d = vn->DibArray;
    ASSERT_TRUE(d[0].AiPtr && d[1].AoPtr && d[2].UiPtr && d[3].UoPtr && d[4].BAoPtr && d[5].MAiPtr &&
                d[6].TpsPtr && d[9].CntPtr);
    const _DIB_AI& ai = *d[0].AiPtr;
    EXPECT_EQ(std::tuple(ai.FifoSize, ai.FifoType, ai.NumberOfInputPorts, ai.SupportMaxProgramableGains,
                         ai.MaxSamplingRateCapability, ai.Port[3].PortIndex),
              std::tuple(0x1000u, 1, 4, 0x83, 200000u, 3));
    const _DIB_AO& ao = *d[1].AoPtr;
    EXPECT_EQ(std::tuple(ao.NumberOfOutputPorts, ao.Resolution, ao.MaxUpdateingRateCapability),
              std::tuple(2, 12, 10000u));
    const _DIB_UI& ui = *d[2].UiPtr;
    EXPECT_EQ(
        std::tuple(ui.ClockDividerWidth, ui.NumberOfInputPorts, ui.MaxSamplingRateCapability,
                   ui.VoltageCoef[0], ui.CurrentCoef[0], ui.ResistorCoefAlpha[0], ui.ResistorCoefBeta[0]),
        std::tuple(3, 8, 0x04030201u, 5, 6, 7, 8));
    EXPECT_EQ(
        std::tuple(d[3].UoPtr->NumberOfOutputPorts, d[3].UoPtr->VoltageCoef[0], d[3].UoPtr->CurrentCoef[0],
                   d[4].BAoPtr->NumberOfOutputPorts, d[4].BAoPtr->NumberOfAoGroups),
        std::tuple(2, 9, 10, 4, 2));
    const _DIB_MAI& mai = *d[5].MAiPtr;
    EXPECT_EQ(std::tuple(mai.FifoSize, mai.FifoType, mai.NumberOfInputPorts, mai.Port[7].PortIndex,
                         d[6].TpsPtr->NumberOfSensors, d[6].TpsPtr->LsbUnit[3]),
              std::tuple(0x2000u, 1, 8, 7, 3, 0x02));
    // String, parallel: raw bytes only; counter: an empty record. An absent channel reads
    // like a control unit and has no entry.
    EXPECT_EQ(std::tuple(d[7].ExtraData[4], d[8].ExtraData[0], d[8].DioPtr == nullptr, d[9].LengthInDW),
              std::tuple('S', 0xAA, true, 1));
    EXPECT_EQ(std::tuple(VnGetChannelType(vn.get(), 6), VnGetChannelType(vn.get(), 8),
                         VnGetChannelType(vn.get(), 42)),
              std::tuple(10, 128, 0));
    EXPECT_EQ(VnGetDibPointer(vn.get(), 42), nullptr);
    EXPECT_EQ(VnGetDibPointer(vn.get(), 9), &d[8]);
    EXPECT_EQ(cap.Text(), "");
}

TEST_F(DibDecode, RecordsAreReusedAcrossDecodesAndKeptWhenTypeChanges) {
    b.Dib(1, 5, 1, {0, 0, 0, 0, 2});
    ASSERT_EQ(Decode(b.bytes), 1);
    _DIB_AI* ai = vn->DibArray[0].AiPtr.get();
    ASSERT_NE(ai, nullptr);
    ai->TlpCtrlReg = 0xDEAD;  // set by the channel, not by the decoder
    ASSERT_EQ(Decode(b.bytes), 1);
    EXPECT_EQ(vn->DibArray[0].AiPtr.get(), ai);
    EXPECT_EQ(ai->TlpCtrlReg, 0xDEADu);
    InfoBuilder second;
    second.Dib(1, 6, 1, {0, 0, 0, 0, 1});
    ASSERT_EQ(Decode(second.bytes), 1);
    EXPECT_EQ(vn->DibArray[0].AiPtr.get(), ai);
    EXPECT_NE(vn->DibArray[0].AoPtr, nullptr);
    EXPECT_EQ(VnGetChannelType(vn.get(), 1), 6);
}
