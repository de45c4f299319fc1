// Connect, disconnect, mapping and the password query against a scripted unit.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>

#include "cfg_check_dir.h"
#include "cfg_record.h"
#include "link_harness.h"
#include "nlk_tty_info.h"
#include "vn_connect.h"

namespace {

bool IsConnect(const Frame& f) {
    return IsDllp(f, 2) || IsDllp(f, 10);
}

std::string RecordPath(const char* dir, const std::array<uint8_t, 6>& mac) {
    char path[96];
    CfgRecordPath(path, sizeof(path), dir, mac.data());
    return path;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

class Connect : public LinkFixture {
  protected:
    uint16_t DoConnect(const std::string& password = "") {
        uint8_t raw[32];
        VnPasswordToRaw(reinterpret_cast<const uint8_t*>(password.data()), password.size(), raw);
        uint32_t ctu = 1, sio = 1;
        const uint16_t status = VnMainConnect(unit->Mac().data(), raw, &ctu, &sio);
        EXPECT_EQ(ctu, 0u);  // no configuration or channel server exists for units yet
        EXPECT_EQ(sio, 0u);
        return status;
    }
    void Reinform(uint8_t typeInfo, int uarts) {
        unit->typeInfo = typeInfo;
        unit->uartChannels = uarts;
        vn->DllpGetInfoThreadSuccess = 0;
        VnMainUpdateInfo(vn.get());
        ASSERT_TRUE(WaitUntil([&] { return vn->DllpGetInfoThreadSuccess == 1; }, 2000));
        unit->ClearFrames();
    }
    void ExpectTornDown() {
        EXPECT_EQ(vn->IsConnectedByHost, 0);
        EXPECT_EQ(vn->LinkStatus, 0);
        EXPECT_EQ(vn->DllpKeepAliveThreadRunning, 0);
    }
};

}  // namespace

TEST_F(Connect, DockModeSendsFourBytesWithTheHostSequenceNumber) {
    vn->HostSeqNumber = 0x2A7;
    ASSERT_EQ(DoConnect("ignored in dock mode"), 0);
    auto frames = unit->WaitFrames(IsConnect, 1, 500);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].link, (Bytes{0x20, 2, 0x02, 0xA7}));
    EXPECT_EQ(vn->IsConnectedByHost, 1);
    EXPECT_EQ(vn->LinkStatus, 1);
    EXPECT_EQ(vn->DeviceSeqNumberRx, 0x154);  // the unit's number minus one
    EXPECT_EQ(vn->DllpKeepAliveThreadRunning, 1);
    EXPECT_TRUE(Exists(RecordPath(kCfgConnectDir, unit->Mac())));
    uint32_t ctu = 9, sio = 9;
    EXPECT_EQ(VnMainConnect(unit->Mac().data(), nullptr, &ctu, &sio), 64);
    EXPECT_EQ(ctu, 0u);
}

TEST_F(Connect, AdvanceModeSendsTheReversedPasswordBlock) {
    Reinform(0x11, 2);  // advance mode, password enabled
    ASSERT_EQ(DoConnect("abc"), 0);
    auto frames = unit->WaitFrames(IsConnect, 1, 500);
    ASSERT_EQ(frames.size(), 1u);
    Bytes expected = {0x20, 10, 0x10, 0x00};
    Bytes block(32, 0);
    block[29] = 'c';
    block[30] = 'b';
    block[31] = 'a';
    expected.insert(expected.end(), block.begin(), block.end());
    expected.insert(expected.end(), 4, 0);
    EXPECT_EQ(frames[0].link, expected);
    uint8_t record[64];
    size_t len = 0;
    ASSERT_EQ(VnMainGetVnPassword(unit->Mac().data(), record, sizeof(record), &len), 0);
    EXPECT_EQ(len, 10u);
    EXPECT_EQ(record[6], 3);
    EXPECT_EQ(0, memcmp(record + 7, "abc", 3));
    // The record on disk holds the inverted stored form.
    uint8_t raw[32];
    ASSERT_EQ(CfgConnectRead(RecordPath(kCfgConnectDir, unit->Mac()).c_str(), raw), 1);
    EXPECT_EQ(0, memcmp(raw, vn->PasswordRaw, 32));

    // An empty password still sends the whole block, all zero.
    ASSERT_EQ(VnMainDisconnect(unit->Mac().data(), 1), 0);
    unit->ClearFrames();
    ASSERT_EQ(DoConnect(""), 0);
    frames = unit->WaitFrames(IsConnect, 1, 500);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].link.size(), 40u);
    EXPECT_EQ(Bytes(frames[0].link.begin() + 4, frames[0].link.end()), Bytes(36, 0));
}

TEST_F(Connect, RefusalsLeaveNothingBehind) {
    const std::pair<int, uint16_t> cases[] = {{1, 66}, {2, 67}, {3, 68}, {4, 69}, {-1, 65}};
    for (const auto& [returnCode, status] : cases) {
        unit->connectReturnCode = returnCode;
        EXPECT_EQ(DoConnect(), status) << "return code " << returnCode;
        ExpectTornDown();
        EXPECT_FALSE(Exists(RecordPath(kCfgConnectDir, unit->Mac())));
    }
    uint8_t raw[32] = {};
    uint32_t ctu, sio;
    const uint8_t unknown[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(VnMainConnect(unknown, raw, &ctu, &sio), 32);
    EXPECT_EQ(VnMainConnect(nullptr, raw, &ctu, &sio), 1);
    uint8_t record[64];
    size_t len;
    EXPECT_EQ(VnMainGetVnPassword(unit->Mac().data(), record, sizeof(record), &len), 68);
}

TEST_F(Connect, DisconnectAnswersTearTheHostSideDownWhateverTheUnitSays) {
    EXPECT_EQ(VnMainDisconnect(unit->Mac().data(), 1), 70);
    const std::pair<int, uint16_t> cases[] = {{1, 72}, {2, 73}, {4, 75}, {5, 74}, {0, 0}};
    for (const auto& [returnCode, status] : cases) {
        ASSERT_EQ(DoConnect(), 0);
        unit->disconnectReturnCode = returnCode;
        unit->ClearFrames();
        EXPECT_EQ(VnMainDisconnect(unit->Mac().data(), 1), status) << "return code " << returnCode;
        ExpectTornDown();
        // The record stays unless the unit agreed.
        EXPECT_EQ(Exists(RecordPath(kCfgConnectDir, unit->Mac())), status != 0);
        auto frames = unit->Frames(IsConnect);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].link[2] & 0x0C, 1 << 2);  // disconnect requested by a client
    }
    // No answer: 71, and the host side stays connected.
    ASSERT_EQ(DoConnect(), 0);
    unit->disconnectReturnCode = -1;
    EXPECT_EQ(VnMainDisconnect(unit->Mac().data(), 1), 71);
    EXPECT_EQ(vn->IsConnectedByHost, 1);
}

TEST_F(Connect, MappingCreatesOneNodePerUartAndUnmappingRemovesThem) {
    uint8_t info[64];
    size_t len = 0;
    ASSERT_EQ(VnMainMapping(unit->Mac().data(), 1, info, sizeof(info), &len), 0);
    EXPECT_EQ(len, 7u + 4u);
    EXPECT_EQ(Bytes(info + 6, info + 11), (Bytes{2, 1, 0, 2, 1}));
    for (int minor : {0, 1}) {
        struct stat st {};
        const std::string node = "/dev/ttyVN" + std::to_string(minor);
        ASSERT_EQ(stat(node.c_str(), &st), 0) << node;
        EXPECT_TRUE(S_ISCHR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0777u);
        EXPECT_EQ(major(st.st_rdev), 222u);
        EXPECT_EQ(minor(st.st_rdev), static_cast<unsigned>(minor));
        EXPECT_EQ(NlkTtyInfo[minor].IsMaping, 1);
    }
    EXPECT_TRUE(Exists(RecordPath(kCfgMappingDir, unit->Mac())));
    EXPECT_EQ(VnMainMapping(unit->Mac().data(), 0, nullptr, 0, nullptr), 48);
    EXPECT_EQ(VnMainUnMapping(unit->Mac().data()), 0);
    EXPECT_FALSE(Exists("/dev/ttyVN0"));
    EXPECT_FALSE(Exists("/dev/ttyVN1"));
    EXPECT_EQ(NlkTtyInfo[0].IsMaping, 0);
    EXPECT_FALSE(Exists(RecordPath(kCfgMappingDir, unit->Mac())));
    EXPECT_EQ(VnMainUnMapping(unit->Mac().data()), 49);

    ASSERT_EQ(DoConnect(), 0);
    EXPECT_EQ(VnMainMapping(unit->Mac().data(), 0, nullptr, 0, nullptr), 64);
}

TEST_F(Connect, FailedMappingsReleaseEveryMinor) {
    // Only minor 255 free: the first UART gets it, the second finds none.
    for (int minor = 0; minor < 255; ++minor) NlkTtyInfo[minor].IsMaping = 1;
    EXPECT_EQ(VnMainMapping(unit->Mac().data(), 0, nullptr, 0, nullptr), 53);
    EXPECT_EQ(NlkTtyInfo[255].IsMaping, 0);
    EXPECT_EQ(vn->DibArray[1].Uart.TtyMinorNumber, -1);
    EXPECT_EQ(vn->IsMappingByHost, 0);
    memset(NlkTtyInfo, 0, sizeof(NlkTtyInfo));

    // A node that cannot be created: 51, minors released.
    ASSERT_EQ(mkdir("/dev/ttyVN1", 0700), 0);
    EXPECT_EQ(VnMainMapping(unit->Mac().data(), 0, nullptr, 0, nullptr), 51);
    EXPECT_EQ(NlkTtyInfo[0].IsMaping + NlkTtyInfo[1].IsMaping, 0);
    EXPECT_FALSE(Exists("/dev/ttyVN0"));
    rmdir("/dev/ttyVN1");

    Reinform(0, 0);
    EXPECT_EQ(VnMainMapping(unit->Mac().data(), 0, nullptr, 0, nullptr), 50);
    for (const auto& e : NlkTtyInfo) ASSERT_EQ(e.IsMaping, 0);
}
