// bench_mng_search: CMD_SEARCY_BY_ALL_NIC with 255 simulated units listed.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_mng_search [options]
//
// How it measures. It starts the real qorservice binary and qorsim on p0 playing N units
// (ctu_uart2, consecutive MACs), and waits until one search answer lists all N. Then it
// times the search command against the service-info command on the same connection, in
// alternating blocks of 50, as the baseline of the management path itself. Each search
// answer is decoded: its records must be whole 28-byte records of distinct played units.
// The periodic removal of idle units (every sixth search cycle, about 12 s) drops every
// record for a moment; answers that list fewer than N units are counted apart and not timed.
//
// 255 records of 28 bytes are 7140 payload bytes; with the 12-byte header 7152 bytes, which
// fits the service's 8192-byte transmit buffer (the figures say so).
//
// Options: --units N (255), --repetitions N (4000 of each).
#include <set>

#include "bench_mng_common.h"
#include "qor_sim.h"

using namespace qorbench;
namespace mng = qortest::mng;

int main(int argc, char** argv) {
    const long units = Option(argc, argv, "--units", 255);
    const long repetitions = Option(argc, argv, "--repetitions", 4000);
    auto daemon = StartService();
    const auto lab = qortest::LabInfo::FromEnv();
    if (lab.PeerPids.empty()) Die("the lab needs a veth: qorlab --veths 1");
    qortest::SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0],
                   {"--units-count", std::to_string(units), "--units-from",
                    "ctu_uart2,02:00:00:00:01:01," + lab.PeerIfs[0]},
                   10s))
        Die("qorsim: " + sim.Error());
    std::set<qortest::Mac> played;
    for (long i = 0; i < units; ++i) {
        const long n = 0x0101 + i;
        played.insert({0x02, 0, 0, 0, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    }

    mng::Client client = Connect();
    const auto listedAt = Clock::now();
    const size_t full = static_cast<size_t>(units) * mng::kBasicUnitInfoLength;
    for (;;) {
        auto p = client.Request(mng::kSearchByAllNic);
        if (!p) Die("search: " + client.Error());
        if (p->Payload.size() == full) break;
        if (Clock::now() - listedAt > 60s) Die("not all units were listed within 60 s");
        std::this_thread::sleep_for(100ms);
    }
    Figure("time_to_list_all_units", std::chrono::duration<double>(Clock::now() - listedAt).count(), "s", 2);

    std::vector<double> searchUs, infoUs;
    long partial = 0;
    size_t largest = 0;
    for (long done = 0; done < repetitions; done += 50) {
        for (int i = 0; i < 50; ++i) {
            const auto t0 = Clock::now();
            auto p = client.Request(mng::kSearchByAllNic);
            const auto t = Clock::now() - t0;
            if (!p || p->Hdr.Status != mng::kSuccess) Die("search: " + client.Error());
            auto list = mng::DecodeUnitInfoList(p->Payload, false);
            if (!list) Die("search: records do not decode: " + mng::Describe(*p));
            std::set<qortest::Mac> seen;
            for (const auto& u : *list)
                if (!played.count(u.UnitMac) || !seen.insert(u.UnitMac).second)
                    Die("search: a record of an unknown or repeated unit");
            largest = std::max(largest, p->Payload.size());
            if (list->size() != static_cast<size_t>(units)) {
                ++partial;
                continue;
            }
            searchUs.push_back(Micros(t));
        }
        for (int i = 0; i < 50; ++i) {
            const auto t0 = Clock::now();
            auto p = client.Request(mng::kGetServiceInfo);
            const auto t = Clock::now() - t0;
            if (!p || p->Payload.size() != 18) Die("service info: " + client.Error());
            infoUs.push_back(Micros(t));
        }
    }
    Distribution("search_all_255_rtt", searchUs, "us");
    Distribution("service_info_rtt", infoUs, "us");
    Figure("search_to_service_info_ratio_median", Median(searchUs) / Median(infoUs), "x", 2);
    Figure("search_all_payload", static_cast<double>(largest), "bytes", 0);
    Figure("search_all_packet", static_cast<double>(largest + mng::kHeaderLength), "bytes", 0);
    Figure("service_tx_buffer", static_cast<double>(mng::kServiceBuffSize), "bytes", 0);
    Figure("search_all_fits_buffer", largest + mng::kHeaderLength <= mng::kServiceBuffSize ? 1 : 0, "bool",
           0);
    Figure("samples_full_list", static_cast<double>(searchUs.size()), "each", 0);
    Figure("samples_partial_list", static_cast<double>(partial), "each", 0);
    return 0;
}
