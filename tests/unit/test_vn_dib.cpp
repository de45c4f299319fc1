// Decoding of info structures built by hand, one channel type at a time.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "test_support_log.h"
#include "vn_get_info.h"

namespace {

struct InfoBuilder {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(28, 0);
    InfoBuilder() {
        const char model[10] = {'Q', 'V', '-', '1', '0', '0', '0', 'X', 'Y', 'Z'};
        for (int i = 0; i < 10; ++i) bytes[6 + i] = static_cast<uint8_t>(model[i]);
        bytes[26] = 2;
        bytes[27] = 7;
    }
    InfoBuilder& Dib(uint8_t chl, uint8_t type, uint8_t info, std::vector<uint8_t> extra) {
        while (extra.size() % 4) extra.push_back(0);
        bytes.push_back(chl);
        bytes.push_back(type);
        bytes.push_back(static_cast<uint8_t>(1 + extra.size() / 4));
        bytes.push_back(info);
        bytes.insert(bytes.end(), extra.begin(), extra.end());
        ++bytes[24];
        return *this;
    }
};

struct Unit {
    std::unique_ptr<_VN_DEVICE> vn{new _VN_DEVICE{}};
    int Decode(const std::vector<uint8_t>& b, size_t length = SIZE_MAX) {
        return VnGetInfoDecode(vn.get(), b.data(), std::min(length, b.size()));
    }
};

}  // namespace

TEST(DibDecode, UnitHeaderAndTypeInfoBits) {
    LogCapture cap;
    InfoBuilder b;
    b.bytes[16] = 0xF9;  // mode 1, experiment, password, time sharing, MORA, external flash
    b.bytes[17] = 1;
    for (int i = 0; i < 6; ++i) b.bytes[18 + i] = static_cast<uint8_t>(0x10 + i);
    b.bytes[25] = 0x33;
    Unit u;
    ASSERT_EQ(u.Decode(b.bytes), 1);
    EXPECT_EQ(0, memcmp(u.vn->ModelName, "QV-1000XYZ", 10));
    EXPECT_EQ(u.vn->TypeInfo_Mode, 1);
    EXPECT_EQ(u.vn->TypeInfo_Experiment, 1);
    EXPECT_EQ(u.vn->TypeInfo_PasswordEnable, 1);
    EXPECT_EQ(u.vn->TypeInfo_TimeSharingEnable, 1);
    EXPECT_EQ(u.vn->TypeInfo_IsMORA, 1);
    EXPECT_EQ(u.vn->TypeInfo_WithExternalEEPROM, 1);
    EXPECT_EQ(u.vn->LinkStatus, 1);
    EXPECT_EQ(u.vn->ConnectedHostMac[5], 0x15);
    EXPECT_EQ(u.vn->DibLengthInDW, 0x33);
    EXPECT_EQ(u.vn->MajorVersion, 2);
    EXPECT_EQ(u.vn->MinorVersion, 7);
    EXPECT_EQ(u.vn->AvailableChls, 0);
    b.bytes[16] = 0x02;
    ASSERT_EQ(u.Decode(b.bytes), 1);
    EXPECT_EQ(u.vn->TypeInfo_Mode, 2);
    EXPECT_EQ(u.vn->TypeInfo_PasswordEnable, 0);
}

TEST(DibDecode, UartLayoutsByVersion) {
    LogCapture cap;
    InfoBuilder b;
    b.Dib(0, 0, 2, {})                                                           // control unit
        .Dib(1, 1, 0x18, {0x00, 0x04, 0x00, 0x08})                               // version byte with line bits
        .Dib(2, 1, 3, {0x00, 0x01, 0x00, 0x02, 0xFF, 0x1F})                      // caps from bytes 4, 5
        .Dib(3, 1, 5, {0x07, 0x08, 0x09, 0x00, 0x34, 0x12, 0x78, 0x56, 0x06, 0x10})  // clock triple
        .Dib(4, 1, 6, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});                      // unknown layout
    Unit u;
    ASSERT_EQ(u.Decode(b.bytes), 1);
    ASSERT_EQ(u.vn->AvailableChls, 5);
    EXPECT_EQ(u.vn->DibArray[0].CtU.Version, 2);
    // The record keeps the whole Info byte; line-type bits make it read as a layout above 5.
    const _DIB_UART& v0 = u.vn->DibArray[1].Uart;
    EXPECT_EQ(v0.Version, 0x18);
    EXPECT_EQ(v0.RS232Cap, 1);
    EXPECT_EQ(v0.TxBuffSize, 0u);
    const _DIB_UART& v3 = u.vn->DibArray[2].Uart;
    EXPECT_EQ(v3.TxBuffSize, 0x100u);
    EXPECT_EQ(v3.RxBuffSize, 0x200u);
    EXPECT_EQ(v3.RS232Cap + v3.RS422Cap + v3.RS485Cap + v3.AHDCCap + v3.CSCap + v3.RS422TerminationCtrlCap +
                  v3.RS485TerminationCtrlCap + v3.RIPowerIO5VCap,
              8);
    EXPECT_EQ(v3.RIPowerIO12VCap + v3.RIPowerIOCap + v3.DCDPowerIO5VCap + v3.DCDPowerIO12VCap + v3.DCDPowerIOCap, 5);
    EXPECT_EQ(v3.SystemBaseClockX, 0);
    const _DIB_UART& v5 = u.vn->DibArray[3].Uart;
    EXPECT_EQ(v5.SystemBaseClockX, 7);
    EXPECT_EQ(v5.ClockMultiplierM, 8);
    EXPECT_EQ(v5.ClockDivisorN, 9);
    EXPECT_EQ(v5.TxBuffSize, 0x1234u);
    EXPECT_EQ(v5.RxBuffSize, 0x5678u);
    EXPECT_EQ(v5.RS232Cap, 0);
    EXPECT_EQ(v5.RS422Cap, 1);
    EXPECT_EQ(v5.RS485Cap, 1);
    EXPECT_EQ(v5.DCDPowerIOCap, 1);
    EXPECT_EQ(v5.DCDPowerIO12VCap, 0);
    const _DIB_UART& v6 = u.vn->DibArray[4].Uart;
    EXPECT_EQ(v6.RS232Cap, 1);
    EXPECT_EQ(v6.RS422Cap, 0);
    EXPECT_EQ(v6.TxBuffSize, 0u);
    EXPECT_EQ(v6.RxBuffSize, 0u);
}

TEST(DibDecode, UartVersionsZeroAndOneAreRs232Only) {
    LogCapture cap;
    for (uint8_t version : {0, 1}) {
        InfoBuilder b;
        b.Dib(1, 1, version, {0x00, 0x04, 0x00, 0x08, 0xFE, 0xFF});
        Unit u;
        ASSERT_EQ(u.Decode(b.bytes), 1);
        const _DIB_UART& v = u.vn->DibArray[0].Uart;
        EXPECT_EQ(v.TxBuffSize, 0x400u);
        EXPECT_EQ(v.RxBuffSize, 0x800u);
        EXPECT_EQ(v.RS232Cap, 1);
        EXPECT_EQ(v.RS422Cap + v.RS485Cap + v.DCDPowerIOCap, 0);
    }
}

TEST(DibDecode, DioBanksAreLaidSideBySidePerChannel) {
    LogCapture cap;
    std::vector<uint8_t> dio = {3, 1, 0, 0, 0xA5, 0, 0, 0, 0x40, 0x42, 0x0F, 0x00,
                                0x07 | 0x20, 0x01, 0, 0,   // 8 I/Os, flash cap, rising edge
                                0x07 | 0xC0, 0xCE, 0, 0,   // 8 I/Os, both directions, configurable, both resistors
                                0x03 | 0x80, 0x02, 0, 0};  // 4 I/Os, output
    InfoBuilder b;
    b.Dib(5, 3, 2, dio).Dib(6, 3, 2, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x1F, 0, 0, 0});
    Unit u;
    ASSERT_EQ(u.Decode(b.bytes), 1);
    const _DIB_DIO* d = u.vn->DibArray[0].DioPtr.get();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->Version, 2);
    EXPECT_EQ(d->NumberOfBanks, 3);
    EXPECT_EQ(d->ShareSameDirectionCtrlCap, 1);
    EXPECT_EQ(d->SamplingClockScaleCap, 0xA5);
    EXPECT_EQ(d->SystemClockFreq, 1000000u);
    EXPECT_EQ(d->Bank[0].IoShiftBits, 0u);
    EXPECT_EQ(d->Bank[1].IoShiftBits, 8u);
    EXPECT_EQ(d->Bank[2].IoShiftBits, 16u);
    EXPECT_EQ(d->Bank[0].IoMask, 0x000000FFu);
    EXPECT_EQ(d->Bank[1].IoMask, 0x0000FF00u);
    EXPECT_EQ(d->Bank[2].IoMask, 0x000F0000u);
    EXPECT_EQ(d->Bank[0].WritingSettingsToFlashCap, 1);
    EXPECT_EQ(d->Bank[0].EdgeTriggerCap, 1);
    EXPECT_EQ(d->Bank[1].DirectionCap, 3);
    EXPECT_EQ(d->Bank[1].EdgeTriggerCap, 2);
    EXPECT_EQ(d->Bank[1].OutputPinConfigurationCap, 3);
    EXPECT_EQ(d->Bank[1].OutputPinResistorApplied, 3);
    EXPECT_EQ(d->Bank[2].DirectionCap, 2);
    EXPECT_EQ(d->Bank[2].NumberOfIOs, 4);
    EXPECT_EQ(d->Bank[2].BankIndex, 2);
    const _DIB_DIO* second = u.vn->DibArray[1].DioPtr.get();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Bank[0].NumberOfIOs, 32);
    EXPECT_EQ(second->Bank[0].IoShiftBits, 0u);  // a second channel starts again at bit 0
    EXPECT_EQ(second->Bank[0].IoMask, 0xFFFFFFFFu);
}

TEST(DibDecode, AnalogRecords) {
    LogCapture cap;
    InfoBuilder b;
    b.Dib(1, 5, 1, {0x00, 0x10, 0x00, 0x80, 4, 16, 3, 0x83, 0x40, 0x0D, 0x03, 0x00, 0xC4, 0x09, 0x00, 0x03})  // AI
        .Dib(2, 6, 1, {0x00, 0x02, 0, 0, 2, 12, 0x81, 0, 0x10, 0x27, 0, 0, 0xC4, 0x09, 0x00, 0x03})        // AO
        .Dib(3, 7, 1, {0x00, 0x01, 0, 0, 0x07, 0, 0, 0, 8, 24, 0x3F, 0x07, 1, 2, 3, 4, 0xC4, 0x09, 0, 3,
                       5, 0, 0, 1, 6, 0, 0, 1, 7, 0, 0, 1, 8, 0, 0, 1})                                    // UI
        .Dib(4, 8, 1, {2, 16, 3, 1, 0xC4, 0x09, 0, 3, 9, 0, 0, 1, 10, 0, 0, 1})                              // UO
        .Dib(5, 9, 1, {4, 2, 16, 0x82, 0xC4, 0x09, 0, 3})                                                    // BAO
        .Dib(6, 10, 1, {0x00, 0x20, 0x00, 0x80, 1, 3, 0, 0, 8, 24, 0x0F, 0x87, 0xC4, 0x09, 0x00, 0x03})   // MAI
        .Dib(7, 11, 1, {3, 16, 0, 0, 0x01, 0, 0, 0x02})                                                     // TPS
        .Dib(8, 128, 0, {1, 1, 0, 0, 'S', 'N', '1', 0, 'N', 'M', 0, 0})                                       // string
        .Dib(9, 2, 0, {0xAA, 0xBB, 0xCC, 0xDD})                                                              // parallel
        .Dib(10, 4, 0, {});                                                                                   // counter
    Unit u;
    ASSERT_EQ(u.Decode(b.bytes), 1);
    ASSERT_EQ(u.vn->AvailableChls, 10);
    const _DIB_AI* ai = u.vn->DibArray[0].AiPtr.get();
    ASSERT_NE(ai, nullptr);
    EXPECT_EQ(ai->FifoSize, 0x1000u);  // bit 31 cleared
    EXPECT_EQ(ai->FifoType, 1);
    EXPECT_EQ(ai->NumberOfInputPorts, 4);
    EXPECT_EQ(ai->Resolution, 16);
    EXPECT_EQ(ai->SupportInputTypes, 3);
    EXPECT_EQ(ai->SupportMaxProgramableGains, 0x83);
    EXPECT_EQ(ai->MaxSamplingRateCapability, 200000u);
    EXPECT_EQ(ai->Vref[0], 0xC4);
    EXPECT_EQ(ai->Port[3].PortIndex, 3);
    const _DIB_AO* ao = u.vn->DibArray[1].AoPtr.get();
    ASSERT_NE(ao, nullptr);
    EXPECT_EQ(ao->FifoSize, 0x200);
    EXPECT_EQ(ao->NumberOfOutputPorts, 2);
    EXPECT_EQ(ao->Resolution, 12);
    EXPECT_EQ(ao->SupportMaxProgramableGains, 0x81);
    EXPECT_EQ(ao->MaxUpdateingRateCapability, 10000u);
    const _DIB_UI* ui = u.vn->DibArray[2].UiPtr.get();
    ASSERT_NE(ui, nullptr);
    EXPECT_EQ(ui->FifoSize, 0x100);
    EXPECT_EQ(ui->ClockDividerWidth, 3);
    EXPECT_EQ(ui->NumberOfInputPorts, 8);
    EXPECT_EQ(ui->Resolution, 24);
    EXPECT_EQ(ui->SupportInputTypes, 0x3F);
    EXPECT_EQ(ui->MaxSamplingRateCapability, 0x04030201u);
    EXPECT_EQ(ui->VoltageCoef[0], 5);
    EXPECT_EQ(ui->CurrentCoef[0], 6);
    EXPECT_EQ(ui->ResistorCoefAlpha[0], 7);
    EXPECT_EQ(ui->ResistorCoefBeta[0], 8);
    const _DIB_UO* uo = u.vn->DibArray[3].UoPtr.get();
    ASSERT_NE(uo, nullptr);
    EXPECT_EQ(uo->NumberOfOutputPorts, 2);
    EXPECT_EQ(uo->SupportOutputTypes, 3);
    EXPECT_EQ(uo->VoltageCoef[0], 9);
    EXPECT_EQ(uo->CurrentCoef[0], 10);
    const _DIB_BAO* bao = u.vn->DibArray[4].BAoPtr.get();
    ASSERT_NE(bao, nullptr);
    EXPECT_EQ(bao->NumberOfOutputPorts, 4);
    EXPECT_EQ(bao->NumberOfAoGroups, 2);
    EXPECT_EQ(bao->SupportMaxProgramableGains, 0x82);
    const _DIB_MAI* mai = u.vn->DibArray[5].MAiPtr.get();
    ASSERT_NE(mai, nullptr);
    EXPECT_EQ(mai->FifoSize, 0x2000u);
    EXPECT_EQ(mai->FifoType, 1);
    EXPECT_EQ(mai->MAIType, 1);
    EXPECT_EQ(mai->SupportInputSource, 3);
    EXPECT_EQ(mai->NumberOfInputPorts, 8);
    EXPECT_EQ(mai->SupportMaxProgramableGains, 0x87);
    EXPECT_EQ(mai->Port[7].PortIndex, 7);
    const _DIB_TPS* tps = u.vn->DibArray[6].TpsPtr.get();
    ASSERT_NE(tps, nullptr);
    EXPECT_EQ(tps->NumberOfSensors, 3);
    EXPECT_EQ(tps->Resolution, 16);
    EXPECT_EQ(tps->LsbUnit[3], 0x02);
    // String, parallel: raw bytes only; counter: an empty record.
    EXPECT_EQ(u.vn->DibArray[7].ExtraData[4], 'S');
    EXPECT_EQ(u.vn->DibArray[8].ExtraData[0], 0xAA);
    EXPECT_EQ(u.vn->DibArray[8].DioPtr, nullptr);
    EXPECT_NE(u.vn->DibArray[9].CntPtr, nullptr);
    EXPECT_EQ(u.vn->DibArray[9].LengthInDW, 1);
    EXPECT_EQ(VnGetChannelType(u.vn.get(), 6), 10);
    EXPECT_EQ(VnGetChannelType(u.vn.get(), 8), 128);
    EXPECT_EQ(VnGetChannelType(u.vn.get(), 42), 0);  // absent reads like a control unit
    EXPECT_EQ(VnGetDibPointer(u.vn.get(), 42), nullptr);
    EXPECT_EQ(VnGetDibPointer(u.vn.get(), 9), &u.vn->DibArray[8]);
    EXPECT_EQ(cap.Text(), "");
}

TEST(DibDecode, RecordsAreReusedAcrossDecodesAndKeptWhenTypeChanges) {
    LogCapture cap;
    InfoBuilder first;
    first.Dib(1, 5, 1, {0, 0, 0, 0, 2});
    Unit u;
    ASSERT_EQ(u.Decode(first.bytes), 1);
    _DIB_AI* ai = u.vn->DibArray[0].AiPtr.get();
    ASSERT_NE(ai, nullptr);
    ai->TlpCtrlReg = 0xDEAD;  // set by the channel, not by the decoder
    ASSERT_EQ(u.Decode(first.bytes), 1);
    EXPECT_EQ(u.vn->DibArray[0].AiPtr.get(), ai);
    EXPECT_EQ(ai->TlpCtrlReg, 0xDEADu);
    InfoBuilder second;
    second.Dib(1, 6, 1, {0, 0, 0, 0, 1});
    ASSERT_EQ(u.Decode(second.bytes), 1);
    EXPECT_EQ(u.vn->DibArray[0].AiPtr.get(), ai);
    EXPECT_NE(u.vn->DibArray[0].AoPtr, nullptr);
    EXPECT_EQ(VnGetChannelType(u.vn.get(), 1), 6);
}

TEST(DibDecode, HostileStructuresStayInsideTheRecordAndTheFrame) {
    LogCapture cap;
    Unit u;
    // More than 64 DIBs announced and present: the table keeps 64.
    InfoBuilder many;
    for (int i = 0; i < 70; ++i) many.Dib(static_cast<uint8_t>(i), 1, 2, {0, 1, 0, 1, 1, 0});
    ASSERT_EQ(u.Decode(many.bytes), 1);
    EXPECT_EQ(u.vn->AvailableChls, 64);

    // A DIB longer than 33 words: 128 bytes kept, the next DIB still found behind it.
    InfoBuilder longDib;
    std::vector<uint8_t> big(40 * 4, 0x5A);
    longDib.Dib(1, 128, 0, big).Dib(2, 0, 1, {});
    ASSERT_EQ(u.Decode(longDib.bytes), 1);
    EXPECT_EQ(u.vn->AvailableChls, 2);
    EXPECT_EQ(u.vn->DibArray[0].ExtraData[127], 0x5A);
    EXPECT_EQ(u.vn->DibArray[1].ChlNumber, 2);
    EXPECT_NE(cap.Text().find("VN  (:00:00:00), get info thd, RX RESPONSE, extra data too small\n"), std::string::npos);

    // DIBs running past the received bytes: only the whole ones count.
    InfoBuilder cut;
    cut.Dib(1, 1, 2, {0, 1, 0, 1, 1, 0}).Dib(2, 1, 2, {0, 1, 0, 1, 1, 0});
    ASSERT_EQ(u.Decode(cut.bytes, cut.bytes.size() - 1), 1);
    EXPECT_EQ(u.vn->AvailableChls, 1);
    cut.bytes[24] = 200;  // announces far more than it carries
    ASSERT_EQ(u.Decode(cut.bytes), 1);
    EXPECT_EQ(u.vn->AvailableChls, 2);
    EXPECT_EQ(u.Decode(cut.bytes, 20), 1);  // shorter than the unit header: nothing changes
    EXPECT_EQ(u.vn->AvailableChls, 2);

    // Bank and port counts beyond the arrays.
    InfoBuilder counts;
    std::vector<uint8_t> dio(128, 0x1F);
    dio[0] = 200;
    counts.Dib(1, 3, 2, dio).Dib(2, 5, 1, {0, 0, 0, 0, 250}).Dib(3, 11, 1, {255});
    ASSERT_EQ(u.Decode(counts.bytes), 1);
    const _DIB_DIO* d = u.vn->DibArray[0].DioPtr.get();
    ASSERT_NE(d, nullptr);
    EXPECT_LE(d->NumberOfBanks, kDibMaxDioBanks);
    EXPECT_EQ(d->Bank[0].IoMask, 0xFFFFFFFFu);
    EXPECT_EQ(d->Bank[1].IoMask, 0u);  // past the 32 lines of the I/O word
    EXPECT_EQ(u.vn->DibArray[1].AiPtr->NumberOfInputPorts, kDibMaxPorts);
    EXPECT_EQ(u.vn->DibArray[2].TpsPtr->NumberOfSensors, kDibMaxPorts);
}
