// bench_lib_ser: libqorio's SER API end to end, through the real daemon to qorsim, against the
// same traffic from a bare SIO client (tests/support/qor_sio_client) in the same run. The SIO
// server takes one client per unit, so qorsim plays two units of the same profile: the library
// holds unit A's SIO connection, the bare client unit B's.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_lib_ser [options]
//
// (a) Register call round trip: ser_get_msr on A's version-5 UART (the call, its send, the
//     receive thread's hand-over and the wake-up of the caller) against SER_CMD_GET_MSR sent and
//     read back by the bare client on B, in alternating blocks of 100; every answer is checked.
//     Target: library median within 1.5x the bare median.
// (b) ser_write to data-event throughput: the version-5 UART in `loopback`, 1024-byte pieces
//     (the most ser_write takes) with at most --window KiB out and not yet back; the data-event
//     callback checks every byte in order. Baseline: the bare client on B, same pieces, same
//     window, reading SER_DATA_SERVICE_TO_LIBRARY itself. Throughput = bytes back / time.
//
// Options: --repetitions N (3000 round trips of each), --mib N (8), --window KiB (64).
#include <qorio.h>

#include <atomic>

#include "bench_mng_common.h"
#include "qor_sim.h"
#include "qor_sio_client.h"

using namespace qorbench;
using namespace qortest;

namespace {

const Mac kUnitA = UnitMac(0x1B, 1), kUnitB = UnitMac(0x1B, 2);
constexpr int kChl = 5;  // ctu_uart_versions: the version-5 UART
constexpr size_t kPiece = 1024;

uint8_t StreamByte(uint64_t i) { return static_cast<uint8_t>((i * 2654435761u) >> 13); }

std::string SimLine(SimProcess& sim, const std::string& line) {
    const std::string a = sim.Control(line);
    if (a.rfind("ok", 0) != 0) Die("qorsim: " + line + ": " + a);
    return a;
}

// Bytes back through the library's data-event callback, checked in order.
std::atomic<uint64_t> gBack{0};
std::atomic<bool> gWrong{false};
void OnData(uint8_t*, int, uint8_t* pairs, int count) {
    uint64_t at = gBack.load();
    for (int i = 0; i < count; ++i, ++at) {
        if (pairs[2 * i] != StreamByte(at)) gWrong = true;
    }
    gBack = at;
}

double LibraryLoopback(uint8_t* mac, size_t total, size_t window) {
    std::vector<uint8_t> bytes(kPiece);
    uint64_t at = 0;
    gBack = 0;
    const auto t0 = Clock::now();
    auto progress = t0;
    uint64_t seen = 0;
    while ((at < total || gBack.load() < at) && !gWrong) {
        if (gBack.load() != seen) {
            seen = gBack.load();
            progress = Clock::now();
        }
        if (Clock::now() - progress > 5s) Die("library loopback: no data for 5 s after " + std::to_string(seen));
        if (at >= total || at - gBack.load() + kPiece > window) {
            std::this_thread::yield();
            continue;
        }
        for (size_t i = 0; i < kPiece; ++i) bytes[i] = StreamByte(at + i);
        const unsigned rc = ser_write(mac, kChl, bytes.data(), static_cast<int>(kPiece));
        if (rc != 0) Die("ser_write: " + std::to_string(rc));
        at += kPiece;
    }
    if (gWrong) Die("library loopback: a byte came back wrong");
    return static_cast<double>(gBack.load()) / (1 << 20) / std::chrono::duration<double>(Clock::now() - t0).count();
}

double BareLoopback(sio::Client& c, size_t total, size_t window) {
    std::vector<uint8_t> bytes(kPiece);
    uint64_t at = 0, back = 0;
    const auto t0 = Clock::now();
    while (back < total) {
        while (at < total && at - back + kPiece <= window) {
            for (size_t i = 0; i < kPiece; ++i) bytes[i] = StreamByte(at + i);
            if (!c.SendRaw(sio::Encode(sio::kSer, kChl, sio::kSerDataToService, bytes))) Die("bare: " + c.Error());
            at += kPiece;
        }
        auto m = c.ReadMessage(5s);
        if (!m) Die("bare loopback: no data for 5 s after " + std::to_string(back));
        if (m->Hdr.Code != sio::kSerDataToLibrary || m->Payload.empty()) continue;
        for (size_t i = 1; i < m->Payload.size(); ++i, ++back) {
            if (m->Payload[i] != StreamByte(back)) Die("bare loopback: byte " + std::to_string(back) + " differs");
        }
    }
    return static_cast<double>(back) / (1 << 20) / std::chrono::duration<double>(Clock::now() - t0).count();
}

uint32_t ConnectUnit(mng::Client& client, const Mac& mac) {
    for (const auto deadline = Clock::now() + 10s;;) {
        auto p = client.Request(mng::kVnConnect, mng::ConnectRecord(mac, 0));
        auto r = p ? mng::DecodeConnectResult(p->Payload) : std::nullopt;
        if (p && p->Hdr.Status == mng::kSuccess && r && r->SioPort != 0) return r->SioPort;
        if (Clock::now() > deadline) Die("the unit could not be connected with an SIO port");
        std::this_thread::sleep_for(100ms);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const long repetitions = Option(argc, argv, "--repetitions", 3000);
    const long mib = Option(argc, argv, "--mib", 8);
    const long windowKib = Option(argc, argv, "--window", 64);
    if (repetitions < 1 || mib < 1 || windowKib < 2) Die("usage: bench_lib_ser [--repetitions N] [--mib N] [--window KiB]");
    auto daemon = StartService();
    const LabInfo lab = LabInfo::FromEnv();
    SimProcess sim;
    if (!sim.Start(QORSIM_PATH, lab.PeerPids.at(0),
                   {"--unit", "ctu_uart_versions," + MacString(kUnitA) + "," + lab.PeerIfs.at(0), "--unit",
                    "ctu_uart_versions," + MacString(kUnitB) + "," + lab.PeerIfs.at(0)}))
        Die("qorsim: " + sim.Error());
    mng::Client client = Connect();
    const uint32_t portA = ConnectUnit(client, kUnitA), portB = ConnectUnit(client, kUnitB);
    Mac a = kUnitA;
    if (vn_lib_init() != 0) Die("vn_lib_init failed");
    if (const unsigned rc = sio_init(a.data(), portA); rc != 0) Die("sio_init: " + std::to_string(rc));
    sio::Client bare;
    // The unit's server listens a moment after the connect reported its port.
    for (const auto deadline = Clock::now() + 2s; !bare.Connect(static_cast<uint16_t>(portB));) {
        if (Clock::now() > deadline) Die("SIO connect: " + bare.Error());
        std::this_thread::sleep_for(10ms);
    }
    uint8_t info[SER_INFO_SIZE];
    if (ser_open(a.data(), kChl, info) != 0 || !bare.Ser(kChl, sio::kSerOpen)) Die("ser_open failed");
    for (const Mac& m : {kUnitA, kUnitB}) SimLine(sim, "reg " + MacString(m) + " " + std::to_string(kChl) + " 2 0x5A");

    std::vector<double> libUs, bareUs;
    const long warmup = 200;
    for (long done = 0; done < warmup + repetitions; done += 100) {
        for (int i = 0; i < 100; ++i) {
            uint8_t msr = 0;
            const auto t0 = Clock::now();
            const unsigned rc = ser_get_msr(a.data(), kChl, &msr);
            const double us = Micros(Clock::now() - t0);
            if (rc != 0 || msr != 0x5A) Die("ser_get_msr: " + std::to_string(rc));
            if (done >= warmup) libUs.push_back(us);
        }
        for (int i = 0; i < 100; ++i) {
            const auto t0 = Clock::now();
            auto m = bare.Ser(kChl, sio::kSerGetMsr);
            const double us = Micros(Clock::now() - t0);
            if (!m || m->Hdr.Status != 0 || m->Payload != std::vector<uint8_t>{0x5A}) Die("bare GET_MSR failed");
            if (done >= warmup) bareUs.push_back(us);
        }
    }
    Distribution("lib_ser_get_msr_round_trip", libUs, "us");
    Distribution("bare_sio_get_msr_round_trip", bareUs, "us");
    Figure("lib_ser_round_trip_ratio_median", Median(libUs) / Median(bareUs), "x", 2);

    if (ser_set_data_event_callback(a.data(), kChl, OnData) != 0) Die("ser_set_data_event_callback failed");
    for (const Mac& m : {kUnitA, kUnitB}) SimLine(sim, "uart " + MacString(m) + " " + std::to_string(kChl) + " loopback");
    const size_t total = static_cast<size_t>(mib) << 20, window = static_cast<size_t>(windowKib) << 10;
    const double lib = LibraryLoopback(a.data(), total, window);
    const double raw = BareLoopback(bare, total, window);
    Figure("lib_ser_write_to_data_event", lib, "MiB/s", 2);
    Figure("bare_sio_data_loopback", raw, "MiB/s", 2);
    Figure("lib_ser_data_ratio", lib / raw, "x", 2);
    sio_free(a.data());
    vn_lib_free();
    return 0;
}
