// qorsim's UART model where the TTY system tests cannot see it: window writes leave the
// register file alone and malformed ones are counted as errors, version 5 counts waiting
// bytes against its credit and loops data back, line-status events a version cannot carry are
// refused. What the service sees of the model is proven by the TTY system tests.
#include "sim_uart.h"

#include "sim_fixture.h"
#include "sim_link.h"

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

TEST_F(SimUart, WindowWritesAreEchoedDataThatLeaveTheRegistersAlone) {
    Regs(3)[3] = 0x11111111;
    Regs(3)[4] = 0x2222;
    // Version 2: five bytes in two words, one byte of the last enabled.
    auto links = Links(Tlp(0, 3, 0x10, 3, 2, 0x01, {1, 2, 3, 4, 5, 0, 0, 0}));
    ASSERT_EQ(links.size(), 2u);  // the ACK, then the echo
    EXPECT_EQ(Head(links[1], 16), (Bytes{0x10, 0x55, 0x41, 3, 0x10, 3, 2, 0x01, 1, 2, 3, 4, 5, 0, 0, 0}));
    EXPECT_EQ(Regs(3)[3], 0x11111111u);
    EXPECT_EQ(Regs(3)[4], 0x2222u);
    // Enables of another form, and no words at all, are errors; version 4's offset 3 is a register.
    Links(Tlp(0, 3, 0x10, 3, 1, 0x05, {9, 9, 9, 9}));
    Links(Tlp(0, 3, 0x10, 3, 0, 0x0F, {}));
    Links(Tlp(0, 4, 0x00, 3, 1, 0x0F, {0xBF, 0xBF, 0, 0}));
    EXPECT_EQ(Regs(4)[3], 0xBFBFu);
    const std::string tx = Do("uart-tx 02:00:00:00:00:01 3");
    EXPECT_NE(tx.find("bytes=5 tlps=1 errors=2 "), std::string::npos) << tx;
}

TEST_F(SimUart, VersionFiveCountsWaitingBytesAgainstItsCreditAndLoopsDataBack) {
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

TEST_F(SimUart, LineStatusEventsAVersionCannotCarryAreRefused) {
    for (const char* line : {"uart-lsr 02:00:00:00:00:01 1 0x01 1", "uart-lsr 02:00:00:00:00:01 5 0x02 0"}) {
        EXPECT_TRUE(Do(line).starts_with("error version ")) << line;
    }
}

}  // namespace
