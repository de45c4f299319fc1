// Info structure of the stand-in unit: byte layout against a hand-computed vector.
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

}  // namespace
