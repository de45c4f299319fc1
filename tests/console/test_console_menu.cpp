// Main-menu actions with the operator's keys fed through standard input and a scripted
// service: prompts, input rules, and each action's screen for everyday answers and for those
// a real service rarely gives (errors, short and cut records).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "console_test_support.h"
#include "pem_main.h"

using namespace console_test;

namespace {

const std::string kMacPrompt = "d[#_#]b : mac (e.g. x0012f3a4b5c6)    ? x";
const std::string kFlagPrompt = "d[#_#]b : password request (1 byte)   ? x";
const std::string kPwdPrompt = "d[#_#]b : password (max 32 byte)      ? ";
const std::string kWait = "\nd[#_#]b : Waitting ...";
const std::string kSay = "\nd[#_#]b : ";
// Connect's prompts up to the password: MAC, the flag's meaning, the flag.
const std::string kAsk = kMacPrompt + "d[#_#]b : 0x00->NO, 0x01->YES\n" + kFlagPrompt;

Bytes Ok(const Request& r, const Bytes& payload = {}, uint16_t status = 0) {
    return Packet(static_cast<uint16_t>(0x8000 | r.Code), status, payload);
}

Bytes BasicUnit(uint8_t last, const std::string& model, uint8_t link, uint8_t mapping, uint8_t chls,
                uint8_t minor) {
    return Cat({Mac(last),
                Padded(model, 10),
                {0x01, link},
                link == 1 ? Bytes{0x02, 0, 0, 1, 0, 0} : Bytes(6, 0),
                {mapping, chls, 2, minor}});
}

}  // namespace

class ConsoleMenu : public ConnectedClient {
  protected:
    // Runs one menu key with Typed as the operator's further input; returns the screen.
    std::string Run(int key, const std::string& typed = "") {
        StdinFeed in(typed);
        EXPECT_EQ(1, PemMenuDispatch(&client, key));
        return out.Take();
    }
};

// MACs, passwords and debug switches the console refuses, or input that ends half-way.
TEST_F(ConsoleMenu, InvalidInputIsRefusedWithoutContactingTheService) {
    const std::string refused = kMacPrompt + kSay + "VN mac data invalid.\n";
    const std::string overlong = std::string(60000, 'a') + "\n";
    for (const std::string typed : {"00000000001\n", "0000000000112\n", "00000000001g\n", "x020000000011\n",
                                    "0200:0000:0011\n", "\n\n", overlong.c_str()}) {
        for (int key : std::initializer_list<int>{'g', 'h', 'J', 'k', '.', 0x1F, 'f'})
            EXPECT_EQ(refused, Run(key, typed)) << "key " << key << " input " << typed;
        EXPECT_EQ(kMacPrompt + kSay + "NIC mac data invalid.\n", Run('e', typed));
    }
    EXPECT_EQ(kAsk + kPwdPrompt + kSay + "Password data invalid.\n",
              Run('j', "020000000015\n01\n" + std::string(33, 'p') + "\n"));
    Run(',', "yy");
    EXPECT_TRUE(service.Requests().empty());
}

TEST_F(ConsoleMenu, UnhandledKeysPrintAnEmptyLineQuestionMarkTheMenuAndQQuits) {
    for (int key : std::initializer_list<int>{'z', 'R', '1', ' ', 0, 0x1B, 0xFF, 0x7F})
        EXPECT_EQ("\n", Run(key)) << key;
    const std::string menu = Run('?'), rule = std::string(36, '-');
    EXPECT_EQ(0u, menu.find(">" + rule + "<\n    A : get service & driver info\n"));
    EXPECT_TRUE(menu.ends_with("    Q : quit\n>" + rule + "<\n") && Count(menu, "\n") == 17) << menu;
    StdinFeed in("");
    EXPECT_EQ(0, PemMenuDispatch(&client, 'q'));
    EXPECT_EQ(0, PemMenuDispatch(&client, 'Q'));
    EXPECT_TRUE(service.Requests().empty());
}

// One menu action against one scripted answer: the screen it leaves, the command it sent last
// (a sequence that stops early shows here too), the typed MAC as that command's first bytes
// and, where given, that command's whole payload.
struct ActionCase {
    int Key;
    std::string Typed;
    Bytes Payload;
    uint16_t Status;
    bool Echo;  // answer with the request's own payload
    uint16_t LastCode;
    std::string Screen;
    Bytes Sent = {};  // the last command's payload, when not empty
};

TEST_F(ConsoleMenu, EachActionShowsItsAnswer) {
    const std::string dash41 = std::string(41, '-') + "\n", eq30 = std::string(30, '=') + "\n";
    auto info = [&](const std::string& service, const std::string& tty, const std::string& startup) {
        return "<CLEAR>" + dash41 + " Program Version     : 1.0.8.0\n Service Version     : " + service +
               "\n TTY Driver Version  : " + tty + "\n TTY Driver Startup  : " + startup + "\n" + dash41;
    };
    auto table = [](const std::string& header, const std::string& rows) {
        const std::string dashes = std::string(header.size(), '-') + "\n";
        return "<CLEAR>" + dashes + header + "\n" + dashes + rows;
    };
    const std::string nics =
        table(" Index |         Mac         |  Name",
              "   03     02:00:00:01:00:00     veth0\n   12     02:00:00:01:00:01     eth.1\n");
    const std::string units =
        table("        Mac         |  Link Status  | Mapping | Minor V | Chls | Model Name",
              " 02:00:00:00:00:11      DISCONNECT      NO        x07      03     VN-U2S\n"
              " 02:00:00:00:00:12      CONNECTED       YES       xab      12     0123456789\n");
    const std::string connectHead = kAsk + kWait;
    const std::string mac11 = "020000000011\n";
    const Bytes infoAnswer =
        Cat({{8, '1', '.', '0', '.', '1', '5', '.', '0'}, {7, '1', '.', '0', '.', '4', '.', '0'}, {1}});
    // A NIC name cut by the answer's end, with an escape byte shown as a dot.
    const Bytes nicAnswer = Cat({{3, 0x02, 0, 0, 1, 0, 0, 5, 'v', 'e', 't', 'h', '0'},
                                 {12, 0x02, 0, 0, 1, 0, 1, 200, 'e', 't', 'h', 0x1B, '1'}});
    // A trailing part-record is not shown.
    const Bytes searchAnswer = Cat(
        {BasicUnit(0x11, "VN-U2S", 0, 0, 3, 7), BasicUnit(0x12, "0123456789", 1, 1, 12, 0xAB), {1, 2, 3}});
    // The second unit claims 9 channels but carries one and a half.
    const Bytes allMappings = Cat({Mac(0x11), {2, 1, 0, 2, 0xFF}, Mac(0x14), {9, 1, 4, 7}});
    const Bytes connected = Cat({BasicUnit(0x11, "VN-U2S", 1, 1, 3, 7), Be32(50001), Be32(0),
                                 BasicUnit(0x12, "VN-A4M", 1, 0, 6, 1), Be32(50002), Be32(55002)});
    const Bytes cut = {1, 2, 3};
    const std::string mw = kMacPrompt + kWait, d = kSay;
    const Bytes none;
    const std::string debugScreen =
        "d[#_#]b : printf enable (y/n)         ? y\n"
        "d[#_#]b : log enable (y/n)            ? \n"
        "d[#_#]b : log enable (y/n)            ? N\n"
        "d[#_#]b : VN IPC enable (y/n)         ? y\n"
        "d[#_#]b : management IPC enable (y/n) ? \n"
        "d[#_#]b : management IPC enable (y/n) ? n\n"
        "d[#_#]b : CTU IPC enable (y/n)        ? Y\n"
        "d[#_#]b : SIO IPC enable (y/n)        ? n\n"
        "d[#_#]b : NLK IPC enable (y/n)        ? n\n"
        "\nd[#_#]b : Set debug configuration ok.\n";
    const ActionCase cases[] = {
        {'A', "", infoAnswer, 0, false, 1, info("1.0.15.0", "1.0.4.0", "YES")},
        {'a', "", none, 0, false, 1, d + "No data return.\n"},
        {'a', "", {200, '1', '.', '0'}, 0, false, 1, d + "Get service version string fail.\n\n"},
        {'a', "", {1, '9', 50, '1', '.'}, 0, false, 1, info("9", "1.", "NO")},
        {'b', "", nicAnswer, 0, false, 3, nics},
        {'C', "", nicAnswer, 0, false, 4, nics},
        {'b', "", none, 0, false, 3, d + "No NIC found.\n"},
        {'c', "", none, 17, false, 4, d + "NIC refresh fail.\n\n"},
        {'d', "", searchAnswer, 0, false, 5, kWait + units},
        {'E', "020000010000\n", searchAnswer, 0, false, 6, mw + units},
        {'D', "", none, 0, false, 5, kWait + d + "No VN found.\n"},
        {'e', "0200000100ff\n", none, 16, true, 6, mw + d + "NIC not found.\n\n"},
        {'g', mac11, Cat({Mac(0x11), {2, 1, 0, 2, 1}}), 0, false, 8,
         mw + "<CLEAR>MAC : 02:00:00:00:00:11\n" + eq30 +
             " Chl |  Mapping\n 01     ttyVN0\n 02     ttyVN1\n"},
        {'G', mac11, cut, 0, false, 8, mw + d + "Extra data length invalid, Length:3\n\n"},
        {'i', "", allMappings, 0, false, 10,
         "<CLEAR>MAC : 02:00:00:00:00:11\n" + eq30 + " Chl |  Mapping\n 01     ttyVN0\n 02     NONE\n\n" +
             "MAC : 02:00:00:00:00:14\n" + eq30 + " Chl |  Mapping\n 01     ttyVN4\n"},
        {'H', mac11, none, 0, false, 9, mw + d + "Extra data length invalid.\n"},
        {'G', mac11, none, 48, true, 8, mw + d + "VN mapping already.\n\n"},
        {'I', "", none, 0, false, 10, d + "No mapping info found.\n"},
        {'k', mac11, none, 0, true, 12, mw + d + "Disconnect ok.\n"},
        {'K', mac11, none, 70, true, 12, mw + d + "Disconnected already.\n\n"},
        {0x1F, mac11, none, 0, true, 9, mw + d + "Disconnect ok." + kWait + d + "Un-mapping ok.\n"},
        {'h', mac11, none, 49, true, 9, mw + d + "VN not mapping.\n\n"},
        // A MAC followed by more words on its line: the rest of the line is not taken later.
        {'h', "0200000000aA trailing words\n", none, 0, true, 9, mw + d + "UnMapping ok.\n"},
        {'l', "", connected, 0, false, 13,
         table("        Mac         | CTU tp | SIO tp |Mapping| Minor V | Chls | Model Name",
               " 02:00:00:00:00:11    50001    NONE      YES      x07      03     VN-U2S\n"
               " 02:00:00:00:00:12    50002    55002     NO       x01      06     VN-A4M\n")},
        {'L', "", BasicUnit(0x11, "short", 1, 1, 3, 7), 0, false, 13, d + "No VN found.\n"},
        // Connect: the flag prompt repeats until two hex digits, a password goes only with flag 1,
        // the ports only when the answer has them; a wrong length, refusals.
        {'j', "020000000011\n1\n001\nzz\n" + std::string(300, '0') + "\n01\n" + std::string(32, 'p') + "\n",
         Cat({Mac(0x11), Be32(50001), Be32(55001)}), 0, false, 11,
         kAsk + kFlagPrompt + kFlagPrompt + kFlagPrompt + kFlagPrompt + kPwdPrompt + kWait + kSay +
             "Connect ok (CTU tcp port:50001, SIO tcp port:55001).\n\n",
         Cat({Mac(0x11), {1}, Bytes(32, 'p')})},
        {'j', mac11 + "0A\n", none, 1, false, 11, connectHead + d + "Parameter invalid.\n\n",
         Cat({Mac(0x11), {0x0A}})},
        {'j', mac11 + "00\n", Mac(0x11), 0, false, 11, connectHead + d + "Connect ok.\n"},
        {'j', mac11 + "00\n", Bytes(10, 0), 0, false, 11, connectHead + d + "Extra data length invalid.\n"},
        {'j', mac11 + "00\n", Mac(0x11), 64, false, 11, connectHead + d + "Connected already.\n\n"},
        {'j', mac11 + "00\n", Mac(0x11), 69, false, 11, connectHead + d + "Password is incorrect.\n\n"},
        // The detail view opens only after a good first update.
        {'F', "020000000077\nb", none, 0, false, 14, mw + d + "No extra data.\n"},
        {'f', "020000000077\nb", cut, 0, false, 14, mw + d + "Extra data length invalid.\n"},
        // Map-then-connect and disconnect-then-unmap stop at the first failure.
        {'.', "020000000099\n00\n", none, 32, true, 8, connectHead + d + "VN not found.\n\n"},
        {0x1F, mac11, none, 71, true, 12, mw + d + "Disconnect timeout.\n\n"},
        // Debug switches: y or n in either case, other keys ask again.
        {',', "yxNy\nnYnn", none, 0, false, 2, debugScreen, {1, 0, 1, 0, 1, 0, 0}},
    };
    for (const ActionCase& c : cases) {
        SCOPED_TRACE(std::string("key ") + static_cast<char>(c.Key) + " typed " + c.Typed);
        service.Answer = [&c](const Request& r) { return Ok(r, c.Echo ? r.Payload : c.Payload, c.Status); };
        const size_t before = service.Requests().size();
        EXPECT_EQ(c.Screen, Run(c.Key, c.Typed));
        const auto requests = service.Requests();
        ASSERT_GT(requests.size(), before);
        EXPECT_EQ(std::tuple(1, c.LastCode, 0, requests.back().Payload.size()),
                  std::tuple(requests.back().Version, requests.back().Code, requests.back().Status,
                             requests.back().Length));
        uint8_t mac[6];
        if (c.Typed.size() >= 12 && sscanf(c.Typed.c_str(), "%2hhx%2hhx%2hhx%2hhx%2hhx%2hhx", &mac[0],
                                           &mac[1], &mac[2], &mac[3], &mac[4], &mac[5]) == 6) {
            ASSERT_GE(requests.back().Payload.size(), 6u);
            EXPECT_EQ(Bytes(mac, mac + 6),
                      Bytes(requests.back().Payload.begin(), requests.back().Payload.begin() + 6));
        }
        if (!c.Sent.empty()) {
            EXPECT_EQ(c.Sent, requests.back().Payload);
        }
    }
}

TEST_F(ConsoleMenu, MapThenConnectPassesThePassword) {
    service.Answer = [](const Request& r) {
        if (r.Code == 8) return Ok(r, Cat({Mac(0x11), {0}}));
        return Ok(r, Cat({Mac(0x11), Be32(50001), Be32(55001)}));
    };
    EXPECT_EQ(kAsk + kPwdPrompt + kWait + kSay + "Mapping ok." + kWait + kSay + "Connect ok.\n",
              Run('.', "020000000011\n01\npw\n"));
    ASSERT_EQ(2u, service.Requests().size());
    EXPECT_EQ(8, service.Requests()[0].Code);
    EXPECT_EQ(Cat({Mac(0x11), {1, 'p', 'w'}}), service.Requests()[1].Payload);
}

// The detail view opens after a good update; its menu ignores other keys, maps C to O to the
// views, updates again, and keeps the unit shown after a failed update.
TEST_F(ConsoleMenu, DetailSubMenuUpdatesIgnoresOtherKeysAndKeepsTheUnitAfterAFailure) {
    const Bytes record = Cat({BasicUnit(0x13, "VN-D20", 0, 0, 0, 3), Be32(0), Be32(0)});
    int n = 0;
    service.Answer = [&n, record](const Request& r) {
        return n++ < 2 ? Ok(r, record) : Ok(r, r.Payload, 32);
    };
    const std::string sub = "d[#_#]b >> CMD ? ", rule(34, '-'), ok = kSay + "Update VN info ok.\n";
    const std::string screen = Run('f', "020000000013\nzacdefghijklmnoab");
    EXPECT_EQ(0u,
              screen.find(kMacPrompt + kWait + ok + "<CLEAR>>>" + rule + "<<\n    A : update Varnel info\n"));
    // Keys C to O show one channel type each; this unit has none.
    std::string views;
    for (const char* name : {"CONTROL UNIT", "UART", "PARALLEL", "DIO", "COUNTER", "AI", "AO", "UI", "UO",
                             "Bipolar AO", "Multi-Function AI", "Temperature Sensor", "STRING"})
        views += sub + kSay + "No " + name + " channel.\n";
    EXPECT_NE(std::string::npos,
              screen.find("    Q : quit\n>>" + rule + "<<\n" + sub + "\n" + sub + kWait + ok + views + sub +
                          kWait + kSay + "VN not found.\n\n" + sub + "<CLEAR>"))
        << screen;
    EXPECT_NE(std::string::npos, screen.find("  Model Name          : VN-D20\n"));
    EXPECT_EQ(0, memcmp(client.VnInfo.Mac, Mac(0x13).data(), 6));
}
