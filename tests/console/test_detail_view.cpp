// The unit detail view: decoding of the detail info record and every channel view, fed with
// hand-built records (no service needed).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "console_test_support.h"
#include "vn_get_detail_info.h"

using namespace console_test;

namespace {

struct Dib {
    uint8_t Chl;
    uint8_t Type;
    uint8_t Info;
    Bytes Extra;
    int LengthInDW = -1;   // default: from the extra data
    int ExtraLength = -1;  // default: the extra data's size
    uint8_t Minor = 0;
};

struct Unit {
    Bytes MacBytes = Mac(0x11);
    std::string Model = "VN-TEST";
    uint8_t TypeInfo = 0x01;
    uint8_t LinkStatus = 0;
    Bytes HostMac = Bytes(6, 0);
    uint8_t Mapping = 0;
    int Available = -1;  // default: number of DIBs
    uint8_t Major = 2;
    uint8_t Minor = 7;
    uint32_t CtuPort = 0;
    uint32_t SioPort = 0;
    std::vector<Dib> Dibs;
};

Bytes Record(const Unit& u) {
    Bytes r = u.MacBytes;
    Bytes model(10, 0);
    memcpy(model.data(), u.Model.data(), std::min<size_t>(10, u.Model.size()));
    r.insert(r.end(), model.begin(), model.end());
    r.push_back(u.TypeInfo);
    r.push_back(u.LinkStatus);
    r.insert(r.end(), u.HostMac.begin(), u.HostMac.end());
    r.push_back(u.Mapping);
    r.push_back(static_cast<uint8_t>(u.Available >= 0 ? u.Available : static_cast<int>(u.Dibs.size())));
    r.push_back(u.Major);
    r.push_back(u.Minor);
    for (uint32_t port : {u.CtuPort, u.SioPort}) {
        for (int s = 24; s >= 0; s -= 8) r.push_back(static_cast<uint8_t>(port >> s));
    }
    for (const Dib& d : u.Dibs) {
        const int lengthInDw = d.LengthInDW >= 0 ? d.LengthInDW : static_cast<int>(d.Extra.size() / 4 + 1);
        r.push_back(d.Chl);
        r.push_back(d.Type);
        r.push_back(static_cast<uint8_t>(lengthInDw));
        r.push_back(d.Info);
        r.push_back(d.Minor);
        r.push_back(
            static_cast<uint8_t>(d.ExtraLength >= 0 ? d.ExtraLength : static_cast<int>(d.Extra.size())));
        r.insert(r.end(), d.Extra.begin(), d.Extra.end());
    }
    return r;
}

_VN_INFO Decode(const Unit& u) {
    _VN_INFO info{};
    const Bytes r = Record(u);
    EXPECT_EQ(1, VnInfoDecode(r.data(), r.size(), &info));
    return info;
}

std::string View(void (*print)(const _VN_INFO*), const _VN_INFO& info) {
    OutputCapture out;
    print(&info);
    return out.Take();
}

std::string Field(const std::string& label, const std::string& value) {
    std::string line = " " + label;
    line.resize(39, ' ');
    return line + ": " + value + "\n";
}

Bytes Extra(std::initializer_list<uint8_t> head, size_t size) {
    Bytes e(head);
    e.resize(size, 0);
    return e;
}

const std::string kEquals = std::string(60, '=') + "\n";

}  // namespace

// ---------------------------------------------------------------------------------------------
// Decoding the record

TEST(DetailDecode, UnitPartPortsAndTypeInfoBits) {
    Unit u;
    u.TypeInfo = 0x92;  // mode 2 (IP), password enabled, external flash
    u.LinkStatus = 1;
    u.HostMac = {0x02, 0, 0, 1, 0, 0};
    u.Mapping = 1;
    u.CtuPort = 50001;
    u.SioPort = 55001;
    u.Dibs = {{0, 0, 2, Extra({1}, 12)}, {1, 1, 5, Extra({}, 12), -1, -1, 3}};
    const _VN_INFO info = Decode(u);
    EXPECT_EQ(0, memcmp(info.Mac, Mac(0x11).data(), 6));
    EXPECT_STREQ("VN-TEST", reinterpret_cast<const char*>(info.ModelName));
    EXPECT_EQ(2, info.TypeInfo_Mode);
    EXPECT_EQ(1, info.TypeInfo_PasswordEnable);
    EXPECT_EQ(1, info.TypeInfo_WithExternalEEPROM);
    EXPECT_EQ(0, info.TypeInfo_Experiment);
    EXPECT_EQ(0, info.TypeInfo_IsMORA);
    EXPECT_EQ(50001u, info.CtuTcpPort);
    EXPECT_EQ(55001u, info.SioTcpPort);
    ASSERT_EQ(2, info.DibCount);
    EXPECT_EQ(1, info.DibInfo[1].Type);
    EXPECT_EQ(3, info.DibInfo[1].TtyMinorNumber);
    EXPECT_EQ(12, info.DibInfo[1].ExtraDataLength);
}

TEST(DetailDecode, RecordShorterThanUnitPartIsRefused) {
    Bytes r = Record(Unit{});
    _VN_INFO info{};
    EXPECT_EQ(0, VnInfoDecode(r.data(), 35, &info));
    EXPECT_EQ(1, VnInfoDecode(r.data(), 36, &info));
    EXPECT_EQ(0, info.DibCount);
}

TEST(DetailDecode, ExtraDataBeyond128BytesIsCutAndTheNextEntryStillFound) {
    Unit u;
    Bytes big(200, 0x41);
    u.Dibs = {{0, 2, 0, big, 51}, {7, 1, 0, Extra({0x10, 0}, 8)}};
    const _VN_INFO info = Decode(u);
    ASSERT_EQ(2, info.DibCount);
    EXPECT_EQ(128, info.DibInfo[0].ExtraDataLength);
    EXPECT_EQ(7, info.DibInfo[1].ChlNumber);
    EXPECT_EQ(0x10, info.DibInfo[1].ExtraData[0]);
}

TEST(DetailDecode, MoreThan64EntriesFillOnly64Slots) {
    struct Guarded {
        _VN_INFO Info;
        uint8_t Guard[256];
    } g{};
    memset(g.Guard, 0x5A, sizeof(g.Guard));
    Unit u;
    for (int i = 0; i < 70; ++i) u.Dibs.push_back({static_cast<uint8_t>(i), 2, 0, Extra({}, 128)});
    const Bytes r = Record(u);
    ASSERT_EQ(1, VnInfoDecode(r.data(), r.size(), &g.Info));
    EXPECT_EQ(64, g.Info.DibCount);
    EXPECT_EQ(70, g.Info.AvailableChls);
    EXPECT_EQ(63, g.Info.DibInfo[63].ChlNumber);
    for (uint8_t b : g.Guard) ASSERT_EQ(0x5A, b);
}

TEST(DetailDecode, EntriesThatRunPastTheRecordAreCutWhereTheBytesEnd) {
    Unit u;
    u.Dibs = {{0, 1, 2, Extra({1, 2, 3, 4}, 8)}, {1, 1, 2, Extra({9, 9, 9, 9, 9}, 8)}};
    u.Available = 5;  // announces more than it carries
    Bytes r = Record(u);
    r.resize(r.size() - 5);  // the second entry keeps 3 of its 8 extra bytes
    _VN_INFO info{};
    ASSERT_EQ(1, VnInfoDecode(r.data(), r.size(), &info));
    ASSERT_EQ(2, info.DibCount);
    EXPECT_EQ(3, info.DibInfo[1].ExtraDataLength);
    EXPECT_EQ(9, info.DibInfo[1].ExtraData[2]);
    EXPECT_EQ(0, info.DibInfo[1].ExtraData[3]);
}

// ---------------------------------------------------------------------------------------------
// Views

TEST(DetailView, UnitHeaderAndChannelTableGroupedByType) {
    Unit u;
    u.TypeInfo = 0x91;  // advance, password, external flash
    u.LinkStatus = 1;
    u.HostMac = {0x02, 0, 0, 1, 0, 0};
    u.Mapping = 1;
    u.CtuPort = 50001;
    u.SioPort = 55001;
    u.Dibs = {{3, 128, 0, Extra({0, 1}, 8)},
              {1, 1, 0x0D, Extra({}, 8)},
              {0, 0, 2, Extra({}, 12)},
              {2, 3, 1, Extra({}, 16)}};
    const std::string out = View(_PrintVarnelInfo, Decode(u));
    const std::string header = "        Mac         |  Link Status  | Mapping | Major V | Minor V | Chls";
    const std::string dashes(header.size(), '-');
    const std::string chlDashes(40, '-');
    EXPECT_EQ("<CLEAR>" + dashes + "\n" + header + "\n" + dashes + "\n" +
                  " 02:00:00:00:00:11      CONNECTED       YES       x02       x07      04\n" + dashes +
                  "\n" +
                  "  Mode Type           : ADVANCE\n"
                  "  Model Name          : VN-TEST\n"
                  "  Password Enable     : TRUE\n"
                  "  With External FLASH : TRUE\n"
                  "  Connected Host MAC  : 02:00:00:01:00:00\n"
                  "  CTU Tcp port        : 50001\n"
                  "  SIO Tcp port        : 55001\n" +
                  chlDashes + "\n Chl | Version | Type\n" + chlDashes + "\n" +
                  " 00      x02    CONTROL UNIT\n"
                  " 01      x05    UART\n"
                  " 02      x01    DIO\n"
                  " 03      x00    STRING\n" +
                  chlDashes + "\n",
              out);
}

TEST(DetailView, UnitHeaderOfADisconnectedDockUnitHasNoPorts) {
    Unit u;
    u.TypeInfo = 0x00;
    u.Model = "0123456789";  // all ten bytes used: no terminator inside the field
    const std::string out = View(_PrintVarnelInfo, Decode(u));
    EXPECT_NE(std::string::npos, out.find("DISCONNECT      NO "));
    EXPECT_NE(std::string::npos, out.find("  Mode Type           : DOCK\n"));
    EXPECT_NE(std::string::npos, out.find("  Model Name          : 0123456789\n"));
    EXPECT_NE(std::string::npos, out.find("  Password Enable     : FALSE\n"));
    EXPECT_EQ(std::string::npos, out.find("Connected Host MAC"));
    EXPECT_EQ(std::string::npos, out.find("Tcp port"));
    u.TypeInfo = 0x05;
    EXPECT_NE(std::string::npos, View(_PrintVarnelInfo, Decode(u)).find("  Mode Type           : UNKNOW\n"));
}

TEST(DetailView, EveryViewPrintsItsMessageForAUnitWithoutThatChannel) {
    const _VN_INFO info = Decode(Unit{});
    const std::pair<void (*)(const _VN_INFO*), const char*> views[] = {
        {_PrintControlUnitInfo, "CONTROL UNIT"},
        {_PrintUartInfo, "UART"},
        {_PrintParallelInfo, "PARALLEL"},
        {_PrintDioInfo, "DIO"},
        {_PrintCounterInfo, "COUNTER"},
        {_PrintAiInfo, "AI"},
        {_PrintAoInfo, "AO"},
        {_PrintUiInfo, "UI"},
        {_PrintUoInfo, "UO"},
        {_PrintBipolarAoInfo, "Bipolar AO"},
        {_PrintMultiFuncAiInfo, "Multi-Function AI"},
        {_PrintTemperatureSensorInfo, "Temperature Sensor"},
        {_PrintVirtualInfo, "STRING"}};
    for (const auto& [print, name] : views) {
        EXPECT_EQ(std::string("\nd[#_#]b : No ") + name + " channel.\n", View(print, info));
    }
}

TEST(DetailView, ControlUnitLayouts) {
    Unit u;
    Bytes name(12, 0);
    memcpy(name.data(), "Dock unit", 9);
    u.Dibs = {{0, 0, 0, name},
              {1, 0, 1, Extra({'E', 'X', '-', 'M', 'O', 'D', 'Z'}, 8)},
              {2, 0, 2, Extra({0x01, 0, 0, 0, 'U', '2', 'S', '-', 'E', 'X', 'Y'}, 12)},
              {3, 0, 3, Extra({}, 4)}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "0") + Field("Version", "x00") +
                  Field("Device name", "Dock unit") + kEquals + Field("DIB channel", "1") +
                  Field("Version", "x01") + Field("Extension model name", "EX-MOD") + kEquals +
                  Field("DIB channel", "2") + Field("Version", "x02") +
                  Field("Extension model name", "U2S-EX") + Field("Data pipe flow ctrl capability", "YES") +
                  kEquals,
              View(_PrintControlUnitInfo, Decode(u)));
}

TEST(DetailView, ControlUnitNameIsBoundedByItsDibAndShownWithoutControlBytes) {
    Unit u;
    Bytes name(128, 'N');  // no terminator at all
    name[3] = 0x1B;        // an escape byte must not reach the terminal
    u.Dibs = {{0, 0, 0, name, 33}};
    std::string out = View(_PrintControlUnitInfo, Decode(u));
    EXPECT_NE(std::string::npos, out.find(Field("Device name", "NNN." + std::string(124, 'N'))));
    // LengthInDW shorter than the bytes sent: only (LengthInDW - 1) x 4 bytes are the name.
    u.Dibs = {{0, 0, 0, name, 3}};
    out = View(_PrintControlUnitInfo, Decode(u));
    EXPECT_NE(std::string::npos, out.find(Field("Device name", "NNN.NNNN")));
}

TEST(DetailView, UartInfo08IsLayout0WithRs422485Line) {
    Unit u;
    u.Dibs = {{1, 1, 0x08, Extra({0x80, 0x00, 0x00, 0x01}, 4)}, {2, 1, 0x31, Extra({0x10, 0, 0x20, 0}, 4)}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "1") + Field("Version", "x00") +
                  Field("Type", "RS422/485") + Field("Power I/O", "NO") + Field("Tx buff size", "128") +
                  Field("Rx buff size", "256") + kEquals + Field("DIB channel", "2") +
                  Field("Version", "x01") + Field("Type", "Unknow") + Field("Power I/O", "YES") +
                  Field("Tx buff size", "16") + Field("Rx buff size", "32") + kEquals,
              View(_PrintUartInfo, Decode(u)));
}

TEST(DetailView, UartCapabilityLinesFollowTheirBits) {
    Unit u;
    u.Dibs = {{1, 1, 4, Extra({0, 4, 0, 4, 0x81, 0x12}, 8)}};
    const std::string out = View(_PrintUartInfo, Decode(u));
    EXPECT_NE(std::string::npos,
              out.find(Field("Tx buff size", "1024") + Field("Rx buff size", "1024") +
                       Field("RS232 capability", "YES") + Field("RS422 capability", "NO")));
    EXPECT_NE(std::string::npos, out.find(Field("RI power I/O 5V capability", "YES")));
    EXPECT_NE(std::string::npos, out.find(Field("RI power I/O 12V capability", "NO")));
    EXPECT_NE(std::string::npos, out.find(Field("RI power I/O capability", "YES")));
    EXPECT_NE(std::string::npos, out.find(Field("DCD power I/O capability", "YES") + kEquals));
    EXPECT_EQ(4, Count(out, ": YES"));
}

TEST(DetailView, UartLayout5ClockAndAZeroDivisor) {
    Unit u;
    u.Dibs = {{1, 1, 5, Extra({14, 4, 3, 0, 0x00, 0x04, 0x00, 0x02, 0x01}, 12)},
              {2, 1, 5, Extra({14, 4, 0, 0, 0x00, 0x04, 0x00, 0x02, 0x01}, 12)}};
    const std::string out = View(_PrintUartInfo, Decode(u));
    EXPECT_NE(std::string::npos, out.find(Field("Tx buff size", "1024") + Field("Rx buff size", "512") +
                                          Field("Reference clock", "18") + Field("RS232 capability", "YES")));
    EXPECT_NE(std::string::npos, out.find(Field("Reference clock", "Unknow")));
    // Layouts 6 and 7 name the channel and nothing else.
    u.Dibs = {{3, 1, 6, Extra({1, 2, 3, 4}, 4)}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "3") + Field("Version", "x06") + kEquals,
              View(_PrintUartInfo, Decode(u)));
}

TEST(DetailView, DioBankC7AndSamplingScales) {
    Unit u;
    u.Dibs = {{1, 3, 1,
               Extra({2, 1, 0, 0, 0x81, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xC7, 0x01, 0, 0, 0x3F, 0xCE}, 20)}};
    const std::string bank = std::string(60, '-') + "\n";
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "1") + Field("Version", "x01") +
                  Field("Number of bank", "2") + Field("Same bank IO share same direction ctrl", "YES") +
                  Field("Sampling clock scale capability", "System clock / 50") + std::string(41, ' ') +
                  "System clock / 5,000,000\n" + Field("System clock frequency", "50000000") + bank +
                  Field("Bank index", "0") + Field("Number of IOs", "8") +
                  Field("Writing settings to flash capability", "NO") + Field("Bank support input", "YES") +
                  Field("Bank support output", "YES") + Field("Rising edge trigger capability", "YES") +
                  Field("Falling edge trigger capability", "NO") +
                  Field("Output pin configuration capability", "Logic output only") +
                  Field("Output pin pull-up resistor applied", "NO") +
                  Field("Output pin pull-down resistor applied", "NO") + bank + Field("Bank index", "1") +
                  Field("Number of IOs", "32") + Field("Writing settings to flash capability", "YES") +
                  Field("Bank support input", "NO") + Field("Bank support output", "NO") +
                  Field("Rising edge trigger capability", "NO") +
                  Field("Falling edge trigger capability", "YES") +
                  Field("Output pin configuration capability", "Unknow") +
                  Field("Output pin pull-up resistor applied", "YES") +
                  Field("Output pin pull-down resistor applied", "YES") + bank + kEquals,
              View(_PrintDioInfo, Decode(u)));
}

TEST(DetailView, DioLayout0HasNoDirectionLineAndBanksStopAtTheBytesSent) {
    Unit u;
    // 40 banks announced, none in the DIB: no bank section at all.
    u.Dibs = {{1, 3, 0, Extra({40, 1}, 12)}};
    std::string out = View(_PrintDioInfo, Decode(u));
    EXPECT_EQ(std::string::npos, out.find("Same bank IO"));
    EXPECT_NE(std::string::npos, out.find(Field("Sampling clock scale capability", "None")));
    EXPECT_EQ(std::string::npos, out.find("Bank index"));
    // 200 banks announced, 128 bytes of extra data: at most the 29 bank entries that fit.
    u.Dibs = {{1, 3, 2, Extra({200}, 128)}};
    out = View(_PrintDioInfo, Decode(u));
    EXPECT_EQ(29, Count(out, " Bank index"));
    EXPECT_NE(std::string::npos, out.find(Field("Output pin configuration capability", "Logic output only")));
    // Layout 3 is not shown.
    u.Dibs = {{1, 3, 3, Extra({1, 0}, 16)}};
    EXPECT_EQ("<CLEAR>" + kEquals, View(_PrintDioInfo, Decode(u)));
}

TEST(DetailView, CounterAndParallel) {
    Unit u;
    u.Dibs = {{4, 4, 0, Extra({2, 0x21, 0, 0, 0x00, 0, 0, 0, 0x40, 0x42, 0x0F, 0x00}, 12)}, {5, 2, 0, {}}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "4") + Field("Version", "x00") +
                  Field("Number of counter", "2") + Field("Counting once mode", "YES") +
                  Field("Counting repeatedly (PWD) mode", "NO") +
                  Field("Increment by ext. input (logic high)", "NO") +
                  Field("Increment by ext. input (logic low)", "NO") +
                  Field("Increment by ext. input (rising edge)", "NO") +
                  Field("Increment by ext. input (falling edge)", "YES") +
                  Field("Sampling clock scale capability", "None") +
                  Field("System clock frequency", "1000000") + kEquals,
              View(_PrintCounterInfo, Decode(u)));
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "5") + Field("Version", "x00") + kEquals,
              View(_PrintParallelInfo, Decode(u)));
}

TEST(DetailView, AiReferenceVoltageAndGainCodes) {
    Unit u;
    u.Dibs = {
        {1, 5, 0,
         Extra({0x00, 0x04, 0x00, 0x80, 8, 16, 0x03, 0x82, 0xA0, 0x86, 0x01, 0x80, 0xC4, 0x09, 0x00, 0x03},
               16)}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "1") + Field("Version", "x00") +
                  Field("Fifo size", "1024") + Field("Fifo type", "Shared mode") +
                  Field("Number of input port", "8") + Field("Resolution", "16") +
                  Field("Support input type", "Unipolar/Bipolar") +
                  Field("Support max programable gain", "x4, support individual") +
                  Field("ADC max sampling rate (samples/sec)", "100000") +
                  Field("ADC reference voltage (calculated)", "2.50") +
                  Field("ADC reference voltage", "xc4 x09 x00 x03") + kEquals,
              View(_PrintAiInfo, Decode(u)));
    auto gain = [&](int version, uint8_t code, uint8_t inputByte = 0x01) {
        u.Dibs = {{1, 5, static_cast<uint8_t>(version), Extra({0, 0, 0, 0, 1, 12, inputByte, code}, 16)}};
        const std::string out = View(_PrintAiInfo, Decode(u));
        const std::string label = " Support max programable gain          : ";
        const size_t at = out.find(label);
        return at == std::string::npos
                   ? std::string("(none)")
                   : out.substr(at + label.size(), out.find('\n', at) - at - label.size());
    };
    EXPECT_EQ("x1, unsupport individual", gain(0, 0x00));
    EXPECT_EQ("Unknow", gain(0, 0x03));
    EXPECT_EQ("Unknow", gain(0, 0x42));  // no divider flag for layout 0
    EXPECT_EQ("x16, unsupport individual", gain(1, 0x04));
    EXPECT_EQ("/16, support individual", gain(1, 0xC4));
    EXPECT_EQ("Unknow", gain(1, 0x05));
    EXPECT_EQ("(none)", gain(2, 0x00));  // layout 2 is not shown
    u.Dibs = {{1, 5, 1, Extra({0xFF, 0xFF, 0xFF, 0x7F, 1, 12, 0x0E, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, 16)}};
    const std::string out = View(_PrintAiInfo, Decode(u));
    EXPECT_NE(std::string::npos,
              out.find(Field("Fifo size", "2147483647") + Field("Fifo type", "Un-shared mode")));
    EXPECT_NE(std::string::npos,
              out.find(Field("Support input type", "Bipolar") + Field("Clock divider width", "32 bit")));
    EXPECT_NE(std::string::npos, out.find(Field("ADC max sampling rate (samples/sec)", "2147483647")));
    EXPECT_NE(std::string::npos, out.find(Field("ADC reference voltage (calculated)", "0.00")));
}

TEST(DetailView, AoUiUoAndBipolarAo) {
    Unit u;
    u.Dibs = {
        {2, 6, 0, Extra({0x00, 0x02, 0, 0, 4, 12, 0x81, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0x00, 0x03}, 16)},
        {3, 7, 0,
         Extra({0x00, 0x04, 0, 0,    0x02, 0,    0, 0,    4,    16,   0x05, 0x04,
                0x50, 0xC3, 0, 0,    0xC4, 0x09, 0, 0x03, 0xE8, 0x03, 0x00, 0x03,
                0x14, 0,    0, 0x03, 0x0A, 0x0F, 0, 0x06, 0x91, 0x16, 0,    0x10},
               36)},
        {4, 8, 0, Extra({4, 16, 0x02, 0x05, 0x10, 0x27, 0, 0x03, 1, 2, 3, 4, 5, 6, 7, 8}, 16)},
        {5, 9, 0, Extra({8, 2, 16, 0x83, 0x10, 0x27, 0, 0x04}, 8)}};
    const _VN_INFO info = Decode(u);
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "2") + Field("Version", "x00") +
                  Field("Fifo size", "512") + Field("Number of output port", "4") +
                  Field("Resolution", "12") +
                  Field("Support max programable gain", "x2, support individual") +
                  Field("DAC max sampling rate (samples/sec)", "10000") +
                  Field("DAC reference voltage (calculated)", "10.00") +
                  Field("DAC reference voltage", "x10 x27 x00 x03") + kEquals,
              View(_PrintAoInfo, info));
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "3") + Field("Version", "x00") +
                  Field("Fifo size", "1024") + Field("Clock divider width", "24 bit") +
                  Field("Number of input port", "4") + Field("Resolution", "16") +
                  Field("Support input type", "Voltage,Resistor,") +
                  Field("Support max programable gain", "x16, unsupport individual") +
                  Field("ADC max sampling rate (samples/sec)", "50000") +
                  Field("ADC reference voltage (calculated)", "2.50") +
                  Field("ADC reference voltage", "xc4 x09 x00 x03") +
                  Field("Voltage coefficient", "xe8 x03 x00 x03") +
                  Field("Current coefficient", "x14 x00 x00 x03") +
                  Field("Resistor coefficient alpha", "x0a x0f x00 x06") +
                  Field("Resistor coefficient beta", "x91 x16 x00 x10") + kEquals,
              View(_PrintUiInfo, info));
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "4") + Field("Version", "x00") +
                  Field("Number of output port", "4") + Field("Resolution", "16") +
                  Field("Support output type", "Current,") + Field("Support max programable gain", "Unknow") +
                  Field("DAC reference voltage (calculated)", "10.00") +
                  Field("DAC reference voltage", "x10 x27 x00 x03") +
                  Field("Voltage coefficient", "x01 x02 x03 x04") +
                  Field("Current coefficient", "x05 x06 x07 x08") + kEquals,
              View(_PrintUoInfo, info));
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "5") + Field("Version", "x00") +
                  Field("Number of output port", "8") + Field("Number of AO groups", "2") +
                  Field("Resolution", "16") +
                  Field("Support max programable gain", "x8, support individual") +
                  Field("DAC reference voltage (calculated)", "1.00") +
                  Field("DAC reference voltage", "x10 x27 x00 x04") + kEquals,
              View(_PrintBipolarAoInfo, info));
}

TEST(DetailView, MultiFunctionAiGainsAndSources) {
    Unit u;
    u.Dibs = {
        {3, 10, 0,
         Extra({0x00, 0x08, 0, 0x80, 0x01, 0x1F, 0, 0, 8, 24, 0x07, 0x22, 0xC4, 0x09, 0x00, 0x03}, 16)}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "3") + Field("Version", "x00") +
                  Field("Fifo size", "2048") + Field("Fifo type", "Shared mode") +
                  Field("Multi-function AI type", "x01") +
                  Field("Support input source", "Voltage,Current,Resistor,RTD,Thermocouple,Thermistor,") +
                  Field("Number of input port", "8") + Field("Resolution", "24") +
                  Field("Support input type", "Software Unipolar/Bipolar/Unipolar") +
                  Field("Support max programable gain", "/4, unsupport individual") +
                  Field("ADC max sampling rate (samples/sec)", "0") +
                  Field("ADC reference voltage (calculated)", "2.50") + kEquals,
              View(_PrintMultiFuncAiInfo, Decode(u)));
    auto gainOf = [&](uint8_t code) {
        u.Dibs = {{3, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, code}, 16)}};
        return View(_PrintMultiFuncAiInfo, Decode(u));
    };
    EXPECT_NE(std::string::npos, gainOf(0x87).find("x128, support individual"));
    EXPECT_NE(std::string::npos, gainOf(0x08).find(Field("Support max programable gain", "Unknow")));
    EXPECT_NE(std::string::npos, gainOf(0x48).find(Field("Support max programable gain", "Unknow")));
    EXPECT_NE(std::string::npos, gainOf(0x00).find(Field("Support input source", "Voltage,") +
                                                   Field("Number of input port", "1")));
}

TEST(DetailView, TemperatureSensorLsbUnit) {
    Unit u;
    u.Dibs = {{4, 11, 0, Extra({4, 16, 0, 0, 0x71, 0x02, 0x00, 0x04}, 8)}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "4") + Field("Version", "x00") +
                  Field("Number of temperature sensor", "4") + Field("Resolution", "16") +
                  Field("LSB unit (calculated)", "0.062500") + Field("LSB unit", "x71 x02 x00 x04") + kEquals,
              View(_PrintTemperatureSensorInfo, Decode(u)));
}

TEST(DetailView, StringChannelSerialNumberAndDeviceName) {
    Unit u;
    Bytes both = {3, 4, 0, 0};
    for (char c : std::string("SN2024000001Analog demo unit")) both.push_back(static_cast<uint8_t>(c));
    u.Dibs = {{5, 128, 0, both}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "5") + Field("Version", "x00") +
                  Field("Serial number", "SN2024000001") + Field("Device name", "Analog demo unit") + kEquals,
              View(_PrintVirtualInfo, Decode(u)));
    Bytes nameOnly = {0, 2, 0, 0, 'D', 'e', 'v', '-', '1', 0, 0, 0};
    u.Dibs = {{5, 128, 0, nameOnly}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "5") + Field("Version", "x00") +
                  Field("Device name", "Dev-1") + kEquals,
              View(_PrintVirtualInfo, Decode(u)));
}

TEST(DetailView, StringLengthsBeyondTheDibAreBounded) {
    Unit u;
    Bytes hostile(128, 'S');
    hostile[0] = 255;  // 1020 bytes of serial number claimed
    hostile[1] = 255;  // and a name starting far past the DIB
    u.Dibs = {{5, 128, 0, hostile}};
    const std::string out = View(_PrintVirtualInfo, Decode(u));
    EXPECT_NE(std::string::npos, out.find(Field("Serial number", std::string(124, 'S'))));
    EXPECT_NE(std::string::npos, out.find(Field("Device name", "")));
}

TEST(DetailView, ChannelsOfUnshownLayoutsAreSkipped) {
    Unit u;
    u.Dibs = {{2, 6, 1, Extra({0, 2}, 16)}, {3, 6, 0, Extra({0, 2}, 16)}, {4, 11, 1, Extra({4}, 8)}};
    const _VN_INFO info = Decode(u);
    const std::string ao = View(_PrintAoInfo, info);
    EXPECT_EQ(1, Count(ao, " DIB channel"));
    EXPECT_NE(std::string::npos, ao.find(Field("DIB channel", "3")));
    EXPECT_EQ("<CLEAR>" + kEquals, View(_PrintTemperatureSensorInfo, info));
}

// Random records of every channel type, with random lengths, versions and cut-off points:
// every view must stay inside the record (the sanitizer builds check each byte read).
TEST(DetailDecode, RandomHostileRecordsStayInBounds) {
    std::mt19937 rng(20261206);
    const uint8_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 128, 200};
    void (*const views[])(const _VN_INFO*) = {_PrintVarnelInfo,
                                              _PrintControlUnitInfo,
                                              _PrintUartInfo,
                                              _PrintParallelInfo,
                                              _PrintDioInfo,
                                              _PrintCounterInfo,
                                              _PrintAiInfo,
                                              _PrintAoInfo,
                                              _PrintUiInfo,
                                              _PrintUoInfo,
                                              _PrintBipolarAoInfo,
                                              _PrintMultiFuncAiInfo,
                                              _PrintTemperatureSensorInfo,
                                              _PrintVirtualInfo};
    OutputCapture out;
    int channelsShown = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes r(36);
        for (auto& b : r) b = static_cast<uint8_t>(rng());
        const int entries = static_cast<int>(rng() % 72);
        r[25] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : entries);
        for (int e = 0; e < entries; ++e) {
            const size_t extra = rng() % 4 == 0 ? rng() % 256 : (rng() % 33) * 4;
            r.push_back(static_cast<uint8_t>(e));
            r.push_back(types[rng() % sizeof(types)]);
            r.push_back(static_cast<uint8_t>(rng() % 2 == 0 ? extra / 4 + 1 : rng()));
            r.push_back(static_cast<uint8_t>(rng() % 3 == 0 ? rng() : rng() % 8));
            r.push_back(static_cast<uint8_t>(rng()));
            r.push_back(static_cast<uint8_t>(extra));
            for (size_t i = 0; i < extra; ++i) r.push_back(static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng()));
        }
        r.resize(rng() % 5 == 0 ? rng() % (r.size() + 1) : r.size());
        // An exactly sized heap copy, so a read past the record is caught.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[r.size() + 1]);
        memcpy(exact.get(), r.data(), r.size());
        _VN_INFO info{};
        if (!VnInfoDecode(exact.get(), r.size(), &info)) {
            ASSERT_LT(r.size(), 36u);
            continue;
        }
        ASSERT_LE(info.DibCount, 64);
        for (int i = 0; i < info.DibCount; ++i) ASSERT_LE(info.DibInfo[i].ExtraDataLength, 128);
        for (auto view : views) view(&info);
        const std::string shown = out.Take();
        channelsShown += Count(shown, " DIB channel");
        for (char c : shown) {
            const auto b = static_cast<unsigned char>(c);
            ASSERT_TRUE(b >= 0x20 || c == '\n') << "control byte " << int(b) << " reached the screen";
        }
    }
    EXPECT_GT(channelsShown, 1000);
}
