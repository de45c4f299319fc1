// A frame tap: every link frame an interface receives or sends, with the kernel's receive
// timestamp, collected by a thread of its own. Used to time what the daemon and qorsim put
// on the wire from the far side of a veth.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qor_lab.h"

namespace qortest {

struct TapFrame {
    int64_t RealNs = 0;  // CLOCK_REALTIME of the kernel timestamp, in ns
    bool Sent = false;   // sent by the tapped interface rather than received
    std::vector<uint8_t> Bytes;

    Mac Dest() const { return MacAt(0); }
    Mac Source() const { return MacAt(6); }
    bool Outgoing() const { return Sent; }
    // The DLLP command of a DLLP, 0xFF for anything else.
    uint8_t DllpCode() const { return Bytes.size() >= 18 && Bytes[14] == 0x20 ? Bytes[15] & 0x1F : 0xFF; }

  private:
    Mac MacAt(size_t at) const {
        Mac m{};
        std::copy_n(Bytes.begin() + static_cast<long>(at), 6, m.begin());
        return m;
    }
};

class FrameTap {
  public:
    // Opens the tap on ifname in the network namespace of nsPid and starts collecting the
    // frames of the link EtherType. Throws when the socket cannot be opened.
    FrameTap(pid_t nsPid, const std::string& ifname);
    ~FrameTap() { Stop(); }
    FrameTap(const FrameTap&) = delete;
    FrameTap& operator=(const FrameTap&) = delete;

    std::vector<TapFrame> Frames() const;  // everything so far, in arrival order
    void Stop();                           // ends the collecting thread (idempotent)

  private:
    void Run();

    UniqueFd fd_;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    std::vector<TapFrame> frames_;
    std::thread thread_;
};

// One line per frame: time, direction, addresses, DLLP command.
std::string Describe(const std::vector<TapFrame>& frames);

// CLOCK_REALTIME now, in ns: the clock of TapFrame::RealNs.
int64_t RealNowNs();

}  // namespace qortest
