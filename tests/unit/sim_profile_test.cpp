// Profile files of the stand-in unit: the text format as it comes out in the info structure
// (byte layout against a hand-computed vector), the error messages, the warnings, and the
// shipped profiles.
#include "sim_profile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "sim_info.h"

namespace {

const char* kMinimal = "model X\nmode dock\nversion 1 0\n";
using Bytes = std::vector<uint8_t>;

bool Parse(const std::string& text, _SIM_PROFILE* p, std::string* err) {
    return SimProfileParse(text, "t.prof", p, err);
}

TEST(SimProfile, EveryKeyAndDataTokenAsTheInfoStructureCarriesIt) {
    const std::string text =
        "# a comment line\r\n"
        "model      \"VN #1 x\"   # quoted, with a space and a hash\r\n"
        "mode       advance\n"
        "flags      experiment password-enable time-sharing mora external-eeprom\n"
        "password   \"open sesame\"\n"
        "version    0x02 255\n"
        "dib-length 9\n"
        "link-status 1\n"
        "connected-host 0a:0b:0c:0d:0e:0f\n"
        "search-reply advance 5\n"
        "search-reply dock 0x27\n"
        "connect-reply 0x3f\n"
        "disconnect-reply none\n"
        "device-seq 1023\n"
        "watchdog 2500\n"
        "loss 5 100 4294967295\n"
        "reg 0x10 0 7   # before its dib line\n"
        "\n"
        "dib 0 ctu 2 01 zero:3 \"AB\" le16:0x1234 le32:0xA1B2C3D4 u8:255 ff 0000\n"
        "dib 0x10 200 0x07\n"
        "data 0a0B0c0D   # continues channel 16\n"
        "data u8:1 00 0000\n"
        "reg 16 254 0xFFFFFFFF 2\n";
    _SIM_PROFILE p;
    std::string err;
    ASSERT_TRUE(Parse(text, &p, &err)) << err;
    // The unit's own link state goes into the structure, not the profile's.
    const _SIM_LINK_STATE link{0, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};
    const Bytes expected = {// 0: not read by hosts; the unit's MAC
                            0x02, 0x00, 0x00, 0x00, 0x00, 0x07,
                            // 6: model name, zero padded to 10
                            'V', 'N', ' ', '#', '1', ' ', 'x', 0, 0, 0,
                            // 16: TypeInfo: advance (1) and the five flags in bits 3..7
                            0xF9,
                            // 17: link status, 18: connected host
                            0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60,
                            // 24: 2 DIBs, 25: the explicit DIB length, 26/27: version 2.255
                            0x02, 0x09, 0x02, 0xFF,
                            // 28: control unit, channel 0, 5 words, layout 2, then its data tokens
                            0x00, 0x00, 0x05, 0x02, 0x01, 0, 0, 0, 'A', 'B', 0x34, 0x12, 0xD4, 0xC3, 0xB2,
                            0xA1, 0xFF, 0xFF, 0, 0,
                            // 48: type 200 on channel 16, 3 words, info 7, its data lines
                            0x10, 200, 0x03, 0x07, 0x0A, 0x0B, 0x0C, 0x0D, 0x01, 0, 0, 0};
    EXPECT_EQ(SimInfoBuild(p, {0x02, 0x00, 0x00, 0x00, 0x00, 0x07}, link), expected);
    EXPECT_EQ(std::tuple(p.Name, p.LinkStatus, p.ConnectedHostMac,
                         std::string(p.Password.begin(), p.Password.end())),
              std::tuple("t", 1, SimMac{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}, "open sesame"));
    EXPECT_EQ(std::tuple(p.SearchReplyAdvance, p.SearchReplyDock, p.ConnectReply.How, p.ConnectReply.Code,
                         SimForcedReplyText(p.DisconnectReply)),
              std::tuple(5, 0x27, _SIM_FORCED_REPLY::Kind::Code, 63, "none"));
    EXPECT_EQ(std::tuple(p.DeviceSeq, p.WatchdogMs, p.Loss.RxPercent, p.Loss.TxPercent, p.Loss.Seed),
              std::tuple(1023, 2500u, 5, 100, 0xFFFFFFFFu));
    ASSERT_EQ(p.Registers.size(), 2u);
    EXPECT_EQ(std::tuple(p.Registers[1].Offset, p.Registers[1].Values),
              std::tuple(254, std::vector<uint32_t>{0xFFFFFFFF, 2}));
}

TEST(SimProfile, DefaultsModesAndPasswordForms) {
    _SIM_PROFILE p;
    std::string err;
    ASSERT_TRUE(
        Parse(std::string(kMinimal) + "dib 0 ctu 0\ndib 1 uart 1 00010001\ndib 2 dio 1 zero:24\n", &p, &err))
        << err;
    EXPECT_EQ(
        std::tuple(SimProfileTypeInfo(p), p.SearchReplyAdvance, p.SearchReplyDock, SimProfileDibLengthInDW(p),
                   p.ConnectReply.How, p.DeviceSeq, p.WatchdogMs, p.Loss.RxPercent),
        std::tuple(0x00, 7, 5, 1 + 2 + 7, _SIM_FORCED_REPLY::Kind::Default, 0x155, 0u, 0));
    for (const auto& [line, mode] : std::initializer_list<std::pair<const char*, uint8_t>>{
             {"mode dock", 0}, {"mode ip", 2}, {"mode 7", 7}, {"mode 0x3", 3}}) {
        ASSERT_TRUE(Parse(std::string("model X\nversion 1 0\n") + line + "\n", &p, &err)) << err;
        EXPECT_EQ(SimProfileTypeInfo(p) & 0x07, mode) << line;
    }
    ASSERT_TRUE(Parse(std::string(kMinimal) + "password hex:01fF7f", &p, &err)) << err;
    EXPECT_EQ(p.Password, Bytes({0x01, 0xFF, 0x7F}));
    ASSERT_TRUE(Parse(std::string(kMinimal) + "password " + std::string(32, 'p'), &p, &err)) << err;
    EXPECT_EQ(p.Password.size(), 32u);
}

TEST(SimProfile, MalformedFilesNameTheLine) {
    const std::string m = kMinimal;  // 3 lines
    std::string many = m, big = m;
    for (int i = 0; i < 65; ++i) many += "dib " + std::to_string(i) + " parallel 0\n";
    for (int i = 0; i < 64; ++i) big += "dib " + std::to_string(i) + " parallel 0 zero:128\n";
    const std::tuple<std::string, int, std::string> cases[] = {
        {m + "connect-reply 64\n", 4, "out of range 0..63"},
        {m + "dib 1 ctu 0\nreg 1 255 1 2\n", 5, "run past the last one (255)"},
        {m + "dib 1 ctu 0\nreg 2 0 1\n", 5, "channel 2, which has no 'dib' line"},
        {"model X\nmode dock\n\n", 3, "missing 'version'"},
        {"model ABCDEFGHIJK\n", 1, "1 to 10 characters"},
        {m + "model Y\n", 4, "duplicate 'model' (first at line 1)"},
        {"model X\nmode dock\nversion 256 0\n", 3, "out of range 0..255"},
        {m + "flags fast\n", 4, "unknown flag 'fast'"},
        {m + "password \"" + std::string(33, 'p') + "\"\n", 4, "at most 32"},
        {m + "password hex:70007a\n", 4, "zero byte"},
        {m + "dib 256 ctu 0\n", 4, "channel number 256 is out of range"},
        {m + "dib 0 ctu 0 zz\n", 4, "not hex data"},
        {m + "dib 0 ctu 0 \"abc\n", 4, "unterminated quoted text"},
        {m + "data 00000000\n", 4, "'data' before any 'dib'"},
        {m + "dib 0 ctu 0\ndib 0 uart 1\n", 5, "channel 0 already declared at line 4"},
        // Length errors name the dib line even when data lines follow.
        {m + "dib 0 ctu 0 00000000\ndib 1 uart 1 00\ndata 0000\n", 5,
         "channel 1 has 3 extra bytes; DIBs are whole 4-byte words"},
        {m + "dib 3 dio 1 zero:128\ndata 00000000\n", 4, "132 extra bytes; at most 128"},
        {many, 4 + 64, "more than 64 dib lines"},
        {big, 3 + 64, "does not fit one frame"},
    };
    for (const auto& [text, line, what] : cases) {
        _SIM_PROFILE p;
        std::string err;
        EXPECT_FALSE(Parse(text, &p, &err)) << what;
        EXPECT_TRUE(err.starts_with("t.prof:" + std::to_string(line) + ": ")) << err;
        EXPECT_NE(err.find(what), std::string::npos) << err;
    }
}

TEST(SimProfile, ChecksWarnAboutWhatHostsCannotHold) {
    const std::string m = kMinimal;
    const std::pair<std::string, std::string> cases[] = {
        {"dib 1 uart 9 00000000", "t.prof:4: warning: UART layout 9 is unknown"},
        {"dib 1 dio 1 u8:33 000000 zero:8", "bank count 33 is above 32"},
        {"dib 1 dio 1 u8:2 000000 zero:8 1f000000", "DIO bank table needs 20"},
        {"dib 1 dio 1 u8:2 000000 zero:8 1f000000 00000000", "span 33 I/O lines"},
        {"dib 1 ai 1 zero:4 u8:17 zero:11", "AI port count 17 is above 16"},
        {"dib 1 ao 1 zero:8", "AO needs 16"},
        {"dib 1 mai 1 zero:8 u8:40 zero:7", "MAI port count 40"},
        {"dib 1 string 0 u8:2 u8:2 0000 zero:8", "string channel (serial number and name) needs 20"},
        {"dib 1 99 0", "channel type 99 is unknown"},
        {"dib 0 ctu 2 zero:4", "control unit layout 2"},
        {"password x\ndib 0 ctu 0", "password-enable"},
        {"", "t.prof: warning: no channels"},
    };
    for (const auto& [dib, what] : cases) {
        _SIM_PROFILE p;
        std::string err;
        ASSERT_TRUE(Parse(m + dib + "\n", &p, &err)) << err;
        const auto w = SimProfileCheck(p);
        ASSERT_EQ(w.size(), 1u) << dib;
        EXPECT_NE(w[0].find(what), std::string::npos) << w[0];
    }
}

TEST(SimProfile, ShippedProfilesLoadWithoutWarnings) {
    _SIM_PROFILE p;
    std::string err;
    EXPECT_FALSE(SimProfileLoad("/nonexistent/dir/x.prof", &p, &err));
    EXPECT_NE(err.find("/nonexistent/dir/x.prof"), std::string::npos) << err;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QORSIM_TEST_PROFILE_DIR)) {
        if (entry.path().extension() != ".prof") continue;
        ++files;
        ASSERT_TRUE(SimProfileLoad(entry.path().string(), &p, &err)) << err;
        EXPECT_EQ(SimProfileCheck(p), std::vector<std::string>{}) << entry.path();
        ASSERT_FALSE(p.Dibs.empty()) << entry.path();
        EXPECT_EQ(p.Dibs[0].Type, SIM_CHL_CTU) << entry.path() << ": the control unit comes first";
    }
    EXPECT_GE(files, 5u);
}

}  // namespace
