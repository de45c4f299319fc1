// The CTU configuration server of the real service against qorsim's control unit, through a
// CTU client with its own codec: the port pool, the one-client rule, bad packets, every
// command's bytes on the unit side and its statuses, firmware files, a MAC change, event 7 and
// a late completion event.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "qor_ctu_client.h"
#include "service_fixture.h"

namespace qortest {
namespace {

using ctu::Bytes;

const Mac kCfg{0x02, 0x00, 0x00, 0x00, 0xC2, 0x01};     // ctu_config: control unit layout 1
const Mac kOld{0x02, 0x00, 0x00, 0x00, 0xC2, 0x02};     // ctu_config_v0: layout 0
const Mac kPlain{0x02, 0x00, 0x00, 0x00, 0xC2, 0x03};   // ctu_uart2: no string channel
const Mac kAnalog{0x02, 0x00, 0x00, 0x00, 0xC2, 0x04};  // ctu_analog: layout 2 and a string channel
const Mac kChan1{0x02, 0x00, 0x00, 0x00, 0xC2, 0x05};   // its control unit is channel 1
const Mac kNew{0x02, 0x00, 0x00, 0x00, 0xC2, 0x77};

class CtuTest : public ServiceTest {
  protected:
    // Connects the unit through the management port; its CTU port (0 on failure).
    uint16_t ConnectUnit(const Mac& mac) {
        auto r = Connect(client_, mng::ConnectRecord(mac, 0));
        return r ? static_cast<uint16_t>(r->CtuPort) : 0;
    }

    static ctu::Client Open(uint16_t port) {
        ctu::Client c;
        EXPECT_TRUE(Eventually([&] { return c.Connect(port); }, 5s)) << c.Error();
        return c;
    }

    // One field of the unit's `show` line.
    std::string Show(const Mac& mac, const std::string& key) {
        const std::string line = sim_->Control("show " + MacString(mac));
        const size_t at = line.find(" " + key + "=");
        if (at == std::string::npos) return "<no " + key + " in: " + line + ">";
        const size_t from = at + key.size() + 2;
        return line.substr(from, line.find(' ', from) - from);
    }

    bool Connected(const Mac& mac) {
        const auto list = Listed(client_, mng::kGetAllConnected);
        return std::find(list.begin(), list.end(), mac) != list.end();
    }

    // A response with this status (and payload, when given).
    static ::testing::AssertionResult Answers(ctu::Client& c, uint16_t code,
                                              const std::vector<uint8_t>& payload, uint16_t status,
                                              const std::optional<std::vector<uint8_t>>& want = std::nullopt,
                                              Clock::duration timeout = 3s) {
        auto p = c.Request(code, payload, timeout);
        if (!p) return ::testing::AssertionFailure() << "no response: " << c.Error();
        // Only a status-0 response carries a payload: the one given, or none (a set).
        const std::vector<uint8_t> expect =
            status == 0 ? want.value_or(std::vector<uint8_t>{}) : std::vector<uint8_t>{};
        if (p->Hdr.Status != status || p->Payload != expect || p->Hdr.Length != expect.size())
            return ::testing::AssertionFailure() << "got " << ctu::Describe(*p) << ", want status " << status
                                                 << " payload " << ctu::Hex(expect);
        return ::testing::AssertionSuccess();
    }
};

TEST_F(CtuTest, PortsComeLowestFirstOneClientAtATimeAndBadPacketsHarmOnlyTheirSender) {
    const Mac a{0x02, 0, 0, 0, 0xC2, 0x11}, b{0x02, 0, 0, 0, 0xC2, 0x12}, c{0x02, 0, 0, 0, 0xC2, 0x13};
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"ctu_config", a}, {"ctu_config", b}, {"ctu_config", c}}));
    Step("pool");
    EXPECT_EQ(ConnectUnit(a), 50001);
    EXPECT_TRUE(Listening(50001)) << "the port must listen once the connect is answered";
    EXPECT_EQ(ConnectUnit(b), 50002);
    auto p = Ask(mng::kGetAllConnected);
    const auto units = p ? mng::DecodeUnitInfoList(p->Payload, true) : std::nullopt;
    ASSERT_TRUE(units && units->size() == 2);
    for (const auto& u : *units) {
        EXPECT_EQ(u.CtuPort, u.UnitMac == a ? 50001u : 50002u);
    }
    EXPECT_TRUE(IsResponse(Ask(mng::kVnDisconnect, mng::MacBytes(a)), mng::kVnDisconnect, mng::kSuccess,
                           mng::MacBytes(a)));
    EXPECT_TRUE(Eventually([] { return !Listening(50001); }, 2s));
    EXPECT_EQ(ConnectUnit(c), 50001);

    Step("one client");
    ctu::Client first = Open(50002), second;
    EXPECT_TRUE(Eventually([] { return !Listening(50002); }, 1s));
    EXPECT_FALSE(second.Connect(50002)) << "a second client got in";
    first.Close();
    EXPECT_TRUE(Eventually([&] { return second.Connect(50002); }, 1s)) << second.Error();

    Step("bad packets");
    EXPECT_TRUE(second.SendRaw(ctu::EncodeCommand(99)));
    EXPECT_TRUE(second.Silent(300ms)) << "unknown code answered: " << second.Error();
    // A header in three pieces, then a payload shorter than announced: read with a zero byte.
    EXPECT_TRUE(
        second.SendSplit(ctu::EncodeCommand(ctu::kSetLinkStatus, std::vector<uint8_t>{9}), {3, 5}, 20ms));
    auto split = second.ReadResponse();
    EXPECT_TRUE(split && split->Hdr.Code == 0x8006 && split->Hdr.Status == 0) << second.Error();
    EXPECT_TRUE(Answers(second, ctu::kGetLinkStatus, {}, 0, std::vector<uint8_t>{9}));
    EXPECT_TRUE(second.SendRaw(ctu::EncodeCommand(ctu::kSetLinkStatus, {}, 1)));
    auto r = second.ReadResponse(5s);
    ASSERT_TRUE(r) << second.Error();
    EXPECT_EQ(r->Hdr.Status, ctu::kSuccess);
    EXPECT_EQ(Show(b, "ctu-link"), "0");
    // Oversized but within the receive buffer: reported, read whole, answered.
    EXPECT_TRUE(Answers(second, ctu::kSetLinkStatus, std::vector<uint8_t>(3000, 1), ctu::kLengthInvalid));
    EXPECT_NE(Log().find("RX, TotalLengthNeedRx:3012, CTU_MSG_MAX_PAYLOAD:2060, !!!!! TOO BIG !!!!!"),
              std::string::npos);
    // A Length beyond the buffer closes only this connection; the server takes the next one.
    EXPECT_TRUE(second.SendRaw(ctu::EncodeCommand(ctu::kGetMac, std::vector<uint8_t>(16), 0xFFFFFFF0u)));
    EXPECT_TRUE(second.WaitClosed(2s));
    ctu::Client third = Open(50002);
    EXPECT_TRUE(Answers(third, ctu::kGetMac, {}, 0, mng::MacBytes(b)));
}

// One command: the unit it goes to, the request, the answer and what the unit carried out
// ("" = the unit was not touched).
struct CommandCase {
    const char* What;
    Mac Unit;
    uint16_t Code;
    std::vector<uint8_t> Payload;
    uint16_t Status;
    std::optional<std::vector<uint8_t>> Answer;
    std::string UnitSide;
};

std::string Zeros(size_t bytes) {
    return std::string(bytes * 2, '0');
}

TEST_F(CtuTest, EveryCommandSendsItsBytesAndAnswersEachStatus) {
    const std::string chan1 = "/tmp/ctu_chan1.prof";
    ASSERT_TRUE(WriteFile(chan1, "model \"VN-CH1\"\nmode advance\nversion 1 0\ndib 1 ctu 1 \"CH1\" 00\n"));
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"ctu_config", kCfg},
                                            {"ctu_config_v0", kOld},
                                            {"ctu_uart2", kPlain},
                                            {"ctu_analog", kAnalog},
                                            {chan1, kChan1}}));
    std::map<Mac, ctu::Client> clients;
    for (const Mac& m : {kCfg, kOld, kPlain, kAnalog, kChan1}) {
        const uint16_t port = ConnectUnit(m);
        ASSERT_NE(port, 0);
        clients[m] = Open(port);
    }
    using namespace ctu;
    auto x = [](size_t n) { return std::vector<uint8_t>(n, 'x'); };
    auto hex = [](const std::string& text) { return Hex(Bytes(text)); };
    const std::string name20 = "ABCDEFGHIJKLMNOPQRST", stored20 = "TSRQPONMLKJIHGFEDCBA";
    const std::vector<CommandCase> cases = {
        {"get MAC", kCfg, kGetMac, {}, 0, mng::MacBytes(kCfg), "1/0/6/-"},
        {"no control unit on channel 0", kChan1, kGetMac, {}, kObjectNotFound, {}, ""},
        {"set MAC, 5 bytes", kCfg, kSetMac, {1, 2, 3, 4, 5}, kLengthInvalid, {}, ""},
        {"get name V1", kCfg, kGetName, {}, 0, Bytes("Config unit"), "2/0/64/-"},
        {"set name V1, 5 bytes as 8", kCfg, kSetName, Bytes("Hello"), 0, {}, "2/1/8/48656c6c6f000000"},
        {"set name V1, 64 bytes", kCfg, kSetName, x(64), 0, {}, "2/1/64/" + Hex(x(64))},
        {"set name V1, 65 bytes", kCfg, kSetName, x(65), kLengthInvalid, {}, ""},
        {"get name V0", kOld, kGetName, {}, 0, Bytes("Old unit"), "2/0/20/-"},
        {"set name V0, 20 bytes reversed", kOld, kSetName, Bytes(name20), 0, {}, "2/1/20/" + hex(stored20)},
        {"set name V0, padded first", kOld, kSetName, Bytes("abc"), 0, {}, "2/1/3/" + Zeros(17) + hex("cba")},
        {"set name V0, 21 bytes", kOld, kSetName, x(21), kLengthInvalid, {}, ""},
        {"get name, no string channel", kPlain, kGetName, {}, kUnsupportedFunction, {}, ""},
        {"set name, no string channel", kPlain, kSetName, Bytes("x"), kUnsupportedFunction, {}, ""},
        {"get name, layout 2", kAnalog, kGetName, {}, kVersionUnsupported, {}, ""},
        {"set name, layout 2", kAnalog, kSetName, Bytes("x"), kVersionUnsupported, {}, ""},
        {"set link status", kCfg, kSetLinkStatus, {7}, 0, {}, "3/1/1/07000000"},
        {"get link status", kCfg, kGetLinkStatus, {}, 0, std::vector<uint8_t>{7}, "3/0/1/-"},
        {"set link status, 2 bytes", kCfg, kSetLinkStatus, {1, 2}, kLengthInvalid, {}, ""},
        {"set model", kCfg, kSetModel, {0x12, 0x34}, 0, {}, "6/1/2/12340000"},
        {"set model, 1 byte", kCfg, kSetModel, {0x12}, kLengthInvalid, {}, ""},
        {"set password", kCfg, kSetPassword, {1, 'a', 'b', 'c'}, 0, {}, "7/1/36/01" + Zeros(32) + hex("cba")},
        {"set password, setting 2", kCfg, kSetPassword, {2, 'a'}, kDataInvalid, {}, ""},
        {"set password, no setting", kCfg, kSetPassword, {}, kLengthInvalid, {}, ""},
        {"set password, 33 bytes", kCfg, kSetPassword, std::vector<uint8_t>(34, 1), kLengthInvalid, {}, ""},
        {"store UART settings", kCfg, kStoreUart, {}, 0, {}, "8/1/8/" + Zeros(8)},
        {"store UART settings, layouts 0 and 1 only", kOld, kStoreUart, {}, kNoUartChannel, {}, ""},
        {"store DIO settings", kCfg, kStoreDio, {}, 0, {}, "9/1/28/" + Zeros(28)},
        {"store DIO settings, layout 1 only", kOld, kStoreDio, {}, kNoDioChannel, {}, ""},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.What);
        const std::string before = Show(tc.Unit, "ctu-executes");
        EXPECT_TRUE(Answers(clients[tc.Unit], tc.Code, tc.Payload, tc.Status, tc.Answer));
        if (tc.UnitSide.empty()) {
            EXPECT_EQ(Show(tc.Unit, "ctu-executes"), before);
        } else {
            EXPECT_EQ(Show(tc.Unit, "ctu-last"), tc.UnitSide);
        }
        if (tc.Code == ctu::kSetPassword && tc.Status == 0) {
            // The unit checks connects against it, and the connect record keeps it.
            EXPECT_EQ(Show(tc.Unit, "ctu-password"), hex("abc"));
            EXPECT_TRUE(IsResponse(Ask(mng::kGetVnPassword, mng::MacBytes(kCfg)), mng::kGetVnPassword,
                                   mng::kSuccess, Concat({mng::MacBytes(kCfg), {3}, Bytes("abc")})));
        }
    }
    Step("password cleared");
    EXPECT_TRUE(Answers(clients[kCfg], ctu::kSetPassword, {0}, 0));
    EXPECT_EQ(Show(kCfg, "ctu-last"), "7/1/36/" + Zeros(36));
    EXPECT_EQ(Show(kCfg, "ctu-password"), "-");
    EXPECT_TRUE(IsResponse(Ask(mng::kGetVnPassword, mng::MacBytes(kCfg)), mng::kGetVnPassword, mng::kSuccess,
                           Concat({mng::MacBytes(kCfg), {0}})));

    // What the unit answers, and the statuses that makes.
    struct FaultCase {
        const char* Fault;  // control command for the unit, MAC put in at '@'
        uint16_t Code;
        std::vector<uint8_t> Payload;
        uint16_t Status;
    };
    const std::vector<FaultCase> faults = {
        {"ctu-event @ code 15", kSetLinkStatus, {1}, kUnsupportedCommand},
        {"ctu-event @ code 2", kSetLinkStatus, {1}, kTxFail},
        {"ctu-event @ class 2", kSetLinkStatus, {1}, kTimeout},  // a memory event completes no command
        {"ctu-event @ drop", kGetMac, {}, kTimeout},
        {"answer-fault @ tid", kGetLinkStatus, {}, kTimeout},
        {"answer-fault @ offset", kGetLinkStatus, {}, kTimeout},
        {"answer-fault @ length", kGetLinkStatus, {}, kTimeout},
        {"answer-fault @ drop", kGetMac, {}, kTimeout},
        {"ctu-calibration @ 1 100", kGetCalT0, {}, kFormatInvalid},    // a type-1 table
        {"ctu-calibration @ 0 100 5", kGetCalT0, {}, kFormatInvalid},  // not a MAI table
        {"ctu-calibration @ 0 2100", kGetCalT0, {}, kFormatInvalid},   // larger than a response
        {"ctu-calibration @ 0 7937", kGetCalT0, {}, kNoData},          // more than 31 reads
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.Fault);
        std::string cmd = f.Fault;
        cmd.replace(cmd.find('@'), 1, MacString(kCfg));
        ASSERT_TRUE(sim_->Ok(cmd)) << sim_->LastAnswer();
        EXPECT_TRUE(Answers(clients[kCfg], f.Code, f.Payload, f.Status));
    }

    Step("calibration tables");
    // The header as stored, then the table; answers longer than asked stay within the table.
    auto table = [](uint8_t type, size_t n) {
        std::vector<uint8_t> v = {
            0xCA, 0x1B, 10, 0, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0, type, 0, 0, 0x5A};
        for (size_t i = 0; i < n; ++i) v.push_back(static_cast<uint8_t>(i * 7 + 3));
        return v;
    };
    ASSERT_TRUE(sim_->Ok("ctu-calibration " + MacString(kCfg) + " 1 300"));
    ASSERT_TRUE(sim_->Ok("ctu-nvm-extra " + MacString(kCfg) + " 64"));
    EXPECT_TRUE(Answers(clients[kCfg], ctu::kGetCalT1, {}, 0, table(1, 300)));
    ASSERT_TRUE(sim_->Ok("ctu-calibration " + MacString(kCfg) + " 0 2024"));
    EXPECT_TRUE(Answers(clients[kCfg], ctu::kGetCalT0, {}, 0, table(0, 2024)));
}

// The file checks themselves are pure functions with a unit test of their own; here: that the
// unit's type and model reach them, the file reading, and the transfer.
TEST_F(CtuTest, FirmwareFilesAreCheckedBeforeAByteGoesToTheUnitThenStreamedAndProgrammed) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"ctu_config", kCfg}}));
    char dirTemplate[] = "/tmp/ctu-fw-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    auto file = [&](const std::string& name, auto change) {
        ctu::Firmware f;
        f.Model = "VN-CFG1";
        f.Image = ctu::PatternImage(1024);
        change(f);
        const auto bytes = ctu::BuildFirmware(f);
        const std::string path = dir + "/" + name;
        EXPECT_TRUE(WriteFile(path, std::string(bytes.begin(), bytes.end())));
        return path;
    };
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(WriteFile(dir + "/empty", ""));

    ctu::Client c = Open(ConnectUnit(kCfg));
    const std::vector<std::pair<std::string, uint16_t>> refused = {
        {file("model", [](auto& f) { f.Model = "VN-CFG2"; }), ctu::kModelMismatch},
        {file("type", [](auto& f) { f.UnitType = 0; }), ctu::kTypeMismatch},
        {file("crc", [](auto& f) { f.Crc = 0xBAD; }), ctu::kChecksumMismatch},
        {dir + "/empty", ctu::kFileNoContent},
        {dir + "/missing", ctu::kFileOpenFail},
        {fifo, ctu::kFileOpenFail},
        {dir, ctu::kFileOpenFail},
        {"/dev/zero", ctu::kFileOpenFail},
        {"/" + std::string(511, 'a'), ctu::kLengthInvalid},
        {"", ctu::kLengthInvalid},
    };
    for (const auto& [path, status] : refused) {
        SCOPED_TRACE(path.substr(0, 60));
        EXPECT_TRUE(Answers(c, ctu::kFirmwareUpdate, Bytes(path), status));
    }
    EXPECT_EQ(Show(kCfg, "ctu-executes"), "0") << "the unit was touched";

    Step("the unit refuses");
    const std::string good = file("good", [](auto&) {});
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " fail-block 2"));
    EXPECT_TRUE(Answers(c, ctu::kFirmwareUpdate, Bytes(good), ctu::kDownloadFail));
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " fail-block off"));
    ASSERT_TRUE(sim_->Ok("ctu-event " + MacString(kCfg) + " code 2"));
    EXPECT_TRUE(Answers(c, ctu::kFirmwareUpdate, Bytes(good), ctu::kTotalLengthFail));
    // The unit takes 1.2 s for the length: a file that allows one second times out.
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " total-wait 1200"));
    EXPECT_TRUE(Answers(c, ctu::kFirmwareUpdate, Bytes(file("wait1", [](auto& f) { f.WaitSeconds = 1; })),
                        ctu::kTimeout, std::nullopt, 5s));
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " total-wait 0"));
    std::this_thread::sleep_for(500ms);  // the late answer arrives, with nobody waiting for it

    // Progress events in order; a failed programming keeps the unit connected, a finished one
    // disconnects it and it can be connected again.
    auto update = [&](const std::string& path, uint16_t last, const std::string& fw) {
        EXPECT_TRUE(Answers(c, ctu::kFirmwareUpdate, Bytes(path), ctu::kDownloadOk, std::nullopt, 5s));
        EXPECT_EQ(Show(kCfg, "ctu-fw"), fw);
        const uint16_t events[] = {ctu::kEventProgramOk, ctu::kEventProgramOk, ctu::kEventProgramOk, last};
        for (uint16_t e : events) {
            auto ev = c.WaitEvent(2s);
            ASSERT_TRUE(ev) << c.Error();
            EXPECT_EQ(ev->Hdr.Code, e);
        }
    };
    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " end fail"));
    update(good, ctu::kEventProgramFail, "1024/1024/1");
    EXPECT_TRUE(Connected(kCfg));

    Step("image size 0: the length alone");
    EXPECT_TRUE(Answers(c, ctu::kFirmwareUpdate, Bytes(file("zero", [](auto& f) { f.Image.clear(); })),
                        ctu::kDownloadOk));
    EXPECT_EQ(Show(kCfg, "ctu-last"), "4/1/4/00000000");

    ASSERT_TRUE(sim_->Ok("ctu-firmware " + MacString(kCfg) + " end ok"));
    update(good, ctu::kEventProgramFinish, "1024/1024/2");
    EXPECT_TRUE(Eventually([&] { return !Connected(kCfg); }, 3s));
    EXPECT_TRUE(c.WaitClosed(3s));
    c = Open(ConnectUnit(kCfg));
    EXPECT_TRUE(Answers(c, ctu::kGetMac, {}, 0, mng::MacBytes(kCfg)));
}

TEST_F(CtuTest, AMacChangeDisconnectsTheUnitWhichIsFoundAgainUnderItsNewMac) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"ctu_config", kCfg}}));
    ctu::Client c = Open(ConnectUnit(kCfg));
    EXPECT_TRUE(Answers(c, ctu::kSetMac, mng::MacBytes(kNew), 0));
    EXPECT_TRUE(Eventually([&] { return !Connected(kCfg); }, 3s));
    EXPECT_TRUE(WaitListed(client_, kNew));
    EXPECT_EQ(Show(kNew, "ctu-last"), "1/1/6/77c200000002" + Zeros(2));
    ctu::Client again = Open(ConnectUnit(kNew));
    EXPECT_TRUE(Answers(again, ctu::kGetMac, {}, 0, mng::MacBytes(kNew)));
}

TEST_F(CtuTest, ANewPasswordIsTheOneTheUnitChecksAndTheServiceSends) {
    const Mac unit{0x02, 0x00, 0x00, 0x00, 0xC2, 0x21};
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"advance_password", unit}}));
    auto r = Connect(client_, mng::ConnectRecord(unit, "varnel-secret"));
    ASSERT_TRUE(r);
    ctu::Client c = Open(static_cast<uint16_t>(r->CtuPort));
    EXPECT_TRUE(Answers(c, ctu::kSetPassword, Concat({{1}, Bytes("fresh")}), 0));
    // The disconnect carries the stored form of the new password, or the unit refuses it.
    EXPECT_TRUE(IsResponse(Ask(mng::kVnDisconnect, mng::MacBytes(unit)), mng::kVnDisconnect, mng::kSuccess,
                           mng::MacBytes(unit)));
    auto old = Ask(mng::kVnConnect, mng::ConnectRecord(unit, "varnel-secret"));
    EXPECT_TRUE(old && old->Hdr.Status == mng::kPasswordIncorrect);
    EXPECT_TRUE(Connect(client_, mng::ConnectRecord(unit, "fresh")));
}

TEST_F(CtuTest, Event7DisconnectsAndALateCompletionEventAnswersNoLaterCommand) {
    ASSERT_NO_FATAL_FAILURE(StartWithUnits({{"ctu_config", kCfg}}));
    ctu::Client c = Open(ConnectUnit(kCfg));
    Step("late event");
    // The set's event comes 700 ms late, during the next command's read of its answer word
    // (held back 350 ms): it must complete neither.
    ASSERT_TRUE(sim_->Ok("ctu-event " + MacString(kCfg) + " late 700"));
    ASSERT_TRUE(sim_->Ok("answer-fault " + MacString(kCfg) + " late 350"));
    EXPECT_TRUE(Answers(c, ctu::kSetLinkStatus, {5}, ctu::kTimeout));
    EXPECT_TRUE(Answers(c, ctu::kGetLinkStatus, {}, 0, std::vector<uint8_t>{5}));
    EXPECT_TRUE(Answers(c, ctu::kGetMac, {}, 0, mng::MacBytes(kCfg)));

    Step("event 7");
    ASSERT_TRUE(sim_->Ok("event " + MacString(kCfg) + " 0 1 7 0 0"));
    auto ev = c.WaitEvent(2s);
    ASSERT_TRUE(ev) << c.Error();
    EXPECT_EQ(ctu::Describe(*ev), ctu::Describe({{1, ctu::kEventProgramFinish, 0, 0}, {}}));
    EXPECT_TRUE(Eventually([&] { return !Connected(kCfg); }, 3s));
    EXPECT_TRUE(c.WaitClosed(3s));
}

}  // namespace
}  // namespace qortest
