// bench_info_latency: time from a unit's search answer to its record being informed, i.e.
// its info structure fetched and decoded (DllpGetInfoThreadSuccess = 1). Target: 5 ms.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_info_latency [options]
//
// How it measures. The service's modules run in this process: _InitProgFunc() creates the
// NIC record of veth0 and starts the real search thread; qorsim plays K units (ctu_uart2)
// on p0, the far end of veth0. Each repetition
//   1. drops the units from the registry (VnMainDelAllWithoutMappingOrConnectedByHost),
//   2. broadcasts one advance search with the service's own VnDllpSearchAdvanceWithAllNic,
//   3. polls the registry in a yielding loop until every unit has a record whose success
//      flag is set, taking CLOCK_REALTIME when it sees each flag.
// A tap on p0 (a packet socket in the peer namespace) gets the kernel's CLOCK_REALTIME
// timestamp of every frame on the wire: the unit's search answer, the service's info request
// and the unit's info response. The latency of a unit is flag seen - search answer sent, so
// it covers the NIC receive thread, record creation, the get-info thread's request, qorsim's
// answer, its receipt and the decode. Repetitions into which a search of the search thread
// fell (it searches every second) are discarded, since its answers touch the same records.
//
// Baseline, measured in the same run before the service starts: the round trip of a raw
// 60-byte frame veth0 -> p0 -> veth0, echoed by a thread in the peer namespace. The service
// path is about one and a half such round trips plus two thread wake-ups, so the ratio says
// how much the service adds on this machine, whatever its speed.
//
// Options: --repetitions N (default 300), --units K (default 1; K units answer each search),
//          --baseline N (default 2000 round trips).
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_raw_socket.h"
#include "bench_stats.h"
#include "pem_main.h"
#include "qor_lab.h"
#include "qor_sim.h"
#include "qor_tap.h"
#include "vn_dllp_search.h"
#include "vn_main.h"

using namespace qortest;
using namespace qorbench;

namespace {

constexpr uint16_t kEchoEtherType = 0x88B5;  // local experimental: the service ignores it

double Us(int64_t ns) { return static_cast<double>(ns) / 1000.0; }

// Round trips veth0 -> p0 -> veth0, in microseconds.
std::vector<double> RawRoundTrips(const LabInfo& lab, int count) {
    std::vector<double> rtts;
    std::atomic<bool> ready{false}, stop{false};
    Mac peerMac{};
    std::thread echo([&]() {
        RunInNetns(lab.PeerPids[0], [&]() {
            RawSocket s;
            if (!s.Open(lab.PeerIfs[0], kEchoEtherType)) throw std::runtime_error("cannot open the echo socket");
            peerMac = s.Own;
            ready = true;
            uint8_t buff[2048];
            while (!stop) {
                const ssize_t n = s.Recv(buff, sizeof(buff), 100);
                if (n < 14) continue;
                Mac src{};
                memcpy(src.data(), buff + 6, 6);
                s.Send(src, buff, static_cast<size_t>(n));
            }
        });
    });
    while (!ready) std::this_thread::sleep_for(1ms);
    RawSocket s;
    if (!s.Open(lab.Veths[0], kEchoEtherType)) {
        stop = true;
        echo.join();
        return rtts;
    }
    uint8_t frame[60] = {}, buff[2048];
    for (int i = 0; i < count + 50; ++i) {
        const uint32_t seq = static_cast<uint32_t>(i);
        memcpy(frame + 14, &seq, sizeof(seq));
        const int64_t t0 = RealNowNs();
        if (!s.Send(peerMac, frame, sizeof(frame))) break;
        ssize_t n;
        do n = s.Recv(buff, sizeof(buff), 200);
        while (n >= 18 && memcmp(buff + 14, &seq, sizeof(seq)) != 0);
        const int64_t t1 = RealNowNs();
        if (n < 0) continue;
        if (i >= 50) rtts.push_back(Us(t1 - t0));  // the first ones warm up caches and ARP-free paths
    }
    stop = true;
    echo.join();
    return rtts;
}

struct Options {
    int Repetitions = 300;
    int Units = 1;
    int Baseline = 2000;
};

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() {
            if (i + 1 >= argc) {
                fprintf(stderr, "%s needs a value\n", a.c_str());
                exit(2);
            }
            return atoi(argv[++i]);
        };
        if (a == "--repetitions") o.Repetitions = next();
        else if (a == "--units") o.Units = next();
        else if (a == "--baseline") o.Baseline = next();
        else {
            fprintf(stderr, "usage: bench_info_latency [--repetitions N] [--units K] [--baseline N]\n");
            exit(2);
        }
    }
    if (o.Repetitions < 1 || o.Units < 1 || o.Units > 200 || o.Baseline < 1) {
        fprintf(stderr, "bench_info_latency: repetitions >= 1, units 1..200, baseline >= 1\n");
        exit(2);
    }
    return o;
}

struct Repetition {
    int64_t Start = 0;                 // units dropped, search about to go out
    int64_t End = 0;                   // last flag seen
    std::map<Mac, int64_t> Informed;   // flag seen, per unit
    std::map<Mac, int64_t> Listed;     // record first found, per unit
};

}  // namespace

int main(int argc, char** argv) {
    const Options opt = ParseOptions(argc, argv);
    if (!InLab()) {
        fprintf(stderr, "bench_info_latency: run it inside a lab: qorlab --veths 1 -- %s\n", argv[0]);
        return 2;
    }
    const LabInfo lab = LabInfo::FromEnv();
    if (lab.Veths.empty() || lab.PeerPids.empty()) {
        fprintf(stderr, "bench_info_latency: the lab needs a veth (qorlab --veths 1)\n");
        return 2;
    }

    const std::vector<double> rtt = RawRoundTrips(lab, opt.Baseline);
    if (rtt.empty()) {
        fprintf(stderr, "bench_info_latency: no raw round trip across %s\n", lab.Veths[0].c_str());
        return 1;
    }

    std::vector<Mac> units;
    std::vector<std::string> simArgs;
    for (int k = 0; k < opt.Units; ++k) {
        units.push_back({0x02, 0x00, 0x00, 0x00, 0x10, static_cast<uint8_t>(k + 1)});
        simArgs.insert(simArgs.end(), {"--unit", "ctu_uart2," + MacString(units.back()) + "," + lab.PeerIfs[0]});
    }
    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0], simArgs)) {
        fprintf(stderr, "bench_info_latency: %s\n", sim.Error().c_str());
        return 1;
    }
    FrameTap tap(lab.PeerPids[0], lab.PeerIfs[0]);
    const auto vethMac = ReadIfMac(lab.Veths[0]);
    if (!vethMac || !_InitProgFunc()) {
        fprintf(stderr, "bench_info_latency: the service did not start\n");
        return 1;
    }

    std::vector<Repetition> reps;
    int timeouts = 0;
    for (int r = 0; r < opt.Repetitions; ++r) {
        Repetition rep;
        VnMainDelAllWithoutMappingOrConnectedByHost();
        rep.Start = RealNowNs();
        VnDllpSearchAdvanceWithAllNic();
        std::map<Mac, VnRef> refs;
        const int64_t deadline = rep.Start + 2000000000;
        while (rep.Informed.size() < units.size() && RealNowNs() < deadline) {
            for (const Mac& m : units) {
                if (rep.Informed.count(m)) continue;
                VnRef& ref = refs[m];
                if (!ref) {
                    ref = VnMainGetByMac(m.data());
                    if (!ref) continue;
                    rep.Listed[m] = RealNowNs();
                }
                if (ref->DllpGetInfoThreadSuccess.load(std::memory_order_acquire) == 1) rep.Informed[m] = RealNowNs();
            }
            sched_yield();
        }
        rep.End = RealNowNs();
        if (rep.Informed.size() < units.size()) ++timeouts;
        reps.push_back(std::move(rep));
        refs.clear();
        std::this_thread::sleep_for(3ms);
    }
    _FreeProgFunc();
    tap.Stop();
    sim.Stop();

    // Match each repetition with the frames on the wire.
    const std::vector<TapFrame> frames = tap.Frames();
    if (getenv("QOR_BENCH_DUMP")) {
        fprintf(stderr, "%s", Describe(frames).c_str());
        for (const Repetition& rep : reps) fprintf(stderr, "rep %lld..%lld\n", (long long)rep.Start, (long long)rep.End);
    }
    std::vector<double> latency, listed, toRequest, unitAnswer, toInformed;
    int discarded = 0, within5ms = 0;
    int64_t previousEnd = 0;
    for (const Repetition& rep : reps) {
        // A search of the search thread shortly before the repetition may still be answered
        // inside it; the previous repetition's own search is done with by its end.
        const int64_t from = std::max(rep.Start - 20000000, previousEnd);
        previousEnd = rep.End;
        int searches = 0;
        int64_t searchAt = 0;
        for (const TapFrame& f : frames) {
            if (f.Outgoing() || f.Source() != *vethMac || (f.DllpCode() != 4 && f.DllpCode() != 6)) continue;
            if (f.RealNs >= from && f.RealNs <= rep.End) {
                ++searches;
                searchAt = f.RealNs;
            }
        }
        if (searches != 1 || rep.Informed.size() < units.size()) {
            ++discarded;
            continue;
        }
        for (const Mac& m : units) {
            int64_t answer = 0, request = 0, response = 0;
            for (const TapFrame& f : frames) {
                if (f.RealNs < searchAt || f.RealNs > rep.End) continue;
                const uint8_t code = f.DllpCode();
                if (!answer && f.Outgoing() && f.Source() == m && (code == 5 || code == 7)) answer = f.RealNs;
                else if (answer && !request && !f.Outgoing() && f.Dest() == m && code == 16) request = f.RealNs;
                else if (request && !response && f.Outgoing() && f.Source() == m && code == 18) response = f.RealNs;
            }
            if (!answer || !request || !response) {
                ++discarded;
                continue;
            }
            const int64_t informed = rep.Informed.at(m);
            latency.push_back(Us(informed - answer));
            listed.push_back(Us(rep.Listed.at(m) - answer));
            toRequest.push_back(Us(request - answer));
            unitAnswer.push_back(Us(response - request));
            toInformed.push_back(Us(informed - response));
            if (informed - answer <= 5000000) ++within5ms;
        }
    }

    Figure("units_per_search", opt.Units, "count", 0);
    Figure("repetitions", static_cast<double>(reps.size()), "count", 0);
    Figure("samples", static_cast<double>(latency.size()), "count", 0);
    Figure("discarded", discarded, "count", 0);
    Figure("timeouts", timeouts, "count", 0);
    Distribution("info_latency", latency, "us");
    Figure("info_latency_max", Max(latency), "us");
    Figure("info_latency_within_5ms", latency.empty() ? 0 : 100.0 * within5ms / static_cast<double>(latency.size()),
           "%");
    Distribution("search_answer_to_record_listed", listed, "us");
    Distribution("search_answer_to_info_request", toRequest, "us");
    Distribution("info_request_to_unit_answer", unitAnswer, "us");
    Distribution("unit_answer_to_informed", toInformed, "us");
    Distribution("veth_raw_rtt", rtt, "us");
    Figure("info_latency_to_rtt_ratio", Median(rtt) > 0 ? Median(latency) / Median(rtt) : 0, "x", 2);
    return latency.empty() ? 1 : 0;
}
