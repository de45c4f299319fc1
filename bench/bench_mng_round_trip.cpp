// bench_mng_round_trip: CMD_GET_SERVICE_INFO round trip against a plain loopback TCP echo.
// Target: median within 2x the echo's.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_mng_round_trip [options]
//
// How it measures. It starts the real qorservice binary and opens one management connection
// on 127.0.0.1:50000. Baseline: a thread of this process echoes on another loopback TCP
// connection, reading 12 bytes and answering 30, the sizes of the service-info exchange; both
// connections use TCP_NODELAY and the same send/poll/recv client loop. The two are measured
// in alternating blocks of 100 exchanges, so both see the same machine load. Every service
// answer is compared byte for byte with the expected 30 bytes; a wrong one ends the run.
//
// Options: --repetitions N (20000 of each), --warmup N (1000 of each, not counted).
#include "bench_mng_common.h"

using namespace qorbench;
namespace mng = qortest::mng;

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 20000);
    const long warmup = Option(argc, argv, "--warmup", 1000);
    auto daemon = StartService();
    mng::Client client = Connect();
    TcpEcho echo(mng::kHeaderLength, 30);

    const std::vector<uint8_t> request = mng::EncodeCommand(mng::kGetServiceInfo);
    std::vector<uint8_t> want = {0x01, 0, 0, 0, 0x01, 0x80, 0, 0, 18, 0, 0, 0, 8};
    for (char c : std::string("1.0.15.0")) want.push_back(static_cast<uint8_t>(c));
    want.push_back(7);
    for (char c : std::string("1.0.4.0")) want.push_back(static_cast<uint8_t>(c));
    want.push_back(0);
    std::vector<uint8_t> answer(want.size());

    std::vector<double> mngUs, echoUs;
    mngUs.reserve(static_cast<size_t>(repetitions));
    echoUs.reserve(static_cast<size_t>(repetitions));
    const long total = warmup + repetitions;
    for (long done = 0; done < total; done += 100) {
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            if (!Exchange(client.Fd(), request, answer)) Die("service info: no answer");
            const auto t = Clock::now() - t0;
            if (answer != want) Die("service info: wrong answer " + mng::Hex(answer));
            if (done >= warmup) mngUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            const auto t = echo.RoundTrip();
            if (done >= warmup) echoUs.push_back(Micros(t));
        }
    }
    Distribution("mng_service_info_rtt", mngUs, "us");
    Distribution("tcp_echo_rtt", echoUs, "us");
    Figure("mng_to_echo_ratio_median", Median(mngUs) / Median(echoUs), "x", 2);
    Figure("mng_to_echo_ratio_p99", P99(mngUs) / P99(echoUs), "x", 2);
    Figure("samples", static_cast<double>(mngUs.size()), "each", 0);
    return 0;
}
