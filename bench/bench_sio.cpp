// bench_sio: the SIO channel server's SER family end to end, the real daemon with an SIO client
// (tests/support/qor_sio_client) on one side and qorsim on the other; the unit is connected,
// not mapped, so its UARTs are SER channels.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_sio [options]
//
// (a) Register command round trip. SER_CMD_GET_MSR on the version-5 UART, from the client's
//     send until the response is in and checked (code, status, the MSR byte qorsim holds): one
//     TCP hop in, a worker thread, one TLP read and its answer across the veth, one TCP hop out.
//     Baselines in alternating blocks of 100 in the same run: a loopback TCP echo of the same
//     sizes (12 bytes out, 13 back) and the raw veth round trip of a 60-byte frame echoed by a
//     thread in the peer namespace. Target: median within 3x the sum of the two medians.
//
// (b) Data throughput, every byte checked.
//     To the unit: SER_DATA_LIBRARY_TO_SERVICE messages of 1484 bytes to the version-5 UART
//     (one data TLP each) and of 1020 bytes to the version-2 UART (one transmit-window write
//     each), for --mib MiB each. qorsim's channel only counts and hashes (`uart ... sink`); its
//     byte count and FNV-1a hash must equal those of the bytes sent. Nothing in the protocol
//     paces a client and a unit takes in only so much at once (qorsim loses frames to a full
//     socket queue when it gets no CPU), so at most --window KiB are out that qorsim has not
//     counted (its count is read when the window is full). Throughput = bytes / time from the
//     first send until qorsim has counted them all. Baseline: AF_PACKET frames of the same size (14 + 8 + piece bytes) from veth0 to a
//     counting socket on p0, with the same window.
//     From the unit: the same channels in `loopback`, so every piece comes back as received data
//     (SER_DATA_SERVICE_TO_LIBRARY with its flag byte on version 5, SER_EVENT_DATA_SERVICE_TO_LIBRARY
//     on version 2); a reader thread compares every byte with what was sent, in order. At most
//     --loop-window KiB are out and not yet back (the service's packet socket has the default
//     receive queue, and a unit keeps no copies of its TLPs: a burst the NIC receive thread
//     cannot take in is lost for good). Throughput = bytes back / time. Baseline: the same
//     frames echoed by a thread on p0 back to veth0 with the same window.
//     Target: at least 80% of the baseline.
//
// Options: --repetitions N (5000 round trips of each), --mib N (16 per case), --window KiB (1024),
// --loop-window KiB (64).
#include <atomic>
#include <functional>
#include <tuple>

#include "bench_mng_common.h"
#include "bench_raw_socket.h"
#include "qor_sim.h"
#include "qor_sio_client.h"

using namespace qorbench;
using namespace qortest;

namespace {

const Mac kUnit = UnitMac(0x1A, 1);
constexpr uint8_t kChlV2 = 3, kChlV5 = 5;    // ctu_uart_versions
constexpr uint16_t kEchoEtherType = 0x88B5;  // local experimental: the service and qorsim ignore it
constexpr size_t kLinkOverhead = 14 + 8;     // Ethernet header and the TLP's link header

uint64_t Fnv(uint64_t h, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ull;
    }
    return h;
}

// Byte i of the test stream: never periodic at a piece size, so a lost or repeated piece shows.
uint8_t StreamByte(uint64_t i) {
    return static_cast<uint8_t>((i * 2654435761u) >> 13);
}

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

// A thread in the peer namespace with a packet socket on p0; `serve` runs there until stop.
class PeerSocket {
  public:
    PeerSocket(const LabInfo& lab, int rcvbuf, std::function<void(RawSocket&, const std::atomic<bool>&)> serve,
               uint16_t etherType = kEchoEtherType) {
        thread_ = std::thread([&lab, rcvbuf, serve, etherType, this] {
            RunInNetns(lab.PeerPids[0], [&] {
                RawSocket s;
                if (!s.Open(lab.PeerIfs[0], etherType, rcvbuf)) {
                    failed_ = true;
                    ready_ = true;
                    return;
                }
                peer_ = s.Own;
                ready_ = true;
                serve(s, stop_);
            });
        });
        while (!ready_) std::this_thread::sleep_for(1ms);
        if (failed_ || !sock_.Open(lab.Veths[0], kEchoEtherType, rcvbuf)) Die("raw socket: cannot open");
    }
    ~PeerSocket() {
        stop_ = true;
        thread_.join();
    }
    RawSocket& Own() { return sock_; }
    const Mac& Peer() const { return peer_; }

  private:
    std::thread thread_;
    std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
    Mac peer_{};
    RawSocket sock_;
};

// Sends every frame it receives back to its source.
void EchoFrames(RawSocket& s, const std::atomic<bool>& stop) {
    std::vector<uint8_t> buff(9216);
    while (!stop) {
        const ssize_t n = s.Recv(buff.data(), buff.size(), 50);
        if (n < 14) continue;
        Mac src{};
        memcpy(src.data(), buff.data() + 6, 6);
        s.Send(src, buff.data(), static_cast<size_t>(n));
    }
}

// One raw round trip of a 60-byte frame; its time.
double RawRoundTripUs(PeerSocket& echo, uint32_t tag) {
    uint8_t frame[64] = {}, buff[2048];
    memcpy(frame + 14, &tag, sizeof(tag));
    const auto t0 = Clock::now();
    if (!echo.Own().Send(echo.Peer(), frame, 60)) Die("raw echo: send failed");
    ssize_t n;
    do n = echo.Own().Recv(buff, sizeof(buff), 500);
    while (n >= 18 && memcmp(buff + 14, &tag, sizeof(tag)) != 0);
    if (n < 0) Die("raw echo: a frame was lost");
    return Micros(Clock::now() - t0);
}

struct Rate {
    double MibPerSecond = 0;
    bool Verified = false;
};

// (b) to the unit: `total` bytes in pieces to one channel in sink mode. Nothing in the
// protocol paces a client, and a unit takes in only so much at once, so at most `window` bytes
// are out that qorsim has not counted yet (its count is read when the window is full).
Rate Transmit(sio::Client& c, SimProcess& sim, uint8_t chl, size_t piece, size_t total, size_t window) {
    SimLine(sim, "uart " + MacString(kUnit) + " " + std::to_string(chl) + " sink");
    if (SimTx(sim, chl).first != 0) Die("transmit: the channel counted bytes before the run");
    std::vector<uint8_t> bytes(piece);
    uint64_t hash = 0xcbf29ce484222325ull, at = 0, have = 0;
    const auto t0 = Clock::now();
    auto progress = t0;
    while (at < total) {
        while (at - have + piece > window) {
            const uint64_t now = SimTx(sim, chl).first;
            if (now != have) progress = Clock::now();
            have = now;
            if (Clock::now() - progress > 2s) {
                std::fprintf(stderr, "transmit to channel %u: qorsim stopped at %llu of %llu bytes sent\n", chl,
                             static_cast<unsigned long long>(have), static_cast<unsigned long long>(at));
                return {};
            }
        }
        for (size_t i = 0; i < piece; ++i) bytes[i] = StreamByte(at + i);
        hash = Fnv(hash, bytes.data(), piece);
        if (!c.SendRaw(sio::Encode(sio::kSer, chl, sio::kSerDataToService, bytes))) Die("transmit: " + c.Error());
        at += piece;
    }
    const auto deadline = Clock::now() + 5s;
    while (have < at && Clock::now() < deadline) have = SimTx(sim, chl).first;
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    char h[24];
    std::snprintf(h, sizeof(h), "%016llx", static_cast<unsigned long long>(hash));
    Rate r;
    r.MibPerSecond = static_cast<double>(have) / (1 << 20) / seconds;
    r.Verified = have == at && SimTx(sim, chl).second == h;
    if (have != at)
        std::fprintf(stderr, "transmit to channel %u: qorsim counted %llu of %llu bytes\n", chl,
                     static_cast<unsigned long long>(have), static_cast<unsigned long long>(at));
    return r;
}

// (b) from the unit: pieces sent to a channel in loopback come back as received data; a reader
// thread checks every byte in order. At most `window` bytes are out at once.
Rate Loopback(sio::Client& c, SimProcess& sim, uint8_t chl, size_t piece, size_t total, size_t window) {
    SimLine(sim, "uart " + MacString(kUnit) + " " + std::to_string(chl) + " loopback");
    total = (total + piece - 1) / piece * piece;
    std::atomic<uint64_t> back{0};
    std::atomic<bool> wrong{false}, done{false};
    std::string why;
    // Version 5 returns data messages with a flag byte in front; version 2 data events of whole
    // words (1020-byte pieces are whole words, so nothing is padded).
    const bool v5 = chl == kChlV5;
    std::thread reader([&] {
        uint64_t at = 0;
        while (at < total && !wrong) {
            auto m = c.ReadMessage(5s);
            if (!m) {
                why = "no data for 5 s after " + std::to_string(at) + " bytes: " + c.Error();
                wrong = true;
                break;
            }
            const uint16_t code = v5 ? sio::kSerDataToLibrary : sio::kSerEventData;
            const size_t skip = v5 ? 1 : 0;
            if (m->Hdr.Code != code || m->Hdr.Channel != chl || m->Payload.size() < skip + 1 ||
                (v5 && m->Payload[0] != 0)) {
                why = "unexpected message " + sio::Describe(*m);
                wrong = true;
                break;
            }
            for (size_t i = skip; i < m->Payload.size(); ++i, ++at) {
                if (m->Payload[i] != StreamByte(at)) {
                    why = "byte " + std::to_string(at) + " differs";
                    wrong = true;
                    break;
                }
            }
            back = at;
        }
        done = true;
    });
    std::vector<uint8_t> bytes(piece);
    uint64_t at = 0;
    const auto t0 = Clock::now();
    while (at < total && !wrong) {
        if (at - back.load() + piece > window) {
            std::this_thread::yield();
            continue;
        }
        for (size_t i = 0; i < piece; ++i) bytes[i] = StreamByte(at + i);
        if (!c.SendRaw(sio::Encode(sio::kSer, chl, sio::kSerDataToService, bytes))) Die("loopback: " + c.Error());
        at += piece;
    }
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    if (wrong) std::fprintf(stderr, "loopback on channel %u: %s\n", chl, why.c_str());
    SimLine(sim, "uart " + MacString(kUnit) + " " + std::to_string(chl) + " sink");
    return {static_cast<double>(back.load()) / (1 << 20) / seconds, !wrong && back.load() == total};
}

// Baseline of Transmit: frames of `frame` bytes from veth0 to a counting socket on p0, with
// the same window, in the bytes of data they stand for.
double RawTransmit(const LabInfo& lab, size_t frame, size_t total, size_t window) {
    std::atomic<uint64_t> received{0};
    PeerSocket peer(lab, 8 << 20, [&](RawSocket& s, const std::atomic<bool>& stop) {
        std::vector<uint8_t> buff(9216);
        while (!stop) {
            const ssize_t n = s.Recv(buff.data(), buff.size(), 50);
            if (n > 0) received += static_cast<uint64_t>(n);
        }
    });
    std::vector<uint8_t> buff(frame, 0x33);
    const size_t piece = frame - kLinkOverhead;
    const uint64_t frames = (total + piece - 1) / piece, want = frames * frame;
    const auto t0 = Clock::now();
    for (uint64_t i = 0; i < frames; ++i) {
        while ((i + 1) * frame - received.load() > window / piece * frame) std::this_thread::yield();
        if (!peer.Own().Send(peer.Peer(), buff.data(), frame)) Die("raw transmit: send failed");
    }
    const auto deadline = Clock::now() + 5s;
    while (received < want && Clock::now() < deadline) std::this_thread::yield();
    if (received < want) Die("raw transmit: frames were lost");
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return static_cast<double>(frames * piece) / (1 << 20) / seconds;
}

// Baseline of Loopback: the frames echoed by p0 back to veth0, the same window.
double RawLoopback(const LabInfo& lab, size_t frame, size_t total, size_t window) {
    PeerSocket echo(lab, 8 << 20, EchoFrames);
    const size_t piece = frame - kLinkOverhead;
    const uint64_t frames = (total + piece - 1) / piece;
    std::vector<uint8_t> out(frame, 0x44), in(9216);
    uint64_t sent = 0, back = 0;
    const auto t0 = Clock::now();
    while (back < frames) {
        while (sent < frames && (sent - back + 1) * piece <= window) {
            if (!echo.Own().Send(echo.Peer(), out.data(), frame)) Die("raw loopback: send failed");
            ++sent;
        }
        const ssize_t n = echo.Own().Recv(in.data(), in.size(), 1000);
        if (n < 0) Die("raw loopback: a frame was lost");
        if (static_cast<size_t>(n) == frame) ++back;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return static_cast<double>(back * piece) / (1 << 20) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 5000);
    const long mib = Option(argc, argv, "--mib", 16);
    const long windowKib = Option(argc, argv, "--window", 1024);
    const long loopWindowKib = Option(argc, argv, "--loop-window", 64);
    if (repetitions < 1 || mib < 1 || windowKib < 2 || loopWindowKib < 2)
        Die("usage: bench_sio [--repetitions N] [--mib N] [--window KiB] [--loop-window KiB]");
    auto daemon = StartService();
    const LabInfo lab = LabInfo::FromEnv();
    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids.at(0),
                   {"--unit", "ctu_uart_versions," + MacString(kUnit) + "," + lab.PeerIfs.at(0)}))
        Die("qorsim: " + sim.Error());
    mng::Client client = Connect();
    uint16_t port = 0;
    for (const auto deadline = Clock::now() + 10s; port == 0;) {
        auto p = client.Request(mng::kVnConnect, mng::ConnectRecord(kUnit, 0));
        auto r = p ? mng::DecodeConnectResult(p->Payload) : std::nullopt;
        if (p && p->Hdr.Status == mng::kSuccess && r) port = static_cast<uint16_t>(r->SioPort);
        if (port == 0 && Clock::now() > deadline) Die("the unit could not be connected with an SIO port");
        if (port == 0) std::this_thread::sleep_for(100ms);
    }
    sio::Client sioClient;
    for (const auto deadline = Clock::now() + 2s; !sioClient.Connect(port);) {
        if (Clock::now() > deadline) Die("SIO connect: " + sioClient.Error());
        std::this_thread::sleep_for(10ms);
    }

    // (a) GET_MSR against the loopback TCP echo and the raw veth round trip.
    SimLine(sim, "reg " + MacString(kUnit) + " " + std::to_string(kChlV5) + " 2 0x5A");
    const sio::Message want = sio::Make(sio::kSer, kChlV5, sio::kSerGetMsr | sio::kResponseBit, 0, {0x5A});
    TcpEcho tcp(12, 13);
    PeerSocket raw(lab, 0, EchoFrames);
    std::vector<double> requestUs, tcpUs, rawUs;
    unsigned long failures = 0;
    uint32_t tag = 0;
    const long warmup = 200;
    for (long done = 0; done < warmup + repetitions; done += 100) {
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            auto m = sioClient.Request(sio::kSer, kChlV5, sio::kSerGetMsr, {}, 1s);
            const auto t = Clock::now() - t0;
            if (!m || *m != want) {
                ++failures;
                continue;
            }
            if (done >= warmup) requestUs.push_back(Micros(t));
        }
        for (int i = 0; i < 100; ++i) {
            const double us = Micros(tcp.RoundTrip());
            if (done >= warmup) tcpUs.push_back(us);
        }
        for (int i = 0; i < 100; ++i) {
            const double us = RawRoundTripUs(raw, ++tag);
            if (done >= warmup) rawUs.push_back(us);
        }
    }
    Distribution("ser_get_msr_rtt", requestUs, "us");
    Distribution("tcp_echo_rtt", tcpUs, "us");
    Distribution("veth_raw_rtt", rawUs, "us");
    const double baseline = Median(tcpUs) + Median(rawUs);
    Figure("get_msr_to_baseline_sum_ratio_median", baseline > 0 ? Median(requestUs) / baseline : 0, "x", 2);
    Figure("get_msr_failures", static_cast<double>(failures), "count", 0);

    // (b) Data both ways.
    const size_t total = static_cast<size_t>(mib) << 20, window = static_cast<size_t>(windowKib) << 10,
                 loopWindow = static_cast<size_t>(loopWindowKib) << 10;
    bool verified = true;
    for (const auto& [chl, piece, name] : {std::tuple<uint8_t, size_t, const char*>{kChlV5, 1484, "v5_1484"},
                                           std::tuple<uint8_t, size_t, const char*>{kChlV2, 1020, "v2_1020"}}) {
        const size_t frame = kLinkOverhead + piece;
        const Rate tx = Transmit(sioClient, sim, chl, piece, total, window);
        const double rawTx = RawTransmit(lab, frame, total, window);
        Figure(std::string("ser_to_unit_") + name, tx.MibPerSecond, "MiB/s", 1);
        Figure(std::string("ser_to_unit_") + name + "_verified", tx.Verified ? 1 : 0, "bool", 0);
        Figure(std::string("raw_to_peer_") + name, rawTx, "MiB/s", 1);
        Figure(std::string("ser_to_unit_to_raw_ratio_") + name, rawTx > 0 ? tx.MibPerSecond / rawTx : 0, "x", 2);

        const Rate rx = Loopback(sioClient, sim, chl, piece, total, loopWindow);
        const double rawRx = RawLoopback(lab, frame, total, loopWindow);
        Figure(std::string("ser_loopback_") + name, rx.MibPerSecond, "MiB/s", 1);
        Figure(std::string("ser_loopback_") + name + "_verified", rx.Verified ? 1 : 0, "bool", 0);
        Figure(std::string("raw_echo_") + name, rawRx, "MiB/s", 1);
        Figure(std::string("ser_loopback_to_raw_ratio_") + name, rawRx > 0 ? rx.MibPerSecond / rawRx : 0, "x", 2);
        verified = verified && tx.Verified && rx.Verified;
    }
    return failures == 0 && verified ? 0 : 1;
}
