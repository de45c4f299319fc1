// Link frame codec of the stand-in unit: byte positions from the frame tables, and decoding
// of frames that lie about their lengths or end early.
#include "sim_wire.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

namespace {

const SimMac kHost{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const SimMac kUnit{0x02, 0xAA, 0xBB, 0xCC, 0xDD, 0x01};

std::vector<uint8_t> Frame(const std::vector<uint8_t>& link, const SimMac& dst = kUnit,
                           const SimMac& src = kHost) {
    return SimEthFrameBuild(dst, src, link, false);
}

TEST(SimWireEncode, DllpSequenceNumberSplitsOverBytes2And3) {
    uint8_t b2 = 0, b3 = 0;
    SimDllpPutSeq(0x3FF, &b2, &b3);
    EXPECT_EQ(b2 & 0x03, 3);
    EXPECT_EQ(b3, 0xFF);
    // The upper bits of byte 2 (a return code in connect answers) are kept.
    b2 = 0x04 << 2;
    SimDllpPutSeq(0x155, &b2, &b3);
    EXPECT_EQ(b2, (0x04 << 2) | 0x01);
    EXPECT_EQ(b3, 0x55);
    EXPECT_EQ(SimDllpGetSeq(b2, b3), 0x155);
    EXPECT_EQ(SimDllpGetSeq(0xFF, 0x00), 0x300);  // only bits 1..0 of byte 2 count
    for (uint16_t s = 0; s < 1024; ++s) {
        uint8_t x = 0, y = 0;
        SimDllpPutSeq(s, &x, &y);
        ASSERT_EQ(SimDllpGetSeq(x, y), s);
    }
}

TEST(SimWireEncode, TlpHeaderBitPositions) {
    _SIM_TLP t{};
    t.SeqNumber = 5;
    t.Type = kSimTlpData;
    t.RW = 0;
    t.ChlNumber = 3;
    t.LengthInByte = 0;
    auto link = SimTlpEncode(t, nullptr, 0);
    ASSERT_EQ(link.size(), 8u);
    EXPECT_EQ(link[0], 0x10);
    EXPECT_EQ(link[1], 0x01);
    EXPECT_EQ(link[2], 0x42);
    EXPECT_EQ(link[3], 3);

    t.SeqNumber = 0x3FF;
    link = SimTlpEncode(t, nullptr, 0);
    EXPECT_EQ(link[1], 0xFF);
    EXPECT_EQ(link[2] >> 6, 3);

    std::vector<uint8_t> data(1500, 0xA5);
    t.SeqNumber = 0;
    t.LengthInByte = 1500;
    t.Flag = 0;
    link = SimTlpEncode(t, data.data(), data.size());
    ASSERT_EQ(link.size(), 8u + 1500);
    EXPECT_EQ(link[4], 0x05);
    EXPECT_EQ(link[5], 0xDC);
    EXPECT_EQ(link[6], 0);
    EXPECT_EQ(link[7], 0);

    t.Flag = 0x1F;
    t.LengthInByte = 0x7FF;
    data.assign(0x7FF, 1);
    link = SimTlpEncode(t, data.data(), data.size());
    EXPECT_EQ(link[4], 0xFF);
    EXPECT_EQ(link[5], 0xFF);

    _SIM_TLP c{};
    c.Type = kSimTlpCmd;
    c.RW = 1;
    c.ChlNumber = 9;
    c.TransactionID = 0xFF;  // only 5 bits go out
    c.Offset = 0x12;
    c.LengthInDW = 2;
    c.AOLBE = 0xFF;
    const uint8_t words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    link = SimTlpEncode(c, words, sizeof(words));
    ASSERT_EQ(link.size(), 16u);
    EXPECT_EQ(link[2], 0x01);  // type 0, RW 1
    EXPECT_EQ(link[4], 0x1F);
    EXPECT_EQ(link[5], 0x12);
    EXPECT_EQ(link[6], 2);
    EXPECT_EQ(link[7], 0x1F);
    EXPECT_EQ(link[15], 8);
    // Fewer data bytes than the header announces is refused, not read past.
    EXPECT_TRUE(SimTlpEncode(c, words, 7).empty());
    // A read carries no data.
    c.RW = 0;
    EXPECT_EQ(SimTlpEncode(c, nullptr, 0).size(), 8u);

    _SIM_TLP e{};
    e.Type = kSimTlpEvent;
    e.ChlNumber = 1;
    e.Event = {0xDE, 0xAD, 0xBE, 0xEF};
    link = SimTlpEncode(e, words, 3);
    ASSERT_EQ(link.size(), 11u);
    EXPECT_EQ(link[2], 4 << 1);
    EXPECT_EQ(link[4], 0xDE);
    EXPECT_EQ(link[7], 0xEF);
    EXPECT_EQ(link[10], 3);
}

TEST(SimWireEncode, EthernetFramePadsShortFramesOnly) {
    const auto f = SimEthFrameBuild(kHost, kUnit, SimDllpEncode(SIM_DLLP_ADVANCE_SEARCH_RESPONSE, 0, 0));
    ASSERT_EQ(f.size(), kSimMinFrame);
    const std::vector<uint8_t> head{0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0xAA, 0xBB,
                                    0xCC, 0xDD, 0x01, 0xD4, 0x1F, 0x20, 0x07, 0x00, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 18), head);
    for (size_t i = 18; i < f.size(); ++i) EXPECT_EQ(f[i], 0) << i;
    EXPECT_EQ(SimEthFrameBuild(kHost, kUnit, {0x20, 7, 0, 0}, false).size(), 18u);
    const std::vector<uint8_t> big(100, 0x33);
    EXPECT_EQ(SimEthFrameBuild(kHost, kUnit, big).size(), 114u);
}

TEST(SimWireDecode, DllpFieldsAndLowFiveBitsOfTheCommand) {
    const auto f = Frame({0x20, 0x23, 0x06, 0x07, 0xAA});
    _SIM_FRAME d;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(d.Dst, kUnit);
    EXPECT_EQ(d.Src, kHost);
    EXPECT_EQ(d.EtherType, 0xD41F);
    EXPECT_EQ(d.PacketType, kSimPacketDllp);
    EXPECT_EQ(d.Dllp.RawCmd, 0x23);
    EXPECT_EQ(d.Dllp.Cmd, 3);
    EXPECT_EQ(d.Dllp.Byte2, 0x06);
    EXPECT_EQ(d.Dllp.Byte3, 0x07);
    ASSERT_EQ(d.Dllp.PayloadLength, 1u);
    EXPECT_EQ(d.Dllp.Payload[0], 0xAA);
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
    f[12] = 0x08;
    f[13] = 0x00;
    EXPECT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::WrongEtherType);
    f = Frame({0x10, 0, 0, 0, 0, 0, 0, 0});
    for (size_t n = 15; n < 22; ++n)
        EXPECT_EQ(SimFrameDecode(f.data(), n, &d), SimFrameStatus::ShortTlp) << n;
    EXPECT_EQ(SimFrameDecode(f.data(), 22, &d), SimFrameStatus::Ok);
    f = Frame({0x30, 0, 0, 0});
    EXPECT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::UnknownPacket);
}

TEST(SimWireDecode, TlpFieldsFromTheBitTable) {
    // seq 0x2C5 = bits 9..2 0xB1, bits 1..0 01; type CMD, RW 1; chl 7; tid 0x1F with junk above;
    // offset 4, 1 word, AOLBE 0x1F; then the word.
    const auto f = Frame({0x10, 0xB1, 0x41, 0x07, 0xFF, 0x04, 0x01, 0x1F, 0x78, 0x56, 0x34, 0x12});
    _SIM_FRAME d;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(d.Tlp.SeqNumber, 0x2C5);
    EXPECT_EQ(d.Tlp.Type, kSimTlpCmd);
    EXPECT_EQ(d.Tlp.RW, 1);
    EXPECT_EQ(d.Tlp.ChlNumber, 7);
    EXPECT_EQ(d.Tlp.TransactionID, 0x1F);
    EXPECT_EQ(d.Tlp.Offset, 4);
    EXPECT_EQ(d.Tlp.LengthInDW, 1);
    ASSERT_EQ(d.Tlp.DataLength, 4u);
    EXPECT_FALSE(d.Tlp.DataTruncated);
    EXPECT_EQ(d.Tlp.Data[0], 0x78);

    const auto g = Frame({0x10, 0x00, 0x02 | 0x80, 0x02, 0x2D, 0x03, 0, 0, 'a', 'b', 'c'});
    ASSERT_EQ(SimFrameDecode(g.data(), g.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(d.Tlp.SeqNumber, 2);
    EXPECT_EQ(d.Tlp.Type, kSimTlpData);
    EXPECT_EQ(d.Tlp.Flag, 0x05);
    EXPECT_EQ(d.Tlp.LengthInByte, 0x503);
    EXPECT_TRUE(d.Tlp.DataTruncated);
    EXPECT_EQ(d.Tlp.DataAnnounced, 0x503u);
    EXPECT_EQ(d.Tlp.DataLength, 3u);
}

TEST(SimWireDecode, ReadCommandCarriesNoDataAndPaddingIsNotData) {
    // A read of 200 words in a frame padded to 60 bytes: the padding is not the data.
    auto f = SimEthFrameBuild(kUnit, kHost, {0x10, 0x00, 0x00, 0x01, 0x03, 0x00, 200, 0x1F});
    ASSERT_EQ(f.size(), kSimMinFrame);
    _SIM_FRAME d;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(d.Tlp.RW, 0);
    EXPECT_EQ(d.Tlp.LengthInDW, 200);
    EXPECT_EQ(d.Tlp.DataLength, 0u);
    EXPECT_FALSE(d.Tlp.DataTruncated);
    // The same as a write announces 800 bytes and brings the 38 bytes of the frame.
    f[16] |= 0x01;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_TRUE(d.Tlp.DataTruncated);
    EXPECT_EQ(d.Tlp.DataAnnounced, 800u);
    EXPECT_EQ(d.Tlp.DataLength, kSimMinFrame - 22);
}

TEST(SimWireDecode, ReadAnswerFromAUnitCarriesItsWords) {
    // A unit's answer to a read: CMD, RW 0, LengthInDW words behind the header.
    _SIM_TLP c{};
    c.SeqNumber = 0x201;
    c.Type = kSimTlpCmd;
    c.ChlNumber = 4;
    c.TransactionID = 0x1F;
    c.Offset = 9;
    c.LengthInDW = 2;
    c.AOLBE = 0x1F;
    const auto words = SimWordsToBytes({0x11223344, 0xA0B0C0D0});
    EXPECT_EQ(words, (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0xD0, 0xC0, 0xB0, 0xA0}));
    const auto link = SimTlpEncode(c, words.data(), words.size());
    EXPECT_EQ(link, (std::vector<uint8_t>{0x10, 0x80, 0x40, 4, 0x1F, 9, 2, 0x1F, 0x44, 0x33, 0x22, 0x11, 0xD0,
                                          0xC0, 0xB0, 0xA0}));
    // Too few words for the header is refused.
    EXPECT_TRUE(SimTlpEncode(c, words.data(), 4).empty());
    const auto f = Frame(link, kHost, kUnit);
    _SIM_FRAME d;
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d, SimSender::Unit), SimFrameStatus::Ok);
    EXPECT_EQ(d.Tlp.SeqNumber, 0x201);
    EXPECT_EQ(d.Tlp.DataLength, 8u);
    EXPECT_FALSE(d.Tlp.DataTruncated);
    // Read as a host's request, the same bytes carry no data.
    ASSERT_EQ(SimFrameDecode(f.data(), f.size(), &d), SimFrameStatus::Ok);
    EXPECT_EQ(d.Tlp.DataLength, 0u);
}

TEST(SimWireEncode, PasswordBlockIsReversedAndRightAligned) {
    const auto block = SimPasswordBlock({'a', 'b', 'c'});
    std::array<uint8_t, 32> want{};
    want[31] = 'a';
    want[30] = 'b';
    want[29] = 'c';
    EXPECT_EQ(block, want);
    EXPECT_EQ(SimPasswordBlock({}), (std::array<uint8_t, 32>{}));
    std::vector<uint8_t> full(32);
    for (size_t i = 0; i < 32; ++i) full[i] = static_cast<uint8_t>(i + 1);
    const auto b = SimPasswordBlock(full);
    for (size_t i = 0; i < 32; ++i) EXPECT_EQ(b[i], 32 - i) << i;
    // The connect mode sits in byte 2 bits 3..2, next to the version bit and the sequence bits.
    EXPECT_EQ(SimConnectMode(0x1F), 3);
    EXPECT_EQ(SimConnectMode(0x13), 0);
    EXPECT_EQ(SimConnectMode(0x04), 1);
}

TEST(SimWireDecode, RandomBytesNeverLeaveTheBuffer) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        const size_t n = rng() % 80;
        // A buffer of exactly n bytes: any read past it is caught by the sanitizer build.
        std::vector<uint8_t> buf(n);
        for (auto& b : buf) b = static_cast<uint8_t>(rng());
        if (n >= 15 && (rng() & 1)) {
            buf[12] = 0xD4;
            buf[13] = 0x1F;
            buf[14] = (rng() & 1) ? 0x10 : 0x20;
        }
        _SIM_FRAME d;
        const SimFrameStatus st = SimFrameDecode(buf.data(), buf.size(), &d);
        if (st != SimFrameStatus::Ok) continue;
        ASSERT_EQ(d.LinkLength, n - 14);
        if (d.PacketType == kSimPacketDllp) {
            ASSERT_EQ(d.Dllp.PayloadLength, n - 18);
            ASSERT_EQ(d.Dllp.Cmd, d.Dllp.RawCmd & 0x1F);
        } else {
            ASSERT_LE(d.Tlp.DataLength, n - 22);
            ASSERT_EQ(d.Tlp.Data, buf.data() + 22);
            ASSERT_EQ(d.Tlp.DataTruncated, d.Tlp.DataAnnounced > n - 22);
            ASSERT_LE(d.Tlp.SeqNumber, 0x3FF);
        }
    }
}

TEST(SimWireMac, ParseFormatAndCount) {
    SimMac m{};
    EXPECT_TRUE(SimMacParse("02:aA:0b:Cc:dd:ff", &m));
    EXPECT_EQ(m, (SimMac{0x02, 0xAA, 0x0B, 0xCC, 0xDD, 0xFF}));
    EXPECT_EQ(SimMacFormat(m), "02:aa:0b:cc:dd:ff");
    for (const char* bad : {"", "02:aa:0b:cc:dd", "02:aa:0b:cc:dd:ff:", "02-aa-0b-cc-dd-ff",
                            "0g:aa:0b:cc:dd:ff", "2:aa:0b:cc:dd:fff", "02:aa:0b:cc:dd: f"}) {
        EXPECT_FALSE(SimMacParse(bad, &m)) << bad;
    }
    SimMac out{};
    ASSERT_TRUE(SimMacAdd(SimMac{0x02, 0, 0, 0, 0, 0xFF}, 1, &out));
    EXPECT_EQ(out, (SimMac{0x02, 0, 0, 0, 1, 0}));
    EXPECT_FALSE(SimMacAdd(SimMac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}, 2, &out));
    EXPECT_TRUE(SimMacIsMulticast(kSimBroadcastMac));
    EXPECT_FALSE(SimMacIsMulticast(kUnit));
}

TEST(SimWireNames, CommandNames) {
    EXPECT_STREQ(SimDllpCmdName(4), "ADVANCE_SEARCH");
    EXPECT_STREQ(SimDllpCmdName(18), "ACU_RESPONSE");
    EXPECT_STREQ(SimDllpCmdName(24), "KEEP_ALIVE_TIMEOUT");
    EXPECT_EQ(SimDllpCmdName(12), nullptr);
    EXPECT_EQ(SimDllpCmdName(31), nullptr);
}

}  // namespace
