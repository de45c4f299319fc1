#include "qor_sio_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

#include "qor_stream.h"

namespace qortest::sio {
namespace {

// The n-byte little-endian value at b[at].
uint32_t GetLe(std::span<const uint8_t> b, size_t at, int n) {
    uint32_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[at + static_cast<size_t>(i)];
    return v;
}
uint16_t Le16(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(GetLe(b, at, 2));
}
void PutLe(std::vector<uint8_t>& out, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> Encode(uint8_t deviceType, uint8_t channel, uint16_t code,
                            const std::vector<uint8_t>& payload, std::optional<uint32_t> length) {
    std::vector<uint8_t> out{kVersion, 0, deviceType, channel};
    PutLe(out, code, 2);
    PutLe(out, 0, 2);
    PutLe(out, length.value_or(static_cast<uint32_t>(payload.size())), 4);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Message Make(uint8_t deviceType, uint8_t channel, uint16_t code, uint16_t status,
             std::vector<uint8_t> payload) {
    Message m;
    m.Hdr.DeviceType = deviceType;
    m.Hdr.Channel = channel;
    m.Hdr.Code = code;
    m.Hdr.Status = status;
    m.Hdr.Length = static_cast<uint32_t>(payload.size());
    m.Payload = std::move(payload);
    return m;
}

std::string Hex(std::span<const uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t v : bytes) {
        s += digits[v >> 4];
        s += digits[v & 0x0F];
    }
    return s;
}

std::string Describe(const Message& m) {
    char b[112];
    snprintf(b, sizeof(b), "v%u r%u type %u chl %u code 0x%04x status %u length %u | ", m.Hdr.Version,
             m.Hdr.Reserved, m.Hdr.DeviceType, m.Hdr.Channel, m.Hdr.Code, m.Hdr.Status, m.Hdr.Length);
    // Long data blocks are shown by their ends.
    if (m.Payload.size() <= 48) return b + Hex(m.Payload);
    return b + Hex(std::span(m.Payload).first(24)) + "..." + Hex(std::span(m.Payload).last(8));
}

bool Client::Fail(std::string why) {
    error_ = std::move(why);
    return false;
}

void Client::Close() {
    fd_.reset();
    buffer_.clear();
    start_ = 0;
    kept_.clear();
    closed_ = false;
}

bool Client::Connect(uint16_t port, Clock::duration timeout) {
    Close();
    connectErrno_ = 0;
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!s) return Fail(ErrnoText("socket"));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS) {
            connectErrno_ = errno;
            return Fail(ErrnoText("connect"));
        }
        pollfd pfd{s.get(), POLLOUT, 0};
        if (poll(&pfd, 1, MsLeft(Clock::now() + timeout)) != 1) {
            connectErrno_ = ETIMEDOUT;
            return Fail("connect: timed out");
        }
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            connectErrno_ = err;
            return Fail(std::string("connect: ") + strerror(err));
        }
    }
    const int on = 1;
    setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    fd_ = std::move(s);
    error_.clear();
    return true;
}

bool Client::SendRaw(std::span<const uint8_t> bytes) {
    if (!fd_) return Fail("not connected");
    const std::string why = SendAll(fd_.get(), bytes);
    return why.empty() || Fail(why);
}

bool Client::Fill(size_t n, Clock::time_point deadline) {
    while (Buffered() < n) {
        if (!fd_ || closed_) return Fail("connection closed by the service");
        pollfd pfd{fd_.get(), POLLIN, 0};
        const int ready = poll(&pfd, 1, MsLeft(deadline));
        if (ready == 0)
            return Fail("time-out: " + std::to_string(Buffered()) + " of " + std::to_string(n) + " bytes");
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return Fail(ErrnoText("poll"));
        // Consumed bytes are dropped before the buffer grows.
        if (start_ > 0 && start_ >= buffer_.size() / 2) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start_));
            start_ = 0;
        }
        const size_t old = buffer_.size();
        buffer_.resize(old + 65536);
        const ssize_t got = recv(fd_.get(), buffer_.data() + old, 65536, 0);
        buffer_.resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
            closed_ = true;
            return Fail(got == 0 ? "connection closed by the service" : ErrnoText("recv"));
        }
    }
    return true;
}

std::optional<Message> Client::ReadMessage(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    if (!Fill(kHeaderLength, deadline)) return std::nullopt;
    Message m;
    const auto b = std::span(buffer_).subspan(start_);
    m.Hdr = Header{b[0], b[1], b[2], b[3], Le16(b, 4), Le16(b, 6), GetLe(b, 8, 4)};
    // The service never sends more than kMaxMessage; anything longer is a broken stream.
    if (m.Hdr.Length > kMaxMessage - kHeaderLength) {
        Fail("impossible Length " + std::to_string(m.Hdr.Length));
        return std::nullopt;
    }
    const size_t total = kHeaderLength + m.Hdr.Length;
    if (!Fill(total, deadline)) return std::nullopt;
    const auto at = buffer_.begin() + static_cast<long>(start_);
    m.Payload.assign(at + kHeaderLength, at + static_cast<long>(total));
    start_ += total;
    return m;
}

std::optional<Message> Client::ReadResponse(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        auto m = ReadMessage(deadline - Clock::now());
        if (!m || m->IsResponse()) return m;
        kept_.push_back(std::move(*m));
    }
}

std::optional<Message> Client::Request(uint8_t deviceType, uint8_t channel, uint16_t code,
                                       const std::vector<uint8_t>& payload, Clock::duration timeout) {
    if (!SendRaw(Encode(deviceType, channel, code, payload))) return std::nullopt;
    auto m = ReadResponse(timeout);
    if (m && (m->Hdr.Version != kVersion || m->Hdr.DeviceType != deviceType || m->Hdr.Channel != channel ||
              m->Hdr.Code != (kResponseBit | code))) {
        Fail("not the response: " + Describe(*m));
        return std::nullopt;
    }
    return m;
}

std::optional<Message> Client::NextUnsolicited(Clock::duration timeout) {
    if (!kept_.empty()) {
        Message m = std::move(kept_.front());
        kept_.pop_front();
        return m;
    }
    auto m = ReadMessage(timeout);
    if (m && m->IsResponse()) {
        Fail("a response while waiting for an event: " + Describe(*m));
        return std::nullopt;
    }
    return m;
}

bool Client::Silent(Clock::duration timeout) {
    if (Buffered() > 0) return Fail(std::to_string(Buffered()) + " bytes already waiting");
    if (!kept_.empty()) return Fail("kept: " + Describe(kept_.front()));
    if (Fill(1, Clock::now() + timeout))
        return Fail("bytes arrived: " + Hex(std::span(buffer_).subspan(start_)));
    return !closed_;
}

bool Client::WaitClosed(Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!closed_) {
        start_ = buffer_.size();
        if (!Fill(1, deadline) && !closed_) return false;
    }
    return true;
}

}  // namespace qortest::sio
