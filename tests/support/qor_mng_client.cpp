#include "qor_mng_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "qor_stream.h"

namespace qortest::mng {

namespace {

// The largest payload a test accepts in one packet; the service never builds more than its
// 8192-byte transmit buffer, so anything bigger means the stream is out of step.
constexpr uint32_t kMaxAcceptedLength = 1u << 20;

// n bytes at p, least significant first unless bigEndian.
uint32_t Get(const uint8_t* p, int n, bool bigEndian = false) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t{p[bigEndian ? n - 1 - i : i]} << (8 * i);
    return v;
}

Mac MacAt(const uint8_t* p) {
    Mac m{};
    std::copy(p, p + 6, m.begin());
    return m;
}

// The 28-byte record, or the 36-byte one with the CTU and SIO ports behind.
constexpr size_t kWithPortsLength = 36;

UnitInfo DecodeUnitInfo(std::span<const uint8_t> p) {
    UnitInfo u;
    u.UnitMac = MacAt(&p[0]);
    std::copy(&p[6], &p[16], u.ModelRaw.begin());
    u.TypeInfo = p[16];
    u.LinkStatus = p[17];
    u.ConnectedHostMac = MacAt(&p[18]);
    u.Mapped = p[24];
    u.AvailableChls = p[25];
    u.MajorVersion = p[26];
    u.MinorVersion = p[27];
    if (p.size() == kWithPortsLength) {
        u.CtuPort = Get(&p[28], 4, true);
        u.SioPort = Get(&p[32], 4, true);
    }
    return u;
}

bool IsEvent(const Header& h) {
    return (h.Code & (kResponseBit | kEventBit)) == kEventBit;
}

}  // namespace

std::array<uint8_t, kHeaderLength> EncodeHeader(const Header& h) {
    std::array<uint8_t, kHeaderLength> b{h.Version, h.Reserved[0], h.Reserved[1], h.Reserved[2]};
    for (int i = 0; i < 2; ++i) b[4 + i] = static_cast<uint8_t>(h.Code >> (8 * i));
    for (int i = 0; i < 2; ++i) b[6 + i] = static_cast<uint8_t>(h.Status >> (8 * i));
    for (int i = 0; i < 4; ++i) b[8 + i] = static_cast<uint8_t>(h.Length >> (8 * i));
    return b;
}

Header DecodeHeader(std::span<const uint8_t> b) {
    Header h;
    h.Version = b[0];
    h.Reserved = {b[1], b[2], b[3]};
    h.Code = static_cast<uint16_t>(Get(&b[4], 2));
    h.Status = static_cast<uint16_t>(Get(&b[6], 2));
    h.Length = Get(&b[8], 4);
    return h;
}

std::vector<uint8_t> EncodeCommand(uint16_t code, std::span<const uint8_t> payload,
                                   std::optional<uint32_t> length) {
    const auto head =
        EncodeHeader({kVersion, {}, code, 0, length.value_or(static_cast<uint32_t>(payload.size()))});
    std::vector<uint8_t> out(head.begin(), head.end());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string s;
    char item[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(item, sizeof(item), i ? " %02x" : "%02x", bytes[i]);
        s += item;
    }
    return s;
}

std::string Describe(const Packet& p) {
    char head[96];
    snprintf(head, sizeof(head), "version %u code 0x%04x status %u length %u: ", p.Hdr.Version, p.Hdr.Code,
             p.Hdr.Status, p.Hdr.Length);
    return head + Hex(p.Payload);
}

bool IsServiceInfo(std::span<const uint8_t> p) {
    size_t at = 0;
    for (int text = 0; text < 2; ++text)
        if (at >= p.size() || (at += 1 + p[at]) > p.size()) return false;
    return p.size() - at == 1;
}

std::optional<std::vector<UnitInfo>> DecodeUnitInfoList(std::span<const uint8_t> p, bool withPorts) {
    const size_t size = withPorts ? kWithPortsLength : kBasicUnitInfoLength;
    if (p.size() % size != 0) return std::nullopt;
    std::vector<UnitInfo> list;
    for (size_t at = 0; at < p.size(); at += size) list.push_back(DecodeUnitInfo(p.subspan(at, size)));
    return list;
}

std::optional<DetailInfo> DecodeDetailInfo(std::span<const uint8_t> p) {
    if (p.size() < kWithPortsLength) return std::nullopt;
    DetailInfo d{DecodeUnitInfo(p.first(kWithPortsLength))};
    size_t at = kWithPortsLength;
    for (int i = 0; i < d.Unit.AvailableChls; ++i) {
        if (p.size() - at < 6 || p.size() - at - 6 < p[at + 5]) return std::nullopt;
        at += 6 + p[at + 5];
    }
    if (at != p.size()) return std::nullopt;
    return d;
}

std::optional<std::vector<MappingInfo>> DecodeMappingInfoList(std::span<const uint8_t> p) {
    std::vector<MappingInfo> list;
    size_t at = 0;
    while (at < p.size()) {
        if (p.size() - at < 7) return std::nullopt;
        MappingInfo m;
        m.UnitMac = MacAt(&p[at]);
        const size_t k = p[at + 6];
        at += 7;
        if (p.size() - at < 2 * k) return std::nullopt;
        for (size_t i = 0; i < k; ++i, at += 2) m.Uarts.emplace_back(p[at], p[at + 1]);
        list.push_back(std::move(m));
    }
    return list;
}

std::optional<ConnectResult> DecodeConnectResult(std::span<const uint8_t> p) {
    if (p.size() != 14) return std::nullopt;
    return ConnectResult{MacAt(&p[0]), Get(&p[6], 4, true), Get(&p[10], 4, true)};
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}
std::vector<uint8_t> MacBytes(const Mac& mac) {
    return std::vector<uint8_t>(mac.begin(), mac.end());
}

std::vector<uint8_t> ConnectRecord(const Mac& mac, uint8_t flag, std::span<const uint8_t> password) {
    std::vector<uint8_t> r = MacBytes(mac);
    r.push_back(flag);
    r.insert(r.end(), password.begin(), password.end());
    return r;
}

std::vector<uint8_t> ConnectRecord(const Mac& mac, const std::string& password) {
    return ConnectRecord(mac, password.empty() ? 0 : 1, Bytes(password));
}

bool Client::Connect(const std::string& host, uint16_t port, Clock::duration timeout) {
    *this = Client();
    auto fail = [&](int err, const std::string& why) {
        connectErrno_ = err;
        error_ = "connect " + host + ": " + why;
        return false;
    };
    // Blocking, so that connect waits at most the send time-out (then EINPROGRESS); non-blocking
    // afterwards for the reads and sends with deadlines.
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    const timeval limit{us / 1000000, us % 1000000};
    sockaddr_in addr{AF_INET, htons(port), {}, {}};
    if (!s || setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0)
        return fail(errno, strerror(errno));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return fail(EINVAL, "bad address");
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return fail(errno == EINPROGRESS ? ETIMEDOUT : errno,
                    errno == EINPROGRESS ? "timed out" : strerror(errno));
    const int on = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    fcntl(s.get(), F_SETFL, O_NONBLOCK);
    fd_ = std::move(s);
    return true;
}

bool Client::Fail(std::string why) {
    error_ = std::move(why);
    return false;
}

bool Client::SendRaw(std::span<const uint8_t> bytes) {
    if (!fd_) return Fail("not connected");
    const std::string why = SendAll(fd_.get(), bytes);
    return why.empty() || Fail(why);
}

bool Client::Fill(size_t n, Clock::time_point deadline) {
    while (buffered_.size() < n) {
        if (!fd_ || closed_) return Fail("connection closed by the service");
        struct pollfd pfd {
            fd_.get(), POLLIN, 0
        };
        const int ready = poll(&pfd, 1, MsLeft(deadline));
        if (ready == 0)
            return Fail("time-out: " + std::to_string(buffered_.size()) + " of " + std::to_string(n) +
                        " bytes");
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Fail(ErrnoText("poll"));
        uint8_t chunk[16384];
        const ssize_t got = recv(fd_.get(), chunk, sizeof(chunk), 0);
        if (got > 0) {
            buffered_.insert(buffered_.end(), chunk, chunk + got);
        } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closed_ = true;
            return Fail(got == 0 ? "connection closed by the service" : ErrnoText("recv"));
        }
    }
    return true;
}

std::optional<Packet> Client::ReadPacket(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    if (!Fill(kHeaderLength, deadline)) return std::nullopt;
    Packet p;
    p.Hdr = DecodeHeader(buffered_);
    if (p.Hdr.Length > kMaxAcceptedLength) {
        error_ = "impossible Length " + std::to_string(p.Hdr.Length);
        return std::nullopt;
    }
    if (!Fill(kHeaderLength + p.Hdr.Length, deadline)) return std::nullopt;
    p.Payload.assign(buffered_.begin() + kHeaderLength,
                     buffered_.begin() + static_cast<long>(kHeaderLength + p.Hdr.Length));
    buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<long>(kHeaderLength + p.Hdr.Length));
    return p;
}

std::optional<Packet> Client::ReadResponse(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto p = ReadPacket(deadline - Clock::now());
        if (!p) return std::nullopt;
        if (!IsEvent(p->Hdr)) return p;
        events_.push_back(std::move(*p));
    }
}

std::optional<Packet> Client::Request(uint16_t code, std::span<const uint8_t> payload,
                                      Clock::duration timeout) {
    if (!SendRaw(EncodeCommand(code, payload))) return std::nullopt;
    auto p = ReadResponse(timeout);
    if (p && p->Hdr.Version != kVersion) {
        error_ = "Wrong protocol version: " + Describe(*p);
        return std::nullopt;
    }
    if (p && p->Hdr.Code != (kResponseBit | code)) {
        error_ = "Wrong packet received: " + Describe(*p);
        return std::nullopt;
    }
    return p;
}

bool Client::Silent(Clock::duration timeout) {
    if (!buffered_.empty()) return Fail(std::to_string(buffered_.size()) + " bytes already waiting");
    if (Fill(1, Clock::now() + timeout)) return Fail("bytes arrived: " + Hex(buffered_));
    return !closed_;
}

bool Client::WaitClosed(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
        buffered_.clear();
        if (!Fill(1, deadline) && !closed_) return false;
    }
    return true;
}

}  // namespace qortest::mng
