// The unit detail view: decoding of the detail info record and every channel view, fed with
// hand-built records (no service needed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>

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
    const auto available =
        static_cast<uint8_t>(u.Available >= 0 ? u.Available : static_cast<int>(u.Dibs.size()));
    Bytes r = Cat({u.MacBytes,
                   Padded(u.Model, 10),
                   {u.TypeInfo, u.LinkStatus},
                   u.HostMac,
                   {u.Mapping, available, u.Major, u.Minor},
                   Be32(u.CtuPort),
                   Be32(u.SioPort)});
    for (const Dib& d : u.Dibs) {
        const int words = d.LengthInDW >= 0 ? d.LengthInDW : static_cast<int>(d.Extra.size() / 4 + 1);
        const int extra = d.ExtraLength >= 0 ? d.ExtraLength : static_cast<int>(d.Extra.size());
        r = Cat({r,
                 {d.Chl, d.Type, static_cast<uint8_t>(words), d.Info, d.Minor, static_cast<uint8_t>(extra)},
                 d.Extra});
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

// Every channel view.
void (*const kViews[])(const _VN_INFO*) = {
    _PrintControlUnitInfo, _PrintUartInfo,      _PrintParallelInfo,    _PrintDioInfo,
    _PrintCounterInfo,     _PrintAiInfo,        _PrintAoInfo,          _PrintUiInfo,
    _PrintUoInfo,          _PrintBipolarAoInfo, _PrintMultiFuncAiInfo, _PrintTemperatureSensorInfo,
    _PrintVirtualInfo};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Decoding the record

TEST(DetailDecode, RecordsAreBoundedByTheirOwnLengths) {
    _VN_INFO info{};
    Bytes r = Record(Unit{});
    EXPECT_EQ(0, VnInfoDecode(r.data(), 35, &info)) << "shorter than the unit part";
    EXPECT_EQ(1, VnInfoDecode(r.data(), 36, &info));
    EXPECT_EQ(0, info.DibCount);
    // 70 entries fill 64 slots; 200 extra bytes keep 128, and the next entry is still found.
    Unit u;
    u.Dibs = {{0, 2, 0, Bytes(200, 0x41), 51}};
    for (int i = 1; i < 70; ++i) u.Dibs.push_back({static_cast<uint8_t>(i), 1, 0, Extra({0x10}, 8)});
    info = Decode(u);
    EXPECT_EQ(std::tuple(64, 70, 128, 0x10, 63),
              std::tuple(info.DibCount, info.AvailableChls, info.DibInfo[0].ExtraDataLength,
                         info.DibInfo[1].ExtraData[0], info.DibInfo[63].ChlNumber));
    // An entry cut by the record's end keeps the 3 of its 8 extra bytes that came; no entries
    // are made up for the 5 announced.
    u.Available = 5;
    u.Dibs = {{0, 1, 2, Extra({1, 2, 3, 4}, 8)}, {1, 1, 2, Extra({9, 9, 9, 9, 9}, 8)}};
    r = Record(u);
    ASSERT_EQ(1, VnInfoDecode(r.data(), r.size() - 5, &info));
    EXPECT_EQ(std::tuple(2, 3, 9, 0), std::tuple(info.DibCount, info.DibInfo[1].ExtraDataLength,
                                                 info.DibInfo[1].ExtraData[2], info.DibInfo[1].ExtraData[3]));
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

// Lines a view shows for one unit: each run is a group of "Label=value" fields separated by
// '|' that must appear together, the runs in this order.
struct ViewCase {
    void (*Print)(const _VN_INFO*);
    std::vector<Dib> Dibs;
    std::vector<std::string> Runs;
    std::vector<std::string> Absent = {};
};

std::string Fields(const std::string& run) {
    std::string out;
    for (size_t pos = 0; pos <= run.size();) {
        size_t end = run.find('|', pos);
        if (end == std::string::npos) end = run.size();
        const std::string f = run.substr(pos, end - pos);
        out += Field(f.substr(0, f.find('=')), f.substr(f.find('=') + 1));
        pos = end + 1;
    }
    return out;
}

TEST(DetailView, ChannelViewsShowTheirDecodedFields) {
    Bytes hostileString(128, 'S');
    hostileString[0] = 255;  // 1020 bytes of serial number claimed
    hostileString[1] = 255;  // and a name starting far past the DIB
    Bytes name(128, 'N');    // no terminator at all
    name[3] = 0x1B;          // an escape byte must not reach the terminal
    const ViewCase cases[] = {
        // Layouts a view does not know are skipped.
        {_PrintDioInfo, {{1, 3, 3, Extra({1, 0}, 16)}}, {}, {"DIB channel=1"}},
        {_PrintAoInfo,
         {{2, 6, 1, Extra({0, 2}, 16)}, {3, 6, 0, Extra({0, 2}, 16)}},
         {"DIB channel=3"},
         {"DIB channel=2"}},
        {_PrintTemperatureSensorInfo, {{4, 11, 1, Extra({4}, 8)}}, {}, {"DIB channel=4"}},
        // Control unit layouts 0 to 2 (3 is not shown); a name is bounded by its DIB, and by
        // LengthInDW when that is shorter than the bytes sent: (LengthInDW - 1) x 4 bytes.
        {_PrintControlUnitInfo,
         {{0, 0, 0, Padded("Dock unit", 12)},
          {1, 0, 1, Extra({'E', 'X', '-', 'M', 'O', 'D', 'Z'}, 8)},
          {2, 0, 2, Extra({0x01, 0, 0, 0, 'U', '2', 'S', '-', 'E', 'X', 'Y'}, 12)},
          {3, 0, 3, Extra({}, 4)}},
         {"DIB channel=0|Version=x00|Device name=Dock unit",
          "DIB channel=1|Version=x01|Extension model name=EX-MOD",
          "DIB channel=2|Version=x02|Extension model name=U2S-EX|Data pipe flow ctrl capability=YES"},
         {"DIB channel=3"}},
        {_PrintControlUnitInfo, {{0, 0, 0, name, 33}}, {"Device name=NNN." + std::string(124, 'N')}},
        {_PrintControlUnitInfo, {{0, 0, 0, name, 3}}, {"Device name=NNN.NNNN"}},
        // UART: Info 0x08 is layout 0 with the RS422/485 line bit; layouts 0 and 1 carry no caps.
        {_PrintUartInfo,
         {{1, 1, 0x08, Extra({0x80, 0x00, 0x00, 0x01}, 4)}, {2, 1, 0x31, Extra({0x10, 0, 0x20, 0}, 4)}},
         {"DIB channel=1|Version=x00|Type=RS422/485|Power I/O=NO|Tx buff size=128|Rx buff size=256",
          "DIB channel=2|Version=x01|Type=Unknow|Power I/O=YES|Tx buff size=16|Rx buff size=32"}},
        {_PrintUartInfo,
         {{1, 1, 4, Extra({0, 4, 0, 4, 0x81, 0x12}, 8)}},
         {"Tx buff size=1024|Rx buff size=1024|RS232 capability=YES|RS422 capability=NO",
          "RI power I/O 5V capability=YES|RI power I/O 12V capability=NO", "RI power I/O capability=YES",
          "DCD power I/O capability=YES"}},
        // Layout 5: clock X*M/N, a zero divisor is unknown; layout 6 names the channel only.
        {_PrintUartInfo,
         {{1, 1, 5, Extra({14, 4, 3, 0, 0x00, 0x04, 0x00, 0x02, 0x01}, 12)},
          {2, 1, 5, Extra({14, 4, 0, 0, 0x00, 0x04, 0x00, 0x02, 0x01}, 12)},
          {3, 1, 6, Extra({1, 2, 3, 4}, 4)}},
         {"Tx buff size=1024|Rx buff size=512|Reference clock=18|RS232 capability=YES",
          "Reference clock=Unknow", "DIB channel=3|Version=x06"}},
        {_PrintDioInfo,
         {{1, 3, 1,
           Extra({2, 1, 0, 0, 0x81, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xC7, 0x01, 0, 0, 0x3F, 0xCE}, 20)}},
         {"Number of bank=2|Same bank IO share same direction ctrl=YES|"
          "Sampling clock scale capability=System clock / 50",
          std::string(41, ' ') + "System clock / 5,000,000\n" + Fields("System clock frequency=50000000"),
          "Bank index=0|Number of IOs=8|Writing settings to flash capability=NO|Bank support input=YES|"
          "Bank support output=YES|Rising edge trigger capability=YES|Falling edge trigger capability=NO|"
          "Output pin configuration capability=Logic output only|Output pin pull-up resistor applied=NO|"
          "Output pin pull-down resistor applied=NO",
          "Bank index=1|Number of IOs=32|Writing settings to flash capability=YES|Bank support input=NO|"
          "Bank support output=NO|Rising edge trigger capability=NO|Falling edge trigger capability=YES|"
          "Output pin configuration capability=Unknow|Output pin pull-up resistor applied=YES|"
          "Output pin pull-down resistor applied=YES"}},
        // Layout 0: no direction line, and 40 banks announced but none sent show no bank.
        {_PrintDioInfo,
         {{1, 3, 0, Extra({40, 1}, 12)}},
         {"Sampling clock scale capability=None"},
         {"Same bank IO", "Bank index"}},
        {_PrintCounterInfo,
         {{4, 4, 0, Extra({2, 0x21, 0, 0, 0x00, 0, 0, 0, 0x40, 0x42, 0x0F, 0x00}, 12)}},
         {"DIB channel=4|Version=x00|Number of counter=2|Counting once mode=YES|"
          "Counting repeatedly (PWD) mode=NO|Increment by ext. input (logic high)=NO|"
          "Increment by ext. input (logic low)=NO|Increment by ext. input (rising edge)=NO|"
          "Increment by ext. input (falling edge)=YES|Sampling clock scale capability=None|"
          "System clock frequency=1000000"}},
        {_PrintParallelInfo, {{5, 2, 0, {}}}, {"DIB channel=5|Version=x00"}},
        // AI gain codes: x2^n, bit 6 a divider (layout 1 only), bit 7 individual.
        {_PrintAiInfo,
         {{2, 5, 0, Extra({0, 0, 0, 0, 1, 12, 1, 0x03}, 16)},
          {3, 5, 0, Extra({0, 0, 0, 0, 1, 12, 1, 0x42}, 16)},
          {4, 5, 1, Extra({0, 0, 0, 0, 1, 12, 1, 0x04}, 16)},
          {5, 5, 1, Extra({0, 0, 0, 0, 1, 12, 1, 0xC4}, 16)},
          {6, 5, 1, Extra({0, 0, 0, 0, 1, 12, 1, 0x05}, 16)},
          {7, 5, 2, Extra({0, 0, 0, 0, 1, 12, 1, 0x00}, 16)}},
         {"Support max programable gain=Unknow", "Support max programable gain=Unknow",
          "Support max programable gain=x16, unsupport individual",
          "Support max programable gain=/16, support individual", "Support max programable gain=Unknow"},
         {"DIB channel=7"}},
        {_PrintAiInfo,
         {{1, 5, 1, Extra({0xFF, 0xFF, 0xFF, 0x7F, 1, 12, 0x0E, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, 16)}},
         {"DIB channel=1|Version=x01|Fifo size=2147483647|Fifo type=Un-shared mode|Number of input port=1|"
          "Resolution=12|Support input type=Bipolar|Clock divider width=32 bit|Support max programable "
          "gain=x2, "
          "unsupport individual|ADC max sampling rate (samples/sec)=2147483647|ADC reference voltage "
          "(calculated)=0.00|ADC reference voltage=x00 x00 x00 x00"}},
        {_PrintAoInfo,
         {{2, 6, 0, Extra({0x00, 0x02, 0, 0, 4, 12, 0x81, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0x00, 0x03}, 16)}},
         {"DIB channel=2|Version=x00|Fifo size=512|Number of output port=4|Resolution=12|"
          "Support max programable gain=x2, support individual|DAC max sampling rate (samples/sec)=10000|"
          "DAC reference voltage (calculated)=10.00|DAC reference voltage=x10 x27 x00 x03"}},
        {_PrintUiInfo,
         {{3, 7, 0,
           Extra({0x00, 0x04, 0, 0,    0x02, 0,    0, 0,    4,    16,   0x05, 0x04,
                  0x50, 0xC3, 0, 0,    0xC4, 0x09, 0, 0x03, 0xE8, 0x03, 0x00, 0x03,
                  0x14, 0,    0, 0x03, 0x0A, 0x0F, 0, 0x06, 0x91, 0x16, 0,    0x10},
                 36)}},
         {"DIB channel=3|Version=x00|Fifo size=1024|Clock divider width=24 bit|Number of input port=4|"
          "Resolution=16|Support input type=Voltage,Resistor,|Support max programable gain=x16, unsupport "
          "individual|ADC max sampling rate (samples/sec)=50000|ADC reference voltage (calculated)=2.50|"
          "ADC reference voltage=xc4 x09 x00 x03|Voltage coefficient=xe8 x03 x00 x03|"
          "Current coefficient=x14 x00 x00 x03|Resistor coefficient alpha=x0a x0f x00 x06|"
          "Resistor coefficient beta=x91 x16 x00 x10"}},
        {_PrintUoInfo,
         {{4, 8, 0, Extra({4, 16, 0x02, 0x05, 0x10, 0x27, 0, 0x03, 1, 2, 3, 4, 5, 6, 7, 8}, 16)}},
         {"Number of output port=4|Resolution=16|Support output type=Current,|Support max programable "
          "gain=Unknow|"
          "DAC reference voltage (calculated)=10.00|DAC reference voltage=x10 x27 x00 x03|"
          "Voltage coefficient=x01 x02 x03 x04|Current coefficient=x05 x06 x07 x08"}},
        {_PrintBipolarAoInfo,
         {{5, 9, 0, Extra({8, 2, 16, 0x83, 0x10, 0x27, 0, 0x04}, 8)}},
         {"Number of output port=8|Number of AO groups=2|Resolution=16|"
          "Support max programable gain=x8, support individual|DAC reference voltage (calculated)=1.00"}},
        {_PrintMultiFuncAiInfo,
         {{3, 10, 0,
           Extra({0x00, 0x08, 0, 0x80, 0x01, 0x1F, 0, 0, 8, 24, 0x07, 0x22, 0xC4, 0x09, 0x00, 0x03}, 16)},
          {4, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, 0x87}, 16)},
          {5, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, 0x08}, 16)},
          {6, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, 0x48}, 16)}},
         {"Fifo size=2048|Fifo type=Shared mode|Multi-function AI type=x01|"
          "Support input source=Voltage,Current,Resistor,RTD,Thermocouple,Thermistor,|Number of input port=8|"
          "Resolution=24|Support input type=Software Unipolar/Bipolar/Unipolar|"
          "Support max programable gain=/4, unsupport individual|ADC max sampling rate (samples/sec)=0|"
          "ADC reference voltage (calculated)=2.50",
          "Support input source=Voltage,|Number of input port=1",
          "Support max programable gain=x128, support individual", "Support max programable gain=Unknow",
          "Support max programable gain=Unknow"}},
        {_PrintTemperatureSensorInfo,
         {{4, 11, 0, Extra({4, 16, 0, 0, 0x71, 0x02, 0x00, 0x04}, 8)}},
         {"Number of temperature sensor=4|Resolution=16|LSB unit (calculated)=0.062500|LSB unit=x71 x02 x00 "
          "x04"}},
        // Serial number and name lengths in words; lengths beyond the DIB are bounded.
        {_PrintVirtualInfo,
         {{5, 128, 0, {0, 2, 0, 0, 'D', 'e', 'v', '-', '1', 0, 0, 0}}},
         {"Version=x00|Device name=Dev-1"}},
        {_PrintVirtualInfo,
         {{5, 128, 0, Cat({{3, 2, 0, 0}, Padded("SN2024000001", 12), Padded("Dev-1", 8)})}},
         {"Version=x00|Serial number=SN2024000001|Device name=Dev-1"}},
        {_PrintVirtualInfo,
         {{5, 128, 0, hostileString}},
         {"Serial number=" + std::string(124, 'S') + "|Device name="}},
    };
    for (const ViewCase& c : cases) {
        Unit u;
        u.Dibs = c.Dibs;
        const std::string out = View(c.Print, Decode(u));
        SCOPED_TRACE(out);
        EXPECT_EQ(0u, out.find("<CLEAR>" + kEquals));
        size_t at = 0;
        for (const std::string& run : c.Runs) {
            const std::string want = run.find('=') == std::string::npos ? run : Fields(run);
            at = out.find(want, at);
            ASSERT_NE(std::string::npos, at) << want;
            at += want.size();
        }
        for (const std::string& absent : c.Absent)
            EXPECT_EQ(std::string::npos, out.find(Fields(absent))) << absent;
    }
}

// Random records of every channel type, with random lengths, versions and cut-off points:
// every view stays inside the record (the sanitizer builds check each byte read, from an
// exactly sized copy) and shows no control byte.
TEST(DetailDecode, RandomHostileRecordsStayInBounds) {
    std::mt19937 rng(20261206);
    const uint8_t types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 128, 200};
    OutputCapture out;
    int channelsShown = 0;
    for (int round = 0; round < 400; ++round) {
        Bytes r(36);
        for (auto& b : r) b = static_cast<uint8_t>(rng());
        const int entries = static_cast<int>(rng() % 72);
        r[25] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : entries);
        for (int e = 0; e < entries; ++e) {
            const size_t extra = rng() % 4 == 0 ? rng() % 256 : (rng() % 33) * 4;
            const auto words = static_cast<uint8_t>(rng() % 2 == 0 ? extra / 4 + 1 : rng());
            const auto info = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : rng() % 8);
            r = Cat({r,
                     {static_cast<uint8_t>(e), types[rng() % sizeof(types)], words, info,
                      static_cast<uint8_t>(rng()), static_cast<uint8_t>(extra)}});
            for (size_t i = 0; i < extra; ++i) r.push_back(static_cast<uint8_t>(rng() % 4 == 0 ? 0 : rng()));
        }
        r.resize(rng() % 5 == 0 ? rng() % (r.size() + 1) : r.size());
        std::unique_ptr<uint8_t[]> exact(new uint8_t[r.size() + 1]);
        memcpy(exact.get(), r.data(), r.size());
        _VN_INFO info{};
        if (!VnInfoDecode(exact.get(), r.size(), &info)) continue;
        _PrintVarnelInfo(&info);
        for (const auto& view : kViews) view(&info);
        const std::string shown = out.Take();
        channelsShown += Count(shown, " DIB channel");
        ASSERT_TRUE(std::all_of(shown.begin(), shown.end(), [](char c) {
            return c == '\n' || static_cast<unsigned char>(c) >= 0x20;
        })) << "a control byte reached the screen";
    }
    EXPECT_GT(channelsShown, 1000);
}
