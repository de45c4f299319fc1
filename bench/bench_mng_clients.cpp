// bench_mng_clients: 63 management clients, the most the service takes, issuing requests in
// parallel for 30 seconds with every answer checked.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_mng_clients [options]
//
// How it measures. It starts the real qorservice binary and qorsim on p0 with four units
// (dock_basic, advance_password, ctu_uart2, ctu_dio), waits until all four are listed, then
// starts one thread per client. Each thread cycles through five requests and checks each
// answer completely: service info (the exact 30 bytes), search by all NICs (whole 28-byte
// records, the played units only), detail of one unit (decodes, channel count as played), the
// mapping list (decodes, empty) and a set-debug-config with a wrong Length (status 1, no
// payload). A missing, late (2 s) or wrong answer counts as an error; the thread then
// reconnects. Baseline: one client alone for 3 s before the run, the same cycle.
//
// Options: --clients N (63), --seconds S (30).
#include <mutex>

#include "bench_mng_common.h"
#include "qor_sim.h"

using namespace qorbench;
namespace mng = qortest::mng;

namespace {

const qortest::Mac kUnits[] = {
    {2, 0, 0, 0, 4, 1}, {2, 0, 0, 0, 4, 2}, {2, 0, 0, 0, 4, 3}, {2, 0, 0, 0, 4, 4}};
const char* kProfiles[] = {"dock_basic", "advance_password", "ctu_uart2", "ctu_dio"};
const uint8_t kChannels[] = {3, 5, 3, 2};

std::vector<uint8_t> ServiceInfo() {
    std::vector<uint8_t> p = {8};
    for (char c : std::string("1.0.15.0")) p.push_back(static_cast<uint8_t>(c));
    p.push_back(7);
    for (char c : std::string("1.0.4.0")) p.push_back(static_cast<uint8_t>(c));
    p.push_back(0);
    return p;
}

bool Known(const qortest::Mac& m) {
    for (const auto& u : kUnits)
        if (u == m) return true;
    return false;
}

// One request of the cycle and the check of its answer; "" when right, else what was wrong.
std::string Step(mng::Client& c, unsigned step) {
    static const std::vector<uint8_t> info = ServiceInfo();
    switch (step % 5) {
        case 0: {
            auto p = c.Request(mng::kGetServiceInfo);
            if (!p) return c.Error();
            return p->Hdr.Status == 0 && p->Payload == info ? "" : "service info " + mng::Describe(*p);
        }
        case 1: {
            auto p = c.Request(mng::kSearchByAllNic);
            if (!p) return c.Error();
            auto list = mng::DecodeUnitInfoList(p->Payload, false);
            if (p->Hdr.Status != 0 || !list) return "search " + mng::Describe(*p);
            for (const auto& u : *list)
                if (!Known(u.UnitMac)) return "search: unknown unit";
            return "";
        }
        case 2: {
            const size_t i = (step / 5) % 4;
            auto p = c.Request(mng::kGetSpecificVnInfo, mng::MacBytes(kUnits[i]));
            if (!p) return c.Error();
            // The periodic removal may have dropped the record a moment ago (32), or the
            // fresh record may not be decoded yet (no channels).
            if (p->Hdr.Status == mng::kVnNotFound)
                return p->Payload == mng::MacBytes(kUnits[i]) ? "" : "detail echo";
            auto d = mng::DecodeDetailInfo(p->Payload);
            if (p->Hdr.Status != 0 || !d || d->Unit.UnitMac != kUnits[i])
                return "detail " + mng::Describe(*p);
            if (d->Unit.AvailableChls != kChannels[i] && d->Unit.AvailableChls != 0) return "detail channels";
            return "";
        }
        case 3: {
            auto p = c.Request(mng::kGetAllMappingInfo);
            if (!p) return c.Error();
            return p->Hdr.Status == 0 && p->Payload.empty() ? "" : "mapping list " + mng::Describe(*p);
        }
        default: {
            auto p = c.Request(mng::kSetDebugConfig, std::vector<uint8_t>(6, 0));
            if (!p) return c.Error();
            return p->Hdr.Status == mng::kParameterInvalid && p->Payload.empty()
                       ? ""
                       : "debug " + mng::Describe(*p);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long clients = Option(argc, argv, "--clients", 63);
    const long seconds = Option(argc, argv, "--seconds", 30);
    auto daemon = StartService();
    const auto lab = qortest::LabInfo::FromEnv();
    if (lab.PeerPids.empty()) Die("the lab needs a veth: qorlab --veths 1");
    std::vector<std::string> args;
    for (size_t i = 0; i < 4; ++i) {
        args.push_back("--unit");
        args.push_back(std::string(kProfiles[i]) + "," + qortest::MacString(kUnits[i]) + "," +
                       lab.PeerIfs[0]);
    }
    qortest::SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0], args)) Die("qorsim: " + sim.Error());
    {
        mng::Client c = Connect();
        const auto deadline = Clock::now() + 20s;
        for (;;) {
            auto p = c.Request(mng::kSearchByAllNic);
            if (p && p->Payload.size() == 4 * mng::kBasicUnitInfoLength) break;
            if (Clock::now() > deadline) Die("the four units were not listed");
            std::this_thread::sleep_for(100ms);
        }
        // Baseline: one client alone.
        std::vector<double> alone;
        const auto until = Clock::now() + 3s;
        for (unsigned step = 0; Clock::now() < until; ++step) {
            const auto t0 = Clock::now();
            const std::string wrong = Step(c, step);
            alone.push_back(Micros(Clock::now() - t0));
            if (!wrong.empty()) Die("baseline: " + wrong);
        }
        Figure("single_client_requests_per_second", static_cast<double>(alone.size()) / 3.0, "req/s", 0);
        Distribution("single_client_latency", alone, "us");
    }

    std::atomic<bool> stop{false};
    std::atomic<long> requests{0}, errors{0}, reconnects{0};
    std::mutex lock;
    std::vector<double> latency;
    std::string firstError;
    std::vector<std::thread> threads;
    std::vector<mng::Client> conns(static_cast<size_t>(clients));
    for (auto& c : conns)
        if (!c.Connect()) Die("client connect: " + c.Error());
    const auto start = Clock::now();
    for (long t = 0; t < clients; ++t) {
        threads.emplace_back([&, t] {
            mng::Client& c = conns[static_cast<size_t>(t)];
            std::vector<double> mine;
            for (unsigned step = static_cast<unsigned>(t); !stop; ++step) {
                const auto t0 = Clock::now();
                const std::string wrong = Step(c, step);
                mine.push_back(Micros(Clock::now() - t0));
                ++requests;
                if (!wrong.empty()) {
                    ++errors;
                    {
                        std::lock_guard<std::mutex> g(lock);
                        if (firstError.empty()) firstError = wrong;
                    }
                    // Start clean: a late answer would be taken for the next one.
                    while (!stop && !c.Connect()) std::this_thread::sleep_for(20ms);
                    ++reconnects;
                }
            }
            std::lock_guard<std::mutex> g(lock);
            latency.insert(latency.end(), mine.begin(), mine.end());
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Figure("clients", static_cast<double>(clients), "clients", 0);
    Figure("duration", elapsed, "s", 1);
    Figure("requests_total", static_cast<double>(requests.load()), "req", 0);
    Figure("requests_per_second", static_cast<double>(requests.load()) / elapsed, "req/s", 0);
    Distribution("request_latency", latency, "us");
    Figure("errors", static_cast<double>(errors.load()), "req", 0);
    Figure("reconnects", static_cast<double>(reconnects.load()), "each", 0);
    if (!firstError.empty()) std::fprintf(stderr, "first error: %s\n", firstError.c_str());
    return errors.load() == 0 ? 0 : 1;
}
