// Record names and the stored password form.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "cfg_record.h"
#include "vn_connect.h"

TEST(CfgRecord, NamesAreTwelveHexDigitsInEitherCase) {
    const uint8_t mac[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
    char path[96];
    CfgRecordPath(path, sizeof(path), "/usr/share/qorservice_connect", mac);
    EXPECT_STREQ(path, "/usr/share/qorservice_connect/0a1b2c3d4e5f");
    uint8_t parsed[6];
    for (const char* good : {"0A1B2C3D4E5F", "0a1b2c3d4e5f"}) {
        ASSERT_EQ(CfgParseRecordName(good, parsed), 1);
        EXPECT_EQ(0, memcmp(parsed, mac, 6)) << good;
    }
    for (const char* bad : {"0a1b2c3d4e5", "0a1b2c3d4e5f0", "0a1b2c3d4e5g", "..", "", "0a1b2c3d4e5f.tmp"})
        EXPECT_EQ(CfgParseRecordName(bad, parsed), 0) << bad;
}

TEST(CfgRecord, ShortConnectRecordsReadAsZeroPasswordBytes) {
    // Stored inverted: 'x', 'y', then a zero byte.
    const std::string path = "/tmp/qorrec-" + std::to_string(getpid());
    std::ofstream(path) << static_cast<char>(~'x') << static_cast<char>(~'y') << '\xFF';
    uint8_t raw[32];
    memset(raw, 0xAA, sizeof(raw));
    ASSERT_EQ(CfgConnectRead(path.c_str(), raw), 1);
    EXPECT_EQ(std::string(raw, raw + 32), "xy" + std::string(30, '\0'));
    unlink(path.c_str());
    EXPECT_EQ(CfgConnectRead(path.c_str(), raw), 0);
}

// The reversed, right-aligned form itself reaches a unit in the connect system tests; here
// the ends of a stored password.
TEST(PasswordForm, AZeroByteEndsThePassword) {
    uint8_t raw[32], back[32];
    const uint8_t withZero[4] = {'a', 0, 'b', 'c'};
    VnPasswordToRaw(withZero, 4, raw);
    EXPECT_EQ(VnPasswordFromRaw(raw, back), 1u);
    EXPECT_EQ(back[0], 'a');
    uint8_t empty[32] = {};
    EXPECT_EQ(VnPasswordFromRaw(empty, back), 0u);
}
