#include "qor_nlk_driver.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qortest::nlk {

namespace {

constexpr size_t kNlmsgHeader = 16;
constexpr size_t kHeader = 12;

// The netlink header is in host byte order; this host is little-endian like the NLK header.
void PutLe(std::vector<uint8_t>& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Le(const uint8_t* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

}  // namespace

std::vector<uint8_t> Encode(const Message& m) {
    std::vector<uint8_t> out{m.Version, m.Reserved, m.DeviceType, m.Minor};
    PutLe(out, m.Code, 2);
    PutLe(out, m.Status, 2);
    PutLe(out, m.Length, 4);
    out.insert(out.end(), m.Payload.begin(), m.Payload.end());
    return out;
}

std::vector<uint8_t> Encode(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload) {
    return Encode(Message{1, 0, 1, minor, code, 0, static_cast<uint32_t>(payload.size()), payload});
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

bool Driver::Open(int protocol, int group) {
    auto fail = [this](const std::string& what) {
        error_ = what + ": " + std::strerror(errno);
        return false;
    };
    fd_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (!fd_) return fail("netlink socket of protocol " + std::to_string(protocol));
    sockaddr_nl self{};
    self.nl_family = AF_NETLINK;
    socklen_t len = sizeof(self);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&self), sizeof(self)) != 0) return fail("bind");
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&self), &len) != 0) return fail("getsockname");
    if (::setsockopt(fd_.get(), SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0)
        return fail("joining group " + std::to_string(group));
    // What arrives while a test does not look must not be lost to a small default buffer.
    const int rcv = 4 << 20;
    (void)::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcv, sizeof(rcv));
    portId_ = self.nl_pid;
    group_ = group;
    return true;
}

bool Driver::SendRaw(const std::vector<uint8_t>& bytes) {
    sockaddr_nl dst{};
    dst.nl_family = AF_NETLINK;
    if (servicePid_ != 0)
        dst.nl_pid = servicePid_;
    else
        dst.nl_groups = 1u << (group_ - 1);
    const ssize_t n =
        ::sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&dst), sizeof(dst));
    // A message to a group also goes to port 0, which no socket of this protocol holds: the
    // kernel reports that as refused after the group has it.
    if (n < 0 && servicePid_ == 0 && errno == ECONNREFUSED) return true;
    return n == static_cast<ssize_t>(bytes.size());
}

bool Driver::Send(const std::vector<uint8_t>& nlk, std::optional<uint32_t> nlmsgLen) {
    std::vector<uint8_t> buf;
    PutLe(buf, nlmsgLen.value_or(static_cast<uint32_t>(kNlmsgHeader + nlk.size())), 4);
    PutLe(buf, 0, 4);  // type and flags
    PutLe(buf, 0, 4);  // sequence number
    PutLe(buf, portId_, 4);
    buf.insert(buf.end(), nlk.begin(), nlk.end());
    buf.resize((buf.size() + 3) / 4 * 4, 0);
    return SendRaw(buf);
}

bool Driver::Receive(Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    pollfd pfd{fd_.get(), POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left, 0))) <= 0) return false;
    sockaddr_nl src{};
    socklen_t slen = sizeof(src);
    const ssize_t n = ::recvfrom(fd_.get(), buf_.data(), buf_.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&src), &slen);
    // Our own multicast requests come back to us through the group: not the service's.
    if (n < static_cast<ssize_t>(kNlmsgHeader) || src.nl_pid == portId_) return true;
    // The NLK message is what nlmsg_len says within what arrived: a whole header and Length
    // bytes. What does not decode is dropped, so a test waiting for it sees nothing come.
    const size_t end = std::min<size_t>(Le(buf_.data(), 4), static_cast<size_t>(n));
    const uint8_t* p = buf_.data() + kNlmsgHeader;
    if (end < kNlmsgHeader + kHeader || Le(p + 8, 4) > end - kNlmsgHeader - kHeader) return true;
    Message m{p[0],
              p[1],
              p[2],
              p[3],
              static_cast<uint16_t>(Le(p + 4, 2)),
              static_cast<uint16_t>(Le(p + 6, 2)),
              Le(p + 8, 4),
              {}};
    m.Payload.assign(p + kHeader, p + kHeader + m.Length);
    received_.push_back(std::move(m));
    return true;
}

std::optional<Message> Driver::Wait(const std::function<bool(const Message&)>& match,
                                    Clock::duration timeout) {
    const auto until = Clock::now() + timeout;
    do {
        const auto it = std::find_if(received_.begin(), received_.end(), match);
        if (it != received_.end()) {
            Message m = std::move(*it);
            received_.erase(it);
            return m;
        }
    } while (Receive(until));
    return std::nullopt;
}

std::optional<Message> Driver::WaitCode(uint8_t minor, uint16_t code, Clock::duration timeout) {
    return Wait([&](const Message& m) { return m.Minor == minor && m.Code == code; }, timeout);
}

std::optional<Message> Driver::Request(uint8_t minor, uint16_t code, const std::vector<uint8_t>& payload,
                                       Clock::duration timeout) {
    if (!Send(Encode(minor, code, payload))) return std::nullopt;
    return WaitCode(minor, static_cast<uint16_t>(code | kResponseBit), timeout);
}

bool Driver::Silent(Clock::duration quiet) {
    for (const auto until = Clock::now() + quiet; Receive(until);) {
    }
    const bool none = received_.empty();
    received_.clear();
    return none;
}

}  // namespace qortest::nlk
