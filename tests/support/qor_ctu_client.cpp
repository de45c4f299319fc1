#include "qor_ctu_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "qor_stream.h"

namespace qortest::ctu {

namespace {

Header DecodeHeader(std::span<const uint8_t> b) {
    auto le = [&](size_t at, size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < n; ++i) v |= static_cast<uint32_t>(b[at + i]) << (8 * i);
        return v;
    };
    return {b[0], static_cast<uint16_t>(le(4, 2)), static_cast<uint16_t>(le(6, 2)), le(8, 4)};
}

}  // namespace

std::vector<uint8_t> EncodeCommand(uint16_t code, std::span<const uint8_t> payload,
                                   std::optional<uint32_t> length) {
    std::vector<uint8_t> out(kHeaderLength + payload.size());
    out[0] = kVersion;
    const uint32_t n = length.value_or(static_cast<uint32_t>(payload.size()));
    for (size_t i = 0; i < 2; ++i) out[4 + i] = static_cast<uint8_t>(code >> (8 * i));
    for (size_t i = 0; i < 4; ++i) out[8 + i] = static_cast<uint8_t>(n >> (8 * i));
    std::copy(payload.begin(), payload.end(), out.begin() + kHeaderLength);
    return out;
}

std::string Hex(std::span<const uint8_t> bytes) {
    std::string s;
    char b[4];
    for (uint8_t v : bytes) {
        snprintf(b, sizeof(b), "%02x", v);
        s += b;
    }
    return s;
}

std::string Describe(const Packet& p) {
    char b[80];
    snprintf(b, sizeof(b), "v%u code 0x%04x status %u length %u ", p.Hdr.Version, p.Hdr.Code, p.Hdr.Status,
             p.Hdr.Length);
    return b + Hex(p.Payload);
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

bool Client::Fail(std::string why) {
    error_ = std::move(why);
    return false;
}

bool Client::Connect(uint16_t port, Clock::duration timeout) {
    *this = Client();
    // Blocking, so that connect waits at most the send time-out; non-blocking afterwards for
    // the reads and sends with deadlines.
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    const timeval limit{us / 1000000, us % 1000000};
    if (!s || setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit)) != 0)
        return Fail(ErrnoText("socket"));
    const sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (connect(s.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0)
        return Fail(ErrnoText("connect"));
    const int on = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    fcntl(s.get(), F_SETFL, O_NONBLOCK);
    fd_ = std::move(s);
    return true;
}

bool Client::SendRaw(std::span<const uint8_t> bytes) {
    if (!fd_) return Fail("not connected");
    const std::string why = SendAll(fd_.get(), bytes);
    return why.empty() || Fail(why);
}

bool Client::SendSplit(std::span<const uint8_t> bytes, const std::vector<size_t>& pieces,
                       Clock::duration pause) {
    return SendInPieces(bytes, pieces, pause, [this](std::span<const uint8_t> b) { return SendRaw(b); });
}

bool Client::Fill(size_t n, Clock::time_point deadline) {
    while (buffered_.size() < n) {
        if (!fd_ || closed_) return Fail("connection closed by the service");
        pollfd pfd{fd_.get(), POLLIN, 0};
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
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
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
    // The service never sends more than kMaxPacket; anything longer is a broken stream.
    if (p.Hdr.Length > kMaxPacket - kHeaderLength) {
        Fail("impossible Length " + std::to_string(p.Hdr.Length));
        return std::nullopt;
    }
    const size_t total = kHeaderLength + p.Hdr.Length;
    if (!Fill(total, deadline)) return std::nullopt;
    p.Payload.assign(buffered_.begin() + kHeaderLength, buffered_.begin() + static_cast<long>(total));
    buffered_.erase(buffered_.begin(), buffered_.begin() + static_cast<long>(total));
    return p;
}

std::optional<Packet> Client::ReadResponse(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto p = ReadPacket(deadline - Clock::now());
        if (!p || !p->IsEvent()) return p;
        events_.push_back(std::move(*p));
    }
}

std::optional<Packet> Client::Request(uint16_t code, std::span<const uint8_t> payload,
                                      Clock::duration timeout) {
    if (!SendRaw(EncodeCommand(code, payload))) return std::nullopt;
    auto p = ReadResponse(timeout);
    if (p && (p->Hdr.Version != kVersion || p->Hdr.Code != (kResponseBit | code))) {
        Fail("wrong response: " + Describe(*p));
        return std::nullopt;
    }
    return p;
}

std::optional<Packet> Client::WaitEvent(Clock::duration timeout) {
    if (!events_.empty()) {
        Packet p = std::move(events_.front());
        events_.pop_front();
        return p;
    }
    auto p = ReadPacket(timeout);
    if (p && !p->IsEvent()) {
        Fail("a response while waiting for an event: " + Describe(*p));
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

std::vector<uint8_t> PatternImage(size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 31 + seed);
    return v;
}

std::vector<uint8_t> BuildFirmware(const Firmware& f) {
    std::vector<uint8_t> out(128, 0);
    auto be32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    for (size_t i = 0; i < 7; ++i) out[i] = static_cast<uint8_t>(0xA0 + i);  // not interpreted
    be32(7, 3);
    out[11] = f.UnitType;
    for (size_t i = 0; i < f.Model.size() && i < 20; ++i) out[12 + i] = static_cast<uint8_t>(f.Model[i]);
    be32(44, static_cast<uint32_t>(f.Image.size()));
    out[48] = f.WaitSeconds;
    const uint32_t crc =
        f.Crc.value_or(static_cast<uint32_t>(crc32(0, f.Image.data(), static_cast<uInt>(f.Image.size()))));
    for (int i = 0; i < 4; ++i) out[49 + i] = static_cast<uint8_t>(crc >> (8 * i));
    out.insert(out.end(), f.Image.begin(), f.Image.end());
    return out;
}

}  // namespace qortest::ctu
