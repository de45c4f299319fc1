#include "qor_mng_client.h"

#include <arpa/inet.h>
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

std::optional<UnitInfo> DecodeUnitInfo(std::span<const uint8_t> p, bool withPorts) {
    if (p.size() != (withPorts ? kBasicUnitInfoWithPortsLength : kBasicUnitInfoLength)) return std::nullopt;
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
    if (withPorts) {
        u.CtuPort = Get(&p[28], 4, true);
        u.SioPort = Get(&p[32], 4, true);
    }
    return u;
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
                                   std::optional<uint32_t> length, uint8_t version, uint16_t status) {
    const auto head =
        EncodeHeader({version, {}, code, status, length.value_or(static_cast<uint32_t>(payload.size()))});
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

std::optional<std::vector<NicInfo>> DecodeNicInfoList(std::span<const uint8_t> p) {
    std::vector<NicInfo> list;
    size_t at = 0;
    while (at < p.size()) {
        if (p.size() - at < 8) return std::nullopt;
        NicInfo nic;
        nic.Index = p[at];
        nic.NicMac = MacAt(&p[at + 1]);
        const size_t n = p[at + 7];
        at += 8;
        if (p.size() - at < n) return std::nullopt;
        nic.Name.assign(p.begin() + static_cast<long>(at), p.begin() + static_cast<long>(at + n));
        at += n;
        list.push_back(std::move(nic));
    }
    return list;
}

std::optional<std::vector<UnitInfo>> DecodeUnitInfoList(std::span<const uint8_t> p, bool withPorts) {
    const size_t size = withPorts ? kBasicUnitInfoWithPortsLength : kBasicUnitInfoLength;
    if (p.size() % size != 0) return std::nullopt;
    std::vector<UnitInfo> list;
    for (size_t at = 0; at < p.size(); at += size) {
        auto u = DecodeUnitInfo(p.subspan(at, size), withPorts);
        if (!u) return std::nullopt;
        list.push_back(*u);
    }
    return list;
}

std::optional<DetailInfo> DecodeDetailInfo(std::span<const uint8_t> p) {
    if (p.size() < kBasicUnitInfoWithPortsLength) return std::nullopt;
    DetailInfo d;
    d.Unit = *DecodeUnitInfo(p.first(kBasicUnitInfoWithPortsLength), true);
    size_t at = kBasicUnitInfoWithPortsLength;
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
    if (p.size() != kConnectResultLength) return std::nullopt;
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
    fd_.reset();
    buffered_.clear();
    events_.clear();
    closed_ = false;
    auto fail = [&](int err, const std::string& why) {
        connectErrno_ = err;
        error_ = "connect " + host + ": " + why;
        return false;
    };
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    struct sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (!s) return fail(errno, strerror(errno));
    if (inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return fail(EINVAL, "bad address");
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) return fail(errno, strerror(errno));
        struct pollfd pfd {
            s.get(), POLLOUT, 0
        };
        if (poll(&pfd, 1,
                 static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(timeout).count())) !=
            1)
            return fail(ETIMEDOUT, "timed out");
        int soError = 0;
        socklen_t len = sizeof(soError);
        getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &soError, &len);
        if (soError != 0) return fail(soError, strerror(soError));
    }
    const int on = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    fd_ = std::move(s);
    connectErrno_ = 0;
    error_.clear();
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
        if (!p->IsEvent()) return p;
        events_.push_back(std::move(*p));
    }
}

std::optional<Packet> Client::RequestRaw(std::span<const uint8_t> bytes, uint16_t expectCode,
                                         Clock::duration timeout) {
    if (!SendRaw(bytes)) return std::nullopt;
    auto p = ReadResponse(timeout);
    if (!p) return std::nullopt;
    if (p->Hdr.Version != kVersion) {
        error_ = "Wrong protocol version: " + Describe(*p);
        return std::nullopt;
    }
    if (p->Hdr.Code != (kResponseBit | expectCode)) {
        error_ = "Wrong packet received: " + Describe(*p);
        return std::nullopt;
    }
    return p;
}

std::optional<Packet> Client::Request(uint16_t code, std::span<const uint8_t> payload,
                                      Clock::duration timeout) {
    return RequestRaw(EncodeCommand(code, payload), code, timeout);
}

std::optional<Packet> Client::WaitEvent(Clock::duration timeout) {
    if (!events_.empty()) {
        Packet p = std::move(events_.front());
        events_.pop_front();
        return p;
    }
    auto p = ReadPacket(timeout);
    if (p && !p->IsEvent()) {
        error_ = "unexpected response while waiting for an event: " + Describe(*p);
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
