// Info structure of the stand-in unit: byte layout against a hand-computed vector, and the
// shapes of the deliberately broken variants.
#include "sim_info.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "sim_profile.h"

namespace {

const SimMac kUnit{0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

const char* kSmall =
    "model \"VN-T1\"\n"
    "mode advance\n"
    "flags password-enable external-eeprom\n"
    "password secret\n"
    "version 2 7\n"
    "link-status 1\n"
    "connected-host 0a:0b:0c:0d:0e:0f\n"
    "dib 0 ctu 2 01000000 \"TEST12\" 0000\n"
    "dib 1 uart 5 0e010100 le16:1024 le16:1024 77000000\n"
    "dib 3 parallel 0\n";

_SIM_PROFILE Load(const std::string& text) {
    _SIM_PROFILE p;
    std::string err;
    EXPECT_TRUE(SimProfileParse(text, "small.prof", &p, &err)) << err;
    return p;
}

_SIM_LINK_STATE LinkOf(const _SIM_PROFILE& p) {
    return {p.LinkStatus, p.ConnectedHostMac};
}

TEST(SimInfoBuild, ByteExactForASmallProfile) {
    const _SIM_PROFILE p = Load(kSmall);
    const std::vector<uint8_t> expected = {
        // 0: not read by hosts; the unit's MAC
        0x02, 0x00, 0x00, 0x00, 0x00, 0x07,
        // 6: model name, zero padded to 10
        'V', 'N', '-', 'T', '1', 0, 0, 0, 0, 0,
        // 16: TypeInfo: advance (1) | password enable (0x10) | external EEPROM (0x80)
        0x91,
        // 17: link status, 18: connected host
        0x01, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
        // 24: 3 DIBs, 25: 4 + 4 + 1 words, 26/27: version 2.7
        0x03, 0x09, 0x02, 0x07,
        // 28: control unit, channel 0, 4 words, layout 2
        0x00, 0x00, 0x04, 0x02, 0x01, 0x00, 0x00, 0x00, 'T', 'E', 'S', 'T', '1', '2', 0x00, 0x00,
        // 44: UART, channel 1, 4 words, layout 5: X M N pad, TX 1024, RX 1024, C0 C1 pad
        0x01, 0x01, 0x04, 0x05, 0x0E, 0x01, 0x01, 0x00, 0x00, 0x04, 0x00, 0x04, 0x77, 0x00, 0x00, 0x00,
        // 60: parallel port, channel 3, header only
        0x03, 0x02, 0x01, 0x00};
    EXPECT_EQ(SimInfoBuild(p, kUnit, LinkOf(p)), expected);

    // The unit's link state, not the profile's, and an explicit DIB length come through.
    const _SIM_LINK_STATE link{0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};
    const auto info = SimInfoBuild(Load(std::string(kSmall) + "dib-length 200\n"), kUnit, link);
    EXPECT_EQ(std::vector<uint8_t>(info.begin() + 17, info.begin() + 26),
              (std::vector<uint8_t>{0, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 3, 200}));
}

// One DIB of a received structure as a host would walk it, stopping at the data's end.
struct Walked {
    uint8_t Chl, Type, Words, Info;
    size_t Offset;   // of its header
    size_t Present;  // extra bytes actually there
};

std::vector<Walked> Walk(const std::vector<uint8_t>& info, size_t count) {
    std::vector<Walked> out;
    size_t pos = kSimInfoHeaderLength;
    for (size_t i = 0; i < count && pos + 4 <= info.size(); ++i) {
        Walked w{info[pos], info[pos + 1], info[pos + 2], info[pos + 3], pos, 0};
        const size_t extra = w.Words > 1 ? (w.Words - 1) * 4u : 0;
        w.Present = std::min(extra, info.size() - pos - 4);
        out.push_back(w);
        pos += 4 + extra;
    }
    return out;
}

TEST(SimInfoHostile, BankCountsBeyondTheTable) {
    const _SIM_PROFILE p = Load(kSmall);
    const auto info = SimInfoBuildHostile(p, kUnit, LinkOf(p), SimHostile::Banks, 40);
    auto dibs = Walk(info, info[24]);
    ASSERT_EQ(dibs.size(), 4u);
    const Walked& dio = dibs[3];
    // Type, bank count byte, length, bytes there.
    EXPECT_EQ(std::tuple(dio.Type, info[dio.Offset + 4], dio.Words, dio.Present),
              std::tuple(SIM_CHL_DIO, 40, 1 + 3 + 40, (3 + 40) * 4u));
    EXPECT_EQ(info[dio.Offset + 4 + 12 + 4 * 39], 0x47) << "the 40th bank entry is there";

    const auto shortInfo = SimInfoBuildHostile(p, kUnit, LinkOf(p), SimHostile::BanksShort, 40);
    dibs = Walk(shortInfo, shortInfo[24]);
    ASSERT_EQ(dibs.size(), 4u);
    EXPECT_EQ(std::tuple(shortInfo[dibs[3].Offset + 4], dibs[3].Words), std::tuple(40, 4))
        << "bank table left out";
    EXPECT_EQ(shortInfo.size(), dibs[3].Offset + 16);

    // 255 banks: as many entries as one DIB of 255 words carries.
    const auto full = SimInfoBuildHostile(p, kUnit, LinkOf(p), SimHostile::Banks, 255);
    dibs = Walk(full, full[24]);
    EXPECT_EQ(std::tuple(dibs[3].Words, full[dibs[3].Offset + 4]), std::tuple(255, 255));
}

TEST(SimInfoHostile, PortCountsSitWhereEachTypeKeepsThem) {
    const _SIM_PROFILE p = Load(kSmall);
    const auto info = SimInfoBuildHostile(p, kUnit, LinkOf(p), SimHostile::Ports, 20);
    const auto dibs = Walk(info, info[24]);
    ASSERT_EQ(dibs.size(), 3u + 7);
    // Type, offset of the port (or sensor) count in the extra data, extra length.
    const struct {
        uint8_t type;
        size_t at;
        size_t extra;
    } want[] = {{SIM_CHL_AI, 4, 16}, {SIM_CHL_AO, 4, 16},  {SIM_CHL_UI, 8, 36}, {SIM_CHL_UO, 0, 16},
                {SIM_CHL_BAO, 0, 8}, {SIM_CHL_MAI, 8, 16}, {SIM_CHL_TPS, 0, 8}};
    for (size_t i = 0; i < 7; ++i) {
        const Walked& d = dibs[3 + i];
        EXPECT_EQ(d.Type, want[i].type) << i;
        EXPECT_EQ(d.Present, want[i].extra) << i;
        EXPECT_EQ(info[d.Offset + 4 + want[i].at], 20) << "type " << int(d.Type);
    }
}

}  // namespace
