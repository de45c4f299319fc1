#include "qor_lab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace qortest {

namespace {

std::vector<std::string> SplitEnv(const char* name) {
    std::vector<std::string> out;
    const char* value = getenv(name);
    if (!value) return out;
    std::istringstream in(value);
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

std::vector<pid_t> PidsFromEnv(const char* name) {
    std::vector<pid_t> out;
    for (const auto& word : SplitEnv(name)) out.push_back(static_cast<pid_t>(std::stol(word)));
    return out;
}

std::string Errno(const std::string& what) {
    return what + ": " + strerror(errno);
}

}  // namespace

LabInfo LabInfo::FromEnv() {
    LabInfo lab;
    lab.Veths = SplitEnv("QORLAB_VETHS");
    lab.PeerIfs = SplitEnv("QORLAB_PEER_IFS");
    lab.PeerPids = PidsFromEnv("QORLAB_PEER_PIDS");
    const auto bridge = PidsFromEnv("QORLAB_BRIDGE_PID");
    lab.BridgePid = bridge.empty() ? 0 : bridge.front();
    lab.UnitIfs = SplitEnv("QORLAB_UNIT_IFS");
    lab.UnitPids = PidsFromEnv("QORLAB_UNIT_PIDS");
    return lab;
}

bool InLab() {
    const char* flag = getenv("QORLAB");
    if (!flag || strcmp(flag, "1") != 0) return false;
    // PID 1 of a lab is "bash .../qorlab --inner ..."; on the machine it is the init system.
    const auto cmdline = ReadFile("/proc/1/cmdline");
    if (!cmdline) return false;
    return cmdline->find("qorlab") != std::string::npos && cmdline->find("--inner") != std::string::npos;
}

void RunInNetns(pid_t nsPid, const std::function<void()>& fn) {
    std::string error;
    // setns(CLONE_NEWNET) changes only the calling thread, so a short-lived thread keeps the
    // test's own threads where they are.
    std::thread worker([&]() {
        try {
            const std::string path = "/proc/" + std::to_string(nsPid) + "/ns/net";
            UniqueFd ns(open(path.c_str(), O_RDONLY | O_CLOEXEC));
            if (!ns || setns(ns.get(), CLONE_NEWNET) != 0) throw std::runtime_error(Errno("enter " + path));
            fn();
        } catch (const std::exception& e) {
            error = e.what();
        }
    });
    worker.join();
    if (!error.empty()) throw std::runtime_error(error);
}

std::string MacString(const Mac& mac) {
    char text[18];
    snprintf(text, sizeof(text), "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", mac[0], mac[1], mac[2], mac[3], mac[4],
             mac[5]);
    return text;
}

std::optional<Mac> ReadIfMac(const std::string& ifname) {
    const auto text = ReadFile("/sys/class/net/" + ifname + "/address");
    if (!text) return std::nullopt;
    Mac mac{};
    unsigned b[6];
    if (sscanf(text->c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
        return std::nullopt;
    for (size_t i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(b[i]);
    return mac;
}

std::optional<unsigned> ReadIfFlags(const std::string& ifname) {
    const auto text = ReadFile("/sys/class/net/" + ifname + "/flags");
    if (!text) return std::nullopt;
    return static_cast<unsigned>(std::stoul(*text, nullptr, 16));
}

void PacketSocket::Bind(const std::string& ifname, uint16_t etherType) {
    fd_.reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(etherType)));
    if (!fd_) throw std::runtime_error(Errno("packet socket"));
    struct ifreq ifr {};
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname.c_str());
    if (ioctl(fd_.get(), SIOCGIFINDEX, &ifr) != 0) throw std::runtime_error(Errno("SIOCGIFINDEX " + ifname));
    ifindex_ = ifr.ifr_ifindex;
    if (ioctl(fd_.get(), SIOCGIFHWADDR, &ifr) != 0)
        throw std::runtime_error(Errno("SIOCGIFHWADDR " + ifname));
    memcpy(mac_.data(), ifr.ifr_hwaddr.sa_data, mac_.size());
    struct sockaddr_ll addr {};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(etherType);
    addr.sll_ifindex = ifindex_;
    if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        throw std::runtime_error(Errno("bind packet socket to " + ifname));
    etherType_ = etherType;
}

PacketSocket PacketSocket::OpenIn(pid_t nsPid, const std::string& ifname, uint16_t etherType) {
    PacketSocket s;
    RunInNetns(nsPid, [&]() { s.Bind(ifname, etherType); });
    return s;
}

bool PacketSocket::Send(const Mac& dest, std::span<const uint8_t> payload) {
    std::vector<uint8_t> frame(dest.begin(), dest.end());
    frame.insert(frame.end(), mac_.begin(), mac_.end());
    frame.push_back(static_cast<uint8_t>(etherType_ >> 8));
    frame.push_back(static_cast<uint8_t>(etherType_ & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    struct sockaddr_ll addr {};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(etherType_);
    addr.sll_ifindex = ifindex_;
    addr.sll_halen = 6;
    memcpy(addr.sll_addr, dest.data(), dest.size());
    const ssize_t n =
        sendto(fd_.get(), frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    return n == static_cast<ssize_t>(frame.size());
}

std::optional<int> WaitPid(pid_t pid, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status)     ? WEXITSTATUS(status)
                   : WIFSIGNALED(status) ? 128 + WTERMSIG(status)
                                         : -1;
        if (r < 0 && errno != EINTR) return -1;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(5ms);
    }
}

std::vector<uint8_t> Dllp(uint8_t cmd, uint8_t byte2, uint8_t byte3) {
    return {0x20, cmd, byte2, byte3};
}

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    return static_cast<bool>(out);
}

size_t CountOccurrences(const std::string& text, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool Eventually(const std::function<bool()>& fn, Clock::duration timeout, Clock::duration step) {
    const auto deadline = Clock::now() + timeout;
    while (!fn()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

bool WaitForFileContains(const std::string& path, const std::string& needle, Clock::duration timeout,
                         size_t times) {
    return Eventually([&] { return CountOccurrences(ReadFile(path).value_or(""), needle) >= times; },
                      timeout);
}

}  // namespace qortest
