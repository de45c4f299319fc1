// The DIO family entry and its thirty command handlers, each run in a detached worker by the
// handler frame of sio_obj. Checks come in the order payload length, bank, version, value,
// class of lines; only then does the unit see a TLP. Every handler runs under the object's
// RegMutex and the unit's InfoLock (shared), so the cache it starts from is the one it leaves.
#include <stdio.h>
#include <string.h>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "sio_dio_obj.h"

namespace {

#define DIO_LOG(r, fmt, ...) \
    PemDbg(1, 1, "DIO (T:%d, C:%d), %s, " fmt, (r).Port, (r).Channel, (r).Word __VA_OPT__(, ) __VA_ARGS__)

// How a command uses its request and the register it works on.
enum class Kind {
    Info,
    State,     // get bank state
    GetReg,    // read a register, answer the bank's bits of a class
    SetReg,    // masked write of a register
    SetState,  // output write enable, then output
    GetDirection,
    SetDirection,
    GetCtrl,  // a field of the bank control register
    SetCtrl,
    GetTimer,
    SetTimer,
    CounterReset,
    LineCounter,
};
enum class Class { None, Input, Output, All };

struct _DIO_COMMAND {
    const char* Name;
    const char* Word;
    Kind What;
    uint8_t Size;  // request Length
    uint8_t Reg;
    Class Lines;
    uint8_t Field;  // GetCtrl/SetCtrl: 0 event mode, 1 clock, 2 pin config
};

const _DIO_COMMAND kCommands[kDioLastCommand] = {
    {"DIO_CMD_GET_INFO", "get info", Kind::Info, 0, 0, Class::None, 0},
    {"DIO_CMD_GET_BANK_STATE", "get bank state", Kind::State, 1, 0, Class::None, 0},
    {"DIO_CMD_GET_BANK_STATE_DELTA", "get bank state delta", Kind::GetReg, 1, DIO_REG_INPUT_DELTA,
     Class::Input, 0},
    {"DIO_CMD_GET_BANK_INPUT_INVERT_ENABLE", "get bank input invert enable", Kind::GetReg, 1,
     DIO_REG_INPUT_INVERT_ENABLE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_INPUT_INVERT_ENABLE", "set bank input invert enable", Kind::SetReg, 5,
     DIO_REG_INPUT_INVERT_ENABLE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_STATE", "set bank state", Kind::SetState, 5, DIO_REG_OUTPUT, Class::Output, 0},
    {"DIO_CMD_GET_BANK_DIRECTION", "get bank direction", Kind::GetDirection, 1, DIO_REG_DIRECTION_CTRL,
     Class::All, 0},
    {"DIO_CMD_SET_BANK_DIRECTION", "set bank direction", Kind::SetDirection, 5, DIO_REG_DIRECTION_CTRL,
     Class::All, 0},
    {"DIO_CMD_GET_BANK_INPUT_EVENT_MODE", "get bank input event mode", Kind::GetCtrl, 1, 0, Class::None, 0},
    {"DIO_CMD_SET_BANK_INPUT_EVENT_MODE", "set bank input event mode", Kind::SetCtrl, 2, 0, Class::Input, 0},
    {"DIO_CMD_GET_BANK_SAMPLING_CLOCK", "get bank sampling clock", Kind::GetCtrl, 1, 0, Class::None, 1},
    {"DIO_CMD_SET_BANK_SAMPLING_CLOCK", "set bank sampling clock", Kind::SetCtrl, 2, 0, Class::None, 1},
    {"DIO_CMD_GET_BANK_OUTPUT_PIN_CONFIG", "get bank output pin config", Kind::GetCtrl, 1, 0, Class::None, 2},
    {"DIO_CMD_SET_BANK_OUTPUT_PIN_CONFIG", "set bank output pin config", Kind::SetCtrl, 2, 0, Class::Output,
     2},
    {"DIO_CMD_GET_BANK_OUTPUT_INITIAL_VALUE", "get bank output initial value", Kind::GetReg, 1,
     DIO_REG_OUTPUT_INITIAL_VALUE, Class::Output, 0},
    {"DIO_CMD_SET_BANK_OUTPUT_INITIAL_VALUE", "set bank output initial value", Kind::SetReg, 5,
     DIO_REG_OUTPUT_INITIAL_VALUE, Class::Output, 0},
    {"DIO_CMD_GET_BANK_OUTPUT_SAFE_VALUE", "get bank output safe value", Kind::GetReg, 1,
     DIO_REG_OUTPUT_SAFE_VALUE, Class::Output, 0},
    {"DIO_CMD_SET_BANK_OUTPUT_SAFE_VALUE", "set bank output safe value", Kind::SetReg, 5,
     DIO_REG_OUTPUT_SAFE_VALUE, Class::Output, 0},
    {"DIO_CMD_GET_OUTPUT_SAFE_VALUE_TIMER", "get output safe value timer", Kind::GetTimer, 0,
     DIO_REG_OUTPUT_SAFE_VALUE_TIMER, Class::None, 0},
    {"DIO_CMD_SET_OUTPUT_SAFE_VALUE_TIMER", "set output safe value timer", Kind::SetTimer, 2,
     DIO_REG_OUTPUT_SAFE_VALUE_TIMER, Class::None, 0},
    {"DIO_CMD_GET_BANK_INPUT_LATCH_RISING_EDGE", "get bank input latch rising edge", Kind::GetReg, 1,
     DIO_REG_INPUT_LATCH_POSITIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_INPUT_LATCH_RISING_EDGE", "set bank input latch rising edge", Kind::SetReg, 5,
     DIO_REG_INPUT_LATCH_POSITIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_GET_BANK_INPUT_LATCH_FALLING_EDGE", "get bank input latch falling edge", Kind::GetReg, 1,
     DIO_REG_INPUT_LATCH_NEGATIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_INPUT_LATCH_FALLING_EDGE", "set bank input latch falling edge", Kind::SetReg, 5,
     DIO_REG_INPUT_LATCH_NEGATIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_INPUT_COUNTER_RESET", "set bank input counter reset", Kind::CounterReset, 5,
     DIO_REG_INPUT_COUNTER_RESET, Class::Input, 0},
    {"DIO_CMD_GET_BANK_INPUT_COUNTER_INC_RISING_EDGE", "get bank input counter inc rising edge", Kind::GetReg,
     1, DIO_REG_INPUT_COUNTER_INC_POSITIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_INPUT_COUNTER_INC_RISING_EDGE", "set bank input counter inc rising edge", Kind::SetReg,
     5, DIO_REG_INPUT_COUNTER_INC_POSITIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_GET_BANK_INPUT_COUNTER_INC_FALLING_EDGE", "get bank input counter inc falling edge",
     Kind::GetReg, 1, DIO_REG_INPUT_COUNTER_INC_NEGATIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_SET_BANK_INPUT_COUNTER_INC_FALLING_EDGE", "set bank input counter inc falling edge",
     Kind::SetReg, 5, DIO_REG_INPUT_COUNTER_INC_NEGATIVE_EDGE, Class::Input, 0},
    {"DIO_CMD_GET_BANK_IO_INPUT_COUNTER_VALUE", "get bank io input counter value", Kind::LineCounter, 2, 0,
     Class::Input, 0},
};

// Bank-relative values and register bits; a bank past the 32 lines of the I/O word has none.
uint32_t _Up(uint32_t v, uint32_t shift) {
    return shift < 32 ? v << shift : 0;
}
uint32_t _Down(uint32_t v, uint32_t shift) {
    return shift < 32 ? v >> shift : 0;
}

bool _Whole(const _DIB_DIO& d) {
    return d.ShareSameDirectionCtrlCap == 1;
}
bool _WholeOutput(const _DIB_DIO_BANK& b) {
    return b.IoShiftBits < 32 && ((b.IoDirection >> b.IoShiftBits) & 1) != 0;
}
bool _HasOutputs(const _DIB_DIO& d, const _DIB_DIO_BANK& b) {
    if (b.IoMask == 0) return false;
    return _Whole(d) ? _WholeOutput(b) : (b.IoMask & b.IoDirection) != 0;
}
bool _HasInputs(const _DIB_DIO& d, const _DIB_DIO_BANK& b) {
    if (b.IoMask == 0) return false;
    return _Whole(d) ? !_WholeOutput(b) : (b.IoMask & ~b.IoDirection) != 0;
}
uint32_t _ClassMask(Class c, const _DIB_DIO_BANK& b) {
    switch (c) {
        case Class::Input:
            return ~b.IoDirection;
        case Class::Output:
            return b.IoDirection;
        default:
            return 0xFFFFFFFFu;
    }
}
const char* _Mode(const _DIB_DIO& d, const _DIB_DIO_BANK& b) {
    return !_Whole(d) ? "INDIVIDUAL" : _WholeOutput(b) ? "WHOLE (output)" : "WHOLE (input)";
}

// The cache field of a register, or null (input state, delta, counters, write-only registers).
// Latches: the last value read; the last written is WriteCopy's.
uint32_t* _ReadCopy(_DIB_DIO& d, uint8_t reg) {
    switch (reg) {
        case DIO_REG_INPUT_INVERT_ENABLE:
            return &d.InputInvertEnableReg;
        case DIO_REG_DIRECTION_CTRL:
            return &d.DirectionCtrlReg;
        case DIO_REG_OUTPUT_INITIAL_VALUE:
            return &d.OutputInitialValueReg;
        case DIO_REG_OUTPUT_SAFE_VALUE:
            return &d.OutputSafeValueReg;
        case DIO_REG_OUTPUT_SAFE_VALUE_TIMER:
            return &d.OutputSafeValueTimerReg;
        case DIO_REG_INPUT_LATCH_POSITIVE_EDGE:
            return &d.InputLatchRegPositiveEdgeR;
        case DIO_REG_INPUT_LATCH_NEGATIVE_EDGE:
            return &d.InputLatchRegNegativeEdgeR;
        case DIO_REG_INPUT_COUNTER_INC_POSITIVE_EDGE:
            return &d.InputCounterIncrementCtrlRegPositiveEdge;
        case DIO_REG_INPUT_COUNTER_INC_NEGATIVE_EDGE:
            return &d.InputCounterIncrementCtrlRegNegativeEdge;
        default:
            return nullptr;
    }
}
uint32_t* _WriteCopy(_DIB_DIO& d, uint8_t reg) {
    if (reg == DIO_REG_INPUT_LATCH_POSITIVE_EDGE) return &d.InputLatchRegPositiveEdgeW;
    if (reg == DIO_REG_INPUT_LATCH_NEGATIVE_EDGE) return &d.InputLatchRegNegativeEdgeW;
    return _ReadCopy(d, reg);
}

struct _Ctx {
    const _SIO_REQUEST& R;
    _DIB_DIO& D;
    char Prefix[40];
};

uint16_t _ReadStatus(const _Ctx& c, DioResult res, const char* Mode) {
    const char* sep = Mode ? ", " : "";
    const char* mode = Mode ? Mode : "";
    switch (res) {
        case DIO_OK:
            return SIO_STATUS_SUCCESS;
        case DIO_TX_FAIL:
            DIO_LOG(c.R, "%s%stx cmd fail\n", mode, sep);
            return SIO_STATUS_TX_CMD_FAIL;
        case DIO_TIMEOUT:
            DIO_LOG(c.R, "%s%srx response wait timeout\n", mode, sep);
            return SIO_STATUS_RX_RESPONSE_TIMEOUT;
        case DIO_NO_DATA:
            DIO_LOG(c.R, "%s%srx response no data\n", mode, sep);
            return SIO_STATUS_RX_RESPONSE_WITH_NO_DATA;
        default:  // reported by the answer check
            return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
}

// Reads one register word.
uint16_t _Read(const _Ctx& c, uint8_t reg, uint32_t* pValue, const char* Mode = nullptr,
               uint8_t Aolbe = 0x1F) {
    char name[80];
    snprintf(name, sizeof(name), "get %s", SioDioRegName(reg));
    return _ReadStatus(c, SioDioCmdRead(c.R.Obj, reg, 1, Aolbe, c.Prefix, name, pValue), Mode);
}

uint16_t _Write(const _Ctx& c, uint8_t reg, uint32_t value, const char* Mode, int Step = 0) {
    if (SioDioCmdWrite(c.R.Obj, reg, value)) return SIO_STATUS_SUCCESS;
    if (Step)
        DIO_LOG(c.R, "%s, tx cmd fail, %d\n", Mode, Step);
    else
        DIO_LOG(c.R, "%s, tx cmd fail\n", Mode);
    return SIO_STATUS_TX_CMD_FAIL;
}

uint16_t _NeedLines(const _Ctx& c, Class k, const _DIB_DIO_BANK& b) {
    if (k == Class::Input && !_HasInputs(c.D, b)) {
        DIO_LOG(c.R, "%s, no input io\n", _Mode(c.D, b));
        return DIO_STATUS_NO_INPUT_LINES;
    }
    if (k == Class::Output && !_HasOutputs(c.D, b)) {
        DIO_LOG(c.R, "%s, no output io\n", _Mode(c.D, b));
        return DIO_STATUS_NO_OUTPUT_LINES;
    }
    return SIO_STATUS_SUCCESS;
}

// IoDirection of every bank from the cached direction register (INDIVIDUAL) or the bank's
// control register (WHOLE).
void _ComputeDirections(_DIB_DIO& d) {
    for (int i = 0; i < d.NumberOfBanks && i < kDibMaxDioBanks; ++i) {
        _DIB_DIO_BANK& b = d.Bank[i];
        b.IoDirection = _Whole(d) ? ((b.CtrlReg >> 13) & 1 ? b.IoMask : 0) : d.DirectionCtrlReg & b.IoMask;
    }
}

void _PutBe32(_SIO_REPLY* p, uint32_t v) {
    qor::PutBe32(p->Data + p->Length, v);
    p->Length += 4;
}
void _PutByte(_SIO_REPLY* p, uint8_t v) {
    p->Data[p->Length++] = v;
}

uint32_t _CtrlField(uint32_t ctrl, uint8_t field) {
    switch (field) {
        case 0:
            return ctrl & 0xFF;
        case 1:
            return (ctrl >> 8) & 0x0F;
        default:
            return (ctrl >> 12) & 1;
    }
}
uint32_t _CtrlWith(uint32_t ctrl, uint8_t field, uint32_t v) {
    switch (field) {
        case 0:
            return (ctrl & ~0xFFu) | (v & 0xFF);
        case 1:
            return (ctrl & ~0xF00u) | ((v & 0x0F) << 8);
        default:
            return (ctrl & ~0x1000u) | ((v & 1) << 12);
    }
}

// The value checks of a control-field set; 0 when the value may be written.
uint16_t _CheckCtrlValue(const _Ctx& c, const _DIB_DIO_BANK& b, uint8_t field, uint8_t v) {
    switch (field) {
        case 0:
            if (v >= 4) {
                DIO_LOG(c.R, "EventMode invalid (Mode:x%02x)\n", v);
                return SIO_STATUS_DATA_INVALID;
            }
            return SIO_STATUS_SUCCESS;
        case 1:
            if (v > 8) {
                DIO_LOG(c.R, "Clock invalid (Clock:x%02x)\n", v);
                return SIO_STATUS_DATA_INVALID;
            }
            if (v != 0 && ((c.D.SamplingClockScaleCap >> (v - 1)) & 1) == 0) {
                DIO_LOG(c.R, "Clock not support (Clock:x%02x)\n", v);
                return SIO_STATUS_DATA_INVALID;
            }
            return SIO_STATUS_SUCCESS;
        default:
            if (v > 1) {
                DIO_LOG(c.R, "invalid config (Config:x%02x)\n", v);
                return SIO_STATUS_DATA_INVALID;
            }
            if (b.OutputPinConfigurationCap != 2) {
                DIO_LOG(c.R, "don't support config, OutputPinConfigurationCap:x%02x\n",
                        b.OutputPinConfigurationCap);
                return SIO_STATUS_DATA_INVALID;
            }
            return SIO_STATUS_SUCCESS;
    }
}

// Reads the controller info block and every bank control register into the cache.
uint16_t _ReadControllerAndBanks(const _Ctx& c) {
    _DIB_DIO& d = c.D;
    const bool v2 = d.Version == 2;
    const uint8_t words = v2 ? kDioInfoWordsV2 : kDioInfoWordsV0V1;
    uint32_t w[kDioInfoWordsV2] = {};
    const DioResult r = SioDioCmdRead(c.R.Obj, DIO_REG_INPUT_INVERT_ENABLE, words, 0x1F, c.Prefix,
                                      v2 ? "get controller info V2" : "get controller info V0V1", w);
    const uint16_t s = _ReadStatus(c, r, v2 ? "V2" : "V0V1");
    if (s != SIO_STATUS_SUCCESS) return s;
    d.InputInvertEnableReg = w[0];
    d.DirectionCtrlReg = w[3];
    d.OutputInitialValueReg = v2 ? w[4] : 0;
    d.OutputSafeValueReg = v2 ? w[5] : 0;
    d.OutputSafeValueTimerReg = v2 ? w[6] : 0;
    d.InputLatchRegPositiveEdgeR = v2 ? w[7] : 0;
    d.InputLatchRegNegativeEdgeR = v2 ? w[8] : 0;
    d.InputLatchRegPositiveEdgeW = 0;
    d.InputLatchRegNegativeEdgeW = 0;
    d.InputCounterIncrementCtrlRegPositiveEdge = v2 ? w[10] : 0;
    d.InputCounterIncrementCtrlRegNegativeEdge = v2 ? w[11] : 0;
    for (int i = 0; i < d.NumberOfBanks && i < kDibMaxDioBanks; ++i) {
        _DIB_DIO_BANK& b = d.Bank[i];
        b.Offset = static_cast<uint8_t>(DIO_REG_BANK_CTRL_FIRST + i);
        uint32_t ctrl = 0;
        const uint16_t bs = _Read(c, b.Offset, &ctrl, "bank");
        if (bs != SIO_STATUS_SUCCESS) return bs;
        b.CtrlReg = ctrl;
    }
    _ComputeDirections(d);
    return SIO_STATUS_SUCCESS;
}

uint16_t _GetInfo(const _Ctx& c, _SIO_REPLY* p) {
    _DIB_DIO& d = c.D;
    if (d.Version > 2) {
        DIO_LOG(c.R, "unsupport version:x%02x\n", d.Version);
        return SIO_STATUS_CONTROLLER_VERSION_UNSUPPORT;
    }
    const uint16_t s = _ReadControllerAndBanks(c);
    if (s != SIO_STATUS_SUCCESS) return s;
    p->Length = 0;
    _PutByte(p, d.Version);
    _PutByte(p, d.NumberOfBanks);
    _PutByte(p, d.ShareSameDirectionCtrlCap);
    _PutByte(p, d.SamplingClockScaleCap);
    _PutBe32(p, d.SystemClockFreq);
    for (int i = 0; i < d.NumberOfBanks && i < kDibMaxDioBanks; ++i) {
        const _DIB_DIO_BANK& b = d.Bank[i];
        _PutByte(p, b.BankIndex);
        _PutByte(p, b.NumberOfIOs);
        _PutByte(p, b.WritingSettingsToFlashCap);
        _PutByte(p, b.DirectionCap);
        _PutByte(p, b.EdgeTriggerCap);
        _PutByte(p, b.OutputPinConfigurationCap);
        _PutByte(p, b.OutputPinResistorApplied);
        _PutBe32(p, _Down(b.IoDirection, b.IoShiftBits));
        _PutBe32(p, _Down(d.InputInvertEnableReg & b.IoMask, b.IoShiftBits));
        _PutByte(p, static_cast<uint8_t>(_CtrlField(b.CtrlReg, 0)));
        _PutByte(p, static_cast<uint8_t>(_CtrlField(b.CtrlReg, 1)));
        _PutByte(p, static_cast<uint8_t>(_CtrlField(b.CtrlReg, 2)));
    }
    return SIO_STATUS_SUCCESS;
}

uint16_t _Timer(const _Ctx& c, const _DIO_COMMAND& q, _SIO_REPLY* p) {
    _DIB_DIO& d = c.D;
    if (q.What == Kind::GetTimer) {
        uint32_t v = 0;
        const uint16_t s = _Read(c, q.Reg, &v);
        if (s != SIO_STATUS_SUCCESS) return s;
        d.OutputSafeValueTimerReg = v;
        _PutByte(p, static_cast<uint8_t>(v >> 31));
        _PutByte(p, static_cast<uint8_t>(v));
        return SIO_STATUS_SUCCESS;
    }
    const uint8_t enable = c.R.Payload[0], timer = c.R.Payload[1];
    if (enable > 1) {
        DIO_LOG(c.R, "invalid OutputSafeValueTimerSetting:x%02x\n", enable);
        return SIO_STATUS_DATA_INVALID;
    }
    const uint32_t v = (static_cast<uint32_t>(enable) << 31) | timer;
    const uint16_t s = _Write(c, q.Reg, v, "timer");
    if (s == SIO_STATUS_SUCCESS) d.OutputSafeValueTimerReg = v;
    return s;
}

uint16_t _SetDirection(const _Ctx& c, _DIB_DIO_BANK& b, uint32_t V) {
    _DIB_DIO& d = c.D;
    const uint32_t want = _Up(V, b.IoShiftBits) & b.IoMask;
    switch (b.DirectionCap) {
        case 1:
            if (want != 0) {
                DIO_LOG(c.R, "%s, bank is input only, DirectionCap:x%02x\n", _Mode(d, b), b.DirectionCap);
                return DIO_STATUS_INPUT_ONLY;
            }
            break;
        case 2:
            if (want != b.IoMask) {
                DIO_LOG(c.R, "%s, bank is output only, DirectionCap:x%02x\n", _Mode(d, b), b.DirectionCap);
                return DIO_STATUS_OUTPUT_ONLY;
            }
            break;
        case 3:
            break;
        default:
            DIO_LOG(c.R, "%s, invalid DirectionCap:x%02x\n", _Mode(d, b), b.DirectionCap);
            return DIO_STATUS_DIRECTION_CAP_INVALID;
    }
    if (!_Whole(d)) {
        const uint32_t reg = (d.DirectionCtrlReg & ~b.IoMask) | want;
        const uint16_t s = _Write(c, DIO_REG_DIRECTION_CTRL, reg, "INDIVIDUAL");
        if (s != SIO_STATUS_SUCCESS) return s;
        d.DirectionCtrlReg = reg;
        b.IoDirection = b.IoMask & reg;
        return SIO_STATUS_SUCCESS;
    }
    if (want != 0 && want != b.IoMask) {
        DIO_LOG(c.R, "WHOLE, direction bits not all equal (Direction:x%08x)\n", V);
        return DIO_STATUS_WHOLE_DIRECTION_MIXED;
    }
    const bool output = b.IoMask != 0 && want == b.IoMask;
    const uint32_t ctrl = output ? b.CtrlReg | (1u << 13) : b.CtrlReg & ~(1u << 13);
    const uint16_t s = _Write(c, b.Offset, ctrl, output ? "WHOLE (output)" : "WHOLE (input)");
    if (s != SIO_STATUS_SUCCESS) return s;
    b.CtrlReg = ctrl;
    b.IoDirection = output ? b.IoMask : 0;
    return SIO_STATUS_SUCCESS;
}

uint16_t _BankCommand(const _Ctx& c, const _DIO_COMMAND& q, _DIB_DIO_BANK& b, _SIO_REPLY* p) {
    _DIB_DIO& d = c.D;
    const uint8_t* in = c.R.Payload;
    const uint32_t V = q.Size == 5 ? qor::GetBe32(in + 1) : 0;
    const char* mode = _Mode(d, b);
    switch (q.What) {
        case Kind::State: {
            uint32_t input = 0, output = 0;
            const bool whole = _Whole(d);
            if (!whole || !_WholeOutput(b)) {
                const uint16_t s = _Read(c, DIO_REG_INPUT, &input, mode);
                if (s != SIO_STATUS_SUCCESS) return s;
            }
            if (!whole || _WholeOutput(b)) {
                const uint16_t s = _Read(c, DIO_REG_OUTPUT, &output, mode);
                if (s != SIO_STATUS_SUCCESS) return s;
            }
            const uint32_t v = ((input & ~b.IoDirection) | (output & b.IoDirection)) & b.IoMask;
            _PutBe32(p, _Down(v, b.IoShiftBits));
            return SIO_STATUS_SUCCESS;
        }
        case Kind::GetReg: {
            uint16_t s = _NeedLines(c, q.Lines, b);
            if (s != SIO_STATUS_SUCCESS) return s;
            uint32_t v = 0;
            s = _Read(c, q.Reg, &v, mode);
            if (s != SIO_STATUS_SUCCESS) return s;
            if (uint32_t* copy = _ReadCopy(d, q.Reg)) *copy = v;
            _PutBe32(p, _Down(v & b.IoMask & _ClassMask(q.Lines, b), b.IoShiftBits));
            return SIO_STATUS_SUCCESS;
        }
        case Kind::SetReg: {
            const uint16_t s = _NeedLines(c, q.Lines, b);
            if (s != SIO_STATUS_SUCCESS) return s;
            uint32_t* copy = _WriteCopy(d, q.Reg);
            const uint32_t bits = _Up(V, b.IoShiftBits) & b.IoMask & _ClassMask(q.Lines, b);
            const uint32_t reg = (*copy & ~b.IoMask) | bits;
            const uint16_t w = _Write(c, q.Reg, reg, mode);
            if (w == SIO_STATUS_SUCCESS) *copy = reg;
            return w;
        }
        case Kind::SetState: {
            const uint16_t s = _NeedLines(c, Class::Output, b);
            if (s != SIO_STATUS_SUCCESS) return s;
            const uint32_t enable = _Whole(d) ? b.IoMask : b.IoDirection;
            const uint32_t out = _Up(V, b.IoShiftBits) & enable;
            if (_Write(c, DIO_REG_OUTPUT_WRITE_ENABLE, enable, mode, 1) != SIO_STATUS_SUCCESS)
                return SIO_STATUS_TX_CMD_FAIL;
            if (_Write(c, DIO_REG_OUTPUT, out, mode, 2) != SIO_STATUS_SUCCESS) return SIO_STATUS_TX_CMD_FAIL;
            if (DbgSioIpcProtocol) DIO_LOG(c.R, "%s, 3, OutputReg:x%08x\n", mode, out);
            return SIO_STATUS_SUCCESS;
        }
        case Kind::GetDirection: {
            uint32_t v = 0;
            if (_Whole(d)) {
                const uint16_t s = _Read(c, b.Offset, &v, mode);
                if (s != SIO_STATUS_SUCCESS) return s;
                b.CtrlReg = v;
            } else {
                const uint16_t s = _Read(c, DIO_REG_DIRECTION_CTRL, &v, mode);
                if (s != SIO_STATUS_SUCCESS) return s;
                d.DirectionCtrlReg = v;
            }
            _ComputeDirections(d);
            _PutBe32(p, _Down(b.IoDirection, b.IoShiftBits));
            return SIO_STATUS_SUCCESS;
        }
        case Kind::SetDirection:
            return _SetDirection(c, b, V);
        case Kind::GetCtrl: {
            uint32_t v = 0;
            const uint16_t s = _Read(c, b.Offset, &v, mode);
            if (s != SIO_STATUS_SUCCESS) return s;
            b.CtrlReg = v;
            if (_Whole(d)) _ComputeDirections(d);
            _PutByte(p, static_cast<uint8_t>(_CtrlField(v, q.Field)));
            return SIO_STATUS_SUCCESS;
        }
        case Kind::SetCtrl: {
            const uint8_t v = in[1];
            uint16_t s = _CheckCtrlValue(c, b, q.Field, v);
            if (s != SIO_STATUS_SUCCESS) return s;
            s = _NeedLines(c, q.Lines, b);
            if (s != SIO_STATUS_SUCCESS) return s;
            const uint32_t ctrl = _CtrlWith(b.CtrlReg, q.Field, v);
            s = _Write(c, b.Offset, ctrl, mode);
            if (s == SIO_STATUS_SUCCESS) b.CtrlReg = ctrl;
            return s;
        }
        case Kind::CounterReset: {
            const uint16_t s = _NeedLines(c, Class::Input, b);
            if (s != SIO_STATUS_SUCCESS) return s;
            return _Write(c, q.Reg, _Up(V, b.IoShiftBits) & b.IoMask & ~b.IoDirection, mode);
        }
        case Kind::LineCounter: {
            const uint8_t line = in[1];
            const uint32_t n = b.IoShiftBits + line;
            if (line >= b.NumberOfIOs || n >= kDioLines) {
                DIO_LOG(c.R, "can't get bank io (I:x%02x, IO:x%02x)\n", b.BankIndex, line);
                return DIO_STATUS_NO_LINE;
            }
            if (((~b.IoDirection >> n) & 1) == 0) {
                DIO_LOG(c.R, "%s, no input io\n", mode);
                return DIO_STATUS_NO_INPUT_LINES;
            }
            uint32_t v = 0;
            const uint16_t s =
                _Read(c, static_cast<uint8_t>(DIO_REG_INPUT_COUNTER_FIRST + n), &v, mode, 0x0F);
            if (s != SIO_STATUS_SUCCESS) return s;
            _PutByte(p, line);
            _PutBe32(p, v);
            return SIO_STATUS_SUCCESS;
        }
        default:
            return SIO_STATUS_DATA_INVALID;
    }
}

uint16_t _Handle(const _SIO_REQUEST& r, _SIO_REPLY* p) {
    const _DIO_COMMAND& q = kCommands[r.Code - 1];
    const bool bankCommand = q.What != Kind::Info && q.What != Kind::GetTimer && q.What != Kind::SetTimer;
    // A bank command's response starts with B, also on failure.
    if (bankCommand && r.Avail >= 1 && r.Length >= 1) {
        p->Data[0] = r.Payload[0];
        p->Length = 1;
        p->FailLength = 1;
    }
    qor::ReadLock info(&r.Obj->VnPtr->InfoLock);
    qor::MutexLock reg(&r.Obj->RegMutex);
    _DIB_DIO* d = r.Obj->DibPtr->DioPtr.get();
    if (!d) {
        DIO_LOG(r, "can't get DIB\n");
        return SIO_STATUS_OBJECT_NOT_FOUND;
    }
    if (r.Length != q.Size || r.Length > r.Avail) {
        DIO_LOG(r, "invalid data length\n");
        return SIO_STATUS_LENGTH_INVALID;
    }
    _Ctx c{r, *d, {}};
    snprintf(c.Prefix, sizeof(c.Prefix), "DIO (T:%d, C:%d), ", r.Port, r.Channel);
    if (q.What == Kind::Info) return _GetInfo(c, p);
    if (bankCommand && (r.Payload[0] >= d->NumberOfBanks || r.Payload[0] >= kDibMaxDioBanks)) {
        DIO_LOG(r, "can't get bank (I:x%02x)\n", r.Payload[0]);
        return DIO_STATUS_NO_BANK;
    }
    if (r.Code >= DIO_CMD_GET_BANK_OUTPUT_INITIAL_VALUE && d->Version < 2) {
        DIO_LOG(r, "unsupport version:x%02x\n", d->Version);
        return SIO_STATUS_CONTROLLER_VERSION_UNSUPPORT;
    }
    if (!bankCommand) return _Timer(c, q, p);
    return _BankCommand(c, q, d->Bank[r.Payload[0]], p);
}

}  // namespace

int SioDioObjReadControllerAndBanks(PSIO_OBJ pObj, const char* Prefix) {
    _DIB_DIO* d = pObj->DibPtr->DioPtr.get();
    if (!d || d->Version > 2) return 0;
    const _SIO_REQUEST r = {pObj, 0, pObj->DibChlNumber, 0, "get controller & bank info", 0, nullptr, 0};
    qor::MutexLock reg(&pObj->RegMutex);
    _Ctx c{r, *d, {}};
    snprintf(c.Prefix, sizeof(c.Prefix), "%s", Prefix);
    return _ReadControllerAndBanks(c) == SIO_STATUS_SUCCESS ? 1 : 0;
}

const char* SioDioCommandWord(uint16_t Code) {
    return Code >= 1 && Code <= kDioLastCommand ? kCommands[Code - 1].Word : nullptr;
}

const char* SioDioCodeName(uint16_t Code) {
    static const char* const kResponses[kDioLastCommand] = {
        "DIO_RESPONSE_GET_INFO",
        "DIO_RESPONSE_GET_BANK_STATE",
        "DIO_RESPONSE_GET_BANK_STATE_DELTA",
        "DIO_RESPONSE_GET_BANK_INPUT_INVERT_ENABLE",
        "DIO_RESPONSE_SET_BANK_INPUT_INVERT_ENABLE",
        "DIO_RESPONSE_SET_BANK_STATE",
        "DIO_RESPONSE_GET_BANK_DIRECTION",
        "DIO_RESPONSE_SET_BANK_DIRECTION",
        "DIO_RESPONSE_GET_BANK_INPUT_EVENT_MODE",
        "DIO_RESPONSE_SET_BANK_INPUT_EVENT_MODE",
        "DIO_RESPONSE_GET_BANK_SAMPLING_CLOCK",
        "DIO_RESPONSE_SET_BANK_SAMPLING_CLOCK",
        "DIO_RESPONSE_GET_BANK_OUTPUT_PIN_CONFIG",
        "DIO_RESPONSE_SET_BANK_OUTPUT_PIN_CONFIG",
        "DIO_RESPONSE_GET_BANK_OUTPUT_INITIAL_VALUE",
        "DIO_RESPONSE_SET_BANK_OUTPUT_INITIAL_VALUE",
        "DIO_RESPONSE_GET_BANK_OUTPUT_SAFE_VALUE",
        "DIO_RESPONSE_SET_BANK_OUTPUT_SAFE_VALUE",
        "DIO_RESPONSE_GET_OUTPUT_SAFE_VALUE_TIMER",
        "DIO_RESPONSE_SET_OUTPUT_SAFE_VALUE_TIMER",
        "DIO_RESPONSE_GET_BANK_INPUT_LATCH_RISING_EDGE",
        "DIO_RESPONSE_SET_BANK_INPUT_LATCH_RISING_EDGE",
        "DIO_RESPONSE_GET_BANK_INPUT_LATCH_FALLING_EDGE",
        "DIO_RESPONSE_SET_BANK_INPUT_LATCH_FALLING_EDGE",
        "DIO_RESPONSE_SET_BANK_INPUT_COUNTER_RESET",
        "DIO_RESPONSE_GET_BANK_INPUT_COUNTER_INC_RISING_EDGE",
        "DIO_RESPONSE_SET_BANK_INPUT_COUNTER_INC_RISING_EDGE",
        "DIO_RESPONSE_GET_BANK_INPUT_COUNTER_INC_FALLING_EDGE",
        "DIO_RESPONSE_SET_BANK_INPUT_COUNTER_INC_FALLING_EDGE",
        "DIO_RESPONSE_GET_BANK_IO_INPUT_COUNTER_VALUE",
    };
    if (Code >= 1 && Code <= kDioLastCommand) return kCommands[Code - 1].Name;
    if (Code > kSioResponseBit && Code <= kSioResponseBit + kDioLastCommand)
        return kResponses[Code - kSioResponseBit - 1];
    if (Code == DIO_EVENT_BANK_INPUT_DELTA_AND_VALUE) return "DIO_EVENT_BANK_INPUT_DELTA_AND_VALUE";
    return "UNKNOW";
}

void SioDioHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    pReply->Length = 0;
    pReply->FailLength = 0;
    pReply->Status = _Handle(Req, pReply);
}

void SioDioHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioDioFamily, pClient, pMessage, Length);
}
