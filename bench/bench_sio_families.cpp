// bench_sio_families: the SIO channel families beyond SER through the real daemon, an SIO client
// (tests/support/qor_sio_client) per unit on one side and qorsim on the other.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_sio_families [options]
//
// DIO output set round trip. DIO_CMD_SET_BANK_STATE on the output-only bank 3 of the layout-2
// INDIVIDUAL channel of dio_versions, from the client's send until the response is in and
// checked: one TCP hop in, a worker thread, two register writes to the unit (output write
// enable, output) and the response, which a set sends once the link layer has taken its writes
// (the unit's acknowledgement confirms them on the link). The set is also timed together with a
// DIO_CMD_GET_BANK_STATE that reads the output back from the unit (the value must be the one just
// set), which is the whole way to the unit and back.
// Baseline, in alternating blocks of 100 in the same run: SER_CMD_GET_MSR on a version-5 UART of
// ctu_uart_versions (one register read across the veth), and a loopback TCP echo of 17 bytes out
// and 13 back. Figures: medians and p99 of each, and the ratios of the DIO set and of set + get
// to the SER round trip.
//
// Options: --repetitions N (5000 of each).
#include "bench_mng_common.h"
#include "qor_sim.h"
#include "qor_sio_client.h"

using namespace qorbench;
using namespace qortest;

namespace {

const Mac kUartUnit = UnitMac(0x1B, 1);
const Mac kDioUnit = UnitMac(0x1C, 1);
constexpr uint8_t kChlV5 = 5;                 // ctu_uart_versions
constexpr uint8_t kDioChl = 5, kDioBank = 3;  // dio_versions: layout 2, INDIVIDUAL, bank 3 output only
constexpr uint16_t kSetBankState = 6, kGetBankState = 2, kSetBankDirection = 8;

std::string SimLine(SimProcess& sim, const std::string& line) {
    const std::string a = sim.Control(line);
    if (a.rfind("ok", 0) != 0) Die("qorsim: " + line + ": " + a);
    return a;
}

std::vector<uint8_t> BankValue(uint8_t bank, uint32_t v) {
    return {bank, static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

uint16_t ConnectUnit(mng::Client& client, const Mac& mac) {
    for (const auto deadline = Clock::now() + 10s;;) {
        auto p = client.Request(mng::kVnConnect, mng::ConnectRecord(mac, 0));
        auto r = p ? mng::DecodeConnectResult(p->Payload) : std::nullopt;
        if (p && p->Hdr.Status == mng::kSuccess && r && r->SioPort != 0)
            return static_cast<uint16_t>(r->SioPort);
        if (Clock::now() > deadline)
            Die("unit " + MacString(mac) + " could not be connected with an SIO port");
        std::this_thread::sleep_for(100ms);
    }
}

void OpenSio(sio::Client& c, uint16_t port) {
    for (const auto deadline = Clock::now() + 2s; !c.Connect(port);) {
        if (Clock::now() > deadline) Die("SIO connect: " + c.Error());
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 5000);
    if (repetitions < 1) Die("usage: bench_sio_families [--repetitions N]");
    auto daemon = StartService();
    const LabInfo lab = LabInfo::FromEnv();
    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids.at(0),
                   {"--unit", "ctu_uart_versions," + MacString(kUartUnit) + "," + lab.PeerIfs.at(0), "--unit",
                    "dio_versions," + MacString(kDioUnit) + "," + lab.PeerIfs.at(0)}))
        Die("qorsim: " + sim.Error());
    mng::Client client = Connect();
    sio::Client ser, dio;
    OpenSio(ser, ConnectUnit(client, kUartUnit));
    OpenSio(dio, ConnectUnit(client, kDioUnit));

    SimLine(sim, "reg " + MacString(kUartUnit) + " " + std::to_string(kChlV5) + " 2 0x5A");
    const sio::Message serWant = sio::Make(sio::kSer, kChlV5, sio::kSerGetMsr | sio::kResponseBit, 0, {0x5A});
    // Bank 3 can only be output: make it so.
    auto dir = dio.Request(sio::kDio, kDioChl, kSetBankDirection, BankValue(kDioBank, 0xFF));
    if (!dir || dir->Hdr.Status != 0) Die("DIO: set bank direction failed");
    const sio::Message setWant =
        sio::Make(sio::kDio, kDioChl, kSetBankState | sio::kResponseBit, 0, {kDioBank});

    TcpEcho tcp(17, 13);
    std::vector<double> setUs, setGetUs, serUs, tcpUs;
    unsigned long failures = 0;
    uint32_t value = 0;
    const long warmup = 200;
    for (long done = 0; done < warmup + repetitions; done += 100) {
        for (int i = 0; i < 100; ++i) {
            value = (value + 37) & 0xFF;
            const auto t0 = Clock::now();
            auto m = dio.Request(sio::kDio, kDioChl, kSetBankState, BankValue(kDioBank, value), 1s);
            const auto t = Clock::now() - t0;
            if (!m || *m != setWant) {
                ++failures;
                continue;
            }
            if (done >= warmup) setUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            value = (value + 37) & 0xFF;
            const auto t0 = Clock::now();
            auto s = dio.Request(sio::kDio, kDioChl, kSetBankState, BankValue(kDioBank, value), 1s);
            auto g = dio.Request(sio::kDio, kDioChl, kGetBankState, {kDioBank}, 1s);
            const auto t = Clock::now() - t0;
            if (!s || *s != setWant || !g ||
                *g != sio::Make(sio::kDio, kDioChl, kGetBankState | sio::kResponseBit, 0,
                                BankValue(kDioBank, value))) {
                ++failures;
                continue;
            }
            if (done >= warmup) setGetUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            auto m = ser.Request(sio::kSer, kChlV5, sio::kSerGetMsr, {}, 1s);
            const auto t = Clock::now() - t0;
            if (!m || *m != serWant) {
                ++failures;
                continue;
            }
            if (done >= warmup) serUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            const double us = Micros(tcp.RoundTrip());
            if (done >= warmup) tcpUs.push_back(us);
        }
    }
    Distribution("dio_set_bank_state_rtt", setUs, "us");
    Distribution("dio_set_then_get_bank_state_rtt", setGetUs, "us");
    Distribution("ser_get_msr_rtt", serUs, "us");
    Distribution("tcp_echo_rtt", tcpUs, "us");
    const double serMedian = Median(serUs);
    Figure("dio_set_to_ser_get_ratio_median", serMedian > 0 ? Median(setUs) / serMedian : 0, "x", 2);
    Figure("dio_set_get_to_ser_get_ratio_median", serMedian > 0 ? Median(setGetUs) / serMedian : 0, "x", 2);
    Figure("failures", static_cast<double>(failures), "count", 0);
    return failures == 0 ? 0 : 1;
}
