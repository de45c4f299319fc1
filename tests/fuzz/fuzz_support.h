// State and plumbing the fuzz targets share: a NIC with a closed socket in the service's list
// (whatever goes to a unit fails to send at once), units put into the registry with a
// hand-made info structure, and a client byte stream fed through a socketpair to a server's
// receive handler, with the packets it sends back split up.
#pragma once

#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../unit/registry_support.h"
#include "pem_lock.h"
#include "vn_get_info.h"
#include "vn_main.h"

namespace fuzz {

constexpr size_t kHeader = 12;  // the header of every packet on the client ports
constexpr size_t kBuff = 8192;  // the servers' receive buffers
constexpr size_t kMaxInput = 64 * 1024;

inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}

inline PNIC_DEVICE AddClosedNic() {
    PNIC_DEVICE nic = NewClosedNic("fuzz0");
    nic->Index = 1;
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x01, 0x00, 0x0F};
    memcpy(nic->Mac, mac, 6);
    qor::MutexLock lock(&NicListMutex);
    PemListInsertTail(&NicList, &nic->Entry);
    ++NicAmount;
    return nic;
}

// A unit that has reported this info structure. Its get-info thread's first request goes
// nowhere and the thread is ended before the structure is put in by hand, under the lock a
// pass decodes under; it is marked informed as a pass marks it.
inline VnRef AddUnit(PNIC_DEVICE nic, const uint8_t* mac, const InfoBuilder& info) {
    VnRef unit = VnMainAdd(nic, mac);
    if (!unit) __builtin_trap();
    VnGetInfoThreadDelete(unit.get());
    qor::WriteLock lock(&unit->InfoLock);
    if (!VnGetInfoDecode(unit.get(), info.bytes.data(), info.bytes.size())) __builtin_trap();
    unit->Informed = 1;
    return unit;
}

// Calls f(header, cut) for each packet of a stream as a server reads it when all of it is
// there at once: a header, then Length more. A packet beyond the receive buffer ends the
// connection; one cut by the end of the stream is the last (cut = true).
template <typename F>
void ForEachRequest(uint8_t* s, size_t size, F f) {
    for (size_t at = 0; size - at >= kHeader;) {
        const uint64_t total = uint64_t{Le32(s + at + 8)} + kHeader;
        if (total > kBuff) return;
        const bool cut = size - at < total;
        f(s + at, cut);
        if (cut) return;
        at += static_cast<size_t>(total);
    }
}

inline void Drain(int fd, std::vector<uint8_t>* out) {
    uint8_t buff[16384];
    for (ssize_t n; (n = recv(fd, buff, sizeof(buff), MSG_DONTWAIT)) > 0;)
        out->insert(out->end(), buff, buff + n);
}

// Sets *sock (under its client's mutex) while the server's end of a socketpair, sends the
// whole stream into the other end and closes it for sending, calls rx until it reports the
// connection over, waits until idle() holds (the workers are done), and returns every byte the
// server sent.
template <typename Rx, typename Idle>
std::vector<uint8_t> Exchange(const std::vector<uint8_t>& in, int* sock, pthread_mutex_t* mutex, Rx rx,
                              Idle idle) {
    auto setSock = [&](int fd) {
        qor::MutexLock lock(mutex);
        *sock = fd;
    };
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) __builtin_trap();
    const int big = 1 << 20;
    for (int fd : sv) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    }
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    for (size_t sent = 0; sent < in.size();) {
        const ssize_t n = send(sv[1], in.data() + sent, in.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) __builtin_trap();  // the socket buffers hold the whole input
        sent += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);
    setSock(sv[0]);
    std::vector<uint8_t> out;
    for (int calls = 0; calls < 100000; ++calls) {
        const int more = rx();
        Drain(sv[1], &out);  // so the server never waits for room to send
        if (!more) break;
    }
    if (!WaitUntil(idle, 60000)) __builtin_trap();
    Drain(sv[1], &out);
    setSock(-1);
    close(sv[0]);
    close(sv[1]);
    return out;
}

struct Packet {
    uint8_t Type;  // byte 2: the SIO device type
    uint8_t Chl;   // byte 3: the SIO channel
    uint16_t Code;
    uint16_t Status;
    uint32_t Length;
};

// The packets a server sent, each whole, with version 1, byte 1 zero and at most `max` bytes.
inline std::vector<Packet> Packets(const std::vector<uint8_t>& s, size_t max) {
    std::vector<Packet> out;
    for (size_t at = 0; at < s.size();) {
        if (s.size() - at < kHeader) __builtin_trap();
        const uint8_t* h = &s[at];
        const Packet p = {h[2], h[3], Le16(h + 4), Le16(h + 6), Le32(h + 8)};
        if (h[0] != 1 || h[1] != 0) __builtin_trap();
        if (kHeader + p.Length > max || s.size() - at - kHeader < p.Length) __builtin_trap();
        out.push_back(p);
        at += kHeader + p.Length;
    }
    return out;
}

}  // namespace fuzz
