#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "pem_dbg.h"
#include "test_support_log.h"
#include "vn_dllp_cmd.h"
#include "vn_link_frame.h"

namespace {
std::vector<uint8_t> Encode(const _TLP_HEADER& hdr, const std::vector<uint8_t>& data, uint16_t seq) {
    std::vector<uint8_t> out(kTlpFrameBuffSize);
    const size_t n = VnTlpEncode(&hdr, data.data(), data.size(), seq, out.data(), out.size());
    out.resize(n);
    return out;
}
}  // namespace

TEST(DllpSeq, TenBitsSplitOverBytesTwoAndThree) {
    uint8_t dllp[4] = {0x20, 0, 0xFC, 0};
    DllpPutSeq(dllp, 0x3FF);
    EXPECT_EQ(dllp[2], 0xFF);  // bits 1..0 = 3, the upper bits kept
    EXPECT_EQ(dllp[3], 0xFF);
    EXPECT_EQ(DllpGetSeq(dllp), 0x3FF);
    dllp[2] = 0;
    DllpPutSeq(dllp, 0x1A5);
    EXPECT_EQ(dllp[2], 0x01);
    EXPECT_EQ(dllp[3], 0xA5);
    EXPECT_EQ(DllpGetSeq(dllp), 0x1A5);
}

TEST(TlpCodec, SequenceNumberAndTypeBits) {
    _TLP_HEADER hdr{};
    hdr.Type = TLP_TYPE_DATA;
    hdr.ChlNumber = 3;
    auto frame = Encode(hdr, {}, 5);
    ASSERT_EQ(frame.size(), 8u);
    EXPECT_EQ(frame[0], 0x10);
    EXPECT_EQ(frame[1], 0x01);
    EXPECT_EQ(frame[2], 0x42);
    EXPECT_EQ(frame[3], 3);

    hdr.Type = TLP_TYPE_CMD;
    frame = Encode(hdr, {}, 0x3FF);
    EXPECT_EQ(frame[1], 0xFF);
    EXPECT_EQ(frame[2] >> 6, 3);
    uint16_t seq = 0;
    _TLP_HEADER back;
    ASSERT_EQ(VnTlpDecode(frame.data(), frame.size(), &back, &seq), 1);
    EXPECT_EQ(seq, 0x3FF);
}

TEST(TlpCodec, DataLengthAndFlagInBytesFourAndFive) {
    _TLP_HEADER hdr{};
    hdr.Type = TLP_TYPE_DATA;
    hdr.LengthInByte = 1500;
    std::vector<uint8_t> data(1500);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    auto frame = Encode(hdr, data, 9);
    ASSERT_EQ(frame.size(), 8u + 1500u);
    EXPECT_EQ(frame[4], 0x05);
    EXPECT_EQ(frame[5], 0xDC);
    EXPECT_EQ(frame[6], 0);
    EXPECT_EQ(frame[7], 0);
    EXPECT_EQ(0, memcmp(frame.data() + 8, data.data(), data.size()));

    hdr.LengthInByte = 0x4FF;
    hdr.Flag = 0x1F;
    data.assign(0x4FF, 0xAB);
    frame = Encode(hdr, data, 0);
    ASSERT_EQ(frame.size(), 8u + 0x4FF);
    EXPECT_EQ(frame[4], 0xFC);
    EXPECT_EQ(frame[5], 0xFF);
    _TLP_HEADER back;
    uint16_t seq;
    ASSERT_EQ(VnTlpDecode(frame.data(), frame.size(), &back, &seq), 1);
    EXPECT_EQ(back.Flag, 0x1F);
    EXPECT_EQ(back.LengthInByte, 0x4FF);
    EXPECT_EQ(TlpGetExtraDataLength(&back), 0x4FF);
}

TEST(TlpCodec, CommandReadCarriesNoDataWriteCarriesItsWords) {
    _TLP_HEADER hdr{};
    hdr.Type = TLP_TYPE_CMD;
    hdr.RW = 0;
    hdr.ChlNumber = 0x21;
    hdr.TransactionID = 0xFF;  // only 5 bits go out
    hdr.Offset = 0x40;
    hdr.LengthInDW = 2;
    hdr.AOLBE = 0xFF;
    auto frame = Encode(hdr, {}, 0);
    ASSERT_EQ(frame.size(), 8u);
    EXPECT_EQ((std::vector<uint8_t>(frame.begin() + 3, frame.end())), (std::vector<uint8_t>{0x21, 0x1F, 0x40, 2, 0x1F}));

    hdr.RW = 1;
    EXPECT_EQ(Encode(hdr, {1, 2, 3, 4}, 0).size(), 0u);  // header asks for 8 bytes, 4 given
    frame = Encode(hdr, {1, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE}, 0x155);
    ASSERT_EQ(frame.size(), 16u);
    EXPECT_EQ(frame[2], static_cast<uint8_t>((1 << 6) | 1));  // seq bits 1..0 = 01, CMD, write
    _TLP_HEADER back;
    uint16_t seq;
    ASSERT_EQ(VnTlpDecode(frame.data(), frame.size(), &back, &seq), 1);
    EXPECT_EQ(seq, 0x155);
    EXPECT_EQ(back.RW, 1);
    EXPECT_EQ(back.Offset, 0x40);
    EXPECT_EQ(back.LengthInDW, 2);
    EXPECT_EQ(TlpGetExtraDataLength(&back), 8);

    hdr.Type = TLP_TYPE_EVENT;  // only units send events
    EXPECT_EQ(Encode(hdr, {}, 0).size(), 0u);
}

TEST(TlpCodec, DecodeBoundsAnnouncedLengthByReceivedBytes) {
    // CMD answer announcing 255 words but carrying 3 bytes; DATA announcing 2047 with none.
    const uint8_t cmd[] = {0x10, 0x00, 0x00, 0x01, 0x00, 0x00, 0xFF, 0x1F, 1, 2, 3};
    _TLP_HEADER hdr;
    uint16_t seq;
    ASSERT_EQ(VnTlpDecode(cmd, sizeof(cmd), &hdr, &seq), 1);
    EXPECT_EQ(hdr.LengthInDW, 255);
    EXPECT_EQ(TlpGetExtraDataLength(&hdr), 3);
    const uint8_t data[] = {0x10, 0x00, 0x02, 0x01, 0x07, 0xFF, 0, 0};
    ASSERT_EQ(VnTlpDecode(data, sizeof(data), &hdr, &seq), 1);
    EXPECT_EQ(hdr.LengthInByte, 0x7FF);
    EXPECT_EQ(TlpGetExtraDataLength(&hdr), 0);
    const uint8_t event[] = {0x10, 0x80, 0x08, 0x02, 0xA, 0xB, 0xC, 0xD};
    ASSERT_EQ(VnTlpDecode(event, sizeof(event), &hdr, &seq), 1);
    EXPECT_EQ(hdr.Type, TLP_TYPE_EVENT);
    EXPECT_EQ(seq, 0x200);
    EXPECT_EQ(hdr.Event[0], 0xA);
    EXPECT_EQ(hdr.Event[3], 0xD);
    EXPECT_EQ(VnTlpDecode(event, 7, &hdr, &seq), 0);  // shorter than the wire header
}

TEST(TlpHeader, ExtraDataLengthIsBigEndianInMemory) {
    _TLP_HEADER hdr{};
    TlpSetExtraDataLength(&hdr, 0x1234);
    const uint8_t* raw = reinterpret_cast<const uint8_t*>(&hdr);
    EXPECT_EQ(raw[14], 0x12);
    EXPECT_EQ(raw[15], 0x34);
    EXPECT_EQ(TlpGetExtraDataLength(&hdr), 0x1234);
    EXPECT_EQ(offsetof(_TLP_HEADER, LengthInByte), 8u);
    EXPECT_EQ(offsetof(_TLP_HEADER, Event), 10u);
}

TEST(DllpConnect, DockIsFourBytesAdvanceFortyWithPasswordBlock) {
    std::array<uint8_t, 40> out{};
    std::array<uint8_t, 32> password{};
    for (size_t i = 0; i < password.size(); ++i) password[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(VnDllpBuildConnect(out.data(), 0, DISCONNECT_MODE_CONNECT, 0x2FE, password.data()), 4);
    EXPECT_EQ((std::vector<uint8_t>(out.begin(), out.begin() + 4)), (std::vector<uint8_t>{0x20, 2, 0x02, 0xFE}));

    out.fill(0xEE);
    EXPECT_EQ(VnDllpBuildConnect(out.data(), 1, DISCONNECT_MODE_CONNECT, 7, password.data()), 40);
    EXPECT_EQ(out[0], 0x20);
    EXPECT_EQ(out[1], 10);
    EXPECT_EQ(out[2], 0x10);
    EXPECT_EQ(out[3], 7);
    EXPECT_EQ(0, memcmp(out.data() + 4, password.data(), 32));
    EXPECT_EQ((std::vector<uint8_t>(out.begin() + 36, out.end())), (std::vector<uint8_t>{0, 0, 0, 0}));

    // Disconnect after a MAC change, advance mode, sequence 0x301.
    EXPECT_EQ(VnDllpBuildConnect(out.data(), 1, DISCONNECT_MODE_MAC_CHANGED, 0x301, nullptr), 40);
    EXPECT_EQ(out[2], 0x10 | (2 << 2) | 0x03);
    EXPECT_EQ(out[3], 0x01);
    EXPECT_EQ(out[4], 0);  // no password given: zero block
}

TEST(TlpDump, SentAndReceivedFramesAreDumpedFieldByField) {
    LogCapture cap;
    LogEnable = 1;
    const uint8_t cmd[] = {0x10, 0x01, 0x41, 0x02, 0x03, 0x10, 0x01, 0x1F, 0xDE, 0xAD, 0xBE, 0xEF};
    VnTlpDumpSent(cmd, sizeof(cmd), 1);
    const uint8_t event[] = {0x10, 0x00, 0x08, 0x05, 0x01, 0x02, 0x03, 0x04, 0x99};
    VnTlpDumpReceived(event, sizeof(event));
    LogEnable = 0;
    EXPECT_EQ(cap.Text(),
              "-------------------------------, Length:12, Is Retransmission\n"
              "SeqNumber       : x0141, 5\n"
              "Type            : CMD\n"
              "RW              : x01\n"
              "ChlNumber       : x02\n"
              "TransactionID   : x03\n"
              "Offset          : x10\n"
              "LengthInDW      : x01\n"
              "AOLBE           : x1f\n"
              "***************************\n"
              "xde xad xbe xef \n"
              "***************************\n"
              "-------------------------------\n"
              "+++++++++++++++++++++++++++++++, Length:9\n"
              "SeqNumber       : x0008, 0\n"
              "Type            : EVENT\n"
              "RW              : x00\n"
              "ChlNumber       : x05\n"
              "EventValue      : x01020304\n"
              "***************************\n"
              "x99 \n"
              "***************************\n"
              "+++++++++++++++++++++++++++++++\n");
}
