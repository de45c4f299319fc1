// bench_sio_ai: AI sample data from qorsim through the real daemon to an SIO client, at
// increasing rates.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_sio_ai [options]
//
// qorsim plays the unit analog_inputs; the client enables sampling and data on its AI channel 1
// and qorsim's `ai-stream` sends DATA TLPs of 64 bytes (32 samples of 16 bits) at a chosen rate,
// each numbered. For each rate (1000 to 100000 TLPs a second, each for --seconds) the figures
// are: TLPs qorsim sent, TLPs a plain AF_PACKET socket on the service's side of the veth saw
// (the same frames, in the same run: what reached this host), 0x2001 messages the client
// received in order with every byte checked (what came through the service), the rate achieved, and the
// service's CPU time (utime + stime of /proc/<pid>/stat) per 1000 TLPs and per 1000 samples,
// against the raw socket receiver's own thread CPU time per 1000 TLPs. The highest rate at
// which the client lost nothing and kept up (95 % of the rate achieved) is printed last;
// the run stops at the first rate with a loss.
//
// Options: --seconds N (2 per rate), --max-rate R (100000).
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "bench_mng_common.h"
#include "bench_raw_socket.h"
#include "qor_sim.h"
#include "qor_sio_client.h"

using namespace qorbench;
using namespace qortest;

namespace {

const Mac kUnit = UnitMac(0x1D, 1);
constexpr uint8_t kChl = 1;
constexpr size_t kBytes = 64;
constexpr size_t kSamplesPerTlp = kBytes / 2;

std::string SimLine(SimProcess& sim, const std::string& line) {
    const std::string a = sim.Control(line);
    if (a.rfind("ok", 0) != 0) Die("qorsim: " + line + ": " + a);
    return a;
}

uint16_t ConnectUnit(mng::Client& client, const Mac& mac) {
    for (const auto deadline = Clock::now() + 10s;;) {
        auto p = client.Request(mng::kVnConnect, mng::ConnectRecord(mac, 0));
        auto r = p ? mng::DecodeConnectResult(p->Payload) : std::nullopt;
        if (p && p->Hdr.Status == mng::kSuccess && r && r->SioPort != 0)
            return static_cast<uint16_t>(r->SioPort);
        if (Clock::now() > deadline) Die("unit could not be connected with an SIO port");
        std::this_thread::sleep_for(100ms);
    }
}

// utime + stime of a process, in seconds.
double ProcessCpu(pid_t pid) {
    FILE* f = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!f) return 0;
    char buf[1024];
    const size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    // Fields after the command name in parentheses: state is field 3, utime 14, stime 15.
    const char* p = strrchr(buf, ')');
    if (!p) return 0;
    unsigned long long ut = 0, st = 0;
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &ut, &st) != 2) return 0;
    return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double ThreadCpu() {
    struct timespec ts {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

// Counts the unit's DATA TLPs of the channel on the service's interface.
struct RawCounter {
    RawSocket Sock;
    std::atomic<bool> Stop{false};
    std::atomic<uint64_t> Tlps{0};
    std::atomic<double> Cpu{0};
    std::thread Thread;
    void Run() {
        uint8_t frame[2048];
        const double c0 = ThreadCpu();
        while (!Stop.load()) {
            const ssize_t n = Sock.Recv(frame, sizeof(frame), 50);
            // Link header: 2 bytes; a TLP's type is in bits 5..1 of link byte 2, DATA = 1.
            if (n >= 22 && frame[14] == 0x10 && ((frame[16] >> 1) & 0x1F) == 1 && frame[17] == kChl)
                Tlps.fetch_add(1);
        }
        Cpu.store(ThreadCpu() - c0);
    }
};

}  // namespace

int main(int argc, char** argv) {
    const long seconds = Option(argc, argv, "--seconds", 2);
    const long maxRate = Option(argc, argv, "--max-rate", 100000);
    if (seconds < 1 || maxRate < 1000) Die("usage: bench_sio_ai [--seconds N] [--max-rate R]");
    auto daemon = StartService();
    const LabInfo lab = LabInfo::FromEnv();
    if (system("ip link set veth0 mtu 9000") != 0) Die("mtu");
    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids.at(0),
                   {"--unit", "analog_inputs," + MacString(kUnit) + "," + lab.PeerIfs.at(0)}))
        Die("qorsim: " + sim.Error());
    mng::Client client = Connect();
    sio::Client ai;
    const uint16_t port = ConnectUnit(client, kUnit);
    for (const auto deadline = Clock::now() + 2s; !ai.Connect(port);) {
        if (Clock::now() > deadline) Die("SIO connect: " + ai.Error());
        std::this_thread::sleep_for(10ms);
    }
    for (const auto& [code, payload] :
         {std::pair{uint16_t{9}, std::vector<uint8_t>{0, 1}}, std::pair{uint16_t{3}, std::vector<uint8_t>{1}},
          std::pair{uint16_t{5}, std::vector<uint8_t>{1}}}) {
        auto m = ai.Request(sio::kAi, kChl, code, payload);
        if (!m || m->Hdr.Status != 0) Die("AI command " + std::to_string(code) + " failed");
    }

    const long rates[] = {1000, 2000, 5000, 10000, 20000, 50000, 100000, 200000};
    long best = 0;
    for (long rate : rates) {
        if (rate > maxRate) break;
        const uint64_t count = static_cast<uint64_t>(rate * seconds);
        RawCounter raw;
        if (!raw.Sock.Open("veth0", 0xD41F, 8 << 20)) Die("packet socket on veth0");
        raw.Thread = std::thread([&] { raw.Run(); });
        const double cpu0 = ProcessCpu(daemon->Pid());
        SimLine(sim, "ai-stream " + MacString(kUnit) + " " + std::to_string(kChl) + " " +
                         std::to_string(count) + " " + std::to_string(rate) + " " + std::to_string(kBytes));
        uint64_t got = 0, wrong = 0, expect = 0;
        const auto start = Clock::now();
        for (;;) {
            auto m = ai.NextUnsolicited(1s);
            if (!m) break;
            if (m->Hdr.Code != 0x2001 || m->Payload.size() != kBytes + 1) {
                ++wrong;
                continue;
            }
            const uint8_t* d = m->Payload.data() + 1;
            const uint32_t k = d[0] | (d[1] << 8) | (d[2] << 16) | (uint32_t{d[3]} << 24);
            bool right = m->Payload[0] == 0;
            for (size_t i = 4; i < kBytes && right; ++i) right = d[i] == static_cast<uint8_t>(k + i);
            if (!right) ++wrong;
            if (k != expect) ++wrong;  // a gap or a reordering
            expect = k + 1;
            if (++got == count) break;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = ProcessCpu(daemon->Pid()) - cpu0;
        std::this_thread::sleep_for(200ms);
        raw.Stop.store(true);
        raw.Thread.join();
        const std::string state =
            SimLine(sim, "ai-stream-state " + MacString(kUnit) + " " + std::to_string(kChl));
        const auto at = state.find("sent=");
        const uint64_t sent = at == std::string::npos ? 0 : std::stoull(state.substr(at + 5));
        SimLine(sim, "ai-stream " + MacString(kUnit) + " " + std::to_string(kChl) + " stop");
        const std::string r = "rate_" + std::to_string(rate);
        Figure(r + "_sent", static_cast<double>(sent), "tlps", 0);
        Figure(r + "_raw_socket_received", static_cast<double>(raw.Tlps.load()), "tlps", 0);
        Figure(r + "_client_received", static_cast<double>(got), "tlps", 0);
        Figure(r + "_client_wrong_or_out_of_order", static_cast<double>(wrong), "tlps", 0);
        Figure(r + "_achieved", elapsed > 0 ? static_cast<double>(got) / elapsed : 0, "tlps/s", 0);
        Figure(r + "_service_cpu_per_1000_tlps", got ? cpu * 1e3 / static_cast<double>(got) * 1e3 : 0, "ms",
               3);
        Figure(r + "_service_cpu_per_1000_samples",
               got ? cpu * 1e3 / static_cast<double>(got * kSamplesPerTlp) * 1e3 : 0, "ms", 4);
        Figure(r + "_raw_socket_cpu_per_1000_tlps",
               raw.Tlps.load() ? raw.Cpu.load() * 1e3 / static_cast<double>(raw.Tlps.load()) * 1e3 : 0, "ms",
               3);
        // A rate counts when nothing was lost and the packets kept up with it (within 5 %).
        const bool kept =
            elapsed > 0 && static_cast<double>(got) / elapsed >= 0.95 * static_cast<double>(rate);
        if (got == count && sent == count && wrong == 0 && kept) best = rate;
        if (got != count || wrong != 0) break;
        // Drain anything late before the next rate.
        while (ai.NextUnsolicited(100ms)) {
        }
    }
    Figure("highest_rate_without_loss", static_cast<double>(best), "tlps/s", 0);
    Figure("highest_rate_without_loss_samples", static_cast<double>(best * kSamplesPerTlp), "samples/s", 0);
    return 0;
}
