#include "qor_nlk_driver.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qortest::nlk {

namespace {

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The netlink header is in host byte order; this host is little-endian like the NLK header.
std::vector<uint8_t> NetlinkHeader(uint32_t len, uint32_t pid) {
    std::vector<uint8_t> h;
    PutLe32(h, len);
    PutLe16(h, 0);  // type
    PutLe16(h, 0);  // flags
    PutLe32(h, 0);  // seq
    PutLe32(h, pid);
    return h;
}

constexpr size_t kReceiveBuffer = 65536;

}  // namespace

std::vector<uint8_t> Encode(const Message& m) {
    std::vector<uint8_t> out{m.Version, m.Reserved, m.DeviceType, m.Minor};
    PutLe16(out, m.Code);
    PutLe16(out, m.Status);
    PutLe32(out, m.Length);
    out.insert(out.end(), m.Payload.begin(), m.Payload.end());
    return out;
}

std::vector<uint8_t> Encode(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload) {
    Message m;
    m.Minor = minor;
    m.Code = code;
    m.Length = static_cast<uint32_t>(payload.size());
    m.Payload = payload;
    return Encode(m);
}

std::optional<Message> Decode(const uint8_t* p, size_t n) {
    if (n < kHeader) return std::nullopt;
    Message m;
    m.Version = p[0];
    m.Reserved = p[1];
    m.DeviceType = p[2];
    m.Minor = p[3];
    m.Code = Le16(p + 4);
    m.Status = Le16(p + 6);
    m.Length = Le32(p + 8);
    if (m.Length > n - kHeader) return std::nullopt;
    m.Payload.assign(p + kHeader, p + kHeader + m.Length);
    return m;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof(b), "%02x", v);
        s += b;
    }
    return s;
}

std::string Describe(const Message& m) {
    char b[96];
    std::snprintf(b, sizeof(b), "v%u dev %u minor %u code 0x%04x status %u length %u: ", m.Version, m.DeviceType,
                  m.Minor, m.Code, m.Status, m.Length);
    return b + Hex(m.Payload);
}

Driver::~Driver() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        (void)!::write(stop_.get(), &one, sizeof(one));
        thread_.join();
    }
}

bool Driver::Open(int protocol, int group) {
    fd_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (!fd_) {
        error_ = "netlink socket of protocol " + std::to_string(protocol) + ": " + std::strerror(errno);
        return false;
    }
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0) {
        error_ = std::string("bind: ") + std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof(self);
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &len) != 0) {
        error_ = std::string("getsockname: ") + std::strerror(errno);
        return false;
    }
    portId_ = self.nl_pid;
    if (::setsockopt(fd_.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
        error_ = "joining group " + std::to_string(group) + ": " + std::strerror(errno);
        return false;
    }
    // Bursts of events and received data must not be lost to a small default buffer.
    const int rcv = 4 << 20;
    (void)::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcv, sizeof(rcv));
    group_ = group;
    stop_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!stop_) {
        error_ = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

bool Driver::SendRaw(const std::vector<uint8_t>& bytes) {
    sockaddr_nl dst{};
    dst.nl_family = AF_NETLINK;
    if (servicePid_ != 0)
        dst.nl_pid = servicePid_;
    else
        dst.nl_groups = 1u << (group_ - 1);
    const ssize_t n = ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&dst),
                               sizeof(dst));
    // A message to a group also goes to port 0, which no socket of this protocol holds: the
    // kernel reports that as refused after the group has it.
    if (n < 0 && servicePid_ == 0 && errno == ECONNREFUSED) return true;
    return n == static_cast<ssize_t>(bytes.size());
}

bool Driver::Send(const std::vector<uint8_t>& nlk, std::optional<uint32_t> nlmsgLen) {
    std::vector<uint8_t> buf = NetlinkHeader(nlmsgLen.value_or(static_cast<uint32_t>(kNlmsgHeader + nlk.size())),
                                             portId_);
    buf.insert(buf.end(), nlk.begin(), nlk.end());
    buf.resize((buf.size() + 3) / 4 * 4, 0);
    return SendRaw(buf);
}

void Driver::Run() {
    std::vector<uint8_t> buf(kReceiveBuffer);
    for (;;) {
        pollfd fds[2] = {{stop_.get(), POLLIN, 0}, {fd_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents == 0) continue;
        sockaddr_nl src{};
        socklen_t slen = sizeof(src);
        const ssize_t n = ::recvfrom(fd_.get(), buf.data(), buf.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&src), &slen);
        if (n < 0) continue;
        // Our own multicast requests come back to us through the group: not the service's.
        if (src.nl_pid == portId_) continue;
        std::optional<Message> m;
        uint32_t nlmsgLen = 0;
        if (static_cast<size_t>(n) >= kNlmsgHeader) {
            nlmsgLen = Le32(buf.data());
            // The NLK part is what nlmsg_len says, within what arrived.
            const size_t within = std::min<size_t>(nlmsgLen, static_cast<size_t>(n));
            if (within >= kNlmsgHeader) m = Decode(buf.data() + kNlmsgHeader, within - kNlmsgHeader);
        }
        std::lock_guard lock(mutex_);
        if (!m) {
            ++undecodable_;
            continue;
        }
        m->NlmsgLen = nlmsgLen;
        m->SrcPid = src.nl_pid;
        received_.push_back(std::move(*m));
        cond_.notify_all();
    }
}

std::optional<Message> Driver::Wait(const std::function<bool(const Message&)>& match, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        for (auto it = received_.begin(); it != received_.end(); ++it) {
            if (match(*it)) {
                Message m = std::move(*it);
                received_.erase(it);
                return m;
            }
        }
        if (cond_.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: a message may have come with the time-out.
            for (auto it = received_.begin(); it != received_.end(); ++it)
                if (match(*it)) {
                    Message m = std::move(*it);
                    received_.erase(it);
                    return m;
                }
            return std::nullopt;
        }
    }
}

std::optional<Message> Driver::WaitCode(uint8_t minor, uint16_t code, Clock::duration timeout) {
    return Wait([&](const Message& m) { return m.Minor == minor && m.Code == code; }, timeout);
}

std::optional<Message> Driver::Request(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload,
                                       Clock::duration timeout) {
    if (!Send(Encode(minor, code, payload))) return std::nullopt;
    return WaitCode(minor, static_cast<uint16_t>(code | kResponseBit), timeout);
}

std::vector<Message> Driver::Take() {
    std::lock_guard lock(mutex_);
    std::vector<Message> out(received_.begin(), received_.end());
    received_.clear();
    return out;
}

bool Driver::Silent(Clock::duration quiet) {
    Take();
    std::this_thread::sleep_for(quiet);
    return Take().empty();
}

size_t Driver::Undecodable() const {
    std::lock_guard lock(mutex_);
    return undecodable_;
}

}  // namespace qortest::nlk
