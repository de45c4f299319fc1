// Link frame codec of the stand-in unit: byte positions from the frame tables, and decoding
// of frames that lie about their lengths or end early.
#include "sim_wire.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

const SimMac kHost{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const SimMac kUnit{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0x01};

std::vector<uint8_t> Frame(const std::vector<uint8_t>& link, const SimMac& dst = kUnit,
                           const SimMac& src = kHost) {
    return SimEthFrameBuild(dst, src, link, false);
}

TEST(SimWireDecode, RejectsShortAndForeignFrames) {
    _SIM_FRAME d;
    EXPECT_EQ(SimFrameDecode(nullptr, 100, &d), SimFrameStatus::ShortEthernet);
    auto f = Frame({0x20, 0x04, 0x00, 0x00});
    for (size_t n = 0; n <= 14; ++n)
        EXPECT_EQ(SimFrameDecode(f.data(), n, &d), SimFrameStatus::ShortEthernet) << n;
    for (size_t n = 15; n < 18; ++n)
        EXPECT_EQ(SimFrameDecode(f.data(), n, &d), SimFrameStatus::ShortDllp) << n;
    EXPECT_EQ(SimFrameDecode(f.data(), 18, &d), SimFrameStatus::Ok);
    f[12] = 0x08, f[13] = 0x00;
    EXPECT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::WrongEtherType);
    f = Frame({0x10, 0, 0, 0, 0, 0, 0, 0});
    for (size_t n = 15; n < 22; ++n)
        EXPECT_EQ(SimFrameDecode(f.data(), n, &d), SimFrameStatus::ShortTlp) << n;
    EXPECT_EQ(SimFrameDecode(f.data(), 22, &d), SimFrameStatus::Ok);
    f = Frame({0x30, 0, 0, 0});
    EXPECT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::UnknownPacket);
}

TEST(SimWireDecode, TlpFieldsFromTheBitTable) {
    // seq 0x2C5, CMD, RW 1, chl 7, tid 0x1F with junk above, offset 4, 1 word; then a DATA TLP
    // with Flag 5 and LengthInByte 0x503 that carries 3 bytes.
    const auto f = Frame({0x10, 0xB1, 0x41, 0x07, 0xFF, 0x04, 0x01, 0x1F, 0x78, 0x56, 0x34, 0x12});
    _SIM_FRAME d;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(std::make_tuple(d.Tlp.SeqNumber, d.Tlp.Type, d.Tlp.RW, d.Tlp.ChlNumber, d.Tlp.TransactionID),
              std::make_tuple(0x2C5, kSimTlpCmd, 1, 7, 0x1F));
    EXPECT_EQ(std::make_tuple(d.Tlp.Offset, d.Tlp.LengthInDW, d.Tlp.DataLength, d.Tlp.Data[0]),
              std::make_tuple(4, 1, size_t{4}, 0x78));
    const auto g = Frame({0x10, 0x00, 0x02 | 0x80, 0x02, 0x2D, 0x03, 0, 0, 'a', 'b', 'c'});
    ASSERT_EQ(SimFrameDecode(g.data(), g.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(
        std::make_tuple(d.Tlp.SeqNumber, d.Tlp.Type, d.Tlp.Flag, d.Tlp.LengthInByte, d.Tlp.DataTruncated),
        std::make_tuple(2, kSimTlpData, 5, 0x503, true));
    EXPECT_EQ(d.Tlp.DataLength, 3u);
}

TEST(SimWireDecode, ReadCommandCarriesNoDataAndPaddingIsNotData) {
    // A read of 200 words in a frame padded to 60 bytes: the padding is not the data; the same
    // as a write announces 800 bytes and brings the 38 bytes of the frame.
    auto f = SimEthFrameBuild(kUnit, kHost, {0x10, 0x00, 0x00, 0x01, 0x03, 0x00, 200, 0x1F});
    ASSERT_EQ(f.size(), kSimMinFrame);
    _SIM_FRAME d;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(std::tuple(d.Tlp.RW, d.Tlp.LengthInDW, d.Tlp.DataLength, d.Tlp.DataTruncated),
              std::tuple(0, 200, 0u, false));
    f[16] |= 0x01;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(std::tuple(d.Tlp.DataTruncated, d.Tlp.DataAnnounced, d.Tlp.DataLength),
              std::tuple(true, 800u, kSimMinFrame - 22));
}

TEST(SimWireMac, ParseAndFormat) {
    SimMac m{};
    EXPECT_TRUE(SimMacParse("02:aA:0b:Cc:dd:ff", &m));
    EXPECT_EQ(m, (SimMac{0x02, 0xAA, 0x0B, 0xCC, 0xDD, 0xFF}));
    EXPECT_EQ(SimMacFormat(m), "02:aa:0b:cc:dd:ff");
    for (const char* bad : {"", "02:aa:0b:cc:dd", "02:aa:0b:cc:dd:ff:", "02-aa-0b-cc-dd-ff",
                            "0g:aa:0b:cc:dd:ff", "2:aa:0b:cc:dd:fff", "02:aa:0b:cc:dd: f"})
        EXPECT_FALSE(SimMacParse(bad, &m)) << bad;
}

}  // namespace
