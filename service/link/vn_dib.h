// Device Information Blocks: the per-channel descriptors a unit sends in its info structure,
// raw and decoded per channel type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

constexpr int kDibMaxExtraData = 128;
constexpr int kDibMaxDioBanks = 32;
constexpr int kDibMaxPorts = 16;

enum : uint8_t {
    DIB_TYPE_CTU = 0,
    DIB_TYPE_UART = 1,
    DIB_TYPE_PARALLEL = 2,
    DIB_TYPE_DIO = 3,
    DIB_TYPE_CNT = 4,
    DIB_TYPE_AI = 5,
    DIB_TYPE_AO = 6,
    DIB_TYPE_UI = 7,
    DIB_TYPE_UO = 8,
    DIB_TYPE_BAO = 9,
    DIB_TYPE_MAI = 10,
    DIB_TYPE_TPS = 11,
    DIB_TYPE_STRING = 128,
};

struct _DIB_CTU {
    uint8_t Version;
};
struct _DIB_PARALLEL {
    uint8_t Version;
};

struct _DIB_UART {
    uint8_t Version;
    uint32_t TxBuffSize;
    uint32_t RxBuffSize;
    uint8_t RS232Cap, RS422Cap, RS485Cap, AHDCCap, CSCap, RS422TerminationCtrlCap, RS485TerminationCtrlCap,
        RIPowerIO5VCap, RIPowerIO12VCap, RIPowerIOCap, DCDPowerIO5VCap, DCDPowerIO12VCap, DCDPowerIOCap;
    uint8_t SystemBaseClockX, ClockMultiplierM, ClockDivisorN;
    uint32_t Control0Reg, Control1Reg, StatusReg, FifoTriggerLevelReg, Control2Reg;
    int32_t TtyMinorNumber;  // -1: not mapped
};

struct _DIB_DIO_BANK {
    uint8_t BankIndex, Offset, NumberOfIOs, WritingSettingsToFlashCap, DirectionCap, EdgeTriggerCap,
        OutputPinConfigurationCap, OutputPinResistorApplied;
    uint32_t CtrlReg, IoShiftBits, IoMask, IoDirection;
};
struct _DIB_DIO {
    uint8_t Version, NumberOfBanks, ShareSameDirectionCtrlCap, SamplingClockScaleCap;
    uint32_t SystemClockFreq;
    uint32_t InputInvertEnableReg, DirectionCtrlReg, OutputInitialValueReg, OutputSafeValueReg,
        OutputSafeValueTimerReg, InputLatchRegPositiveEdgeR, InputLatchRegPositiveEdgeW, InputLatchRegNegativeEdgeR,
        InputLatchRegNegativeEdgeW, InputCounterIncrementCtrlRegPositiveEdge, InputCounterIncrementCtrlRegNegativeEdge;
    _DIB_DIO_BANK Bank[kDibMaxDioBanks];
};

struct _DIB_CNT {
    uint8_t Version;
};

struct _DIB_AI_PORT {
    uint8_t PortIndex, Offset;
    uint32_t SampleRateCtrlReg, SamplingCtrlReg, UpperTriggerValueReg, LowerTriggerValueReg, FifoTriggerLevelReg;
};
struct _DIB_AI {
    uint8_t Version;
    uint32_t FifoSize;
    uint8_t FifoType, NumberOfInputPorts, Resolution, SupportInputTypes, SupportMaxProgramableGains;
    uint32_t MaxSamplingRateCapability;
    uint8_t Vref[4];
    uint32_t TlpCtrlReg, ADCCalibrationReg, ADCCtrlReg;
    _DIB_AI_PORT Port[kDibMaxPorts];
};

struct _DIB_AO_PORT {
    uint8_t PortIndex;
    uint32_t UpdateRateCtrlReg, FifoCtrlReg, OutputCtrlReg;
};
struct _DIB_AO {
    uint8_t Version;
    uint16_t FifoSize;
    uint8_t NumberOfOutputPorts, Resolution, SupportMaxProgramableGains;
    uint32_t MaxUpdateingRateCapability;
    uint8_t Vref[4];
    uint32_t TlpCtrlReg, DACCalibrationReg, DACCtrlReg;
    _DIB_AO_PORT Port[kDibMaxPorts];
};

struct _DIB_UI_PORT {
    uint8_t PortIndex, Offset;
    uint32_t CtrlReg, UpperTriggerValueReg, LowerTriggerValueReg;
};
struct _DIB_UI {
    uint8_t Version;
    uint16_t FifoSize;
    uint8_t ClockDividerWidth, NumberOfInputPorts, Resolution, SupportInputTypes, SupportMaxProgramableGains;
    uint32_t MaxSamplingRateCapability;
    uint8_t Vref[4], VoltageCoef[4], CurrentCoef[4], ResistorCoefAlpha[4], ResistorCoefBeta[4];
    uint32_t TlpCtrlReg, ADCCalibrationReg, ADCCtrlReg, SampleRateCtrlReg;
    _DIB_UI_PORT Port[kDibMaxPorts];
};

struct _DIB_UO_PORT {
    uint8_t PortIndex, Offset;
    uint32_t CtrlReg, OutputCtrlReg;
};
struct _DIB_UO {
    uint8_t Version, NumberOfOutputPorts, Resolution, SupportOutputTypes, SupportMaxProgramableGains;
    uint8_t Vref[4], VoltageCoef[4], CurrentCoef[4];
    uint32_t TlpCtrlReg, DACCalibrationReg, DACCtrlReg;
    _DIB_UO_PORT Port[kDibMaxPorts];
};

struct _DIB_BAO_PORT {
    uint8_t PortIndex;
    uint32_t OutputCtrlReg;
};
struct _DIB_BAO {
    uint8_t Version, NumberOfOutputPorts, NumberOfAoGroups, Resolution, SupportMaxProgramableGains;
    uint8_t Vref[4];
    uint32_t TlpCtrlReg, DACCalibrationReg, DACCtrlReg, GroupCtrlReg;
    _DIB_BAO_PORT Port[kDibMaxPorts];
};

struct _DIB_MAI_PORT {
    uint8_t PortIndex, Offset;
    uint32_t CtrlReg, ADCCtrlReg, UpperTriggerValueReg, LowerTriggerValueReg;
};
struct _DIB_MAI {
    uint8_t Version;
    uint32_t FifoSize;
    uint8_t FifoType, MAIType, SupportInputSource, NumberOfInputPorts, Resolution, SupportInputTypes,
        SupportMaxProgramableGains;
    uint8_t Vref[4];
    uint32_t TlpCtrlReg, ADCCalibrationReg;
    _DIB_MAI_PORT Port[kDibMaxPorts];
};

struct _DIB_TPS_PORT {
    uint8_t PortIndex, Offset;
    uint32_t SensorReg;
};
struct _DIB_TPS {
    uint8_t Version, NumberOfSensors, Resolution;
    uint8_t LsbUnit[4];
    uint32_t TlpCtrlReg, ADCCalibrationReg;
    _DIB_TPS_PORT Port[kDibMaxPorts];
};

// One channel of a unit. The per-type records are owned by the slot: created by the first
// decode of that type in the slot, kept (and reused) across later decodes, freed with the
// unit record.
struct _DIB {
    uint8_t ChlNumber;
    uint8_t Type;
    uint8_t LengthInDW;
    uint8_t Info;
    uint8_t ExtraData[kDibMaxExtraData];
    _DIB_CTU CtU;
    _DIB_UART Uart;
    _DIB_PARALLEL ParallelPort;
    std::unique_ptr<_DIB_DIO> DioPtr;
    std::unique_ptr<_DIB_CNT> CntPtr;
    std::unique_ptr<_DIB_AI> AiPtr;
    std::unique_ptr<_DIB_AO> AoPtr;
    std::unique_ptr<_DIB_UI> UiPtr;
    std::unique_ptr<_DIB_UO> UoPtr;
    std::unique_ptr<_DIB_BAO> BAoPtr;
    std::unique_ptr<_DIB_MAI> MAiPtr;
    std::unique_ptr<_DIB_TPS> TpsPtr;
};
using PDIB = _DIB*;
