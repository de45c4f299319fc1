// libqorio against service ports that answer with garbage, played by a scripted stand-in in an
// otherwise empty lab: wrong versions, foreign answers and events, lengths that lie, cut-short
// records and a close in mid-message. Every call must end with its exact code, take only the
// answer to its own request and never write past the caller's record.
#include <atomic>
#include <functional>
#include <thread>

#include "library_fixture.h"

namespace qortest {
namespace {

// A management or SIO message (type and channel are the SIO header's bytes 2 and 3; the
// management header has zeros there); Length may claim more than follows.
std::vector<uint8_t> Msg(uint16_t code, uint16_t status, const std::vector<uint8_t>& payload,
                         uint8_t type = 0, uint8_t chl = 0, uint8_t version = 1, int64_t length = -1) {
    std::vector<uint8_t> m = {version, 0, type, chl};
    const uint32_t n = static_cast<uint32_t>(length < 0 ? static_cast<int64_t>(payload.size()) : length);
    for (auto [value, bytes] : {std::pair<uint32_t, int>{code, 2}, {status, 2}, {n, 4}}) {
        for (int i = 0; i < bytes; ++i) m.push_back(static_cast<uint8_t>(value >> 8 * i));
    }
    m.insert(m.end(), payload.begin(), payload.end());
    return m;
}

std::vector<uint8_t> UnitRecord(uint8_t n, uint8_t channels = 0) {
    std::vector<uint8_t> r(28, 0);
    r[0] = 2;
    r[5] = n;
    r[25] = channels;
    return r;
}

// qorlab --veths 0
TEST(LibHostile, ManagementAnswersThatLieEndWithACodeAndStayInsideTheRecords) {
    ASSERT_TRUE(InLab());
    const auto info = Concat({{8}, mng::Bytes("1.0.15.0"), {7}, mng::Bytes("1.0.4.0"), {0}});
    ScriptedServer service(
        mng::kPort, [&](uint16_t code) { return code == 1 ? Msg(0x8001, 0, info) : std::vector<uint8_t>{}; });
    ASSERT_TRUE(service.Ok());
    ASSERT_EQ(vn_lib_init(), 0);

    auto units = Filled<_VN_UNIT_LIST>();
    auto unit = Filled<_VN_UNIT_RECORD>();
    auto nics = Filled<_VN_NIC_LIST>();
    auto mappings = Filled<_VN_MAPPING_LIST>();
    Mac mac = UnitMac(1, 1);
    uint8_t pwd[32];
    int pwdLength = 0;
    uint32_t sio = 0, ctu = 0;
    auto search = [&] { return vn_search_vn(units.get()); };
    auto detail = [&] { return mng_get_specific_vn_detail_info(mac.data(), unit.get()); };
    auto connect = [&] { return mng_vn_connect(mac.data(), &sio, &ctu, 0, nullptr, 0); };

    // A detail record whose channel entries claim more than they hold.
    std::vector<uint8_t> lyingDetail = Concat({UnitRecord(1, 200), Zeros(8)});
    lyingDetail = Concat({lyingDetail, {0, 128, 51, 0, 0, 200}, {0, 255}, Zeros(198)});  // name of 1020 bytes
    lyingDetail = Concat(
        {lyingDetail, {1, 3, 11, 1, 0, 40}, {255}, Zeros(11), {0x10}, Zeros(27)});  // 255 banks, 7 there
    lyingDetail = Concat({lyingDetail, {2, 1, 64, 5, 0, 250}, Zeros(10)});          // runs past the end

    struct Case {
        const char* Name;
        Reply Answer;
        std::function<int()> Call;
        int Rc;
        std::function<bool()> Check;
    };
    const std::vector<Case> cases = {
        {"wrong version", {5, Msg(0x8005, 0, UnitRecord(1), 0, 0, 2)}, search, 82, nullptr},
        {"foreign answer, unknown and short events first",
         {5, Concat({Msg(0x8003, 0, Zeros(8)), Msg(0x1077, 0, Zeros(6)), Msg(0x1001, 0, Zeros(3)),
                     Msg(0x8005, 0, UnitRecord(7))})},
         search,
         0,
         [&] { return units->Count == 1 && units->Unit[0].VnMac[5] == 7; }},
        {"a list beyond the receive buffer and the record",
         {5, Msg(0x8005, 0, Zeros(20000))},
         search,
         0,
         [&] { return units->Count == 128; }},
        {"a record cut short",
         {5, Msg(0x8005, 0, Concat({UnitRecord(3), Zeros(10)}))},
         search,
         0,
         [&] { return units->Count == 1; }},
        {"an empty list", {5, Msg(0x8005, 0, {})}, search, 32, [&] { return units->Count == 0; }},
        {"connect refused", {11, Msg(0x800B, 66, mng::MacBytes(mac))}, connect, 66, nullptr},
        {"connect result of 10 bytes", {11, Msg(0x800B, 0, Zeros(10))}, connect, 84, nullptr},
        {"mapping answer of 3 bytes",
         {8, Msg(0x8008, 0, Zeros(3))},
         [&] { return vn_mapping(mac.data()); },
         84,
         nullptr},
        {"unmapping answer of 7 bytes",
         {9, Msg(0x8009, 0, Zeros(7))},
         [&] { return vn_unmapping(mac.data()); },
         84,
         nullptr},
        {"disconnect answer without MAC",
         {12, Msg(0x800C, 0, {})},
         [&] { return vn_disconnect(mac.data()); },
         32,
         nullptr},
        {"detail shorter than a unit record", {7, Msg(0x8007, 0, Zeros(30))}, detail, 84, nullptr},
        {"detail entries that lie",
         {7, Msg(0x8007, 0, lyingDetail)},
         detail,
         0,
         [&] {
             return unit->Chl[0].StrDeviceNameLength == VN_STRING_NAME_SIZE &&
                    unit->Chl[1].DioNumberOfBanks == 7 && unit->Chl[1].DioBank[0].NumberOfIos == 0 &&
                    unit->Chl[1].DioBank[1].NumberOfIos == 1 && unit->Chl[2].Type == 0;
         }},
        {"password longer than 32",
         {15, Msg(0x800F, 0, Concat({mng::MacBytes(mac), {200}, Zeros(200)}))},
         [&] { return mng_get_password(mac.data(), pwd, &pwdLength); },
         84,
         nullptr},
        {"NIC name running past the end",
         {3,
          Msg(0x8003, 0, Concat({{1}, Zeros(6), {4}, mng::Bytes("eth0"), {2}, Zeros(6), {200}, Zeros(5)}))},
         [&] { return vn_get_all_nic_info(nics.get()); },
         0,
         [&] { return nics->Count == 1 && std::string(nics->Nic[0].IfName) == "eth0"; }},
        {"200 UART pairs in one mapping",
         {10, Msg(0x800A, 0, Concat({Zeros(6), {200}, Zeros(400)}))},
         [&] { return vn_get_all_vn_mapping_info(mappings.get()); },
         0,
         [&] { return mappings->Count == 1 && mappings->Mapping[0].NumberOfUarts == 64; }},
        {"service info whose lengths disagree",
         {1, Msg(0x8001, 0, Concat({{30}, mng::Bytes("1.0.15.0")}))},
         [] { return vn_get_version_info(); },
         81,
         nullptr},
        {"closed in mid-message", {5, {1, 0, 0, 0, 0x05}, true}, search, 104, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        // Back after a close: the alive thread connects again at its next check.
        ASSERT_TRUE(Eventually([] { return vn_get_service_connection_status() == 1; }, 5s));
        service.Play(c.Answer);
        EXPECT_EQ(c.Call(), c.Rc);
        if (c.Check) {
            EXPECT_TRUE(c.Check());
        }
    }

    // An answer that comes after its call gave up is never taken by the next call.
    ASSERT_TRUE(Eventually([] { return vn_get_service_connection_status() == 1; }, 5s));
    service.Play({5, Msg(0x8005, 0, UnitRecord(0xAA)), false, 21s});
    EXPECT_EQ(search(), 101);
    ASSERT_TRUE(Eventually([] { return vn_get_service_connection_status() == 1; }, 30s));
    service.Play({5, Msg(0x8005, 0, UnitRecord(0xBB))});
    EXPECT_EQ(search(), 0);
    EXPECT_EQ(units->Unit[0].VnMac[5], 0xBB);
    vn_lib_free();
}

// qorlab --veths 0
TEST(LibHostile, SioAnswersThatLieEndWithACodeAndNeverReachAnotherCall) {
    constexpr uint16_t kPort = 55099, kMsr = 8;
    ScriptedServer server(kPort, nullptr);
    ASSERT_TRUE(server.Ok());
    auto msr = [](uint16_t status, std::vector<uint8_t> payload, uint8_t type = 1, uint8_t chl = 4,
                  uint8_t version = 1, int64_t length = -1) {
        return Msg(0x8000 | kMsr, status, payload, type, chl, version, length);
    };
    Mac mac = UnitMac(0x51, 1);
    uint8_t* m = mac.data();
    ASSERT_EQ(sio_init(m, kPort), 0u);
    static std::atomic<int> calls{0};
    ASSERT_EQ(ser_set_msr_event_callback(m, 4, [](uint8_t*, int, uint8_t) { ++calls; }), 0u);
    ASSERT_EQ(ser_set_data_event_callback(m, 4, [](uint8_t*, int, uint8_t*, int n) { calls += 100 + n; }),
              0u);
    uint8_t out = 0x77, info[SER_INFO_SIZE] = {};

    // Foreign responses and broken events first: only the call's own response counts.
    server.Play({kMsr, Concat({msr(0, {0x11}, 1, 5), Msg(0x800B, 0, {0x22}, 1, 4), msr(0, {0x33}, 3),
                               msr(0, {0x44}, 1, 4, 7), Msg(0x1001, 0, {}, 1, 4), Msg(0x1002, 0, {1}, 1, 4),
                               Msg(0x2002, 0, {}, 1, 4), Msg(0x2002, 0, {5, 1, 2}, 1, 4), msr(0, {0x5A})})});
    EXPECT_EQ(ser_get_msr(m, 4, &out), 0u);
    EXPECT_EQ(out, 0x5A);
    EXPECT_EQ(calls, 100) << "no MSR callback for an empty event; data with an unknown flag delivers 0 bytes";
    server.Play({kMsr, msr(0, {})});
    out = 0x77;
    EXPECT_EQ(ser_get_msr(m, 4, &out), 84u) << "status 0 without its byte";
    EXPECT_EQ(out, 0x77);
    server.Play({1, Msg(0x8001, 0, {4, 0x60, 0}, 1, 4)});
    EXPECT_EQ(ser_open(m, 4, info), 84u) << "an open record cut short";

    // A length that lies, then the close: the call ends at once, the next call reconnects.
    server.Play({kMsr, msr(0, {0x66}, 1, 4, 1, 30000), true});
    const auto t0 = Clock::now();
    EXPECT_EQ(ser_get_msr(m, 4, &out), 101u);
    EXPECT_LT(Clock::now() - t0, 5s);
    server.Play({kMsr, msr(0, {0x5B})});
    EXPECT_EQ(ser_get_msr(m, 4, &out), 0u);
    EXPECT_EQ(out, 0x5B);
    // A close in mid-header.
    server.Play({kMsr, {1, 0, 1, 4, 0x08}, true});
    EXPECT_EQ(ser_get_msr(m, 4, &out), 101u);
    EXPECT_EQ(sio_free(m), 0u);
}

}  // namespace
}  // namespace qortest
