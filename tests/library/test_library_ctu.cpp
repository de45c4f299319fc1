// The configuration (CTU) API of libqorio against the real service and qorsim's control unit:
// every call with its bytes at the unit, the connection registry, the calibration table, and
// a firmware update with its progress lines, a programming failure and a refused file.
#include <stdlib.h>

#include "library_fixture.h"
#include "qor_ctu_client.h"

namespace qortest {
namespace {

const Mac kCfg{0x02, 0x00, 0x00, 0x00, 0xC4, 0x01};    // ctu_config: string channel, flash stores
const Mac kPlain{0x02, 0x00, 0x00, 0x00, 0xC4, 0x02};  // ctu_uart2: no string channel

class LibCtu : public LibraryTest {
  protected:
    // One field of the unit's `show` line.
    std::string Show(const Mac& mac, const std::string& key) {
        const std::string line = sim_->Control("show " + MacString(mac));
        const size_t at = line.find(" " + key + "=");
        if (at == std::string::npos) return "<no " + key + ">";
        const size_t from = at + key.size() + 2;
        return line.substr(from, line.find(' ', from) - from);
    }

    std::string WriteFirmware(const std::string& name, const std::string& model) {
        ctu::Firmware f;
        f.Model = model;
        f.Image = ctu::PatternImage(1024);
        const auto bytes = ctu::BuildFirmware(f);
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(WriteFile(path, std::string(bytes.begin(), bytes.end())));
        return path;
    }

    // The call's result and what it printed.
    static std::pair<int, std::string> Printed(const std::function<int()>& call) {
        ::testing::internal::CaptureStdout();
        const int rc = call();
        return {rc, ::testing::internal::GetCapturedStdout()};
    }

    std::string dir_ = [] {
        char t[] = "/tmp/libctu-XXXXXX";
        return std::string(mkdtemp(t) ? t : "/tmp");
    }();
};

// qorlab --veths 1
TEST_F(LibCtu, EveryCallReachesTheUnitAndTheFirmwareIsProgrammedWithProgress) {
    ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({{"ctu_config", kCfg}, {"ctu_uart2", kPlain}}));
    Mac cfg = kCfg, plain = kPlain;
    EXPECT_EQ(ctu_connect(cfg.data()), 32);  // no unit connected by this host yet
    uint32_t sio = 0, ctuPort = 0;
    ASSERT_EQ(vn_connect(cfg.data(), &sio, &ctuPort, 0, nullptr, 0), 0);
    EXPECT_EQ(ctu_connect(plain.data()), 76);
    ASSERT_EQ(vn_connect(plain.data(), &sio, &ctuPort, 0, nullptr, 0), 0);
    ASSERT_EQ(ctu_connect(cfg.data()), 0);
    EXPECT_EQ(ctu_connect(cfg.data()), 115);
    ASSERT_EQ(ctu_connect(plain.data()), 0);

    Step("each call and its transaction at the unit");
    struct Case {
        const char* What;
        std::function<int()> Call;
        int Rc;
        std::string UnitSide;  // the unit's last transaction; empty: none
    };
    Mac unknown = UnitMac(9, 9);
    const std::vector<Case> cases = {
        {"device name", [&] { return ctu_set_device_name(cfg.data(), "Hello"); }, 0,
         "2/1/8/48656c6c6f000000"},
        {"device name without string channel", [&] { return ctu_set_device_name(plain.data(), "x"); }, 119,
         ""},
        {"password", [&] { return ctu_set_passsword(cfg.data(), 1, "abc"); }, 0,
         "7/1/36/01000000" + std::string(58, '0') + ctu::Hex(ctu::Bytes("cba"))},
        {"password setting 2", [&] { return ctu_set_passsword(cfg.data(), 2, "abc"); }, 118, ""},
        {"no password: one byte whatever the text",
         [&] { return ctu_set_passsword(cfg.data(), 0, "ignored"); }, 0, "7/1/36/" + std::string(72, '0')},
        {"UART settings", [&] { return ctu_set_uart_setting(cfg.data()); }, 0,
         "8/1/8/" + std::string(16, '0')},
        {"DIO settings", [&] { return ctu_set_dio_setting(cfg.data()); }, 0,
         "9/1/28/" + std::string(56, '0')},
        {"a unit without connection", [&] { return ctu_set_uart_setting(unknown.data()); }, 112, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string before = Show(kCfg, "ctu-executes");
        EXPECT_EQ(c.Call(), c.Rc);
        if (c.UnitSide.empty()) {
            EXPECT_EQ(Show(kCfg, "ctu-executes"), before);
        } else {
            EXPECT_EQ(Show(kCfg, "ctu-last"), c.UnitSide);
        }
    }

    Step("calibration table: two rows from slot 46");
    ASSERT_TRUE(sim_->Ok("ctu-calibration " + MacString(kCfg) + " 1 192"));
    auto cal = std::make_unique<_MAI_T1_CALIBRATION>();
    memset(cal.get(), 0xEE, sizeof(*cal));
    ASSERT_EQ(CtuClientGetMaiT1Calibration(cfg.data(), cal.get()), 0);
    EXPECT_EQ(std::make_pair(cal->Rows, cal->TableLength), std::make_pair(2u, 192u));
    // The unit's table bytes are 7i + 3; a pair is a raw word and a little-endian float, as they came.
    std::vector<uint8_t> table(192);
    for (size_t i = 0; i < table.size(); ++i) table[i] = static_cast<uint8_t>(7 * i + 3);
    EXPECT_EQ(memcmp(&cal->Pair[VN_MAI_CAL_FIRST_SLOT], table.data(), table.size()), 0);
    EXPECT_EQ(cal->Pair[70].Raw, 0u);
    EXPECT_EQ(cal->Pair[45].Raw, 0u);

    EXPECT_EQ(ctu_disconnect(cfg.data()), 0);
    EXPECT_EQ(ctu_disconnect(cfg.data()), 81);
    ASSERT_EQ(ctu_connect(cfg.data()), 0);

    Step("firmware: refused file, programming failure, then programmed with progress");
    const std::string good = WriteFirmware("good", "VN-CFG1");
    auto [rc, out] =
        Printed([&] { return ctu_update_firmware(cfg.data(), WriteFirmware("other", "VN-XXX").c_str()); });
    EXPECT_EQ(rc, 69);
    EXPECT_EQ(out, "ZEPLIB : Download ...\n");
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " end fail"));
    std::tie(rc, out) = Printed([&] { return ctu_update_firmware(cfg.data(), good.c_str()); });
    EXPECT_EQ(rc, VN_ERR_CTU_PROGRAMMING_FAIL);
    EXPECT_EQ(out,
              "ZEPLIB : Download ...\nZEPLIB : Programming 10% OK\nZEPLIB : Programming 20% OK\n"
              "ZEPLIB : Programming 30% OK\nZEPLIB : Programming 40% FAIL\n\n\n");
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " end ok"));
    std::tie(rc, out) = Printed([&] { return ctu_update_firmware(cfg.data(), good.c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_NE(out.find("ZEPLIB : Programming 30% OK\nZEPLIB : Programming FINISH\n"), std::string::npos)
        << out;
    EXPECT_EQ(Show(kCfg, "ctu-fw").substr(0, 10), "1024/1024/");
    // The unit reboots and is disconnected: closing its connection reports the lookup's result
    // and removes the entry all the same.
    EXPECT_TRUE(Eventually([&] { return ctu_disconnect(cfg.data()) == 76; }, 10s));
    EXPECT_EQ(ctu_set_uart_setting(cfg.data()), 112);

    Step("MAC change closes the connection");
    Mac fresh{0x02, 0x00, 0x00, 0x00, 0xC4, 0x77};
    EXPECT_EQ(ctu_set_mac(plain.data(), fresh.data()), 0);
    EXPECT_EQ(ctu_set_uart_setting(plain.data()), 112);
    EXPECT_TRUE(Eventually([&] { return ctu_disconnect(plain.data()) == 32; }, 10s));
}

}  // namespace
}  // namespace qortest
