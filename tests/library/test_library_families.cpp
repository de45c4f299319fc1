// The DIO, AI, AO and MAI APIs of libqorio against the real service and qorsim: every call
// with the field it leaves in the unit's registers and the value it reads back, refusals,
// DIO line callbacks before the bank callback, AI samples at the benchmark's rate without
// loss, AO output data, and MAI trigger values with and without the unit's calibration table.
#include <mutex>

#include "library_fixture.h"

namespace qortest {
namespace {

std::mutex gMu;
std::vector<std::string> gSeen;
std::vector<uint32_t> gSamples;
int gMaiData = 0;
void Seen(const std::string& s) {
    std::lock_guard<std::mutex> l(gMu);
    gSeen.push_back(s);
}
template <typename F>
auto Locked(F f) {
    std::lock_guard<std::mutex> l(gMu);
    return f();
}
std::vector<std::string> SeenNow() {
    return Locked([] { return gSeen; });
}

class LibFamilies : public LibraryTest {
  protected:
    void Start(const std::string& profile) {
        mac_ = UnitMac(0x52, 1);
        ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({{profile, mac_}}));
        uint32_t sio = 0, ctu = 0;
        ASSERT_EQ(vn_connect(mac_.data(), &sio, &ctu, 0, nullptr, 0), 0);
        ASSERT_EQ(sio_init(mac_.data(), sio), 0u);
    }
};

// dio_versions channel 5: layout 2, a direction bit per line, four banks of 8 (bank 1 input
// only, bank 3 output only); channel 7 is a TPS channel.
// qorlab --veths 1
TEST_F(LibFamilies, DioEveryCallReachesTheUnitAndLineCallbacksRunBeforeTheBank) {
    ASSERT_NO_FATAL_FAILURE(Start("dio_versions"));
    uint8_t* m = mac_.data();
    constexpr int C = 5;
    Mac other = UnitMac(9, 9);
    uint32_t v = 0;
    uint8_t info[DIO_INFO_SIZE];

    Step("refusals before anything is sent");
    EXPECT_EQ(dio_get_bank_state(other.data(), C, 0, &v), 80u);
    for (unsigned rc : {dio_get_bank_state(m, 64, 0, &v), dio_get_bank_state(m, C, 32, &v),
                        dio_get_bank_state(m, C, 0, nullptr), dio_set_io_state(m, C, 0, 32, 1),
                        dio_get_info(m, C, nullptr), dio_set_bank_event_callback(m, C, 1, nullptr)}) {
        EXPECT_EQ(rc, 98u);
    }
    ASSERT_EQ(dio_get_info(m, C, info), 0u);
    EXPECT_EQ(info[1], 4) << "banks";

    Step("each bank value and field: register, then read back");
    Check(
        C,
        {
            Row("direction bank 0", 5, 0, 0xFF, 0xFF, dio_set_bank_direction, dio_get_bank_direction, m, C,
                0),
            Row("state bank 0", 4, 0, 0xFF, 0x00, dio_set_bank_state, dio_get_bank_state, m, C, 0),
            {"line 3 to 1 of state 0 writes 0x08", [&] { return dio_set_io_state(m, C, 0, 3, 1); }, 4, 0,
             0xFF, 0x08, [&](uint32_t* o) { return dio_get_bank_state(m, C, 0, o); }},
            {"line 7, value 2: its low bit", [&] { return dio_set_io_state(m, C, 0, 7, 2); }, 4, 0, 0xFF,
             0x08, nullptr},
            Row("invert bank 1", 2, 8, 0xFF, 0x5A, dio_set_bank_input_invert, dio_get_bank_input_invert, m, C,
                1),
            Row("initial value bank 0", 6, 0, 0xFF, 0xA5, dio_set_bank_output_initial_value,
                dio_get_bank_output_initial_value, m, C, 0),
            Row("safe value bank 0", 7, 0, 0xFF, 0x3C, dio_set_bank_output_safe_value,
                dio_get_bank_output_safe_value, m, C, 0),
            Row("latch rising bank 1", 9, 8, 0xFF, 0x11, dio_set_bank_input_latch_rising_edge,
                dio_get_bank_input_latch_rising_edge, m, C, 1),
            Row("latch falling bank 1", 10, 8, 0xFF, 0x22, dio_set_bank_input_latch_falling_edge,
                dio_get_bank_input_latch_falling_edge, m, C, 1),
            Row("count rising bank 1", 12, 8, 0xFF, 0x01, dio_set_bank_input_counter_increment_rising_edge,
                dio_get_bank_input_counter_increment_rising_edge, m, C, 1),
            Row("count falling bank 1", 13, 8, 0xFF, 0x80, dio_set_bank_input_counter_increment_falling_edge,
                dio_get_bank_input_counter_increment_falling_edge, m, C, 1),
            Row("event mode bank 1", 15, 0, 0xFF, 2, dio_set_bank_input_event_mode,
                dio_get_bank_input_event_mode, m, C, 1),
            Row("sampling clock bank 1", 15, 8, 0xF, 3, dio_set_bank_sampling_clock,
                dio_get_bank_sampling_clock, m, C, 1),
            Row("pin config bank 0", 14, 12, 1, 1, dio_set_bank_output_pin_config,
                dio_get_bank_output_pin_config, m, C, 0),
            {"safe value timer", [&] { return dio_set_output_safe_value_timer(m, C, 1, 0x20); }, 8, 0,
             0xFFFFFFFF, 0x80000020, nullptr},
        });
    uint8_t en = 0, timer = 0;
    EXPECT_EQ(dio_get_output_safe_value_timer(m, C, &en, &timer), 0u);
    EXPECT_EQ(std::make_pair(en, timer), std::make_pair(uint8_t{1}, uint8_t{0x20}));

    Step("a service status comes back as the result; a line beyond the bank writes nothing");
    EXPECT_EQ(dio_set_bank_sampling_clock(m, C, 1, 9), 3u);
    EXPECT_EQ(dio_set_io_state(m, C, 0, 8, 1), 19u);
    EXPECT_EQ(Reg(C, 4) & 0xFFFF, 0x08u);

    Step("callbacks: only banks of inputs, only DIO channels; lines in order, then the bank");
    const dio_bank_event_callback none = [](uint8_t*, int, int, uint32_t, uint32_t) {};
    EXPECT_EQ(dio_set_bank_event_callback(m, C, 0, none), 112u);
    EXPECT_EQ(dio_set_bank_event_callback(m, 7, 0, none), 0xFFFFFFFFu);
    EXPECT_EQ(dio_set_bank_event_callback(other.data(), C, 1, none), 80u);
    ASSERT_EQ(dio_set_bank_input_invert(m, C, 1, 0), 0u);
    auto line = [](uint8_t* mac, int chl, int bank, int l, uint8_t c, uint8_t s) {
        Seen("line " + std::to_string(chl) + "/" + std::to_string(bank) + "/" + std::to_string(l) + " " +
             std::to_string(c) + std::to_string(s) + (mac ? "" : " no mac"));
    };
    ASSERT_EQ(dio_set_bank_event_callback(m, C, 1,
                                          [](uint8_t*, int, int b, uint32_t c, uint32_t s) {
                                              Seen("bank " + std::to_string(b) + " " + std::to_string(c) +
                                                   "/" + std::to_string(s));
                                          }),
              0u);
    ASSERT_EQ(dio_set_io_event_callback(m, C, 1, 1, line), 0u);
    ASSERT_EQ(dio_set_io_event_callback(m, C, 1, 0, line), 0u);
    ASSERT_EQ(dio_set_io_event_callback(m, C, 1, 0,
                                        [](uint8_t*, int, int, int, uint8_t, uint8_t) { Seen("second"); }),
              0u);
    SimOk("dio-in " + MacString(mac_) + " " + std::to_string(C) + " 0x300");
    SimOk("dio-in " + MacString(mac_) + " " + std::to_string(C) + " 0x100");
    // Lines 0 and 1 rise, then line 1 falls: line 0's callback runs again, with changed 0.
    const std::vector<std::string> want = {"line 5/1/0 11", "line 5/1/1 11", "bank 1 3/3",
                                           "line 5/1/0 01", "line 5/1/1 10", "bank 1 2/1"};
    EXPECT_TRUE(Eventually([&] { return SeenNow().size() >= want.size(); }, 5s));
    EXPECT_EQ(SeenNow(), want);

    Step("input counters: line 0 rose once; a reset clears it");
    EXPECT_EQ(dio_get_bank_io_input_counter_value(m, C, 1, 0, &v), 0u);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(dio_set_bank_input_counter_reset(m, C, 1, 0x01), 0u);
    EXPECT_EQ(dio_get_bank_io_input_counter_value(m, C, 1, 0, &v), 0u);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(dio_get_bank_io_input_counter_value(m, C, 1, 8, &v), 19u);
}

// all_families: AI channel 3, AO channel 4 (four 12-bit ports), MAI channel 11 (type 0, two
// 24-bit ports, Vref 2.5).
// qorlab --veths 1
TEST_F(LibFamilies, AnalogCallsStreamsOutputsAndMaiConversions) {
    ASSERT_NO_FATAL_FAILURE(Start("all_families"));
    uint8_t* m = mac_.data();
    constexpr int Ai = 3, Ao = 4, Mai = 11;
    const std::string unit = MacString(mac_);

    Step("info records: the unit's own values arrive");
    uint8_t ai[AI_INFO_SIZE], ao[AO_INFO_SIZE], mai[MAI_INFO_SIZE];
    ASSERT_EQ(ai_get_ai_info(m, Ai, ai), 0u);
    EXPECT_EQ(ai[2], 16);
    ASSERT_EQ(ao_get_ao_info(m, Ao, ao), 0u);
    EXPECT_EQ(std::make_pair(ao[1], ao[2]), std::make_pair(uint8_t{4}, uint8_t{12}));
    ASSERT_EQ(mai_get_info(m, Mai, mai), 0u);
    EXPECT_EQ(std::make_pair(mai[11], mai[12]), std::make_pair(uint8_t{2}, uint8_t{24}));

    Step("AI fields: register, then read back");
    const int p1 = 3 + 5;  // port 1's block
    Check(Ai, {
                  Row("sample", 0, 0, 1, 1, ai_set_sample_enable, ai_get_sample_enable, m, Ai),
                  Row("data", 0, 1, 1, 1, ai_set_data_enable, ai_get_data_enable, m, Ai),
                  Row("event", 0, 2, 1, 1, ai_set_event_enable, ai_get_event_enable, m, Ai),
                  Row("ports", 0, 16, 0xFFFF, 3, ai_set_ports_enable, ai_get_ports_enable, m, Ai),
                  Row("divider", p1, 0, 0xFFFFFFFF, 0x01020304, ai_set_port_sample_rate_divider,
                      ai_get_port_sample_rate_divider, m, Ai, 1),
                  Row("port gain", p1 + 1, 8, 0xFF, 3, ai_set_port_gain_control, ai_get_port_gain_control, m,
                      Ai, 1),
                  Row("logging", p1 + 1, 16, 0xFF, 2, ai_set_port_logging_mode, ai_get_port_logging_mode, m,
                      Ai, 1),
                  Row("trigger mode", p1 + 1, 24, 0xFF, 0x11, ai_set_port_trigger_mode,
                      ai_get_port_trigger_mode, m, Ai, 1),
                  Row("upper", p1 + 2, 0, 0xFFFF, 0x1234, ai_set_port_upper_trigger_value,
                      ai_get_port_upper_trigger_value, m, Ai, 1),
                  Row("lower", p1 + 3, 0, 0xFFFF, 0x0102, ai_set_port_lower_trigger_value,
                      ai_get_port_lower_trigger_value, m, Ai, 1),
                  Row("fifo", p1 + 4, 0, 0xFF, 7, ai_set_port_fifo_trigger_value,
                      ai_get_port_fifo_trigger_value, m, Ai, 1),
              });
    EXPECT_EQ(ai_set_port_gain_control(m, Ai, 32, 1), 98u);
    EXPECT_EQ(ai_set_sample_enable(m, Ai, 256), 98u);

    Step("AO: fields, and output data reaches the port");
    EXPECT_EQ(ao_set_ports_enable(m, Ao, 0x000F), 0u);
    EXPECT_EQ(ao_set_port_gain_control(m, Ao, 2, 1), 0u);
    uint8_t g = 0;
    EXPECT_EQ(ao_get_port_gain_control(m, Ao, 2, &g), 0u);
    EXPECT_EQ(g, 1);
    EXPECT_EQ(ao_set_port_update_rate_divider(m, Ao, 2, 500), 0u);
    EXPECT_EQ(ao_set_data(m, Ao, 2, 0x0ABC), 0u);
    EXPECT_EQ(ao_set_data(m, Ao, 32, 1), 98u);
    const std::string output = "ao-output " + unit + " " + std::to_string(Ao);
    EXPECT_TRUE(
        Eventually([&] { return sim_->Control(output).find("values=0,0,2748,0") != std::string::npos; }, 3s))
        << sim_->Control(output);

    Step("AI events and a sample stream at 20 000 packets a second, none lost, in order");
    ASSERT_EQ(ai_set_event_callback(m, Ai,
                                    [](uint8_t*, int, uint8_t a, uint8_t b, uint16_t v) {
                                        Seen("ai event " + std::to_string(a) + " " + std::to_string(b) + " " +
                                             std::to_string(v));
                                    }),
              0u);
    ASSERT_EQ(ai_set_data_callback(m, Ai,
                                   [](uint8_t*, int, uint8_t flag, uint16_t sample) {
                                       Locked([&] { gSamples.push_back(uint32_t{flag} << 16 | sample); });
                                   }),
              0u);
    SimOk("ai-event " + unit + " " + std::to_string(Ai) + " 9 8 7 6");
    EXPECT_TRUE(Eventually([&] { return !SeenNow().empty(); }, 5s));
    EXPECT_EQ(SeenNow(), std::vector<std::string>{"ai event 9 8 1798"});
    constexpr size_t kPackets = 20000;
    SimOk("ai-stream " + unit + " " + std::to_string(Ai) + " " + std::to_string(kPackets) + " 20000 64");
    EXPECT_TRUE(Eventually([] { return Locked([] { return gSamples.size(); }) >= kPackets; }, 20s));
    const auto samples = Locked([] { return gSamples; });
    ASSERT_EQ(samples.size(), kPackets);
    // Packet k starts with k, little-endian: its first sample, most significant first, is
    // (k & 0xFF) << 8 | k >> 8. Each follows the one before, with the flag of port 0.
    auto k = [](uint32_t s) { return (s & 0xFF) << 8 | (s >> 8 & 0xFF); };
    int wrong = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        wrong += ((k(samples[i]) - k(samples[i - 1])) & 0xFFFF) != 1 || samples[i] >> 16 != 0;
    }
    EXPECT_EQ(wrong, 0);

    Step("MAI fields");
    Check(Mai, {
                   Row("sample", 0, 0, 1, 1, mai_set_sample_enable, nullptr, m, Mai),
                   Row("data", 0, 1, 1, 1, mai_set_data_enable, nullptr, m, Mai),
                   Row("event", 0, 2, 1, 1, mai_set_event_enable, nullptr, m, Mai),
                   Row("ports", 0, 16, 0xFFFF, 1, mai_set_ports_enable, mai_get_ports_enable, m, Mai),
                   Row("calibration value", 1, 0, 0xFFFF, 0x1234, mai_set_calibration_value, nullptr, m, Mai),
                   Row("logging", 6, 8, 0xF, 1, mai_set_logging_mode, mai_get_logging_mode, m, Mai, 1),
                   Row("trigger mode", 6, 12, 0xF, 3, mai_set_port_trigger_mode, mai_get_port_trigger_mode, m,
                       Mai, 1),
                   Row("MAI mode", 6, 0, 0xFF, 2, mai_set_port_ai_mode, mai_get_port_ai_mode, m, Mai, 1),
                   Row("MAI mode back to 0", 6, 0, 0xFF, 0, mai_set_port_ai_mode, nullptr, m, Mai, 1),
                   Row("input type", 7, 0, 1, 1, mai_set_type0_input_type, nullptr, m, Mai, 1),
                   Row("pull-up", 7, 2, 1, 1, mai_set_type0_pullup_resistor, nullptr, m, Mai, 1),
                   Row("input select", 7, 1, 1, 1, mai_set_type0_input_select, nullptr, m, Mai, 1),
                   Row("gain", 7, 8, 0xFF, 2, mai_set_type0_gain, nullptr, m, Mai, 1),
                   Row("filter", 7, 16, 0xFFFF, 0xBEEF, mai_set_type0_filter, nullptr, m, Mai, 1),
               });

    Step("MAI trigger values: outside every interval gives 0 without the table; inside needs it");
    SimOk("reg " + unit + " " + std::to_string(Mai) + " 8 0x55");
    EXPECT_EQ(mai_set_port_upper_trigger_value(m, Mai, 1, 20.0), 0u);
    EXPECT_TRUE(RegIs(Mai, 8, 0, 0xFFFFFFFF, 0));
    SimOk("reg " + unit + " " + std::to_string(Mai) + " 4 0x55");
    EXPECT_EQ(mai_set_port_upper_trigger_value(m, Mai, 0, 0.05), static_cast<unsigned>(MAI_ERR_CALIBRATION));
    EXPECT_EQ(mai_set_data_callback(m, Mai, [](uint8_t*, int, int, double) {}),
              static_cast<unsigned>(MAI_ERR_CALIBRATION));
    EXPECT_EQ(Reg(Mai, 4), 0x55u);
    SimOk("ctu-calibration " + unit + " 1 1000");
    EXPECT_EQ(mai_set_port_upper_trigger_value(m, Mai, 0, 0.05), 0u);
    EXPECT_TRUE(Eventually([&] { return Reg(Mai, 4) != 0x55u; }, 2s));

    Step("MAI data: every sample of a packet reaches the callback with its port");
    ASSERT_EQ(mai_set_data_callback(m, Mai,
                                    [](uint8_t*, int, int port, double) {
                                        Locked([&] { gMaiData += port == 0 ? 1 : 1000000; });
                                    }),
              0u);
    SimOk("ai-stream " + unit + " " + std::to_string(Mai) + " 10 1000 64");
    // 63 of the 64 bytes make 21 three-byte samples.
    EXPECT_TRUE(Eventually([] { return Locked([] { return gMaiData; }) >= 10 * 21; }, 5s));
    EXPECT_EQ(Locked([] { return gMaiData; }), 10 * 21);
}

}  // namespace
}  // namespace qortest
