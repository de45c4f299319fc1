// bench_connect: CMD_VN_CONNECT of a unit with eight channels through the management port,
// from the command sent until its answer is in. Target: median within 5 ms.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_connect [options]
//
// How it measures. It starts the real qorservice binary and qorsim on p0 playing one
// ctu_eight unit (control unit, three UARTs, DIO, AI, AO, UI), and opens one management
// connection. Each repetition connects the unit (timed), checks the answer (status 0, the
// unit's MAC, the two ports) against a detail query that must report the unit linked with the
// same ports (not timed), then disconnects it (timed apart: status 0 and the MAC echo).
// Baseline: CMD_GET_SERVICE_INFO round trips on the same connection, in alternating blocks
// with the connects so both see the same load; every answer is decoded. A connect answered 32
// (the periodic removal dropped the idle unit a moment ago) is not timed: the unit is waited
// for and the repetition made again (`retries`). Any other status ends the run.
//
// Options: --repetitions N (500 connects), --block N (10 connects, then 10 x 10 service-info
//          round trips), --warmup N (20 connects, not counted).
#include "bench_mng_common.h"
#include "qor_sim.h"

using namespace qorbench;
namespace mng = qortest::mng;

namespace {

constexpr qortest::Mac kUnit = {0x02, 0x00, 0x00, 0x00, 0x18, 0x01};
constexpr size_t kChannels = 8;

// The unit's detail record once the service has it with all its channels.
std::optional<mng::DetailInfo> WaitDetail(mng::Client& c, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        auto p = c.Request(mng::kGetSpecificVnInfo, mng::MacBytes(kUnit));
        if (!p) Die("detail query: no answer: " + c.Error());
        if (p->Hdr.Status == mng::kSuccess) {
            auto d = mng::DecodeDetailInfo(p->Payload);
            if (!d) Die("detail query: undecodable answer " + mng::Describe(*p));
            if (d->Unit.AvailableChls == kChannels) return d;
        }
        std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
}

double TimedUs(mng::Client& c, uint16_t code, const std::vector<uint8_t>& payload,
               std::optional<mng::Packet>* out) {
    const auto t0 = Clock::now();
    *out = c.Request(code, payload);
    const auto t = Clock::now() - t0;
    if (!*out) Die("command " + std::to_string(code) + ": no answer: " + c.Error());
    return Micros(t);
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 500);
    const long block = Option(argc, argv, "--block", 10);
    const long warmup = Option(argc, argv, "--warmup", 20);
    if (repetitions < 1 || block < 1 || warmup < 0)
        Die("bench_connect: repetitions >= 1, block >= 1, warmup >= 0");
    auto daemon = StartService();
    const qortest::LabInfo lab = qortest::LabInfo::FromEnv();
    if (lab.PeerPids.empty()) Die("bench_connect: the lab needs a veth (qorlab --veths 1)");
    qortest::SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0],
                   {"--unit", "ctu_eight," + qortest::MacString(kUnit) + "," + lab.PeerIfs[0]}))
        Die("qorsim: " + sim.Error());
    mng::Client client = Connect();
    if (!WaitDetail(client, 10s)) Die("the unit was never listed with its eight channels");

    const std::vector<uint8_t> connect = mng::ConnectRecord(kUnit, std::string());
    const std::vector<uint8_t> mac = mng::MacBytes(kUnit);
    std::vector<double> connectUs, disconnectUs, infoUs;
    long retries = 0, within5ms = 0;
    mng::ConnectResult last;
    std::optional<mng::Packet> p;
    const long total = warmup + repetitions;
    for (long done = 0; done < total;) {
        for (long i = 0; i < block && done < total; ++done, ++i) {
            double us = TimedUs(client, mng::kVnConnect, connect, &p);
            if (p->Hdr.Status == mng::kVnNotFound) {
                ++retries;
                if (!WaitDetail(client, 10s)) Die("the unit did not come back after the periodic removal");
                --done;
                --i;
                continue;
            }
            if (p->Hdr.Status != mng::kSuccess) Die("connect: " + mng::Describe(*p));
            const auto result = mng::DecodeConnectResult(p->Payload);
            if (!result || result->UnitMac != kUnit) Die("connect: wrong answer " + mng::Describe(*p));
            last = *result;
            if (done >= warmup) {
                connectUs.push_back(us);
                if (us <= 5000) ++within5ms;
            }
            // The service must report the unit linked, with the ports the connect answered.
            auto q = client.Request(mng::kGetSpecificVnInfo, mac);
            auto detail =
                q && q->Hdr.Status == mng::kSuccess ? mng::DecodeDetailInfo(q->Payload) : std::nullopt;
            if (!detail || detail->Unit.LinkStatus != 1 || detail->Unit.CtuPort != result->CtuPort ||
                detail->Unit.SioPort != result->SioPort)
                Die("after connect: detail " + (q ? mng::Describe(*q) : client.Error()) + " does not match " +
                    mng::Describe(*p));

            us = TimedUs(client, mng::kVnDisconnect, mac, &p);
            if (p->Hdr.Status != mng::kSuccess || p->Payload != mac) Die("disconnect: " + mng::Describe(*p));
            if (done >= warmup) disconnectUs.push_back(us);
        }
        for (long i = 0; i < block * 10; ++i) {
            const double us = TimedUs(client, mng::kGetServiceInfo, {}, &p);
            if (p->Hdr.Status != mng::kSuccess || !mng::IsServiceInfo(p->Payload))
                Die("service info: " + mng::Describe(*p));
            if (done > warmup) infoUs.push_back(us);
        }
    }
    const auto counters = sim.Counters(kUnit);

    Figure("unit_channels", kChannels, "channels", 0);
    Distribution("connect_rtt", connectUs, "us");
    Figure("connect_rtt_max", Max(connectUs), "us");
    Figure("connect_within_5ms",
           100.0 * static_cast<double>(within5ms) / static_cast<double>(connectUs.size()), "%");
    Distribution("disconnect_rtt", disconnectUs, "us");
    Distribution("service_info_rtt", infoUs, "us");
    Figure("connect_to_service_info_ratio_median", Median(connectUs) / Median(infoUs), "x", 1);
    // Zero while the daemon starts no CTU or SIO server for the unit's channels.
    Figure("connect_ctu_port", last.CtuPort, "port", 0);
    Figure("connect_sio_port", last.SioPort, "port", 0);
    Figure("samples", static_cast<double>(connectUs.size()), "each", 0);
    Figure("retries", static_cast<double>(retries), "count", 0);
    if (counters) Figure("unit_frames_rx", static_cast<double>(counters->Rx), "frames", 0);
    return 0;
}
