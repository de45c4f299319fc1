// Shared by the in-process link benchmarks (bench_tlp_read, bench_loss_soak): qorsim playing
// one eight-channel unit on the far side of veth0, registers with distinct values, the unit
// connected by the service's own modules, and register reads that wait in a per-channel slot
// filled by a consumer installed in VnTlpConsumers, the way channel objects receive answers.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_raw_socket.h"
#include "bench_stats.h"
#include "pem_main.h"
#include "qor_lab.h"
#include "qor_sim.h"
#include "vn_connect.h"
#include "vn_dib.h"
#include "vn_main.h"
#include "vn_tlp_stream.h"

namespace qorbench {

using qortest::Clock;
using qortest::Mac;
using namespace std::chrono_literals;

constexpr Mac kUnitMac = {0x02, 0x00, 0x00, 0x00, 0x18, 0x01};
constexpr int kUnitChannels = 8;     // ctu_eight.prof
constexpr int kRegisterWords = 256;  // qorsim's register file per channel

[[noreturn]] inline void Fail(const char* program, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", program, why.c_str());
    std::exit(1);
}

inline double MicrosOf(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// "--name value" as a number; the default when absent. Unknown options are refused.
struct Options {
    Options(int argc, char** argv, const char* usage, std::vector<std::pair<std::string, long>> defaults)
        : values_(std::move(defaults)) {
        for (int i = 1; i < argc; ++i) {
            bool known = false;
            for (auto& [name, value] : values_)
                if (name == argv[i] && i + 1 < argc) {
                    char* end = nullptr;
                    value = std::strtol(argv[++i], &end, 10);
                    known = end && *end == 0;
                }
            if (!known) {
                std::fprintf(stderr, "usage: %s\n", usage);
                std::exit(2);
            }
        }
    }
    long operator[](const std::string& name) const {
        for (const auto& [n, v] : values_)
            if (n == name) return v;
        return 0;
    }

  private:
    std::vector<std::pair<std::string, long>> values_;
};

// The value qorsim's register OFFSET of channel CHL holds: channel and offset are encoded in
// separate bit fields, so a word from any other register or channel differs.
inline uint32_t RegisterValue(int chl, int offset) {
    return 0xA0000000u | (static_cast<uint32_t>(chl) << 20) | (static_cast<uint32_t>(offset) << 8) |
           static_cast<uint32_t>((chl * 31 + offset * 7) & 0xFF);
}

// Fills every register of every channel with RegisterValue (in lines the control socket takes).
inline bool LoadRegisters(qortest::SimProcess& sim) {
    for (int chl = 0; chl < kUnitChannels; ++chl)
        for (int from = 0; from < kRegisterWords; from += 64) {
            std::string line = "reg " + qortest::MacString(kUnitMac) + " " + std::to_string(chl) + " " +
                               std::to_string(from);
            for (int off = from; off < from + 64; ++off)
                line += " " + std::to_string(RegisterValue(chl, off));
            if (!sim.Ok(line)) return false;
        }
    return true;
}

// The waiting object's response slot, as a channel object has one: the receive path stores
// the rebuilt TLP and signals.
struct ReadSlot {
    std::mutex Mutex;
    std::condition_variable Cond;
    std::array<uint8_t, 8192> Buff{};
    size_t Length = 0;
    unsigned long Deliveries = 0;
};

struct SlotTable {
    PVN_DEVICE Unit = nullptr;
    std::array<ReadSlot, kUnitChannels> Slots;
};
inline SlotTable* gSlots = nullptr;

inline void* SlotFind(PVN_DEVICE pVn, uint8_t chl) {
    SlotTable* t = gSlots;
    return t && pVn == t->Unit && chl < kUnitChannels ? &t->Slots[chl] : nullptr;
}
inline void SlotResponse(void* obj, const _TLP_HEADER* tlp, size_t length) {
    ReadSlot* s = static_cast<ReadSlot*>(obj);
    {
        std::lock_guard<std::mutex> lock(s->Mutex);
        s->Length = std::min(length, s->Buff.size());
        memcpy(s->Buff.data(), tlp, s->Length);
        ++s->Deliveries;
    }
    s->Cond.notify_one();
}
inline const _VN_TLP_CONSUMER kSlotConsumer = {SlotFind, SlotResponse, nullptr, nullptr};

// Installs the slot consumer for every channel type while it lives and restores the table after.
class SlotConsumers {
  public:
    explicit SlotConsumers(SlotTable* table) {
        gSlots = table;
        for (int t = 0; t < kVnTlpConsumerTypes; ++t) {
            saved_[t] = VnTlpConsumers[t];
            VnTlpConsumers[t] = &kSlotConsumer;
        }
    }
    ~SlotConsumers() {
        for (int t = 0; t < kVnTlpConsumerTypes; ++t) VnTlpConsumers[t] = saved_[t];
        gSlots = nullptr;
    }

  private:
    std::array<const _VN_TLP_CONSUMER*, kVnTlpConsumerTypes> saved_{};
};

// TransactionID has 5 bits on the wire (0..31).
struct Read {
    uint8_t Chl = 0;
    uint8_t TransactionID = 0;
    uint8_t Offset = 0;
    uint8_t LengthInDW = 1;
};

enum class ReadResult { kAnswered, kTimeout, kWrong, kSendFail };

// Words qorsim returns: those that exist from Offset on.
inline int ExpectedWords(const Read& r) {
    return std::min<int>(r.LengthInDW, kRegisterWords - r.Offset);
}

// True when the slot holds the answer of r (channel, TransactionID, Offset, LengthInDW).
inline bool Matches(const ReadSlot& s, const Read& r) {
    if (s.Length < kTlpHeaderLength) return false;
    _TLP_HEADER h;
    memcpy(&h, s.Buff.data(), sizeof(h));
    return h.Type == TLP_TYPE_CMD && h.RW == 0 && h.ChlNumber == r.Chl &&
           h.TransactionID == r.TransactionID && h.Offset == r.Offset && h.LengthInDW == ExpectedWords(r);
}

// The data of a matching answer: exactly the expected words with the channel's values.
inline bool DataRight(const ReadSlot& s, const Read& r) {
    _TLP_HEADER h;
    memcpy(&h, s.Buff.data(), sizeof(h));
    const int words = ExpectedWords(r);
    if (TlpGetExtraDataLength(&h) != words * 4 ||
        s.Length != kTlpHeaderLength + static_cast<size_t>(words) * 4)
        return false;
    for (int i = 0; i < words; ++i) {
        const uint8_t* p = s.Buff.data() + kTlpHeaderLength + i * 4;
        const uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        if (v != RegisterValue(r.Chl, r.Offset + i)) return false;
    }
    return true;
}

// One read exchange as a channel object makes it: under the slot's mutex clear the slot,
// send the CMD read, wait for the answer until the deadline. Answers of other reads (late
// ones, or resent stale ones) are counted in *foreign and waited past.
inline ReadResult ReadOnce(PVN_DEVICE pVn, ReadSlot& s, const Read& r, Clock::duration timeout,
                           unsigned long* foreign = nullptr) {
    _TLP_HEADER h{};
    h.ChlNumber = r.Chl;
    h.Type = TLP_TYPE_CMD;
    h.RW = 0;
    h.TransactionID = r.TransactionID;
    h.Offset = r.Offset;
    h.LengthInDW = r.LengthInDW;
    h.AOLBE = 0x1F;
    uint8_t buff[kTlpHeaderLength];
    memcpy(buff, &h, sizeof(h));
    std::unique_lock<std::mutex> lock(s.Mutex);
    s.Length = 0;
    if (VnTlpStreamOut(pVn, buff, sizeof(buff)) != 1) return ReadResult::kSendFail;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (s.Length != 0) {
            if (Matches(s, r)) return DataRight(s, r) ? ReadResult::kAnswered : ReadResult::kWrong;
            if (foreign) ++*foreign;
            s.Length = 0;
        }
        if (s.Cond.wait_until(lock, deadline) == std::cv_status::timeout && s.Length == 0)
            return ReadResult::kTimeout;
    }
}

// qorsim with the eight-channel unit on the lab's first peer interface, registers loaded.
inline void StartUnit(const char* program, qortest::SimProcess& sim, const qortest::LabInfo& lab) {
    const std::vector<std::string> args = {
        "--unit", "ctu_eight," + qortest::MacString(kUnitMac) + "," + lab.PeerIfs[0]};
    if (!sim.Start(QORSIM_PATH, lab.PeerPids[0], args)) Fail(program, "qorsim: " + sim.Error());
    if (!LoadRegisters(sim)) Fail(program, "qorsim reg: " + sim.LastAnswer());
    // QOR_BENCH_VERBOSE=1: qorsim logs every frame to its output file (SimProcess::Output()).
    if (std::getenv("QOR_BENCH_VERBOSE")) sim.Ok("verbose on");
}

// Waits until the unit's record is informed, then connects it with the service's
// VnMainConnect (no password: ctu_eight does not ask for one). The record, referenced.
inline VnRef ConnectInProcess(const char* program) {
    const auto deadline = Clock::now() + 10s;
    uint8_t raw[32] = {};
    while (Clock::now() < deadline) {
        VnRef ref = VnMainGetByMac(kUnitMac.data());
        if (ref && ref->DllpGetInfoThreadSuccess.load() == 1 && ref->AvailableChls == kUnitChannels) {
            uint32_t ctu = 0, sio = 0;
            const uint16_t status = VnMainConnect(kUnitMac.data(), raw, &ctu, &sio);
            if (status == 0 && ref->IsConnectedByHost.load() == 1) return ref;
            std::fprintf(stderr, "%s: connect status %u, trying again\n", program, status);
        }
        std::this_thread::sleep_for(20ms);
    }
    Fail(program, "the unit was never informed and connected");
}

// Counts the process's threads and open file descriptors (for leak checks).
inline int CountEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (const dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

}  // namespace qorbench
