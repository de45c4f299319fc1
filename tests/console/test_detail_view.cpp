// The unit detail view: decoding of the detail info record and every channel view, fed with
// hand-built records (no service needed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <sstream>
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

// A view's values, one string per DIB shown ("value|value|..."): the text after each label
// and of continuation lines, other lines whole. The labels are the views' own tables (their
// layout is proven once, below); the values are what the console decoded from the record.
std::vector<std::string> Values(const std::string& screen) {
    std::vector<std::string> dibs(1);
    std::istringstream lines(screen);
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with(std::string(60, '='))) {
            dibs.emplace_back();
        } else {
            // A field's value follows its label at column 41; so does a continuation line.
            const bool value =
                line.size() >= 41 && (line.compare(39, 2, ": ") == 0 || line.find_first_not_of(' ') == 41);
            dibs.back() += (dibs.back().empty() ? "" : "|") + (value ? line.substr(41) : line);
        }
    }
    return {dibs.begin() + 1, dibs.end() - 1};  // the screen starts and ends with a rule
}

// A unit of one view's DIBs and the values that view shows for each DIB it shows.
struct ViewCase {
    void (*Print)(const _VN_INFO*);
    std::vector<Dib> Dibs;
    std::vector<std::string> Shown;
};

TEST(DetailView, ChannelViewsShowTheirDecodedFields) {
    Bytes hostileString(128, 'S');
    hostileString[0] = 255;  // 1020 bytes of serial number claimed
    hostileString[1] = 255;  // and a name starting far past the DIB
    Bytes name(128, 'N');    // no terminator at all
    name[3] = 0x1B;          // an escape byte must not reach the terminal
    const std::string bank(60, '-');
    const ViewCase cases[] = {
        // Layouts a view does not know are skipped.
        {_PrintDioInfo, {{1, 3, 3, Extra({1, 0}, 16)}}, {}},
        {_PrintAoInfo,
         {{2, 6, 1, Extra({0, 2}, 16)}, {3, 6, 0, Extra({0, 2}, 16)}},
         {"3|x00|512|0|0|x1, unsupport individual|0|0.00|x00 x00 x00 x00"}},
        {_PrintTemperatureSensorInfo, {{4, 11, 1, Extra({4}, 8)}}, {}},
        // Control unit layouts 0 to 2 (3 is not shown); a name is bounded by its DIB, and by
        // LengthInDW when that is shorter than the bytes sent: (LengthInDW - 1) x 4 bytes.
        {_PrintControlUnitInfo,
         {{0, 0, 0, Padded("Dock unit", 12)},
          {1, 0, 1, Extra({'E', 'X', '-', 'M', 'O', 'D', 'Z'}, 8)},
          {2, 0, 2, Extra({0x01, 0, 0, 0, 'U', '2', 'S', '-', 'E', 'X', 'Y'}, 12)},
          {3, 0, 3, Extra({}, 4)}},
         {"0|x00|Dock unit", "1|x01|EX-MOD", "2|x02|U2S-EX|YES"}},
        {_PrintControlUnitInfo, {{0, 0, 0, name, 33}}, {"0|x00|NNN." + std::string(124, 'N')}},
        {_PrintControlUnitInfo, {{0, 0, 0, name, 3}}, {"0|x00|NNN.NNNN"}},
        // UART: Info 0x08 is layout 0 with the RS422/485 line bit; layouts 0 and 1 carry no caps.
        {_PrintUartInfo,
         {{1, 1, 0x08, Extra({0x80, 0x00, 0x00, 0x01}, 4)}, {2, 1, 0x31, Extra({0x10, 0, 0x20, 0}, 4)}},
         {"1|x00|RS422/485|NO|128|256", "2|x01|Unknow|YES|16|32"}},
        // Caps: RS232 .. RS485 termination, RI 5V, 12V, RI, DCD 5V, 12V, DCD.
        {_PrintUartInfo,
         {{1, 1, 4, Extra({0, 4, 0, 4, 0x81, 0x12}, 8)}},
         {"1|x04|1024|1024|YES|NO|NO|NO|NO|NO|NO|YES|NO|YES|NO|NO|YES"}},
        // Layout 5: clock X*M/N, a zero divisor is unknown; layout 6 names the channel only.
        {_PrintUartInfo,
         {{1, 1, 5, Extra({14, 4, 3, 0, 0x00, 0x04, 0x00, 0x02, 0x01}, 12)},
          {2, 1, 5, Extra({14, 4, 0, 0, 0x00, 0x04, 0x00, 0x02, 0x01}, 12)},
          {3, 1, 6, Extra({1, 2, 3, 4}, 4)}},
         {"1|x05|1024|512|18|YES|NO|NO|NO|NO|NO|NO|NO|NO|NO|NO|NO|NO",
          "2|x05|1024|512|Unknow|YES|NO|NO|NO|NO|NO|NO|NO|NO|NO|NO|NO|NO", "3|x06"}},
        // Banks: index, I/Os, flash, input, output, rising, falling, pin configuration, pull-up
        // and pull-down; 40 banks announced but none sent show none.
        {_PrintDioInfo,
         {{1, 3, 1,
           Extra({2, 1, 0, 0, 0x81, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xC7, 0x01, 0, 0, 0x3F, 0xCE}, 20)}},
         {"1|x01|2|YES|System clock / 50|System clock / 5,000,000|50000000|" + bank +
          "|0|8|NO|YES|YES|YES|NO|Logic output only|NO|NO|" + bank +
          "|1|32|YES|NO|NO|NO|YES|Unknow|YES|YES|" + bank}},
        {_PrintDioInfo, {{1, 3, 0, Extra({40, 1}, 12)}}, {"1|x00|40|None|0"}},
        {_PrintCounterInfo,
         {{4, 4, 0, Extra({2, 0x21, 0, 0, 0x00, 0, 0, 0, 0x40, 0x42, 0x0F, 0x00}, 12)}},
         {"4|x00|2|YES|NO|NO|NO|NO|YES|None|1000000"}},
        // AI gain codes: x2^n, bit 6 a divider (layout 1 only), bit 7 individual.
        {_PrintAiInfo,
         {{2, 5, 0, Extra({0, 0, 0, 0, 1, 12, 1, 0x03}, 16)},
          {3, 5, 0, Extra({0, 0, 0, 0, 1, 12, 1, 0x42}, 16)},
          {4, 5, 1, Extra({0, 0, 0, 0, 1, 12, 1, 0x04}, 16)},
          {5, 5, 1, Extra({0, 0, 0, 0, 1, 12, 1, 0xC4}, 16)},
          {6, 5, 1, Extra({0, 0, 0, 0, 1, 12, 1, 0x05}, 16)},
          {7, 5, 2, Extra({0, 0, 0, 0, 1, 12, 1, 0x00}, 16)}},
         {"2|x00|0|Un-shared mode|1|12|Unipolar|Unknow|0|0.00|x00 x00 x00 x00",
          "3|x00|0|Un-shared mode|1|12|Unipolar|Unknow|0|0.00|x00 x00 x00 x00",
          "4|x01|0|Un-shared mode|1|12|Unipolar|8 bit|x16, unsupport individual|0|0.00|x00 x00 x00 x00",
          "5|x01|0|Un-shared mode|1|12|Unipolar|8 bit|/16, support individual|0|0.00|x00 x00 x00 x00",
          "6|x01|0|Un-shared mode|1|12|Unipolar|8 bit|Unknow|0|0.00|x00 x00 x00 x00"}},
        {_PrintAiInfo,
         {{1, 5, 1, Extra({0xFF, 0xFF, 0xFF, 0x7F, 1, 12, 0x0E, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, 16)}},
         {"1|x01|2147483647|Un-shared mode|1|12|Bipolar|32 bit|x2, unsupport individual|2147483647|0.00|"
          "x00 x00 x00 x00"}},
        {_PrintAoInfo,
         {{2, 6, 0, Extra({0x00, 0x02, 0, 0, 4, 12, 0x81, 0, 0x10, 0x27, 0, 0, 0x10, 0x27, 0x00, 0x03}, 16)}},
         {"2|x00|512|4|12|x2, support individual|10000|10.00|x10 x27 x00 x03"}},
        {_PrintUiInfo,
         {{3, 7, 0,
           Extra({0x00, 0x04, 0, 0,    0x02, 0,    0, 0,    4,    16,   0x05, 0x04,
                  0x50, 0xC3, 0, 0,    0xC4, 0x09, 0, 0x03, 0xE8, 0x03, 0x00, 0x03,
                  0x14, 0,    0, 0x03, 0x0A, 0x0F, 0, 0x06, 0x91, 0x16, 0,    0x10},
                 36)}},
         {"3|x00|1024|24 bit|4|16|Voltage,Resistor,|x16, unsupport individual|50000|2.50|xc4 x09 x00 x03|"
          "xe8 x03 x00 x03|x14 x00 x00 x03|x0a x0f x00 x06|x91 x16 x00 x10"}},
        {_PrintUoInfo,
         {{4, 8, 0, Extra({4, 16, 0x02, 0x05, 0x10, 0x27, 0, 0x03, 1, 2, 3, 4, 5, 6, 7, 8}, 16)}},
         {"4|x00|4|16|Current,|Unknow|10.00|x10 x27 x00 x03|x01 x02 x03 x04|x05 x06 x07 x08"}},
        {_PrintBipolarAoInfo,
         {{5, 9, 0, Extra({8, 2, 16, 0x83, 0x10, 0x27, 0, 0x04}, 8)}},
         {"5|x00|8|2|16|x8, support individual|1.00|x10 x27 x00 x04"}},
        {_PrintMultiFuncAiInfo,
         {{3, 10, 0,
           Extra({0x00, 0x08, 0, 0x80, 0x01, 0x1F, 0, 0, 8, 24, 0x07, 0x22, 0xC4, 0x09, 0x00, 0x03}, 16)},
          {4, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, 0x87}, 16)},
          {5, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, 0x08}, 16)},
          {6, 10, 0, Extra({0, 0, 0, 0, 0, 0, 0, 0, 1, 16, 0, 0x48}, 16)}},
         {"3|x00|2048|Shared mode|x01|Voltage,Current,Resistor,RTD,Thermocouple,Thermistor,|8|24|"
          "Software Unipolar/Bipolar/Unipolar|/4, unsupport individual|0|2.50",
          "4|x00|0|Un-shared mode|x00|Voltage,|1|16|Unknow|x128, support individual|0|0.00",
          "5|x00|0|Un-shared mode|x00|Voltage,|1|16|Unknow|Unknow|0|0.00",
          "6|x00|0|Un-shared mode|x00|Voltage,|1|16|Unknow|Unknow|0|0.00"}},
        {_PrintTemperatureSensorInfo,
         {{4, 11, 0, Extra({4, 16, 0, 0, 0x71, 0x02, 0x00, 0x04}, 8)}},
         {"4|x00|4|16|0.062500|x71 x02 x00 x04"}},
        // Serial number and name lengths in words; lengths beyond the DIB are bounded.
        {_PrintVirtualInfo, {{5, 128, 0, {0, 2, 0, 0, 'D', 'e', 'v', '-', '1', 0, 0, 0}}}, {"5|x00|Dev-1"}},
        {_PrintVirtualInfo,
         {{5, 128, 0, Cat({{3, 2, 0, 0}, Padded("SN2024000001", 12), Padded("Dev-1", 8)})}},
         {"5|x00|SN2024000001|Dev-1"}},
        {_PrintVirtualInfo, {{5, 128, 0, hostileString}}, {"5|x00|" + std::string(124, 'S') + "|"}},
    };
    for (const ViewCase& c : cases) {
        Unit u;
        u.Dibs = c.Dibs;
        const std::string out = View(c.Print, Decode(u));
        EXPECT_EQ(c.Shown, Values(out)) << out;
        EXPECT_TRUE(out.starts_with("<CLEAR>" + kEquals) && out.ends_with(kEquals)) << out;
    }
    // The layout of every view: a cleared screen, each DIB between rules, labels in a column.
    Unit u;
    u.Dibs = {{5, 2, 0, {}}};
    EXPECT_EQ("<CLEAR>" + kEquals + Field("DIB channel", "5") + Field("Version", "x00") + kEquals,
              View(_PrintParallelInfo, Decode(u)));
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
