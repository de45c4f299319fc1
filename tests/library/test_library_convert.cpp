// The library's pure decoders and MAI conversions, without a lab: info records from response
// bytes, Vref, the calibration interval table at its edges, value to raw code and samples of
// both widths with their signs.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include "analog_decode.h"
#include "dio_decode.h"

namespace qorlib {
namespace {

// A 24-bit channel, Vref 2.5, port 0 of input type 0, select 0, k 0, pair 0 = (1 000 000, 0).
_MAI_PARAMS Params(uint8_t InputType = 0, uint8_t Select = 0, uint8_t Gain = 0, uint8_t Resolution = 24) {
    _MAI_PARAMS m;
    m.Resolution = Resolution;
    m.Vref = 2.5;
    m.Port[0] = {0, InputType, Select, Gain};
    m.CalibrationLoaded = true;
    for (int i = 0; i < 12; ++i) m.CalGain[0][i] = 1000000;
    return m;
}

TEST(LibConvert, PairIntervalsFirstMatchAndTheirEdges) {
    struct Case {
        uint8_t Type, Select;
        double Value;
        int Pair;
    };
    const Case cases[] = {
        {0, 0, 0.1, 0}, {0, 0, -0.1, 0},    {0, 0, 0.1001, 1}, {0, 0, 0.5, 1},   {0, 0, -0.5001, 2},
        {0, 0, 1.0, 2}, {0, 0, 1.0001, -1}, {0, 1, 5.0, 3},    {0, 1, -10.0, 4}, {0, 1, 10.5, -1},
        {1, 0, 0.0, 5}, {1, 0, 0.1, 5},     {1, 0, 0.5, 6},    {1, 0, -0.01, 7}, {1, 0, -1.5, -1},
        {1, 1, 5.0, 8}, {1, 1, 5.01, 9},    {1, 1, 20.0, -1},  {2, 0, 0.0, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MaiPairIndex(c.Type, c.Select, c.Value), c.Pair)
            << int(c.Type) << "/" << int(c.Select) << " " << c.Value;
    }
}

TEST(LibConvert, ValueToRawAndItsRefusals) {
    struct Case {
        const char* What;
        _MAI_PARAMS Params;
        double Value;
        unsigned int Result;
        int32_t Raw;
    };
    _MAI_PARAMS offset = Params();
    offset.CalGain[0][0] = 2000000;
    offset.CalOffset[0][0] = 0.01f;
    _MAI_PARAMS noTable = Params();
    noTable.CalibrationLoaded = false;
    _MAI_PARAMS otherMode = Params();
    otherMode.Port[0].Mode = 1;
    const Case cases[] = {
        {"the worked example", Params(), 0.05, 0, 167772},
        {"negative truncates toward zero", Params(), -0.05, 0, -167772},
        {"gain k = 3 multiplies by 8", Params(0, 0, 3), 0.05, 0, 1342177},
        {"select 1 divides by 4 x Vref", Params(0, 1), 5.0, 0, 4194304},
        {"16-bit resolution", Params(0, 0, 0, 16), 0.05, 0, 655},
        {"gain and offset of the pair", offset, 0.05, 0, 369098},
        {"outside every interval: gain 0, offset 0", Params(0, 1), 20.0, 0, 0},
        {"outside every interval needs no table",
         [] {
             _MAI_PARAMS m = Params(0, 1);
             m.CalibrationLoaded = false;
             return m;
         }(),
         20.0, 0, 0},
        {"a pair without the table", noTable, 0.05, MAI_ERR_CALIBRATION, 0},
        {"input type 2", Params(2), 0.05, MAI_ERR_INPUT_TYPE, 0},
        {"MAI mode other than 0", otherMode, 0.05, MAI_ERR_INPUT_TYPE, 0},
        {"NaN", Params(), NAN, MAI_ERR_INPUT_TYPE, 0},
    };
    for (const Case& c : cases) {
        int32_t raw = 0;
        EXPECT_EQ(MaiValueToRaw(c.Params, 0, c.Value, &raw), c.Result) << c.What;
        EXPECT_EQ(raw, c.Raw) << c.What;
    }
    int32_t raw = 0;
    EXPECT_EQ(MaiValueToRaw(Params(), 16, 0.05, &raw), MAI_ERR_INPUT_TYPE);
    EXPECT_EQ(MaiValueToRaw(Params(), -1, 0.05, &raw), MAI_ERR_INPUT_TYPE);
}

TEST(LibConvert, SamplesOfBothWidthsWithTheirSigns) {
    struct Case {
        const char* What;
        _MAI_PARAMS Params;
        uint8_t Bytes[3];
        size_t Width;
        double Value;  // NaN: no value
    };
    const double lsb24 = 2.5 / 8388608.0, lsb16 = 2.5 / 32768.0;
    const Case cases[] = {
        {"24-bit 0xFFFFFF: negative, magnitude 0", Params(), {0xFF, 0xFF, 0xFF}, 3, -0.0},
        {"24-bit 0x028F5C", Params(), {0x5C, 0x8F, 0x02}, 3, 167772 * lsb24},
        {"24-bit 0xFD70A3: ones' complement of 0x028F5C", Params(), {0xA3, 0x70, 0xFD}, 3, -167772 * lsb24},
        {"24-bit full scale positive", Params(0, 1), {0xFF, 0xFF, 0x7F}, 3, 0x7FFFFF * 10.0 / 8388608.0},
        {"16-bit 0x0100", Params(0, 0, 0, 16), {0x00, 0x01, 0}, 2, 256 * lsb16},
        {"16-bit 0xFEFF: negative 0x0100", Params(0, 0, 0, 16), {0xFF, 0xFE, 0}, 2, -256 * lsb16},
        {"16-bit 0xFFFF: negative, magnitude 0", Params(0, 0, 0, 16), {0xFF, 0xFF, 0}, 2, -0.0},
        {"gain k = 1 halves", Params(0, 0, 1), {0x5C, 0x8F, 0x02}, 3, 167772 * lsb24 / 2},
        {"beyond every interval", Params(1, 0), {0xFF, 0xFF, 0x7F}, 3, NAN},
        {"input type 2", Params(2), {1, 0, 0}, 3, NAN},
        {"width 4", Params(), {1, 0, 0}, 4, NAN},
    };
    for (const Case& c : cases) {
        const double v = MaiSampleToValue(c.Params, 0, c.Bytes, c.Width);
        if (isnan(c.Value)) {
            EXPECT_TRUE(isnan(v)) << c.What << ": " << v;
        } else {
            EXPECT_NEAR(v, c.Value, 1e-9) << c.What;
            EXPECT_EQ(signbit(v), signbit(c.Value)) << c.What;
        }
    }
    _MAI_PARAMS withOffset = Params();
    withOffset.CalGain[0][0] = 500000;
    withOffset.CalOffset[0][0] = 0.01f;
    const uint8_t s[3] = {0x5C, 0x8F, 0x02};
    EXPECT_NEAR(MaiSampleToValue(withOffset, 0, s, 3), (167772 * lsb24 - 0.01f) * 2, 1e-9);
}

// Records are filled in host order; a writer past one is the fuzzer's to catch.
TEST(LibConvert, InfoRecordsFromResponseBytes) {
    auto u32 = [](const uint8_t* p) {
        uint32_t w = 0;
        memcpy(&w, p, 4);
        return w;
    };
    const uint8_t vref[4] = {0xC4, 0x09, 0x00, 0x03};
    EXPECT_DOUBLE_EQ(MaiDecodeVref(vref), 2.5);

    // MAI type 1, two ports announced and one whole in the response.
    uint8_t mai[16 + 22] = {2, 0x00, 0x10, 0, 0, 0, 1, 3, 2, 24, 3, 0xC7, 0xC4, 0x09, 0x00, 0x03};
    const uint8_t port[22] = {0, 0, 1, 2, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 1, 1, 1, 3};
    memcpy(mai + 16, port, sizeof(port));
    uint8_t r[kMaiInfoSize];
    ASSERT_TRUE(MaiDecodeInfo(mai, sizeof(mai), r));
    // The ports that arrived whole, resolution, programmable gains AND 0x3F; then port 0 of
    // type 1: input type, select and gain from the last four ADC bytes.
    EXPECT_EQ(std::vector<uint8_t>({r[11], r[12], r[14], r[24 + 2], r[24 + 24], r[24 + 25], r[24 + 27]}),
              std::vector<uint8_t>({1, 24, 0x07, 1, 1, 1, 3}));
    double v = 0;
    memcpy(&v, r + 16, 8);
    EXPECT_DOUBLE_EQ(v, 2.5);
    EXPECT_FALSE(MaiDecodeInfo(mai, 15, r));

    // DIO: 40 banks announced, two whole in the response; numbers big-endian to host order.
    uint8_t dio[8 + 2 * 18 + 5] = {2, 40, 0, 5, 0x01, 0x02, 0x03, 0x04};
    for (int b = 0; b < 2; ++b) {
        uint8_t* e = dio + 8 + 18 * b;
        e[0] = static_cast<uint8_t>(b);
        e[1] = 8;
        e[10] = 0xFF;  // direction 0x000000FF
        e[17] = 1;     // pin config
    }
    uint8_t d[648];
    memset(d, 0x5A, sizeof(d));
    ASSERT_TRUE(DioDecodeInfo(dio, sizeof(dio), d));
    EXPECT_EQ(std::make_tuple(d[1], u32(d + 4), u32(d + 8 + 20 + 8), d[8 + 20 + 18]),
              std::make_tuple(uint8_t{2}, 0x01020304u, 0xFFu, uint8_t{1}));
    EXPECT_EQ(d[8 + 40], 0);  // bank 2 did not arrive

    // AI and AO: the fixed part only.
    uint8_t ai[18] = {1, 0, 0, 0x08, 0, 0, 4, 16, 3, 2, 0, 1, 0x86, 0xA0, 0xC4, 0x09, 0x00, 0x03};
    uint8_t a[kAiInfoSize];
    ASSERT_TRUE(AiDecodeInfo(ai, sizeof(ai), a));
    // No port arrived; the rate and the raw Vref word.
    EXPECT_EQ(std::make_tuple(a[1], u32(a + 8), u32(a + 12)),
              std::make_tuple(uint8_t{0}, 100000u, 0xC4090003u));
    uint8_t ao[14 + 7] = {1, 0, 0, 1, 12, 1, 0, 0, 0x03, 0xE8, 0xC4, 0x09, 0x00, 0x03, 0, 0, 0, 0, 9, 7, 2};
    uint8_t o[kAoInfoSize];
    ASSERT_TRUE(AoDecodeInfo(ao, sizeof(ao), o));
    EXPECT_EQ(std::make_tuple(o[1], u32(o + 12 + 4), o[12 + 8], o[12 + 9]),
              std::make_tuple(uint8_t{1}, 9u, uint8_t{7}, uint8_t{2}));
    EXPECT_FALSE(AoDecodeInfo(ao, 13, o));
}

}  // namespace
}  // namespace qorlib
