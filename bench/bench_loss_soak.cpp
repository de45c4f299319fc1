// bench_loss_soak: a connected unit under a steady stream of register reads while qorsim loses
// 5 % of the frames in each direction, for a minute. It checks that the link holds (no
// teardown), that no read is answered with another read's data, that the retransmission list
// stays within its bound, and that nothing leaks. Not part of ctest (it takes a minute).
//
// Run inside a lab:  qorlab --veths 1 -- build/default/bench/bench_loss_soak [options]
//
// How it works. The service's modules run in this process (_InitProgFunc); qorsim plays one
// ctu_eight unit on p0 whose registers all hold distinct values (channel and offset encoded
// in each word), and the unit is connected with VnMainConnect. Then qorsim's `loss` drops
// RX % and TX % of the unit's frames (seeded), and one reader thread per channel reads
// registers one exchange at a time, as a channel object does: a slot per channel filled by a
// consumer in VnTlpConsumers, the read sent with VnTlpStreamOut, a 500 ms wait. Offset and
// LengthInDW vary (1..16 words, reads that run past register 255 get fewer words); an answer
// counts only when channel, TransactionID, Offset and LengthInDW match, and then its words must
// be exactly the registers asked for ("wrong" otherwise). Answers of other reads (late, or a
// resent older read) are counted as foreign and waited past. Every --nak-every ms qorsim NAKs
// the next TLP it receives, so the service's resend path runs under loss too.
//
// Counted from outside the service: a tap on p0 sees every frame the service sends (before
// qorsim's receive loss): a TLP whose bytes equal the last TLP sent with that number is a
// resend; one equal to an earlier TLP with that number but not the last is a stale resend (the
// service resent an older record than the one the NAK named). NAKs sent by the service and by
// the unit, qorsim's `show` counters (connects, lost frames), the largest retransmission list
// seen (VnTlpQueueAmount sampled every 10 ms), teardowns (the disconnect event hook and the
// record's IsConnectedByHost sampled), threads and file descriptors of this process before
// _InitProgFunc and after _FreeProgFunc.
//
// Exit status 1 on a teardown, a wrong answer, a stale resend, a refused send, a retransmission
// list beyond its bound, a failed final disconnect, or more threads or descriptors after than
// before.
//
// Options: --seconds S (60), --loss P (5, percent in each direction), --seed N (1),
//          --timeout-ms MS (500), --nak-every MS (250; 0: no NAKs), --max-words N (16).
#include <linux/if_ether.h>

#include <atomic>
#include <deque>
#include <map>
#include <random>
#include <sstream>

#include <optional>

#include "bench_link_common.h"
#include "vn_unit_services.h"

using namespace qorbench;
using namespace qortest;

namespace {

constexpr const char* kProgram = "bench_loss_soak";

// Counts the link frames on p0 by kind, in a thread that has joined the peer namespace.
class CountingTap {
  public:
    CountingTap(const LabInfo& lab, Mac host) : host_(host) {
        thread_ = std::thread([this, &lab] {
            RunInNetns(lab.PeerPids[0], [this, &lab] {
                RawSocket s;
                // ETH_P_ALL: frames qorsim sends reach only taps of every protocol.
                if (!s.Open(lab.PeerIfs[0], ETH_P_ALL, 8 << 20)) {
                    failed_ = true;
                    ready_ = true;
                    return;
                }
                ready_ = true;
                Run(s);
                drops_ = s.Drops();
            });
        });
        while (!ready_) std::this_thread::sleep_for(1ms);
        if (failed_) Fail(kProgram, "cannot open the tap on the peer interface");
    }
    ~CountingTap() { Stop(); }
    void Stop() {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
    }

    std::atomic<unsigned long> HostTlps{0}, Resends{0}, StaleResends{0}, HostNaks{0}, HostAcks{0},
        UnitNaks{0}, UnitAcks{0};
    unsigned long Drops() const { return drops_; }

  private:
    void Run(RawSocket& s) {
        uint8_t buff[9000];
        // The last few TLPs sent with each sequence number (their place in the stream and
        // bytes), newest last.
        std::vector<std::deque<std::pair<unsigned long, std::vector<uint8_t>>>> history(1024);
        while (!stop_) {
            int type = 0;
            const ssize_t n = s.Recv(buff, sizeof(buff), 100, true, &type);
            if (n < 18 || ((buff[12] << 8) | buff[13]) != qortest::kLinkEtherType) continue;
            const bool fromHost = memcmp(buff + 6, host_.data(), 6) == 0;
            const uint8_t* link = buff + 14;
            if (link[0] == 0x20) {
                const uint8_t code = link[1] & 0x1F;
                if (code == 0) ++(fromHost ? HostAcks : UnitAcks);
                if (code == 1) ++(fromHost ? HostNaks : UnitNaks);
                continue;
            }
            if (link[0] != 0x10 || !fromHost || n < 22) continue;
            const unsigned long index = HostTlps++;
            const uint16_t seq = static_cast<uint16_t>((link[1] << 2) | (link[2] >> 6));
            std::vector<uint8_t> tlp(link, link + (n - 14));
            auto& h = history[seq];
            if (!h.empty() && h.back().second == tlp) {
                ++Resends;
                continue;
            }
            bool stale = false;
            for (const auto& [at, bytes] : h) {
                if (bytes != tlp) continue;
                stale = true;
                if (StaleResends < 5)
                    std::fprintf(
                        stderr,
                        "%s: stale resend of number %u: the TLP sent %lu TLPs ago went out again, not the "
                        "one sent %lu TLPs ago\n",
                        kProgram, seq, index - at, index - h.back().first);
                break;
            }
            if (stale) {
                ++Resends;
                ++StaleResends;
                continue;
            }
            h.emplace_back(index, std::move(tlp));
            if (h.size() > 4) h.pop_front();
        }
    }

    Mac host_;
    std::thread thread_;
    std::atomic<bool> ready_{false}, failed_{false}, stop_{false};
    unsigned long drops_ = 0;
};

// "key=value" from qorsim's show line; the value up to the next space.
std::string ShowValue(const std::string& line, const std::string& key) {
    const size_t at = line.find(" " + key + "=");
    if (at == std::string::npos) return "";
    const size_t from = at + key.size() + 2;
    return line.substr(from, line.find(' ', from) - from);
}
unsigned long ShowNumber(const std::string& line, const std::string& key) {
    return std::strtoul(ShowValue(line, key).c_str(), nullptr, 10);
}

struct Tally {
    std::atomic<unsigned long> Sent{0}, Answered{0}, TimedOut{0}, Wrong{0}, SendFail{0}, Foreign{0};
    std::mutex Mutex;
    std::vector<double> AnsweredUs;
};

std::atomic<unsigned long> gDisconnectEvents{0};
void (*gPreviousDisconnectEvent)(PVN_DEVICE) = nullptr;
void CountDisconnectEvent(PVN_DEVICE pVn) {
    ++gDisconnectEvents;
    if (gPreviousDisconnectEvent) gPreviousDisconnectEvent(pVn);
}

// ctu_eight.prof: the control unit on channel 0, UARTs on 1..3.
bool IsUartChannel(int chl) {
    return chl >= 1 && chl <= 3;
}
bool IsControlUnitChannel(int chl) {
    return chl == 0;
}

void Reader(PVN_DEVICE unit, ReadSlot& slot, int chl, long maxWords, Clock::duration timeout,
            const std::atomic<bool>& stop, Tally& tally) {
    std::mt19937 rng(static_cast<unsigned>(chl) * 7919u + 17u);
    std::vector<double> us;
    unsigned long foreign = 0;
    uint8_t tid = 0;
    while (!stop) {
        Read r;
        r.Chl = static_cast<uint8_t>(chl);
        r.TransactionID = static_cast<uint8_t>(tid++ & 0x1F);
        r.Offset = static_cast<uint8_t>(rng() % kRegisterWords);
        // Older UART controllers answer register 3 with an echo that the service drops.
        if (IsUartChannel(chl) && r.Offset == 3) r.Offset = 4;
        // A control unit answers reads of register 9 from its item FIFO, not its register file.
        if (IsControlUnitChannel(chl) && r.Offset == 9) r.Offset = 10;
        r.LengthInDW = static_cast<uint8_t>(1 + rng() % static_cast<unsigned>(maxWords));
        ++tally.Sent;
        const auto t0 = Clock::now();
        switch (ReadOnce(unit, slot, r, timeout, &foreign)) {
            case ReadResult::kAnswered:
                ++tally.Answered;
                us.push_back(MicrosOf(Clock::now() - t0));
                break;
            case ReadResult::kTimeout:
                ++tally.TimedOut;
                break;
            case ReadResult::kWrong: {
                ++tally.Wrong;
                std::lock_guard<std::mutex> lock(slot.Mutex);
                std::fprintf(stderr, "%s: wrong answer to chl %d tid %d offset %d length %d:", kProgram, chl,
                             r.TransactionID, r.Offset, r.LengthInDW);
                for (size_t i = 0; i < slot.Length && i < 48; ++i)
                    std::fprintf(stderr, " %02x", slot.Buff[i]);
                std::fprintf(stderr, "\n");
                break;
            }
            case ReadResult::kSendFail:
                ++tally.SendFail;
                std::this_thread::sleep_for(10ms);
                break;
        }
    }
    tally.Foreign += foreign;
    std::lock_guard<std::mutex> lock(tally.Mutex);
    tally.AnsweredUs.insert(tally.AnsweredUs.end(), us.begin(), us.end());
}

}  // namespace

int main(int argc, char** argv) {
    const Options opt(
        argc, argv,
        "bench_loss_soak [--seconds S] [--loss P] [--seed N] [--timeout-ms MS] [--nak-every MS] "
        "[--max-words N]",
        {{"--seconds", 60},
         {"--loss", 5},
         {"--seed", 1},
         {"--timeout-ms", 500},
         {"--nak-every", 250},
         {"--max-words", 16}});
    const long seconds = opt["--seconds"], loss = opt["--loss"], seed = opt["--seed"];
    const long timeoutMs = opt["--timeout-ms"], nakEvery = opt["--nak-every"], maxWords = opt["--max-words"];
    if (seconds < 1 || loss < 0 || loss > 100 || seed < 0 || timeoutMs < 1 || nakEvery < 0 || maxWords < 1 ||
        maxWords > 255)
        Fail(kProgram,
             "seconds >= 1, loss 0..100, seed >= 0, timeout-ms >= 1, nak-every >= 0, max-words 1..255");
    if (!InLab()) Fail(kProgram, "run it inside a lab: qorlab --veths 1 -- bench_loss_soak");
    const LabInfo lab = LabInfo::FromEnv();
    if (lab.Veths.empty() || lab.PeerPids.empty()) Fail(kProgram, "the lab needs a veth (qorlab --veths 1)");
    const auto hostMac = ReadIfMac(lab.Veths[0]);
    if (!hostMac) Fail(kProgram, "no MAC on " + lab.Veths[0]);
    const std::string unitMac = MacString(kUnitMac);

    CountingTap tap(lab, *hostMac);
    SimProcess sim;
    StartUnit(kProgram, sim, lab);
    SlotTable slots;
    const int threadsBefore = CountEntries("/proc/self/task");
    const int fdsBefore = CountEntries("/proc/self/fd");

    if (!_InitProgFunc()) Fail(kProgram, "the service did not start");
    gPreviousDisconnectEvent = VnUnitServices.DisconnectEvent;
    VnUnitServices.DisconnectEvent = CountDisconnectEvent;
    VnRef unit = ConnectInProcess(kProgram);
    slots.Unit = unit.get();
    // The slots take the unit's answers only once it is connected: the channel families that
    // start-up registers read their controllers through their own consumers while connecting.
    std::optional<SlotConsumers> consumers(std::in_place, &slots);
    const std::string showBefore = sim.Control("show " + unitMac);

    if (!sim.Ok("loss " + unitMac + " " + std::to_string(loss) + " " + std::to_string(loss) + " " +
                std::to_string(seed)))
        Fail(kProgram, "qorsim loss: " + sim.LastAnswer());
    Tally tally;
    std::atomic<bool> stop{false};
    std::vector<std::thread> readers;
    for (int chl = 0; chl < kUnitChannels; ++chl)
        readers.emplace_back(Reader, unit.get(), std::ref(slots.Slots[chl]), chl, maxWords,
                             std::chrono::milliseconds(timeoutMs), std::cref(stop), std::ref(tally));

    unsigned maxList = 0;
    unsigned long disconnectedSamples = 0, naksAsked = 0, maxTries = 0;
    const auto start = Clock::now(), end = start + std::chrono::seconds(seconds);
    auto nextNak = start + std::chrono::milliseconds(nakEvery);
    auto nextReport = start + 10s;
    while (Clock::now() < end) {
        std::this_thread::sleep_for(10ms);
        maxList = std::max(maxList, VnTlpQueueAmount(unit.get()));
        if (unit->IsConnectedByHost.load() != 1) ++disconnectedSamples;
        maxTries = std::max<unsigned long>(maxTries, unit->DllpKeepAliveTryReConnectCnt.load());
        if (nakEvery > 0 && Clock::now() >= nextNak) {
            if (sim.Ok("nak-next " + unitMac + " 1")) ++naksAsked;
            nextNak += std::chrono::milliseconds(nakEvery);
        }
        if (Clock::now() >= nextReport) {
            std::fprintf(stderr, "%s: %lld s, reads %lu, answered %lu, timed out %lu, list %u\n", kProgram,
                         static_cast<long long>(
                             std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count()),
                         tally.Sent.load(), tally.Answered.load(), tally.TimedOut.load(),
                         VnTlpQueueAmount(unit.get()));
            nextReport += 10s;
        }
    }
    stop = true;
    for (auto& t : readers) t.join();
    sim.Ok("loss " + unitMac + " off");
    // Late ACKs and a reconnect job still running settle.
    std::this_thread::sleep_for(1s);
    const unsigned listAtEnd = VnTlpQueueAmount(unit.get());
    const int connectedAtEnd = unit->IsConnectedByHost.load();
    const std::string showAfter = sim.Control("show " + unitMac);

    const uint16_t disconnectStatus = VnMainDisconnect(kUnitMac.data(), 1);
    consumers.reset();  // before start-up's teardown unregisters the families
    slots.Unit = nullptr;
    unit.reset();
    _FreeProgFunc();
    VnUnitServices.DisconnectEvent = gPreviousDisconnectEvent;
    std::this_thread::sleep_for(200ms);
    const int threadsAfter = CountEntries("/proc/self/task");
    const int fdsAfter = CountEntries("/proc/self/fd");
    tap.Stop();

    const unsigned long teardowns = gDisconnectEvents.load();
    const unsigned long reconnects = ShowNumber(showAfter, "connects") - ShowNumber(showBefore, "connects");
    Figure("seconds", static_cast<double>(seconds), "s", 0);
    Figure("loss_each_direction", static_cast<double>(loss), "%", 0);
    Figure("reads_sent", static_cast<double>(tally.Sent), "reads", 0);
    Figure("reads_answered", static_cast<double>(tally.Answered), "reads", 0);
    Figure("reads_timed_out", static_cast<double>(tally.TimedOut), "reads", 0);
    Figure("reads_wrong", static_cast<double>(tally.Wrong), "reads", 0);
    Figure("reads_refused", static_cast<double>(tally.SendFail), "reads", 0);
    Figure("foreign_answers", static_cast<double>(tally.Foreign), "answers", 0);
    Distribution("answered_read_rtt", tally.AnsweredUs, "us");
    Figure("naks_asked_of_qorsim", static_cast<double>(naksAsked), "count", 0);
    Figure("naks_made_by_unit",
           static_cast<double>(ShowNumber(showAfter, "naks") - ShowNumber(showBefore, "naks")), "count", 0);
    Figure("naks_sent_by_unit", static_cast<double>(tap.UnitNaks), "frames", 0);
    Figure("naks_sent_by_service", static_cast<double>(tap.HostNaks), "frames", 0);
    Figure("resends", static_cast<double>(tap.Resends), "frames", 0);
    Figure("stale_resends", static_cast<double>(tap.StaleResends), "frames", 0);
    Figure("service_tlps_sent", static_cast<double>(tap.HostTlps), "frames", 0);
    Figure("service_acks_sent", static_cast<double>(tap.HostAcks), "frames", 0);
    Figure("unit_acks_delivered", static_cast<double>(tap.UnitAcks), "frames", 0);
    Figure("tap_drops", static_cast<double>(tap.Drops()), "frames", 0);
    std::printf("qorsim_lost_rx_tx: %s frames\n", ShowValue(showAfter, "lost").c_str());
    Figure("reconnects", static_cast<double>(reconnects), "count", 0);
    Figure("reconnect_attempts_max", static_cast<double>(maxTries), "count", 0);
    Figure("teardowns", static_cast<double>(teardowns), "count", 0);
    Figure("disconnected_samples", static_cast<double>(disconnectedSamples), "samples", 0);
    Figure("retransmission_list_max", maxList, "records", 0);
    Figure("retransmission_list_bound", kTlpRetransmissionListMax, "records", 0);
    Figure("retransmission_list_at_end", listAtEnd, "records", 0);
    Figure("connected_at_end", connectedAtEnd, "bool", 0);
    Figure("final_disconnect_status", disconnectStatus, "status", 0);
    Figure("threads_before", threadsBefore, "threads", 0);
    Figure("threads_after", threadsAfter, "threads", 0);
    Figure("fds_before", fdsBefore, "fds", 0);
    Figure("fds_after", fdsAfter, "fds", 0);

    const bool ok = teardowns == 0 && disconnectedSamples == 0 && connectedAtEnd == 1 && tally.Wrong == 0 &&
                    tap.StaleResends == 0 && tally.SendFail == 0 && maxList <= kTlpRetransmissionListMax &&
                    disconnectStatus == 0 && threadsAfter <= threadsBefore && fdsAfter <= fdsBefore;
    Figure("passed", ok ? 1 : 0, "bool", 0);
    return ok ? 0 : 1;
}
