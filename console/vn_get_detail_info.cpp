#include "vn_get_detail_info.h"

#include <math.h>
#include <stdarg.h>
#include <string.h>

#include "mng_client.h"
#include "pem_console.h"
#include "qor_wire.h"

namespace {

constexpr int kViewLineWidth = 60;

void _Line(char c, int Width) {
    char line[128];
    if (Width > static_cast<int>(sizeof(line)) - 1) Width = static_cast<int>(sizeof(line)) - 1;
    memset(line, c, static_cast<size_t>(Width));
    line[Width] = '\0';
    PemPrintf("%s\n", line);
}

// One labelled line; every label ends in the same column.
void _Field(const char* pLabel, const char* pFormat, ...) __attribute__((format(printf, 2, 3)));
void _Field(const char* pLabel, const char* pFormat, ...) {
    PemPrintf(" %-38s: ", pLabel);
    va_list args;
    va_start(args, pFormat);
    vfprintf(PemOut, pFormat, args);
    va_end(args);
    PemPrintf("\n");
}

const char* _YesNo(int Flag) {
    return Flag ? "YES" : "NO";
}

// Extra data is always 128 bytes (zero beyond what arrived), so fixed offsets below 128 are safe.
uint32_t _Le16(const uint8_t* E, int i) {
    return qor::GetLe16(E + i);
}
uint32_t _Le32(const uint8_t* E, int i) {
    return qor::GetLe32(E + i);
}

// The unit's number form: a 24-bit little-endian mantissa at E[a] times 10 to the power -E[e].
double _Value(const uint8_t* E, int a, int e) {
    const uint32_t mantissa = static_cast<uint32_t>(E[a]) | (static_cast<uint32_t>(E[a + 1]) << 8) |
                              (static_cast<uint32_t>(E[a + 2]) << 16);
    return static_cast<double>(mantissa) * pow(10.0, -static_cast<double>(E[e]));
}

void _Raw(const char* pLabel, const uint8_t* E, int a) {
    _Field(pLabel, "x%02x x%02x x%02x x%02x", E[a], E[a + 1], E[a + 2], E[a + 3]);
}

// "Support max programable gain": bit 7 = settable per port; the bits below the divider flag
// (or below bit 7 without one) give the power of two; codes beyond MaxPower are unknown.
void _Gain(uint8_t Code, int MaxPower, uint8_t DividerFlag) {
    const bool individual = (Code & 0x80) != 0;
    const bool divider = DividerFlag != 0 && (Code & DividerFlag) != 0;
    const int power = Code & ~(0x80 | DividerFlag) & 0xFF;
    if (power > MaxPower) {
        _Field("Support max programable gain", "Unknow");
        return;
    }
    _Field("Support max programable gain", "%c%d, %s", divider ? '/' : 'x', 1 << power,
           individual ? "support individual" : "unsupport individual");
}

void _SamplingClockScale(uint8_t Cap) {
    static const char* const kScale[8] = {"System clock / 50",        "System clock / 100",
                                          "System clock / 2,500",     "System clock / 5,000",
                                          "System clock / 50,000",    "System clock / 100,000",
                                          "System clock / 2,500,000", "System clock / 5,000,000"};
    if (Cap == 0) {
        _Field("Sampling clock scale capability", "None");
        return;
    }
    bool first = true;
    for (int bit = 0; bit < 8; ++bit) {
        if (!(Cap & (1 << bit))) continue;
        if (first) {
            _Field("Sampling clock scale capability", "%s", kScale[bit]);
            first = false;
        } else {
            PemPrintf(" %-38s  %s\n", "", kScale[bit]);
        }
    }
}

const char* _ClockDividerWidth(int Code) {
    static const char* const kWidth[4] = {"8 bit", "16 bit", "24 bit", "32 bit"};
    return kWidth[Code & 3];
}

// The thirteen UART capability lines from the two capability bytes.
void _UartCapabilities(uint8_t C0, uint8_t C1) {
    static const char* const kCap[13] = {"RS232 capability",
                                         "RS422 capability",
                                         "RS485 capability",
                                         "AHDC capability",
                                         "CS capability",
                                         "RS422 termination control capability",
                                         "RS485 termination control capability",
                                         "RI power I/O 5V capability",
                                         "RI power I/O 12V capability",
                                         "RI power I/O capability",
                                         "DCD power I/O 5V capability",
                                         "DCD power I/O 12V capability",
                                         "DCD power I/O capability"};
    const unsigned bits = static_cast<unsigned>(C0) | (static_cast<unsigned>(C1 & 0x1F) << 8);
    for (int i = 0; i < 13; ++i) _Field(kCap[i], "%s", _YesNo(bits & (1u << i)));
}

// Bytes of a DIB's extra data that the announced length and the received bytes both cover.
size_t _ExtraLength(const _DIB_INFO* pDib) {
    const size_t announced = pDib->LengthInDW > 1 ? static_cast<size_t>(pDib->LengthInDW - 1) * 4 : 0;
    return announced < pDib->ExtraDataLength ? announced : pDib->ExtraDataLength;
}

// Text of Length extra-data bytes from Offset, bounded by what the DIB holds.
void _ExtraText(const _DIB_INFO* pDib, size_t Offset, size_t Length, char* pText, size_t TextSize) {
    const size_t have = pDib->ExtraDataLength;
    if (Offset >= have) {
        pText[0] = '\0';
        return;
    }
    if (Length > have - Offset) Length = have - Offset;
    PemSafeText(pDib->ExtraData + Offset, Length, pText, TextSize);
}

// ---- which layout versions a view shows, and one body per channel type ----

bool _UpToVersion1(int v) {
    return v <= 1;
}
bool _UpToVersion2(int v) {
    return v <= 2;
}
bool _Version0(int v) {
    return v == 0;
}
bool _AnyVersion(int) {
    return true;
}

void _ControlUnitBody(const _DIB_INFO* d, int v) {
    const uint8_t* E = d->ExtraData;
    char text[kVnExtraDataSize + 1];
    switch (v) {
        case 0:
            _ExtraText(d, 0, _ExtraLength(d), text, sizeof(text));
            _Field("Device name", "%s", text);
            return;
        case 1:
            _ExtraText(d, 0, 6, text, sizeof(text));
            _Field("Extension model name", "%s", text);
            return;
        case 2:
            _ExtraText(d, 4, 6, text, sizeof(text));
            _Field("Extension model name", "%s", text);
            _Field("Data pipe flow ctrl capability", "%s", _YesNo(E[0] & 1));
            return;
        default:
            return;
    }
}

void _UartBody(const _DIB_INFO* d, int v) {
    const uint8_t* E = d->ExtraData;
    switch (v) {
        case 0:
        case 1: {
            const int type = (d->Info >> 3) & 3;
            _Field("Type", "%s", type == 0 ? "RS232" : type == 1 ? "RS422/485" : "Unknow");
            _Field("Power I/O", "%s", _YesNo(d->Info & 0x20));
            _Field("Tx buff size", "%u", _Le16(E, 0));
            _Field("Rx buff size", "%u", _Le16(E, 2));
            return;
        }
        case 2:
        case 3:
        case 4:
            _Field("Tx buff size", "%u", _Le16(E, 0));
            _Field("Rx buff size", "%u", _Le16(E, 2));
            _UartCapabilities(E[4], E[5]);
            return;
        case 5:
            _Field("Tx buff size", "%u", _Le16(E, 4));
            _Field("Rx buff size", "%u", _Le16(E, 6));
            if (E[2] == 0) {
                // A unit reporting divisor 0 has no usable clock figure.
                _Field("Reference clock", "Unknow");
            } else {
                _Field("Reference clock", "%u", static_cast<unsigned>(E[0]) * E[1] / E[2]);
            }
            _UartCapabilities(E[8], E[9]);
            return;
        default:
            return;  // layouts 6 and 7 carry nothing to show
    }
}

void _ParallelBody(const _DIB_INFO*, int) {}

void _DioBody(const _DIB_INFO* d, int v) {
    const uint8_t* E = d->ExtraData;
    _Field("Number of bank", "%u", E[0]);
    if (v >= 1) _Field("Same bank IO share same direction ctrl", "%s", _YesNo(E[1] & 1));
    _SamplingClockScale(E[4]);
    _Field("System clock frequency", "%u", _Le32(E, 8));
    static const char* const kOutputPin[4] = {"Logic output only", "Open-drain output only",
                                              "Logic/Open-drain output configurable", "Unknow"};
    bool anyBank = false;
    for (int i = 0; i < E[0]; ++i) {
        const size_t a = 12 + 4 * static_cast<size_t>(i);
        if (a + 1 >= d->ExtraDataLength) break;  // only banks the unit actually sent
        const uint8_t A = E[a];
        const uint8_t B = E[a + 1];
        _Line('-', kViewLineWidth);
        anyBank = true;
        _Field("Bank index", "%d", i);
        _Field("Number of IOs", "%d", (A & 0x1F) + 1);
        _Field("Writing settings to flash capability", "%s", _YesNo(A & 0x20));
        _Field("Bank support input", "%s", _YesNo(A & 0x40));
        _Field("Bank support output", "%s", _YesNo(A & 0x80));
        _Field("Rising edge trigger capability", "%s", _YesNo(B & 0x01));
        _Field("Falling edge trigger capability", "%s", _YesNo(B & 0x02));
        _Field("Output pin configuration capability", "%s", kOutputPin[(B >> 2) & 3]);
        _Field("Output pin pull-up resistor applied", "%s", _YesNo(B & 0x40));
        _Field("Output pin pull-down resistor applied", "%s", _YesNo(B & 0x80));
    }
    if (anyBank) _Line('-', kViewLineWidth);
}

void _CounterBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    static const char* const kMode[6] = {"Counting once mode",
                                         "Counting repeatedly (PWD) mode",
                                         "Increment by ext. input (logic high)",
                                         "Increment by ext. input (logic low)",
                                         "Increment by ext. input (rising edge)",
                                         "Increment by ext. input (falling edge)"};
    _Field("Number of counter", "%u", E[0]);
    for (int bit = 0; bit < 6; ++bit) _Field(kMode[bit], "%s", _YesNo(E[1] & (1 << bit)));
    _SamplingClockScale(E[4]);
    _Field("System clock frequency", "%u", _Le32(E, 8));
}

void _FifoSizeAndType(const uint8_t* E) {
    _Field("Fifo size", "%u", _Le32(E, 0) & 0x7FFFFFFFu);
    _Field("Fifo type", "%s", (E[3] & 0x80) ? "Shared mode" : "Un-shared mode");
}

void _AiBody(const _DIB_INFO* d, int v) {
    const uint8_t* E = d->ExtraData;
    static const char* const kInput[4] = {"Unknow", "Unipolar", "Bipolar", "Unipolar/Bipolar"};
    _FifoSizeAndType(E);
    _Field("Number of input port", "%u", E[4]);
    _Field("Resolution", "%u", E[5]);
    _Field("Support input type", "%s", kInput[E[6] & 3]);
    if (v == 1) {
        _Field("Clock divider width", "%s", _ClockDividerWidth(E[6] >> 2));
        _Gain(E[7], 4, 0x40);
    } else {
        _Gain(E[7], 2, 0);
    }
    _Field("ADC max sampling rate (samples/sec)", "%u", _Le32(E, 8) & 0x7FFFFFFFu);
    _Field("ADC reference voltage (calculated)", "%.2f", _Value(E, 12, 15));
    _Raw("ADC reference voltage", E, 12);
}

void _AoBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    _Field("Fifo size", "%u", _Le16(E, 0));
    _Field("Number of output port", "%u", E[4]);
    _Field("Resolution", "%u", E[5]);
    _Gain(E[6], 1, 0);
    _Field("DAC max sampling rate (samples/sec)", "%u", _Le32(E, 8));
    _Field("DAC reference voltage (calculated)", "%.2f", _Value(E, 12, 15));
    _Raw("DAC reference voltage", E, 12);
}

// Concatenated names of the set bits, e.g. "Voltage,Current,".
void _TypeList(uint8_t Bits, const char* const* pNames, int Count, char* pText, size_t TextSize) {
    pText[0] = '\0';
    for (int i = 0; i < Count; ++i) {
        if (Bits & (1 << i)) strncat(pText, pNames[i], TextSize - strlen(pText) - 1);
    }
}

void _UiBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    static const char* const kInput[3] = {"Voltage,", "Current,", "Resistor,"};
    char types[64];
    _TypeList(E[10], kInput, 3, types, sizeof(types));
    _Field("Fifo size", "%u", _Le16(E, 0));
    _Field("Clock divider width", "%s", _ClockDividerWidth(E[4]));
    _Field("Number of input port", "%u", E[8]);
    _Field("Resolution", "%u", E[9]);
    _Field("Support input type", "%s", types);
    _Gain(E[11], 4, 0);
    _Field("ADC max sampling rate (samples/sec)", "%u", _Le32(E, 12));
    _Field("ADC reference voltage (calculated)", "%.2f", _Value(E, 16, 19));
    _Raw("ADC reference voltage", E, 16);
    _Raw("Voltage coefficient", E, 20);
    _Raw("Current coefficient", E, 24);
    _Raw("Resistor coefficient alpha", E, 28);
    _Raw("Resistor coefficient beta", E, 32);
}

void _UoBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    static const char* const kOutput[2] = {"Voltage,", "Current,"};
    char types[64];
    _TypeList(E[2], kOutput, 2, types, sizeof(types));
    _Field("Number of output port", "%u", E[0]);
    _Field("Resolution", "%u", E[1]);
    _Field("Support output type", "%s", types);
    _Gain(E[3], 4, 0);
    _Field("DAC reference voltage (calculated)", "%.2f", _Value(E, 4, 7));
    _Raw("DAC reference voltage", E, 4);
    _Raw("Voltage coefficient", E, 8);
    _Raw("Current coefficient", E, 12);
}

void _BipolarAoBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    _Field("Number of output port", "%u", E[0]);
    _Field("Number of AO groups", "%u", E[1]);
    _Field("Resolution", "%u", E[2]);
    _Gain(E[3], 4, 0);
    _Field("DAC reference voltage (calculated)", "%.2f", _Value(E, 4, 7));
    _Raw("DAC reference voltage", E, 4);
}

void _MultiFuncAiBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    static const char* const kSource[5] = {"Current,", "Resistor,", "RTD,", "Thermocouple,", "Thermistor,"};
    static const char* const kInput[8] = {"Unknow",
                                          "Unipolar",
                                          "Bipolar",
                                          "Bipolar/Unipolar",
                                          "Software Unipolar",
                                          "Software Unipolar/Unipolar",
                                          "Software Unipolar/Bipolar",
                                          "Software Unipolar/Bipolar/Unipolar"};
    char sources[96] = "Voltage,";
    char more[88];
    _TypeList(E[5], kSource, 5, more, sizeof(more));
    strncat(sources, more, sizeof(sources) - strlen(sources) - 1);
    _FifoSizeAndType(E);
    _Field("Multi-function AI type", "x%02x", E[4]);
    _Field("Support input source", "%s", sources);
    _Field("Number of input port", "%u", E[8]);
    _Field("Resolution", "%u", E[9]);
    _Field("Support input type", "%s", kInput[E[10] & 7]);
    _Gain(E[11], 7, 0x20);
    _Field("ADC max sampling rate (samples/sec)", "%d", 0);
    _Field("ADC reference voltage (calculated)", "%.2f", _Value(E, 12, 15));
}

void _TemperatureSensorBody(const _DIB_INFO* d, int) {
    const uint8_t* E = d->ExtraData;
    _Field("Number of temperature sensor", "%u", E[0]);
    _Field("Resolution", "%u", E[1]);
    _Field("LSB unit (calculated)", "%.6f", _Value(E, 4, 7));
    _Raw("LSB unit", E, 4);
}

void _StringBody(const _DIB_INFO* d, int) {
    const size_t A = d->ExtraData[0];
    const size_t B = d->ExtraData[1];
    char text[kVnExtraDataSize + 1];
    if (A > 0) {
        _ExtraText(d, 4, A * 4, text, sizeof(text));
        _Field("Serial number", "%s", text);
    }
    if (B > 0) {
        _ExtraText(d, (A + 1) * 4, B * 4, text, sizeof(text));
        _Field("Device name", "%s", text);
    }
}

// The frame shared by every channel view: clear, "=", then each shown channel followed by "=".
void _PrintView(const _VN_INFO* pInfo, uint8_t Type, const char* pNoneMessage, bool (*Shows)(int),
                void (*Body)(const _DIB_INFO*, int)) {
    const int count = pInfo->DibCount < kVnMaxDib ? pInfo->DibCount : kVnMaxDib;
    bool any = false;
    for (int i = 0; i < count; ++i) any = any || pInfo->DibInfo[i].Type == Type;
    if (!any) {
        PemPrintf("%s", pNoneMessage);
        return;
    }
    PemClearScreen();
    _Line('=', kViewLineWidth);
    for (int i = 0; i < count; ++i) {
        const _DIB_INFO* d = &pInfo->DibInfo[i];
        if (d->Type != Type) continue;
        const int v = VnDibVersion(d);
        if (!Shows(v)) continue;
        _Field("DIB channel", "%d", d->ChlNumber);
        _Field("Version", "x%02x", v);
        Body(d, v);
        _Line('=', kViewLineWidth);
    }
}

const char* _TypeWord(uint8_t Type) {
    switch (Type) {
        case 0:
            return "CONTROL UNIT";
        case 1:
            return "UART";
        case 2:
            return "PARALLEL";
        case 3:
            return "DIO";
        case 4:
            return "COUNTER";
        case 5:
            return "AI";
        case 6:
            return "AO";
        case 7:
            return "UI";
        case 8:
            return "UO";
        case 9:
            return "Bipolar AO";
        case 10:
            return "Multi-Function AI";
        case 11:
            return "Temperature Sensor";
        case 128:
            return "STRING";
        default:
            return nullptr;
    }
}

const char* _ModeName(int Mode) {
    switch (Mode) {
        case 0:
            return "DOCK";
        case 1:
            return "ADVANCE";
        case 2:
            return "IP";
        default:
            return "UNKNOW";
    }
}

void _PrintSubMenu(void) {
    PemPrintf(">>----------------------------------<<\n");
    PemPrintf("    A : update Varnel info\n");
    PemPrintf("    B : print Varnel info\n");
    PemPrintf("    C : print CONTROL UNIT info\n");
    PemPrintf("    D : print UART info\n");
    PemPrintf("    E : print PARALLEL info\n");
    PemPrintf("    F : print DIO info\n");
    PemPrintf("    G : print COUNTER info\n");
    PemPrintf("    H : print AI info\n");
    PemPrintf("    I : print AO info\n");
    PemPrintf("    J : print UI info\n");
    PemPrintf("    K : print UO info\n");
    PemPrintf("    L : print Bipolar AO info\n");
    PemPrintf("    M : print Multi-Function AI info\n");
    PemPrintf("    N : print Temperature Sensor info\n");
    PemPrintf("    O : print STRING info\n");
    PemPrintf("    Q : quit\n");
    PemPrintf(">>----------------------------------<<\n");
}

}  // namespace

int VnDibVersion(const _DIB_INFO* pDib) {
    return pDib->Type == 1 ? (pDib->Info & 7) : pDib->Info;
}

int VnInfoDecode(const uint8_t* p, size_t Length, _VN_INFO* pInfo) {
    memset(pInfo, 0, sizeof(*pInfo));
    if (Length < 36) return 0;
    memcpy(pInfo->Mac, p, 6);
    memcpy(pInfo->ModelName, p + 6, 10);
    pInfo->TypeInfo = p[16];
    pInfo->LinkStatus = p[17];
    memcpy(pInfo->ConnectedHostMac, p + 18, 6);
    pInfo->MappingStatus = p[24];
    pInfo->AvailableChls = p[25];
    pInfo->MajorVersion = p[26];
    pInfo->MinorVersion = p[27];
    pInfo->CtuTcpPort = qor::GetBe32(p + 28);
    pInfo->SioTcpPort = qor::GetBe32(p + 32);
    pInfo->TypeInfo_Mode = pInfo->TypeInfo & 7;
    pInfo->TypeInfo_Experiment = (pInfo->TypeInfo >> 3) & 1;
    pInfo->TypeInfo_PasswordEnable = (pInfo->TypeInfo >> 4) & 1;
    pInfo->TypeInfo_TimeSharingEnable = (pInfo->TypeInfo >> 5) & 1;
    pInfo->TypeInfo_IsMORA = (pInfo->TypeInfo >> 6) & 1;
    pInfo->TypeInfo_WithExternalEEPROM = (pInfo->TypeInfo >> 7) & 1;
    size_t pos = 36;
    for (int i = 0; i < pInfo->AvailableChls && i < kVnMaxDib; ++i) {
        if (Length - pos < 6) break;
        _DIB_INFO* d = &pInfo->DibInfo[i];
        d->ChlNumber = p[pos];
        d->Type = p[pos + 1];
        d->LengthInDW = p[pos + 2];
        d->Info = p[pos + 3];
        d->TtyMinorNumber = p[pos + 4];
        const size_t announced = p[pos + 5];
        pos += 6;
        const size_t available = Length - pos;
        size_t copy = announced < available ? announced : available;
        if (copy > static_cast<size_t>(kVnExtraDataSize)) copy = kVnExtraDataSize;
        memcpy(d->ExtraData, p + pos, copy);
        d->ExtraDataLength = static_cast<uint8_t>(copy);
        pInfo->DibCount = i + 1;
        if (announced > available) break;
        pos += announced;
    }
    return 1;
}

void _PrintVarnelInfo(const _VN_INFO* pInfo) {
    static const char kHeader[] = "        Mac         |  Link Status  | Mapping | Major V | Minor V | Chls";
    const int width = static_cast<int>(sizeof(kHeader)) - 1;
    char mac[18];
    char model[sizeof(pInfo->ModelName)];
    PemMacText(pInfo->Mac, mac);
    PemSafeText(pInfo->ModelName, 10, model, sizeof(model));
    PemClearScreen();
    _Line('-', width);
    PemPrintf("%s\n", kHeader);
    _Line('-', width);
    PemPrintf(" %s   ", mac);
    PemPrintf("   %s   ", pInfo->LinkStatus == 1 ? "CONNECTED " : "DISCONNECT");
    PemPrintf("   %s    ", pInfo->MappingStatus == 1 ? "YES" : "NO ");
    PemPrintf("   x%02x    ", pInfo->MajorVersion);
    PemPrintf("   x%02x    ", pInfo->MinorVersion);
    PemPrintf("  %02d\n", pInfo->AvailableChls);
    _Line('-', width);
    PemPrintf("  Mode Type           : %s\n", _ModeName(pInfo->TypeInfo_Mode));
    PemPrintf("  Model Name          : %s\n", model);
    PemPrintf("  Password Enable     : %s\n", pInfo->TypeInfo_PasswordEnable ? "TRUE" : "FALSE");
    PemPrintf("  With External FLASH : %s\n", pInfo->TypeInfo_WithExternalEEPROM ? "TRUE" : "FALSE");
    if (pInfo->LinkStatus == 1) {
        char host[18];
        PemMacText(pInfo->ConnectedHostMac, host);
        PemPrintf("  Connected Host MAC  : %s\n", host);
        PemPrintf("  CTU Tcp port        : %u\n", pInfo->CtuTcpPort);
        PemPrintf("  SIO Tcp port        : %u\n", pInfo->SioTcpPort);
    }
    static const char kChlHeader[] = " Chl | Version | Type";
    const int chlWidth = 40;
    _Line('-', chlWidth);
    PemPrintf("%s\n", kChlHeader);
    _Line('-', chlWidth);
    static const uint8_t kTypeOrder[13] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 128};
    const int count = pInfo->DibCount < kVnMaxDib ? pInfo->DibCount : kVnMaxDib;
    for (uint8_t type : kTypeOrder) {
        for (int i = 0; i < count; ++i) {
            const _DIB_INFO* d = &pInfo->DibInfo[i];
            if (d->Type != type) continue;
            PemPrintf(" %02d   ", d->ChlNumber);
            PemPrintf("   x%02x    ", VnDibVersion(d));
            PemPrintf("%s\n", _TypeWord(type));
        }
    }
    _Line('-', chlWidth);
}

void _PrintControlUnitInfo(const _VN_INFO* p) {
    _PrintView(p, 0, "\nd[#_#]b : No CONTROL UNIT channel.\n", _UpToVersion2, _ControlUnitBody);
}
void _PrintUartInfo(const _VN_INFO* p) {
    _PrintView(p, 1, "\nd[#_#]b : No UART channel.\n", _AnyVersion, _UartBody);
}
void _PrintParallelInfo(const _VN_INFO* p) {
    _PrintView(p, 2, "\nd[#_#]b : No PARALLEL channel.\n", _Version0, _ParallelBody);
}
void _PrintDioInfo(const _VN_INFO* p) {
    _PrintView(p, 3, "\nd[#_#]b : No DIO channel.\n", _UpToVersion2, _DioBody);
}
void _PrintCounterInfo(const _VN_INFO* p) {
    _PrintView(p, 4, "\nd[#_#]b : No COUNTER channel.\n", _Version0, _CounterBody);
}
void _PrintAiInfo(const _VN_INFO* p) {
    _PrintView(p, 5, "\nd[#_#]b : No AI channel.\n", _UpToVersion1, _AiBody);
}
void _PrintAoInfo(const _VN_INFO* p) {
    _PrintView(p, 6, "\nd[#_#]b : No AO channel.\n", _Version0, _AoBody);
}
void _PrintUiInfo(const _VN_INFO* p) {
    _PrintView(p, 7, "\nd[#_#]b : No UI channel.\n", _Version0, _UiBody);
}
void _PrintUoInfo(const _VN_INFO* p) {
    _PrintView(p, 8, "\nd[#_#]b : No UO channel.\n", _Version0, _UoBody);
}
void _PrintBipolarAoInfo(const _VN_INFO* p) {
    _PrintView(p, 9, "\nd[#_#]b : No Bipolar AO channel.\n", _Version0, _BipolarAoBody);
}
void _PrintMultiFuncAiInfo(const _VN_INFO* p) {
    _PrintView(p, 10, "\nd[#_#]b : No Multi-Function AI channel.\n", _Version0, _MultiFuncAiBody);
}
void _PrintTemperatureSensorInfo(const _VN_INFO* p) {
    _PrintView(p, 11, "\nd[#_#]b : No Temperature Sensor channel.\n", _Version0, _TemperatureSensorBody);
}
void _PrintVirtualInfo(const _VN_INFO* p) {
    _PrintView(p, 128, "\nd[#_#]b : No STRING channel.\n", _Version0, _StringBody);
}

int _UpdateVnInfo(_MNG_CLIENT* pClient, const uint8_t* pMac) {
    PemPrintf("\nd[#_#]b : Waitting ...");
    const int err = MngClientUpdateSpecificVnInfo(pClient, pMac);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(pClient, err, CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO, &r)) return 0;
    if (r.PayloadLength == 0) {
        PemPrintf("\nd[#_#]b : No extra data.\n");
        return 0;
    }
    // Decoded aside first: a record too short for its unit part keeps the old info.
    static _VN_INFO fresh;
    if (!VnInfoDecode(r.Payload, r.PayloadLength, &fresh)) {
        PemPrintf("\nd[#_#]b : Extra data length invalid.\n");
        return 0;
    }
    pClient->VnInfo = fresh;
    PemPrintf("\nd[#_#]b : Update VN info ok.\n");
    return 1;
}

void VnGetDetailInfo(_MNG_CLIENT* pClient) {
    uint8_t mac[6];
    if (!InputMacAddress(mac)) {
        PemPrintf("\nd[#_#]b : VN mac data invalid.\n");
        return;
    }
    if (!_UpdateVnInfo(pClient, mac)) return;
    PemClearScreen();
    _PrintSubMenu();
    for (;;) {
        PemPrintf("d[#_#]b >> CMD ? ");
        const int key = PemKeyRead();
        if (key < 0) {
            PemPrintf("\n");
            return;
        }
        const _VN_INFO* info = &pClient->VnInfo;
        switch (key) {
            case 'A':
            case 'a':
                _UpdateVnInfo(pClient, mac);
                break;
            case 'B':
            case 'b':
                _PrintVarnelInfo(info);
                break;
            case 'C':
            case 'c':
                _PrintControlUnitInfo(info);
                break;
            case 'D':
            case 'd':
                _PrintUartInfo(info);
                break;
            case 'E':
            case 'e':
                _PrintParallelInfo(info);
                break;
            case 'F':
            case 'f':
                _PrintDioInfo(info);
                break;
            case 'G':
            case 'g':
                _PrintCounterInfo(info);
                break;
            case 'H':
            case 'h':
                _PrintAiInfo(info);
                break;
            case 'I':
            case 'i':
                _PrintAoInfo(info);
                break;
            case 'J':
            case 'j':
                _PrintUiInfo(info);
                break;
            case 'K':
            case 'k':
                _PrintUoInfo(info);
                break;
            case 'L':
            case 'l':
                _PrintBipolarAoInfo(info);
                break;
            case 'M':
            case 'm':
                _PrintMultiFuncAiInfo(info);
                break;
            case 'N':
            case 'n':
                _PrintTemperatureSensorInfo(info);
                break;
            case 'O':
            case 'o':
                _PrintVirtualInfo(info);
                break;
            case '?':
                _PrintSubMenu();
                break;
            case 'Q':
            case 'q':
                PemPrintf("\n");
                return;
            default:
                PemPrintf("\n");
                break;
        }
    }
}
