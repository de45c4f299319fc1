// The configuration menu's CTU client against a scripted CTU port: what a real service seldom
// sends (late and foreign answers, events before a response, a payload larger than the
// console's buffer), the path it hands on, and why a unit cannot be entered. The everyday
// screens are the pty test's.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "console_test_support.h"
#include "vn_configuration.h"

using namespace console_test;

namespace {

Bytes Ctu(uint16_t code, uint16_t status, size_t length = 0) {
    return Packet(code, status, Bytes(length, 0x5A));
}

class ConfigurationMenu : public ConnectedClient {
  protected:
    void SetUp() override {
        ConnectedClient::SetUp();
        // The management service lists the unit with the scripted CTU port.
        service.Answer = [this](const Request& r) {
            return Packet(static_cast<uint16_t>(0x8000 | r.Code), 0,
                          Cat({Mac(0x21), Bytes(22, 0), Be32(ctu.Port()), Be32(0)}));
        };
    }
    FakeService ctu;
};

}  // namespace

TEST_F(ConfigurationMenu, OnlyTheRequestsOwnAnswerCountsAndRelativeFirmwarePathsAreMadeAbsolute) {
    ctu.Answer = [](const Request& r) {
        switch (r.Code) {
            case 4:  // the answer, then one that arrives after its request gave up
                return Cat({Ctu(0x8004, 0), Ctu(0x800A, 50)});
            case 10:  // an event and another command's answer come first
                return Cat({Ctu(0x1001, 0), Ctu(0x8002, 2), Ctu(0x800A, 0)});
            case 11:  // more payload than the console's buffer holds
                return Ctu(0x800B, 0, 3000);
            default:
                return Ctu(static_cast<uint16_t>(0x8000 | r.Code), 64);
        }
    };
    StdinFeed in(
        "020000000021\nbname\nde"
        "ffw.bin\nq");
    VnConfiguration(&client);
    const std::string screen = out.Take();
    size_t at = 0;
    for (const char* line :
         {"Set VN device name ok.", "Store VN UART setting to flash ok.", "Store VN DIO setting to flash ok.",
          "Set firmware file and update fail.", "CTU status : FIRMWARE_FILE_OPEN_FAIL"}) {
        at = screen.find(line, at);
        ASSERT_NE(std::string::npos, at) << line << " missing from:\n" << screen;
    }
    EXPECT_EQ(1, Count(screen, "fail"));
    const auto sent = ctu.Requests();
    ASSERT_EQ(4u, sent.size());
    char cwd[512];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
    const std::string path = std::string(cwd) + "/fw.bin";
    EXPECT_EQ(Bytes(path.begin(), path.end()), sent[3].Payload);
}

// The unit cannot be configured: the connected-units answer, the screen after the typed MAC.
// No CTU request follows. A time-out shows the console's own text.
TEST_F(ConfigurationMenu, EntryFailuresAreShownAndNoCtuRequestIsMade) {
    // A loopback port bound but not listening: connecting to it is refused.
    const int closed = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof(addr);
    ASSERT_EQ(0, bind(closed, reinterpret_cast<sockaddr*>(&addr), len));
    ASSERT_EQ(0, getsockname(closed, reinterpret_cast<sockaddr*>(&addr), &len));
    const auto unit = [](uint8_t last, uint32_t port) {
        return Cat({Mac(last), Bytes(22, 0), Be32(port), Be32(0)});
    };
    const std::pair<Bytes, std::string> cases[] = {
        {{}, "Socket receive data timeout.\n\n"},
        {Packet(0x800D, 0, {}), "Please Connect to VN.\n"},
        {Packet(0x800D, 0, unit(0x22, ctu.Port())), "Please Connect to VN.\n"},
        {Packet(0x800D, 0, Cat({unit(0x22, ctu.Port()), unit(0x21, ntohs(addr.sin_port))})),
         "Connect VN CTU service fail.\n"},
        {Packet(0x800D, 0, unit(0x21, 0x10000 + ctu.Port())), "Connect VN CTU service fail.\n"},
    };
    size_t asked = 0;
    for (const auto& [answer, text] : cases) {
        service.Answer = [&a = answer](const Request&) { return a; };
        StdinFeed in("020000000021\n");
        VnConfiguration(&client);
        EXPECT_EQ("d[#_#]b : mac (e.g. x0012f3a4b5c6)    ? x\nd[#_#]b : " + text, out.Take());
        EXPECT_EQ(++asked, service.Requests().size());  // one question to the service each
    }
    close(closed);
    EXPECT_TRUE(ctu.Requests().empty());
}
