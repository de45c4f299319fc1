// bench_tlp_read: one TLP register read round trip, from VnTlpStreamOut until the answer is
// in the waiting object's slot and the waiter runs. Target: median within 3x the raw round
// trip of the same frames across the same veth pair.
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_tlp_read [options]
//
// How it measures. The service's modules run in this process (_InitProgFunc: NIC records,
// receive threads, search thread); qorsim plays one ctu_eight unit on p0 whose registers all
// hold distinct values. Once informed, the unit is connected with VnMainConnect. A consumer
// installed in VnTlpConsumers for every channel type stores each answer in the channel's slot
// and signals its condition, as channel objects do. A read locks the slot, sends the CMD read
// with VnTlpStreamOut and waits on the condition (500 ms deadline); it is timed from just
// before VnTlpStreamOut until the waiter holds a matching answer. Every answer must match the
// read's channel, TransactionID, Offset and LengthInDW and carry the expected words; a wrong
// answer ends the run.
//
// Baseline: a raw AF_PACKET socket on veth0 sends a frame of the read's size to an echo thread
// in the peer namespace, which answers with a frame of the answer's size (local EtherType the
// service and qorsim ignore). Both are measured in alternating blocks of 100, so both see the
// same machine load. The service path is one such round trip plus the receive thread's
// dispatch, the ACKs in both directions and one more thread wake-up.
//
// Options: --repetitions N (20000 of each), --warmup N (1000), --channel C (4, the DIO;
//          0..7), --words N (1; words per read, 1..64).
#include <atomic>
#include <stdexcept>

#include <optional>

#include "bench_link_common.h"

using namespace qorbench;
using namespace qortest;

namespace {

constexpr const char* kProgram = "bench_tlp_read";
constexpr uint16_t kEchoEtherType = 0x88B5;  // local experimental: the service and qorsim ignore it

// Raw round trips veth0 -> p0 -> veth0: requests of `out` bytes answered with `in` bytes.
class RawEcho {
  public:
    RawEcho(const LabInfo& lab, size_t out, size_t in) : out_(out), in_(in) {
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
                uint8_t buff[2048] = {}, answer[2048] = {};
                while (!stop_) {
                    const ssize_t n = s.Recv(buff, sizeof(buff), 100);
                    if (n < 18) continue;
                    Mac src{};
                    memcpy(src.data(), buff + 6, 6);
                    memcpy(answer + 14, buff + 14, 4);  // the sequence tag
                    s.Send(src, answer, in_);
                }
            });
        });
        while (!ready_) std::this_thread::sleep_for(1ms);
        if (failed_ || !sock_.Open(lab.Veths[0], kEchoEtherType))
            Fail(kProgram, "cannot open the echo sockets");
    }
    ~RawEcho() {
        stop_ = true;
        echo_.join();
    }
    double RoundTripUs() {
        uint8_t frame[2048] = {}, buff[2048];
        const uint32_t tag = ++seq_;
        memcpy(frame + 14, &tag, sizeof(tag));
        const auto t0 = Clock::now();
        if (!sock_.Send(peer_, frame, out_)) Fail(kProgram, "echo send failed");
        ssize_t n;
        do n = sock_.Recv(buff, sizeof(buff), 500);
        while (n >= 18 && memcmp(buff + 14, &tag, sizeof(tag)) != 0);
        if (n < 0) Fail(kProgram, "echo lost a frame");
        return MicrosOf(Clock::now() - t0);
    }

  private:
    size_t out_, in_;
    std::thread echo_;
    std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
    Mac peer_{};
    RawSocket sock_;
    uint32_t seq_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const Options opt(argc, argv,
                      "bench_tlp_read [--repetitions N] [--warmup N] [--channel 0..7] [--words 1..64]",
                      {{"--repetitions", 20000}, {"--warmup", 1000}, {"--channel", 4}, {"--words", 1}});
    const long repetitions = opt["--repetitions"], warmup = opt["--warmup"];
    const int channel = static_cast<int>(opt["--channel"]), words = static_cast<int>(opt["--words"]);
    if (repetitions < 1 || warmup < 0 || channel < 0 || channel >= kUnitChannels || words < 1 || words > 64)
        Fail(kProgram, "repetitions >= 1, warmup >= 0, channel 0..7, words 1..64");
    if (!InLab()) Fail(kProgram, "run it inside a lab: qorlab --veths 1 -- bench_tlp_read");
    const LabInfo lab = LabInfo::FromEnv();
    if (lab.Veths.empty() || lab.PeerPids.empty()) Fail(kProgram, "the lab needs a veth (qorlab --veths 1)");

    // Frame sizes on the wire: the read is an 8-byte TLP header, the answer adds the words;
    // Ethernet pads both to 60 bytes.
    const size_t requestFrame = 60;
    const size_t answerFrame =
        std::max<size_t>(60, 14 + kTlpWireHeaderLength + 4 * static_cast<size_t>(words));

    SimProcess sim;
    StartUnit(kProgram, sim, lab);
    SlotTable slots;
    if (!_InitProgFunc()) Fail(kProgram, "the service did not start");
    VnRef unit = ConnectInProcess(kProgram);
    slots.Unit = unit.get();
    // The slots take the unit's answers only once it is connected: the channel families that
    // start-up registers read their controllers through their own consumers while connecting.
    std::optional<SlotConsumers> consumers(std::in_place, &slots);
    RawEcho echo(lab, requestFrame, answerFrame);

    std::vector<double> readUs, rawUs;
    readUs.reserve(static_cast<size_t>(repetitions));
    rawUs.reserve(static_cast<size_t>(repetitions));
    unsigned long foreign = 0, timeouts = 0;
    uint8_t tid = 0;
    const long total = warmup + repetitions;
    for (long done = 0; done < total; done += 100) {
        for (int i = 0; i < 100; ++i) {
            Read r;
            r.Chl = static_cast<uint8_t>(channel);
            r.TransactionID = static_cast<uint8_t>(tid++ & 0x1F);  // 5 bits on the wire
            r.Offset = static_cast<uint8_t>((done + i) * 5 % (kRegisterWords - words + 1));
            if (r.Chl >= 1 && r.Chl <= 3 && r.Offset == 3) r.Offset = 4;  // older UARTs drop register 3
            r.LengthInDW = static_cast<uint8_t>(words);
            const auto t0 = Clock::now();
            const ReadResult result = ReadOnce(unit.get(), slots.Slots[channel], r, 500ms, &foreign);
            const auto t = Clock::now() - t0;
            if (result == ReadResult::kWrong) Fail(kProgram, "an answer carried the wrong words");
            if (result == ReadResult::kSendFail) Fail(kProgram, "VnTlpStreamOut refused the read");
            if (result == ReadResult::kTimeout) {
                ++timeouts;
                continue;
            }
            if (done >= warmup) readUs.push_back(MicrosOf(t));
        }
        for (int i = 0; i < 100; ++i) {
            const double us = echo.RoundTripUs();
            if (done >= warmup) rawUs.push_back(us);
        }
    }
    const unsigned listAtEnd = VnTlpQueueAmount(unit.get());
    const int connected = unit->IsConnectedByHost.load();
    consumers.reset();  // before start-up's teardown unregisters the families
    unit.reset();
    _FreeProgFunc();

    Figure("read_words", words, "words", 0);
    Figure("read_frame_bytes", static_cast<double>(requestFrame), "bytes", 0);
    Figure("answer_frame_bytes", static_cast<double>(answerFrame), "bytes", 0);
    Distribution("tlp_read_rtt", readUs, "us");
    Figure("tlp_read_rtt_max", Max(readUs), "us");
    Distribution("veth_raw_rtt", rawUs, "us");
    Figure("read_to_raw_ratio_median", Median(rawUs) > 0 ? Median(readUs) / Median(rawUs) : 0, "x", 2);
    Figure("read_to_raw_ratio_p99", P99(rawUs) > 0 ? P99(readUs) / P99(rawUs) : 0, "x", 2);
    Figure("samples", static_cast<double>(readUs.size()), "each", 0);
    Figure("timeouts", static_cast<double>(timeouts), "count", 0);
    Figure("foreign_answers", static_cast<double>(foreign), "count", 0);
    Figure("retransmission_list_at_end", listAtEnd, "records", 0);
    Figure("still_connected", connected, "bool", 0);
    return timeouts == 0 && connected == 1 ? 0 : 1;
}
