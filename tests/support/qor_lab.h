// Helpers for tests that run inside a qorlab lab: what the lab looks like, raw link frames
// from the far side of a veth, and small file helpers.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace qortest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Mac = std::array<uint8_t, 6>;

constexpr uint16_t kLinkEtherType = 0xD41F;
constexpr Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Simulated units: 02:00:00:00:<group>:<n>.
inline Mac UnitMac(uint8_t group, uint8_t n) {
    return {0x02, 0x00, 0x00, 0x00, group, n};
}

// Owns one file descriptor and closes it.
class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// The lab as qorlab describes it in the environment. Index i of Veths, PeerIfs and
// PeerPids belongs to one veth pair; with a bridge all PeerPids are the bridge namespace.
struct LabInfo {
    std::vector<std::string> Veths;
    std::vector<std::string> PeerIfs;
    std::vector<pid_t> PeerPids;
    pid_t BridgePid = 0;
    std::vector<std::string> UnitIfs;
    std::vector<pid_t> UnitPids;

    static LabInfo FromEnv();
};

// True only inside a lab: the environment says so and PID 1 is the lab's own launcher, so
// a test binary started by hand on the machine never launches the daemon there.
bool InLab();

// Runs fn on a temporary thread that has joined the network namespace of process nsPid.
// Sockets opened there keep that namespace. Throws when the namespace cannot be entered.
void RunInNetns(pid_t nsPid, const std::function<void()>& fn);

std::string MacString(const Mac& mac);                    // "aa:bb:cc:dd:ee:ff"
std::optional<Mac> ReadIfMac(const std::string& ifname);  // from sysfs, this namespace
std::optional<unsigned> ReadIfFlags(const std::string& ifname);

// A raw packet socket bound to one interface and one EtherType, for sending link frames.
class PacketSocket {
  public:
    // In the network namespace of process nsPid (a lab peer).
    static PacketSocket OpenIn(pid_t nsPid, const std::string& ifname, uint16_t etherType = kLinkEtherType);

    // Sends dest | own MAC | EtherType | payload; returns false unless it all went out.
    bool Send(const Mac& dest, std::span<const uint8_t> payload);

  private:
    PacketSocket() = default;
    void Bind(const std::string& ifname, uint16_t etherType);

    UniqueFd fd_;
    int ifindex_ = 0;
    uint16_t etherType_ = kLinkEtherType;
    Mac mac_{};
};

// Link payload of a DLLP (starts at the packet-type byte).
std::vector<uint8_t> Dllp(uint8_t cmd, uint8_t byte2 = 0, uint8_t byte3 = 0);

// Waits up to timeout for child pid to end: its status in shell convention (exit code, or 128
// + signal number), -1 when it cannot be waited for, nullopt while it still runs.
std::optional<int> WaitPid(pid_t pid, Clock::duration timeout);

// Files.
std::optional<std::string> ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
size_t CountOccurrences(const std::string& text, const std::string& needle);
// Polls fn until it returns true; false at the deadline.
bool Eventually(const std::function<bool()>& fn, Clock::duration timeout, Clock::duration step = 20ms);
// Polls until the file contains needle at least `times` times; false at the deadline.
bool WaitForFileContains(const std::string& path, const std::string& needle, Clock::duration timeout,
                         size_t times = 1);

}  // namespace qortest
