// The management API of libqorio against the real service and qorsim units: every call and
// the records it fills, calls from two threads at once, the alive thread across a service
// restart, and the disconnect callback when a unit is lost.
#include <set>
#include <thread>

#include "library_fixture.h"

namespace qortest {
namespace {

const Mac kUart = UnitMac(4, 1);    // ctu_uart2: UART layouts 5 and 2
const Mac kDio = UnitMac(4, 2);     // ctu_dio: three banks
const Mac kAnalog = UnitMac(4, 3);  // ctu_analog: MAI and string channels
const Mac kSecret = UnitMac(4, 4);  // advance_password: "varnel-secret"
const Mac kDock = UnitMac(4, 5);    // dock_basic

class LibMng : public LibraryTest {};

// qorlab --veths 1
TEST_F(LibMng, EachCallFillsItsRecords) {
    ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits(
        {{"ctu_uart2", kUart}, {"ctu_dio", kDio}, {"ctu_analog", kAnalog}, {"advance_password", kSecret}}));
    Step("versions");
    _VN_VERSION version{};
    EXPECT_EQ(vn_get_version_info(), 0);
    EXPECT_EQ(vn_get_version(&version), 0);
    EXPECT_EQ(std::make_tuple(std::string(version.ServiceVersion), std::string(version.LibraryVersion),
                              std::string(version.TtyDriverVersion)),
              std::make_tuple("1.0.15.0", "20190808", "1.0.4.0"));

    Step("NIC list");
    auto nics = Filled<_VN_NIC_LIST>();
    ASSERT_EQ(vn_get_all_nic_info(nics.get()), 0);
    ASSERT_EQ(nics->Count, 1u);
    EXPECT_STREQ(nics->Nic[0].IfName, "veth0");
    EXPECT_EQ(ToMac(nics->Nic[0].NicMac), ReadIfMac("veth0"));

    Step("search: the units as the independent codec reads them");
    auto units = Filled<_VN_UNIT_LIST>();
    ASSERT_EQ(vn_search_vn(units.get()), 0);
    const auto reference = mng::DecodeUnitInfoList(Ask(mng::kSearchByAllNic)->Payload, false).value();
    ASSERT_EQ(units->Count, reference.size());
    for (uint32_t i = 0; i < units->Count; ++i) {
        const _VN_UNIT_RECORD& u = units->Unit[i];
        const mng::UnitInfo& r = reference[i];
        EXPECT_EQ(ToMac(u.VnMac), r.UnitMac);
        EXPECT_EQ(memcmp(u.ModelName, r.ModelRaw.data(), 10), 0);
        EXPECT_EQ(
            std::make_tuple(u.LinkStatus, u.AvailableChls, u.MajorVersion, u.MinorVersion, u.Mode,
                            u.CtuTcpPort),
            std::make_tuple(r.LinkStatus, r.AvailableChls, r.MajorVersion, r.MinorVersion, uint8_t{0}, 0u));
    }

    Step("detail records: UART, DIO, MAI and string channels decoded from the profiles' bytes");
    auto detail = Filled<_VN_UNIT_RECORD>();
    ASSERT_EQ(vn_get_specific_vn_detail_info(const_cast<uint8_t*>(kUart.data()), detail.get()), 0);
    const auto uartRef = WaitDetail(client_, kUart, 3).value();
    EXPECT_EQ(std::make_tuple(std::string(detail->ModelName, strnlen(detail->ModelName, 10)), detail->Mode,
                              detail->PasswordEnabled, detail->AvailableChls),
              std::make_tuple("VN-U2S", uartRef.Unit.TypeInfo & 7, (uartRef.Unit.TypeInfo >> 4) & 1, 3));
    const _VN_CHL_RECORD& u1 = detail->Chl[1];
    const _VN_CHL_RECORD& u2 = detail->Chl[2];
    EXPECT_EQ(std::vector<uint8_t>(&u1.UartRs232, &u1.UartDcdPower + 1),
              (std::vector<uint8_t>{1, 1, 1, 0, 1, 1, 1, 0, 0}));  // C0 0x77
    EXPECT_EQ(std::vector<uint8_t>(&u2.UartRs232, &u2.UartDcdPower + 1),
              (std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0, 0}));  // layout 2, C0 0x01
    EXPECT_EQ(std::make_tuple(u2.ChlNumber, u2.Type), std::make_tuple(2, 1));

    ASSERT_EQ(vn_get_specific_vn_detail_info(const_cast<uint8_t*>(kDio.data()), detail.get()), 0);
    const _VN_CHL_RECORD& dio = detail->Chl[1];
    EXPECT_EQ(std::make_tuple(dio.Type, dio.DioNumberOfBanks, dio.DioShareSameDirection,
                              dio.DioSamplingClockScale, dio.DioSystemClockFrequency),
              std::make_tuple(3, 3, 0, 0xFF, 50000000u));
    for (int j = 0; j < 3; ++j) {
        const _VN_DIO_BANK_RECORD& b = dio.DioBank[j];
        // A = e7/e3: I/Os, settings to flash, input and output; B = 4b: both edges,
        // configuration 2, pull-up.
        EXPECT_EQ(std::vector<uint8_t>(&b.BankIndex, &b.OutputPinResistorApplied + 1),
                  (std::vector<uint8_t>{static_cast<uint8_t>(j), static_cast<uint8_t>(j == 2 ? 4 : 8), 1, 3,
                                        3, 2, 1}))
            << "bank " << j;
    }

    ASSERT_EQ(vn_get_specific_vn_detail_info(const_cast<uint8_t*>(kAnalog.data()), detail.get()), 0);
    const _VN_CHL_RECORD& mai = detail->Chl[3];
    EXPECT_EQ(std::vector<uint8_t>(&mai.MaiFifoType, &mai.MaiMaxGains + 1),
              (std::vector<uint8_t>{0, 1, 3, 8, 24, 3, 7}));
    EXPECT_EQ(mai.MaiFifoSize, 2048u);
    EXPECT_NEAR(mai.MaiReferenceVoltage, 2.5, 1e-9);
    const _VN_CHL_RECORD& str = detail->Chl[5];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(str.StrDeviceName), str.StrDeviceNameLength),
              "Analog demo unit");
    // Channel types without a decoding keep number and type only.
    EXPECT_EQ(std::make_tuple(detail->Chl[4].ChlNumber, detail->Chl[4].Type, detail->Chl[4].MaiFifoSize),
              std::make_tuple(4, 11, 0u));

    Step("mapping");
    ASSERT_EQ(vn_mapping(const_cast<uint8_t*>(kUart.data())), 0);
    auto mappings = Filled<_VN_MAPPING_LIST>();
    ASSERT_EQ(vn_get_all_vn_mapping_info(mappings.get()), 0);
    const auto mappedRef = mng::DecodeMappingInfoList(Ask(mng::kGetAllMappingInfo)->Payload).value();
    ASSERT_EQ(mappings->Count, 1u);
    ASSERT_EQ(mappings->Mapping[0].NumberOfUarts, 2u);
    EXPECT_EQ(ToMac(mappings->Mapping[0].VnMac), kUart);
    for (int i = 0; i < 2; ++i) {
        const auto& pair = mappings->Mapping[0].Pair[i];
        EXPECT_EQ(std::make_pair(pair.ChlNumber, pair.TtyMinorNumber), mappedRef[0].Uarts[i]);
    }
    EXPECT_EQ(vn_unmapping(const_cast<uint8_t*>(kUart.data())), 0);
    EXPECT_EQ(vn_get_all_vn_mapping_info(mappings.get()), 32);
    EXPECT_EQ(mappings->Count, 0u);

    Step("connect, password, disconnect");
    uint32_t sio = 0, ctu = 0;
    Mac secret = kSecret;
    const std::string tooLong(33, 'x'), password = "varnel-secret";
    EXPECT_EQ(
        mng_vn_connect(secret.data(), &sio, &ctu, 1, reinterpret_cast<const uint8_t*>(tooLong.data()), 33),
        69);
    uint8_t pwd[32];
    int pwdLength = -1;
    EXPECT_EQ(vn_get_password(secret.data(), pwd, &pwdLength), 76);
    EXPECT_EQ(vn_set_disconnet_event_callback(secret.data(), [](uint8_t*) {}), 76);
    ASSERT_EQ(vn_connect(secret.data(), &sio, &ctu, 1, reinterpret_cast<const uint8_t*>(password.data()),
                         static_cast<int>(password.size())),
              0);
    ASSERT_EQ(vn_get_all_vn_info_connected_by_host(units.get()), 0);
    ASSERT_EQ(units->Count, 1u);
    const _VN_UNIT_RECORD& c = units->Unit[0];
    EXPECT_EQ(std::make_tuple(ToMac(c.VnMac), c.CtuTcpPort, c.SioTcpPort, c.LinkStatus),
              std::make_tuple(kSecret, ctu, sio, uint8_t{1}));
    uint32_t sio2 = 1, ctu2 = 1;
    EXPECT_EQ(vn_connect(secret.data(), &sio2, &ctu2, 0, nullptr, 0), 64);  // the ports all the same
    EXPECT_EQ(std::make_pair(ctu2, sio2), std::make_pair(ctu, sio));
    ASSERT_EQ(vn_get_password(secret.data(), pwd, &pwdLength), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pwd), static_cast<size_t>(pwdLength)), password);
    EXPECT_EQ(vn_disconnect(secret.data()), 0);
    EXPECT_EQ(vn_get_all_vn_info_connected_by_host(units.get()), 32);
}

// qorlab --veths 1
TEST_F(LibMng, TwoThreadsCallingAtOnceEachGetTheirOwnAnswer) {
    ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({{"ctu_uart2", kUart}}));
    std::atomic<int> wrong{0};
    auto nicCaller = [&] {
        auto nics = Filled<_VN_NIC_LIST>();
        for (int i = 0; i < 100; ++i) {
            wrong += vn_get_all_nic_info(nics.get()) != 0 || nics->Count != 1 ||
                     strcmp(nics->Nic[0].IfName, "veth0");
        }
    };
    auto searchCaller = [&] {
        auto units = Filled<_VN_UNIT_LIST>();
        for (int i = 0; i < 100; ++i) {
            wrong +=
                vn_search_vn(units.get()) != 0 || units->Count != 1 || ToMac(units->Unit[0].VnMac) != kUart;
        }
    };
    std::thread a(nicCaller), b(searchCaller);
    a.join();
    b.join();
    EXPECT_EQ(wrong, 0);
}

// qorlab --veths 1
TEST_F(LibMng, AliveThreadReconnectsAfterAServiceRestart) {
    ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({}));
    // Counted from here: a sanitizer runtime may add a thread of its own with the first ones.
    const int running = ThreadCount();
    ASSERT_EQ(Stop(), 0);
    Step("service stopped: calls fail with 99 or 104, never hang");
    _VN_NIC_LIST nics{};
    std::set<int> seen;
    const auto until = Clock::now() + 4s;
    while (Clock::now() < until) {
        seen.insert(vn_get_all_nic_info(&nics));
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(seen.count(104)) << "the lost connection was never reported";
    for (int rc : seen) {
        EXPECT_TRUE(rc == 99 || rc == 104) << rc;
    }
    EXPECT_EQ(vn_get_service_connection_status(), 0);
    EXPECT_EQ(ThreadCount(), running - 1) << "a receive thread stayed on the closed socket";
    Step("service back: the alive thread connects again within its 3 s check");
    ASSERT_NO_FATAL_FAILURE(StartService());
    EXPECT_TRUE(Eventually([&] { return vn_get_all_nic_info(&nics) == 0; }, 8s));
    EXPECT_EQ(vn_get_service_connection_status(), 1);
    EXPECT_EQ(ThreadCount(), running);
    vn_lib_free();
    EXPECT_EQ(ThreadCount(), running - 2);  // the alive thread and the receive thread
}

std::atomic<int> gLostCalls{0};
std::atomic<int> gOtherCalls{0};
Mac gLostMac{};

// qorlab --veths 1
TEST_F(LibMng, DisconnectCallbackRunsWhenAUnitIsLost) {
    ASSERT_NO_FATAL_FAILURE(StartLibraryWithUnits({{"dock_basic", kDock}, {"ctu_uart2", kUart}}));
    Mac dock = kDock, uart = kUart;
    uint32_t sio = 0, ctu = 0;
    ASSERT_EQ(vn_connect(dock.data(), &sio, &ctu, 0, nullptr, 0), 0);
    ASSERT_EQ(vn_connect(uart.data(), &sio, &ctu, 0, nullptr, 0), 0);
    ASSERT_EQ(vn_set_disconnet_event_callback(dock.data(),
                                              [](uint8_t* mac) {
                                                  gLostMac = ToMac(mac);
                                                  ++gLostCalls;
                                              }),
              0);
    // A second registration leaves the first callback in place.
    ASSERT_EQ(vn_set_disconnet_event_callback(dock.data(), [](uint8_t*) { ++gOtherCalls; }), 0);
    // Both units go silent; only the one with a callback reaches the application.
    SimOk("silent all");
    EXPECT_TRUE(Eventually([] { return gLostCalls.load() == 1; }, 40s));
    EXPECT_EQ(gLostMac, kDock);
    auto connected = Filled<_VN_UNIT_LIST>();
    EXPECT_TRUE(Eventually([&] { return vn_get_all_vn_info_connected_by_host(connected.get()) == 32; }, 20s));
    EXPECT_EQ(std::make_pair(gLostCalls.load(), gOtherCalls.load()), std::make_pair(1, 0));
}

}  // namespace
}  // namespace qortest
