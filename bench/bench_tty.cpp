// bench_tty: the TTY bridge end to end, the real daemon (its test build, netlink protocol 2,
// group 3) with the kernel-driver stand-in on one side and qorsim on the other.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_tty [options]
//
// (a) Request round trip. TTY_CMD_GET_MSR for the version-5 UART: from the driver stand-in's
//     send until its receive thread hands the reply (checked: code, status, the MSR byte qorsim
//     holds) to the waiting caller. It is one netlink hop in, a worker thread, one TLP read and
//     its answer across the veth, one netlink hop out. Baselines, measured in alternating
//     blocks of 100 in the same run: a netlink echo (a second stand-in socket answers 13 bytes
//     for 12 from its own thread, received through the same stand-in receive path) and the raw
//     veth round trip of a 60-byte frame echoed by a thread in the peer namespace. Target: the
//     request's median within 3x the sum of the two baseline medians.
//
// (b) Sustained transmit. TTY_DATA_KERNEL_TO_SERVICE pieces of 1484 bytes to the version-5
//     UART (data TLPs) and of 1020 bytes to the version-2 UART (transmit-window writes), as fast
//     as the netlink socket takes them, for --mib MiB each. qorsim's UART channel only counts
//     and hashes (`uart MAC CHL sink`); at the end its byte count and FNV-1a hash must equal
//     those of the bytes sent, so every byte is checked in order. Throughput = bytes / time from
//     the first send until qorsim has counted them all. Like a driver that keeps to the unit's
//     buffer, the sender lets at most --window-kib KiB be under way (it reads qorsim's count
//     when the window is full): qorsim's single thread is slower than the service, and bytes a
//     unit drops would be lost for good. Baseline: one AF_PACKET socket on veth0
//     sending frames of the same size (the TLP's frame: 14 + 8 + piece bytes) to another on p0
//     that counts what arrives, for the same byte count. Target: at least 80% of the baseline.
//
// Options: --repetitions N (5000 round trips of each), --mib N (32 per piece size),
//          --window-kib N (1024).
#include <linux/netlink.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <sstream>

#include "bench_mng_common.h"
#include "bench_raw_socket.h"
#include "qor_nlk_driver.h"
#include "qor_sim.h"

using namespace qorbench;
using namespace qortest;

namespace {

const Mac kUnit = UnitMac(0x19, 1);
constexpr uint8_t kChlV2 = 3, kChlV5 = 5;  // ctu_uart_versions
constexpr uint16_t kEchoEtherType = 0x88B5;  // local experimental: the service and qorsim ignore it

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// Raw frames veth0 -> p0 -> veth0, answered by a thread in the peer namespace.
class RawEcho {
  public:
    explicit RawEcho(const LabInfo& lab) {
        echo_ = std::thread([&lab, this] {
            RunInNetns(lab.PeerPids[0], [this, &lab] {
                RawSocket s;
                if (!s.Open(lab.PeerIfs[0], kEchoEtherType)) {
                    failed_ = true;
                    ready_ = true;
                    return;
                }
                peer_ = s.Own;
                ready_ = true;
                uint8_t buff[2048] = {}, answer[64] = {};
                while (!stop_) {
                    const ssize_t n = s.Recv(buff, sizeof(buff), 100);
                    if (n < 18) continue;
                    Mac src{};
                    memcpy(src.data(), buff + 6, 6);
                    memcpy(answer + 14, buff + 14, 4);
                    s.Send(src, answer, sizeof(answer) - 4);
                }
            });
        });
        while (!ready_) std::this_thread::sleep_for(1ms);
        if (failed_ || !sock_.Open(lab.Veths[0], kEchoEtherType)) Die("raw echo: cannot open the sockets");
    }
    ~RawEcho() {
        stop_ = true;
        echo_.join();
    }
    double RoundTripUs() {
        uint8_t frame[64] = {}, buff[2048];
        const uint32_t tag = ++seq_;
        memcpy(frame + 14, &tag, sizeof(tag));
        const auto t0 = Clock::now();
        if (!sock_.Send(peer_, frame, 60)) Die("raw echo: send failed");
        ssize_t n;
        do n = sock_.Recv(buff, sizeof(buff), 500);
        while (n >= 18 && memcmp(buff + 14, &tag, sizeof(tag)) != 0);
        if (n < 0) Die("raw echo: a frame was lost");
        return Micros(Clock::now() - t0);
    }

  private:
    std::thread echo_;
    std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
    Mac peer_{};
    RawSocket sock_;
    uint32_t seq_ = 0;
};

// A second netlink socket of the test protocol that answers every message with a 13-byte NLK
// reply from a thread of its own: the netlink part of the bridge's path without the service.
class NetlinkEcho {
  public:
    NetlinkEcho() {
        fd_.reset(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, 2));
        sockaddr_nl self{};
        self.nl_family = AF_NETLINK;
        socklen_t len = sizeof(self);
        if (!fd_ || bind(fd_.get(), reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0 ||
            getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &len) != 0)
            Die("netlink echo: cannot open its socket");
        port_ = self.nl_pid;
        thread_ = std::thread([this] {
            uint8_t buff[4096];
            while (!stop_) {
                pollfd p{fd_.get(), POLLIN, 0};
                if (poll(&p, 1, 100) != 1) continue;
                sockaddr_nl from{};
                socklen_t flen = sizeof(from);
                const ssize_t n = recvfrom(fd_.get(), buff, sizeof(buff), 0, reinterpret_cast<sockaddr*>(&from), &flen);
                if (n < 16 + 12) continue;
                // The request's NLK header back with bit 15 of the code set and one payload byte.
                std::vector<uint8_t> reply(buff, buff + 16 + 12);
                reply[16 + 5] |= 0x80;
                reply[16 + 8] = 1;
                reply.push_back(0x5A);
                const uint32_t len32 = static_cast<uint32_t>(reply.size());
                memcpy(reply.data(), &len32, 4);
                reply.resize((reply.size() + 3) / 4 * 4, 0);
                sendto(fd_.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), flen);
            }
        });
    }
    ~NetlinkEcho() {
        stop_ = true;
        thread_.join();
    }
    uint32_t Port() const { return port_; }

  private:
    UniqueFd fd_;
    uint32_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string SimLine(SimProcess& sim, const std::string& line) {
    const std::string a = sim.Control(line);
    if (a.rfind("ok", 0) != 0) Die("qorsim: " + line + ": " + a);
    return a;
}

// qorsim's count and hash of what a UART channel received.
std::pair<uint64_t, std::string> SimTx(SimProcess& sim, uint8_t chl) {
    const std::string a = SimLine(sim, "uart-tx " + MacString(kUnit) + " " + std::to_string(chl));
    const auto b = a.find(" bytes="), h = a.find(" hash=");
    if (b == std::string::npos || h == std::string::npos) Die("qorsim: unexpected uart-tx answer " + a);
    return {std::stoull(a.substr(b + 7)), a.substr(h + 6, 16)};
}

struct Throughput {
    double MibPerSecond = 0;
    double SendSeconds = 0;  // until the last piece was taken by the netlink socket
    double Seconds = 0;      // until qorsim counted the last byte
    bool Verified = false;
};

// CPU time (user + system) of a process so far, in ms.
double CpuMs(pid_t pid) {
    auto stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return 0;
    const auto close = stat->rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream in(stat->substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Sends `total` bytes in pieces to one channel and waits until qorsim has them all.
Throughput Transmit(nlk::Driver& drv, SimProcess& sim, uint8_t minor, uint8_t chl, size_t piece, size_t total,
                    size_t window) {
    const uint64_t before = SimTx(sim, chl).first;
    SimLine(sim, "uart " + MacString(kUnit) + " " + std::to_string(chl) + " sink");
    std::vector<uint8_t> bytes(piece);
    size_t sent = 0, counted = 0;
    uint32_t counter = 0;
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a of everything sent, as qorsim keeps it
    const auto t0 = Clock::now();
    while (sent < total) {
        for (size_t i = 0; i < piece; ++i) bytes[i] = static_cast<uint8_t>((counter * 31 + i * 7) >> 1);
        ++counter;
        if (!drv.Send(nlk::Encode(minor, nlk::kDataToService, bytes))) Die("transmit: netlink send failed");
        hash = Fnv(hash, bytes.data(), bytes.size());
        sent += piece;
        // Like a driver that keeps to the unit's buffer: at most `window` bytes under way.
        if (sent - counted > window) {
            while (sent - counted > window / 2) counted = SimTx(sim, chl).first - before;
        }
    }
    const double sendSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t want = before + sent;
    uint64_t have = before;
    const auto deadline = Clock::now() + 20s;
    while (have < want && Clock::now() < deadline) {
        have = SimTx(sim, chl).first;
        if (have < want) std::this_thread::sleep_for(1ms);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Throughput t;
    t.MibPerSecond = static_cast<double>(sent) / (1 << 20) / seconds;
    t.SendSeconds = sendSeconds;
    t.Seconds = seconds;
    // The hash covers this channel's whole history, which starts with this run.
    char h[24];
    std::snprintf(h, sizeof(h), "%016llx", static_cast<unsigned long long>(hash));
    t.Verified = before == 0 && have == want && SimTx(sim, chl).second == h;
    if (have != want)
        std::fprintf(stderr, "transmit to channel %u: qorsim counted %llu of %llu bytes\n", chl,
                     static_cast<unsigned long long>(have - before), static_cast<unsigned long long>(sent));
    return t;
}

// The same bytes as frames of `frame` bytes from veth0 to p0 between two plain packet sockets.
double RawThroughput(const LabInfo& lab, size_t frame, size_t total, uint64_t* pLost) {
    std::atomic<uint64_t> received{0};
    std::atomic<bool> ready{false}, stop{false};
    Mac peer{};
    std::thread rx([&] {
        RunInNetns(lab.PeerPids[0], [&] {
            RawSocket s;
            if (!s.Open(lab.PeerIfs[0], kEchoEtherType, 8 << 20)) Die("raw throughput: receiver socket");
            peer = s.Own;
            ready = true;
            std::vector<uint8_t> buff(4096);
            while (!stop) {
                const ssize_t n = s.Recv(buff.data(), buff.size(), 50);
                if (n > 0) received += static_cast<uint64_t>(n);
            }
        });
    });
    while (!ready) std::this_thread::sleep_for(1ms);
    RawSocket tx;
    if (!tx.Open(lab.Veths[0], kEchoEtherType)) Die("raw throughput: sender socket");
    std::vector<uint8_t> buff(frame, 0x33);
    const uint64_t frames = (total + frame - 1) / frame, want = frames * frame;
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < frames; ++i)
        if (!tx.Send(peer, buff.data(), frame)) Die("raw throughput: send failed");
    const auto deadline = Clock::now() + 10s;
    while (received < want && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    stop = true;
    rx.join();
    *pLost = want - std::min<uint64_t>(want, received);
    // In the bytes a TTY piece carries, as the bridge's figure counts them.
    return static_cast<double>(received / frame * (frame - 14 - 8)) / (1 << 20) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 5000);
    const long mib = Option(argc, argv, "--mib", 32);
    const long windowKib = Option(argc, argv, "--window-kib", 1024);
    if (repetitions < 1 || mib < 1 || windowKib < 2)
        Die("usage: bench_tty [--repetitions N] [--mib N] [--window-kib N]");
    const size_t window = static_cast<size_t>(windowKib) << 10;
    auto daemon = StartService();
    const LabInfo lab = LabInfo::FromEnv();
    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids.at(0),
                   {"--unit", "ctu_uart_versions," + MacString(kUnit) + "," + lab.PeerIfs.at(0)}))
        Die("qorsim: " + sim.Error());
    mng::Client client = Connect();
    // Mapped, then connected: the UARTs get minors and TTY objects.
    std::map<uint8_t, uint8_t> minors;
    const auto deadline = Clock::now() + 10s;
    for (;;) {
        auto p = client.Request(mng::kVnMapping, mng::MacBytes(kUnit));
        auto list = p ? mng::DecodeMappingInfoList(p->Payload) : std::nullopt;
        if (p && p->Hdr.Status == mng::kSuccess && list && list->size() == 1) {
            for (const auto& [chl, minor] : list->front().Uarts) minors[chl] = minor;
            break;
        }
        if (Clock::now() > deadline) Die("the unit could not be mapped");
        std::this_thread::sleep_for(100ms);
    }
    auto connected = client.Request(mng::kVnConnect, mng::ConnectRecord(kUnit, 0));
    if (!connected || connected->Hdr.Status != mng::kSuccess) Die("the unit could not be connected");
    nlk::Driver drv;
    if (!drv.Open(2, 3)) Die("driver stand-in: " + drv.Error());
    drv.Target(static_cast<uint32_t>(daemon->Pid()));

    // (a) GET_MSR against the netlink echo and the raw veth round trip.
    const uint8_t v5 = minors.at(kChlV5);
    SimLine(sim, "reg " + MacString(kUnit) + " " + std::to_string(kChlV5) + " 2 0x5A");
    NetlinkEcho nlEcho;
    nlk::Driver echoDrv;
    if (!echoDrv.Open(2, 3)) Die("driver stand-in: " + echoDrv.Error());
    echoDrv.Target(nlEcho.Port());
    RawEcho raw(lab);
    std::vector<double> requestUs, netlinkUs, rawUs;
    unsigned long failures = 0;
    const long warmup = 200;
    for (long done = 0; done < warmup + repetitions; done += 100) {
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            auto reply = drv.Request(v5, nlk::kGetMsr, {}, 1s);
            const auto t = Clock::now() - t0;
            if (!reply || reply->Status != 0 || reply->Payload != std::vector<uint8_t>{0x5A}) {
                ++failures;
                continue;
            }
            if (done >= warmup) requestUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            auto reply = echoDrv.Request(v5, nlk::kGetMsr, {}, 1s);
            const auto t = Clock::now() - t0;
            if (!reply) Die("netlink echo: no answer");
            if (done >= warmup) netlinkUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            const double us = raw.RoundTripUs();
            if (done >= warmup) rawUs.push_back(us);
        }
    }
    Distribution("tty_get_msr_rtt", requestUs, "us");
    Distribution("netlink_echo_rtt", netlinkUs, "us");
    Distribution("veth_raw_rtt", rawUs, "us");
    const double baseline = Median(netlinkUs) + Median(rawUs);
    Figure("get_msr_to_baseline_sum_ratio_median", baseline > 0 ? Median(requestUs) / baseline : 0, "x", 2);
    Figure("get_msr_failures", static_cast<double>(failures), "count", 0);

    // (b) Sustained transmit.
    const size_t total = static_cast<size_t>(mib) << 20;
    bool verified = true;
    for (const auto& [chl, piece, name] : {std::tuple<uint8_t, size_t, const char*>{kChlV5, 1484, "v5_1484"},
                                           std::tuple<uint8_t, size_t, const char*>{kChlV2, 1020, "v2_1020"}}) {
        const double serviceCpu0 = CpuMs(daemon->Pid()), simCpu0 = CpuMs(sim.Pid());
        const Throughput t = Transmit(drv, sim, minors.at(chl), chl, piece, total, window);
        Figure(std::string("tty_transmit_") + name + "_send_loop", t.SendSeconds * 1000, "ms", 0);
        Figure(std::string("tty_transmit_") + name + "_until_counted", t.Seconds * 1000, "ms", 0);
        Figure(std::string("tty_transmit_") + name + "_service_cpu", CpuMs(daemon->Pid()) - serviceCpu0, "ms", 0);
        Figure(std::string("tty_transmit_") + name + "_qorsim_cpu", CpuMs(sim.Pid()) - simCpu0, "ms", 0);
        uint64_t lost = 0;
        const double rawRate = RawThroughput(lab, 14 + 8 + piece, total, &lost);
        Figure(std::string("tty_transmit_") + name, t.MibPerSecond, "MiB/s", 1);
        Figure(std::string("tty_transmit_") + name + "_verified", t.Verified ? 1 : 0, "bool", 0);
        Figure(std::string("raw_packet_") + name, rawRate, "MiB/s", 1);
        Figure(std::string("raw_packet_") + name + "_lost", static_cast<double>(lost), "bytes", 0);
        Figure(std::string("tty_to_raw_ratio_") + name, rawRate > 0 ? t.MibPerSecond / rawRate : 0, "x", 2);
        verified = verified && t.Verified;
    }
    return failures == 0 && verified ? 0 : 1;
}
