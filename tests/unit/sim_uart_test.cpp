// The UART model's own logic: transmit window against register file, the version-5 FIFO
// fields, the line-status encodings. The end-to-end path is the TTY system tests'.
#include "sim_fixture.h"
#include "sim_link.h"
#include "sim_uart.h"

namespace {

// A host TLP, link bytes: CMD (type 0) or DATA (type 1) with sequence number 0.
Bytes Tlp(uint8_t type, uint8_t chl, uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7, const Bytes& data) {
    return Bytes{0x10, 0x00, static_cast<uint8_t>((type << 1) | 1), chl, b4, b5, b6, b7} + data;
}

class SimUart : public SimUnitTest {
  protected:
    void SetUp() override {
        SimUnitTest::SetUp();
        ASSERT_EQ(Do("add ctu_uart_versions 02:00:00:00:00:01 veth0"), "ok added 02:00:00:00:00:01");
        ASSERT_EQ(Do("link-state 02:00:00:00:00:01 1 02:00:00:00:99:01"),
                  "ok link-state 1 02:00:00:00:99:01");
    }
    std::vector<uint32_t>& Regs(uint8_t chl) { return *SimUnitRegisters(Unit(), chl); }
};

TEST_F(SimUart, WindowWritesAreDataAndAreEchoedRegistersStayUntouched) {
    Regs(3)[3] = 0x11111111;
    Regs(3)[4] = 0x2222;
    // Version 2: five bytes in two words, one byte of the last enabled.
    auto links = Links(Tlp(0, 3, 0x10, 3, 2, 0x01, {1, 2, 3, 4, 5, 0, 0, 0}));
    ASSERT_EQ(links.size(), 2u);  // the ACK, then the echo
    EXPECT_EQ(Head(links[1], 16), (Bytes{0x10, 0x55, 0x41, 3, 0x10, 3, 2, 0x01, 1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(Regs(3)[3], 0x11111111u);
    EXPECT_EQ(Regs(3)[4], 0x2222u);
    // Enables of another form are refused; version 4's offset 3 is a register.
    Links(Tlp(0, 3, 0x10, 3, 1, 0x05, {9, 9, 9, 9}));
    Links(Tlp(0, 4, 0x00, 3, 1, 0x0F, {0xBF, 0xBF, 0, 0}));
    EXPECT_EQ(Regs(4)[3], 0xBFBFu);
    const std::string tx = Do("uart-tx 02:00:00:00:00:01 3 clear");
    EXPECT_NE(tx.find("bytes=5 tlps=1 errors=1 "), std::string::npos) << tx;
    EXPECT_TRUE(tx.ends_with(" kept=0102030405")) << tx;
    EXPECT_TRUE(Do("uart-tx 02:00:00:00:00:01 3").ends_with(" kept=-"));
}

TEST_F(SimUart, VersionFiveCountsWaitingBytesAgainstItsCredit) {
    EXPECT_EQ(Regs(5)[2], 1024u << 8);  // empty FIFO: the whole buffer is credit
    Links(Tlp(1, 5, 0x00, 3, 0, 0, {7, 8, 9}));
    EXPECT_EQ(Regs(5)[2], (3u << 20) | (1021u << 8));
    EXPECT_TRUE(Do("uart-tx 02:00:00:00:00:01 5 clear").ends_with(" kept=070809"));
    EXPECT_EQ(Regs(5)[2], 1024u << 8);
    // Looped back as a data TLP: Flag 0, LengthInByte 2.
    EXPECT_EQ(Do("uart 02:00:00:00:00:01 5 loopback"), "ok uart 5 loopback");
    auto links = Links(Tlp(1, 5, 0x00, 2, 0, 0, {0xAA, 0xBB}));
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(Head(links[1], 10), (Bytes{0x10, 0x55, 0x42, 5, 0x00, 2, 0, 0, 0xAA, 0xBB}));
}

TEST(SimUartCodec, LineStatusEventsAndWindowLengthsByVersion) {
    struct Case {
        uint8_t Version, Flags;
        unsigned Count;
        bool Ok;
        Bytes Event;
    } cases[] = {
        {0, 0x0F, 0, true, {0xA0, 0x03, 0, 0}},     {0, 0x01, 1, false, {0, 0, 0, 0}},
        {2, 0x05, 0x1FF, true, {0x20, 0x09, 0, 0xFF}}, {4, 0x0D, 0xABC, true, {0xE0, 0, 0x0A, 0xBC}},
        {5, 0x02, 0, false, {0, 0, 0, 0}},          {6, 0x01, 0, false, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        uint8_t ev[4];
        EXPECT_EQ(SimUartLsrEvent(c.Version, c.Flags, c.Count, ev), c.Ok) << int(c.Version);
        EXPECT_EQ(Bytes(ev, ev + 4), c.Event) << int(c.Version);
    }
    EXPECT_EQ(SimUartWindowBytes(2, 0x01), 5);
    EXPECT_EQ(SimUartWindowBytes(2, 0x1F), 8);
    EXPECT_EQ(SimUartWindowBytes(255, 0x0F), 1020);
    EXPECT_EQ(SimUartWindowBytes(0, 0x0F), -1);
}

}  // namespace
