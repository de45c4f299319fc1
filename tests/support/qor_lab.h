// Helpers for tests that run inside a qorlab lab: what the lab looks like, processes and raw
// link frames in its far-side namespaces, and small file and polling helpers.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
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
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
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
    std::vector<std::string> Veths, PeerIfs, UnitIfs;
    std::vector<pid_t> PeerPids, UnitPids;
    pid_t BridgePid = 0;

    static LabInfo FromEnv();
};

// True only inside a lab: the environment says so and PID 1 is the lab's own launcher, so
// a test binary started by hand on the machine never launches the daemon there.
bool InLab();

// Runs fn on a temporary thread that has joined the network namespace of process nsPid.
// Sockets opened there keep that namespace. Throws when the namespace cannot be entered.
void RunInNetns(pid_t nsPid, const std::function<void()>& fn);

// Starts argv[0] with default signal dispositions and nothing blocked (as a service manager
// would), in the network namespace of nsPid unless it is 0, with `env` (empty: ours) and its
// standard output (and error, if errorsToo) in outputPath. Its pid, or -1 with *error set.
pid_t Spawn(const std::vector<std::string>& argv, pid_t nsPid, const std::string& outputPath, bool errorsToo,
            std::string* error, const std::vector<std::string>& env = {});

std::string MacString(const Mac& mac);                    // "aa:bb:cc:dd:ee:ff"
std::optional<Mac> ReadIfMac(const std::string& ifname);  // from sysfs, this namespace
std::optional<unsigned> ReadIfFlags(const std::string& ifname);

// Sends one whole link frame (addresses and EtherType included) out of interface ifname in
// the network namespace of process nsPid; false unless it all went out.
bool SendFrame(pid_t nsPid, const std::string& ifname, const std::vector<uint8_t>& frame);

// Waits up to timeout for child pid to end: its status in shell convention (exit code, or 128
// + signal number), -1 when it cannot be waited for, nullopt while it still runs.
std::optional<int> WaitPid(pid_t pid, Clock::duration timeout);

std::optional<std::string> ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
size_t CountOccurrences(const std::string& text, const std::string& needle);
// Polls fn until it returns true; false at the deadline.
bool Eventually(const std::function<bool()>& fn, Clock::duration timeout, Clock::duration step = 20ms);
// Polls until the file contains needle at least `times` times; false at the deadline.
bool WaitForFileContains(const std::string& path, const std::string& needle, Clock::duration timeout,
                         size_t times = 1);

}  // namespace qortest
