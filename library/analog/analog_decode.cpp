#include "analog_decode.h"

#include <math.h>
#include <string.h>

namespace qorlib {

namespace {

uint32_t _Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
uint16_t _Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
template <typename T>
void _Put(uint8_t* p, T v) {
    memcpy(p, &v, sizeof(v));
}

size_t _Ports(uint8_t Announced, size_t Length, size_t Fixed, size_t Each, size_t Max) {
    size_t n = Announced;
    if (n > Max) n = Max;
    if (n > (Length - Fixed) / Each) n = (Length - Fixed) / Each;
    return n;
}

struct _Interval {
    uint8_t InputType, InputSelect;
    double Low, High;
};
// First match wins, in pair order.
constexpr _Interval kIntervals[] = {
    {0, 0, -0.1, 0.1}, {0, 0, -0.5, 0.5}, {0, 0, -1.0, 1.0}, {0, 1, -5.0, 5.0}, {0, 1, -10.0, 10.0},
    {1, 0, 0.0, 0.1},  {1, 0, 0.0, 0.5},  {1, 0, -1.0, 1.0}, {1, 1, -5.0, 5.0}, {1, 1, -10.0, 10.0},
};

bool _Converts(const _MAI_PORT_PARAMS& p) {
    return p.Mode == 0 && p.InputType <= 1;
}

}  // namespace

bool AiDecodeInfo(const uint8_t* p, size_t Length, uint8_t* r) {
    constexpr size_t kFixed = 18, kEach = 13;
    memset(r, 0, kAiInfoSize);
    if (Length < kFixed) return false;
    const size_t ports = _Ports(p[6], Length, kFixed, kEach, 32);
    r[0] = p[0];
    r[1] = static_cast<uint8_t>(ports);
    r[2] = p[7];
    r[3] = p[8];
    r[4] = p[9];
    _Put<uint32_t>(r + 8, _Be32(p + 10));
    _Put<uint32_t>(r + 12, _Be32(p + 14));
    for (size_t i = 0; i < ports; ++i) {
        const uint8_t* in = p + kFixed + kEach * i;
        uint8_t* out = r + 16 + 20 * i;
        out[0] = in[0];
        _Put<uint32_t>(out + 4, _Be32(in + 1));
        _Put<uint32_t>(out + 8, in[5]);
        out[12] = in[6];
        out[13] = in[7];
        _Put<uint16_t>(out + 14, _Be16(in + 8));
        _Put<uint16_t>(out + 16, _Be16(in + 10));
        out[18] = in[12];
    }
    return true;
}

bool AoDecodeInfo(const uint8_t* p, size_t Length, uint8_t* r) {
    constexpr size_t kFixed = 14, kEach = 7;
    memset(r, 0, kAoInfoSize);
    if (Length < kFixed) return false;
    const size_t ports = _Ports(p[3], Length, kFixed, kEach, 32);
    r[0] = p[0];
    r[1] = static_cast<uint8_t>(ports);
    r[2] = p[4];
    r[3] = p[5];
    _Put<uint32_t>(r + 4, _Be32(p + 6));
    _Put<uint32_t>(r + 8, _Be32(p + 10));
    for (size_t i = 0; i < ports; ++i) {
        const uint8_t* in = p + kFixed + kEach * i;
        uint8_t* out = r + 12 + 12 * i;
        out[0] = in[0];
        _Put<uint32_t>(out + 4, _Be32(in + 1));
        out[8] = in[5];
        out[9] = in[6];
    }
    return true;
}

double MaiDecodeVref(const uint8_t* b) {
    const uint32_t w = b[0] | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
                       static_cast<uint32_t>(b[3]) << 24;
    return static_cast<double>(w & 0xFFFFFF) * pow(10.0, -static_cast<double>(w >> 24));
}

bool MaiDecodeInfo(const uint8_t* p, size_t Length, uint8_t* r) {
    constexpr size_t kFixed = 16, kEach = 22;
    memset(r, 0, kMaiInfoSize);
    if (Length < kFixed) return false;
    const size_t ports = _Ports(p[8], Length, kFixed, kEach, kMaiPorts);
    const uint8_t maiType = p[6];
    r[0] = p[0];
    memcpy(r + 4, p + 1, 4);
    r[8] = p[5];
    r[9] = maiType;
    r[10] = p[7];
    r[11] = static_cast<uint8_t>(ports);
    r[12] = p[9];
    r[13] = p[10];
    r[14] = p[11] & 0x3F;
    _Put<double>(r + 16, MaiDecodeVref(p + 12));
    for (size_t i = 0; i < ports; ++i) {
        const uint8_t* in = p + kFixed + kEach * i;
        uint8_t* out = r + 24 + 32 * i;
        memcpy(out, in, 4);  // PortIndex, MAI mode, logging mode, trigger mode
        _Put<uint64_t>(out + 8, _Be32(in + 4));
        _Put<uint64_t>(out + 16, _Be32(in + 8));
        const uint8_t* adc = in + 12;
        if (maiType == 0 || maiType == 1) {
            const uint8_t* f = maiType == 0 ? adc : adc + 6;  // input type, select, pull-up / PGA, gain
            out[24] = f[0];
            out[25] = f[1];
            out[26] = f[2];
            out[27] = f[3];
        }
    }
    return true;
}

void MaiParamsFromRecord(const uint8_t* r, _MAI_PARAMS* m) {
    m->Resolution = r[12];
    memcpy(&m->Vref, r + 16, sizeof(double));
    for (int i = 0; i < kMaiPorts; ++i) {
        const uint8_t* e = r + 24 + 32 * i;
        m->Port[i] =
            i < r[11] ? _MAI_PORT_PARAMS{e[1], e[24], e[25], e[27]} : _MAI_PORT_PARAMS{0xFF, 0xFF, 0, 0};
    }
}

void MaiParamsSetCalibration(const _MAI_T1_CALIBRATION& t, _MAI_PARAMS* m) {
    for (int p = 0; p < kMaiPorts; ++p) {
        for (int i = 0; i < 12; ++i) {
            const int slot = VN_MAI_CAL_FIRST_SLOT + 12 * p + i;
            const bool have = p < VN_MAI_CAL_MAX_ROWS && static_cast<uint32_t>(p) < t.Rows;
            m->CalGain[p][i] = have ? t.Pair[slot].Raw : 0;
            m->CalOffset[p][i] = have ? t.Pair[slot].Value : 0.0f;
        }
    }
    m->CalibrationLoaded = true;
}

int MaiPairIndex(uint8_t InputType, uint8_t InputSelect, double Value) {
    for (int i = 0; i < static_cast<int>(sizeof(kIntervals) / sizeof(kIntervals[0])); ++i) {
        const _Interval& k = kIntervals[i];
        if (k.InputType == InputType && k.InputSelect == (InputSelect ? 1 : 0) && Value >= k.Low &&
            Value <= k.High) {
            return i;
        }
    }
    return -1;
}

bool MaiNeedsCalibration(const _MAI_PARAMS& m, int Port) {
    return Port >= 0 && Port < kMaiPorts && _Converts(m.Port[Port]);
}

unsigned int MaiValueToRaw(const _MAI_PARAMS& m, int Port, double x, int32_t* pRaw) {
    if (Port < 0 || Port >= kMaiPorts || !_Converts(m.Port[Port])) return MAI_ERR_INPUT_TYPE;
    const _MAI_PORT_PARAMS& p = m.Port[Port];
    if (m.Vref <= 0 || m.Resolution == 0 || m.Resolution > 32 || p.Gain > 7 || !isfinite(x))
        return MAI_ERR_INPUT_TYPE;
    double gain = 0, offset = 0;
    const int pair = MaiPairIndex(p.InputType, p.InputSelect, x);
    if (pair >= 0) {
        if (!m.CalibrationLoaded) return MAI_ERR_CALIBRATION;
        gain = m.CalGain[Port][pair];
        offset = m.CalOffset[Port][pair];
    }
    const double v = offset + gain / 1000000.0 * x;
    const double s = v * ldexp(1.0, m.Resolution - 1) * ldexp(1.0, p.Gain);
    double raw = trunc(s / (p.InputSelect == 1 ? 4 * m.Vref : m.Vref));
    // A value beyond the 32-bit code saturates rather than wrapping into a code of other sign.
    if (raw > INT32_MAX) raw = INT32_MAX;
    if (raw < INT32_MIN) raw = INT32_MIN;
    *pRaw = static_cast<int32_t>(raw);
    return 0;
}

double MaiSampleToValue(const _MAI_PARAMS& m, int Port, const uint8_t* s, size_t Width) {
    if (Port < 0 || Port >= kMaiPorts || !_Converts(m.Port[Port]) || (Width != 2 && Width != 3)) return NAN;
    const _MAI_PORT_PARAMS& p = m.Port[Port];
    uint32_t sample = s[0] | static_cast<uint32_t>(s[1]) << 8;
    if (Width == 3) sample |= static_cast<uint32_t>(s[2]) << 16;
    // The sign is the sample's top bit; a negative sample's magnitude is its ones' complement
    // over the sample's width.
    const uint32_t mask = Width == 3 ? 0xFFFFFF : 0xFFFF;
    const bool negative = sample >> (8 * Width - 1) & 1;
    const uint32_t magnitude = negative ? ~sample & mask : sample;
    if (m.Resolution == 0 || m.Resolution > 32 || p.Gain > 7) return NAN;
    const double divisor = trunc(ldexp(1.0, m.Resolution - 1) * ldexp(1.0, p.Gain));
    if (divisor < 1) return NAN;
    const double volts = magnitude * (p.InputSelect == 1 ? 4 * m.Vref : m.Vref) / divisor;
    const int pair = MaiPairIndex(p.InputType, p.InputSelect, negative ? -volts : volts);
    if (pair < 0 || !m.CalibrationLoaded || m.CalGain[Port][pair] == 0) return NAN;
    const double value = (volts - m.CalOffset[Port][pair]) / m.CalGain[Port][pair] * 1000000.0;
    return negative ? -value : value;
}

}  // namespace qorlib
