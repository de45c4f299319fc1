// bench_registry_footprint: resident memory and threads of the real daemon per unit record.
// Target: at most 64 KiB resident per unit.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_registry_footprint [options]
//
// How it measures. It starts the qorservice binary as a service manager would (the daemon
// forks; its pid comes from /var/run/qorservice.pid) and qorsim on p0, the far end of veth0,
// with no unit yet. Baseline: VmRSS and Threads of the daemon (/proc/<pid>/status), sampled
// every 100 ms over 3 s of searching with nothing answering. Then qorsim adds N units
// (`add-many`, ctu_uart2: control unit and two UARTs). Once every unit has been asked for its
// info structure (qorsim's per-unit count of info requests; the daemon asks once per record
// at creation) and the daemon's thread count has reached baseline + N (one get-info thread
// per record), it samples VmRSS and Threads every 200 ms for the settle time, which spans a
// periodic removal and the re-creation of all records. Per unit: (RSS - baseline RSS) / N.
//
// Options: --units N (default 255), --settle S (seconds, default 15).
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "pem_thread.h"
#include "qor_lab.h"
#include "qor_sim.h"
#include "vn_device.h"

extern char** environ;

using namespace qortest;
using namespace qorbench;

namespace {

struct ProcStatus {
    double RssKiB = 0;
    double HwmKiB = 0;
    double Threads = 0;
};

std::optional<ProcStatus> ReadStatus(pid_t pid) {
    const auto text = ReadFile("/proc/" + std::to_string(pid) + "/status");
    if (!text) return std::nullopt;
    ProcStatus s;
    std::istringstream in(*text);
    int found = 0;
    for (std::string line; std::getline(in, line);) {
        double* slot = line.starts_with("VmRSS:")     ? &s.RssKiB
                       : line.starts_with("VmHWM:")   ? &s.HwmKiB
                       : line.starts_with("Threads:") ? &s.Threads
                                                      : nullptr;
        if (!slot) continue;
        *slot = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
        ++found;
    }
    if (found != 3) return std::nullopt;
    return s;
}

// Starts the daemon binary and returns the pid its forked process writes to the pid file.
pid_t StartDaemon() {
    pid_t launcher = -1;
    char* argv[] = {const_cast<char*>(QORSERVICE_PATH), nullptr};
    if (posix_spawn(&launcher, QORSERVICE_PATH, nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    if (waitpid(launcher, &status, 0) != launcher || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    for (int i = 0; i < 500; ++i) {
        const auto text = ReadFile("/var/run/qorservice.pid");
        if (text && !text->empty()) {
            const pid_t pid = static_cast<pid_t>(std::atol(text->c_str()));
            if (pid > 0 && kill(pid, 0) == 0) return pid;
        }
        std::this_thread::sleep_for(10ms);
    }
    return -1;
}

void StopDaemon(pid_t pid) {
    if (pid <= 0 || kill(pid, SIGTERM) != 0) return;
    for (int i = 0; i < 500 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(10ms);
}

// Samples the daemon's status every `every` for `span`.
std::vector<ProcStatus> Sample(pid_t pid, Clock::duration span, Clock::duration every) {
    std::vector<ProcStatus> out;
    const auto end = Clock::now() + span;
    while (Clock::now() < end) {
        if (const auto s = ReadStatus(pid)) out.push_back(*s);
        std::this_thread::sleep_for(every);
    }
    return out;
}

std::vector<double> Field(const std::vector<ProcStatus>& v, double ProcStatus::*f) {
    std::vector<double> out;
    for (const auto& s : v) out.push_back(s.*f);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    int units = 255, settle = 15;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--units" && i + 1 < argc) units = atoi(argv[++i]);
        else if (a == "--settle" && i + 1 < argc) settle = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: bench_registry_footprint [--units N] [--settle S]\n");
            return 2;
        }
    }
    if (units < 1 || units > 255 || settle < 1) {
        fprintf(stderr, "bench_registry_footprint: units 1..255, settle >= 1\n");
        return 2;
    }
    if (!InLab()) {
        fprintf(stderr, "bench_registry_footprint: run it inside a lab: qorlab --veths 1 -- %s\n", argv[0]);
        return 2;
    }
    const LabInfo lab = LabInfo::FromEnv();
    if (lab.Veths.empty()) {
        fprintf(stderr, "bench_registry_footprint: the lab needs a veth (qorlab --veths 1)\n");
        return 2;
    }

    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0], {})) {
        fprintf(stderr, "bench_registry_footprint: %s\n", sim.Error().c_str());
        return 1;
    }
    const pid_t daemon = StartDaemon();
    if (daemon <= 0) {
        fprintf(stderr, "bench_registry_footprint: the daemon did not start\n");
        return 1;
    }

    // Baseline: the daemon searching with nothing answering.
    std::this_thread::sleep_for(1s);
    const std::vector<ProcStatus> idle = Sample(daemon, 3s, 100ms);
    const double idleRss = Median(Field(idle, &ProcStatus::RssKiB));
    const double idleThreads = Median(Field(idle, &ProcStatus::Threads));

    const Mac first = {0x02, 0x00, 0x00, 0x20, 0x00, 0x01};
    const auto added = Clock::now();
    if (!sim.Ok("add-many " + std::to_string(units) + " ctu_uart2 " + MacString(first) + " " + lab.PeerIfs[0])) {
        fprintf(stderr, "bench_registry_footprint: qorsim: %s\n", sim.LastAnswer().c_str());
        StopDaemon(daemon);
        return 1;
    }
    std::vector<Mac> macs;
    for (int k = 0; k < units; ++k) {
        Mac m = first;
        const unsigned low = (static_cast<unsigned>(first[4]) << 8 | first[5]) + static_cast<unsigned>(k);
        m[4] = static_cast<uint8_t>(low >> 8);
        m[5] = static_cast<uint8_t>(low & 0xFF);
        macs.push_back(m);
    }
    // Every unit asked for its info structure, and one get-info thread per record.
    auto exchanges = [&]() {
        unsigned long total = 0, asked = 0;
        for (const Mac& m : macs)
            if (const auto c = sim.Counters(m)) {
                total += c->InfoRequests;
                asked += c->InfoRequests > 0;
            }
        return std::make_pair(asked, total);
    };
    bool ready = false;
    while (Clock::now() - added < 30s) {
        const auto s = ReadStatus(daemon);
        if (s && s->Threads >= idleThreads + units && exchanges().first == static_cast<unsigned long>(units)) {
            ready = true;
            break;
        }
        std::this_thread::sleep_for(200ms);
    }
    const double toReady = std::chrono::duration<double, std::milli>(Clock::now() - added).count();
    if (!ready) {
        fprintf(stderr, "bench_registry_footprint: the daemon did not inform all %d units within 30 s\n", units);
        StopDaemon(daemon);
        return 1;
    }
    const unsigned long exchangesBefore = exchanges().second;
    const std::vector<ProcStatus> busy = Sample(daemon, std::chrono::seconds(settle), 200ms);
    const unsigned long exchangesAfter = exchanges().second;
    StopDaemon(daemon);
    sim.Stop();

    const std::vector<double> rss = Field(busy, &ProcStatus::RssKiB);
    std::vector<double> perUnit;
    for (double r : rss) perUnit.push_back((r - idleRss) / units);

    Figure("units", units, "count", 0);
    Figure("unit_record_size", sizeof(_VN_DEVICE) / 1024.0, "KiB", 1);
    Figure("thread_stack_size", qor::kThreadStackSize / 1024.0, "KiB", 1);
    Figure("daemon_rss_0_units", idleRss, "KiB", 0);
    Distribution("daemon_rss_with_units", rss, "KiB", 0);
    Figure("daemon_rss_peak", Max(Field(busy, &ProcStatus::HwmKiB)), "KiB", 0);
    Distribution("rss_per_unit", perUnit, "KiB", 1);
    Figure("rss_per_unit_to_64KiB_target_ratio", Median(perUnit) / 64.0, "x", 2);
    Figure("daemon_threads_0_units", idleThreads, "count", 0);
    Distribution("daemon_threads_with_units", Field(busy, &ProcStatus::Threads), "count", 0);
    Figure("time_to_all_informed", toReady, "ms", 0);
    Figure("info_exchanges_while_sampling", static_cast<double>(exchangesAfter - exchangesBefore), "count", 0);
    Figure("samples", static_cast<double>(busy.size()), "count", 0);
    return 0;
}
