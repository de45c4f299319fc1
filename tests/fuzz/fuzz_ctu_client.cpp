// One CTU client's receive-and-dispatch path: an arbitrary byte stream goes through a
// socketpair into CtuClientHandleRx until it is used up, for a unit with a control unit
// (device name layout 1), a UART and a DIO channel that keep settings in flash, an MAI
// channel and a string channel, behind a NIC whose socket is closed: every transaction to the
// unit fails to send, so each command ends with a status of its own checks or 32.
//
// Command 7 with a path of 1..511 bytes is taken out of the stream (its code becomes an
// unknown one, which gets no answer): it would read files of this machine. The firmware
// file checks have a target of their own.
//
// Checked: one response per command code 1..13 and none for any other (the workers answer
// in any order), each with version 1, a response code, and a Length that matches the bytes
// sent and is 0 unless the status is 0; never a packet above 2060 bytes.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../unit/registry_support.h"
#include "ctu_obj.h"
#include "ctu_server.h"
#include "pem_lock.h"
#include "vn_get_info.h"
#include "vn_main.h"

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kBuff = 8192;
constexpr size_t kMaxInput = 64 * 1024;

const uint8_t kNicMac[6] = {0x02, 0x00, 0x00, 0x01, 0x00, 0x0F};
const uint8_t kUnit[6] = {0x02, 0x00, 0x00, 0x00, 0x0C, 0x01};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

_CTU_CLIENT* Setup() {
    PNIC_DEVICE nic = NewClosedNic("fuzz0");
    nic->Index = 1;
    memcpy(nic->Mac, kNicMac, 6);
    {
        qor::MutexLock lock(&NicListMutex);
        PemListInsertTail(&NicList, &nic->Entry);
        ++NicAmount;
    }
    InfoBuilder info("FUZZ-CTU");
    info.Dib(0, 0, 1, {'F', 'U', 'Z', 'Z'});
    info.Dib(1, 1, 5, {14, 1, 1, 0, 0x00, 0x04, 0x00, 0x04, 0x77, 0, 0, 0});
    info.Dib(2, 3, 2,
             {2, 0, 0, 0, 0xFF, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xE7, 0x4B, 0, 0, 0xE7, 0x4B, 0, 0});
    info.Dib(3, 10, 0, {0x00, 0x08, 0, 0, 1, 3, 0, 0, 8, 24, 3, 0x87, 0xC4, 0x09, 0x00, 0x03});
    info.Dib(4, 128, 0,
             {3, 4, 0, 0, 'S', 'N', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'n', 'a', 'm', 'e'});
    VnRef unit = VnMainAdd(nic, kUnit);
    if (!unit) __builtin_trap();
    VnGetInfoThreadDelete(unit.get());
    {
        qor::WriteLock lock(&unit->InfoLock);
        if (!VnGetInfoDecode(unit.get(), info.bytes.data(), info.bytes.size())) __builtin_trap();
        unit->Informed = 1;
    }
    if (!CtuObjAdd(unit.get(), &unit->DibArray[0])) __builtin_trap();
    static _CTU_CLIENT c{};
    c.IsAlive = 1;
    c.IsConnect = 1;
    c.Sock = -1;
    c.ServerTcpPort = 50001;
    c.VnDevicePtr = unit.get();  // the registry keeps the unit
    c.RxBuff.reset(new uint8_t[kBuff]());
    c.ThreadExitFd = -1;
    return &c;
}

// Walks the stream as the service reads it when all of it is there at once; returns the
// codes that must be answered, with the filtered ones replaced in the stream.
std::vector<uint16_t> Prepare(std::vector<uint8_t>& s) {
    std::vector<uint16_t> answered;
    size_t at = 0;
    while (s.size() - at >= kHeader) {
        const uint32_t length = Le32(&s[at + 8]);
        const uint64_t total = uint64_t{length} + kHeader;
        if (total > kBuff) break;
        if (s.size() - at < total) {
            // Handled with the bytes that arrived before the stream ended.
            const uint16_t code = Le16(&s[at + 4]);
            if (code == 7 && length >= 1 && length < 512)
                s[at + 4] = s[at + 5] = 0xFF;
            else if (code >= 1 && code <= 13)
                answered.push_back(code);
            break;
        }
        uint16_t code = Le16(&s[at + 4]);
        if (code == 7 && length >= 1 && length < 512) {
            code = 0xFFFF;
            s[at + 4] = s[at + 5] = 0xFF;
        }
        if (code >= 1 && code <= 13) answered.push_back(code);
        at += static_cast<size_t>(total);
    }
    return answered;
}

std::vector<uint8_t> Drain(int fd) {
    std::vector<uint8_t> out;
    uint8_t buff[16384];
    for (;;) {
        const ssize_t n = recv(fd, buff, sizeof(buff), MSG_DONTWAIT);
        if (n <= 0) break;
        out.insert(out.end(), buff, buff + n);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static _CTU_CLIENT* client = Setup();
    if (size > kMaxInput) return 0;
    std::vector<uint8_t> stream(data, data + size);
    std::vector<uint16_t> expected = Prepare(stream);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) __builtin_trap();
    const int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    while (sent < stream.size()) {
        const ssize_t n = send(sv[1], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) __builtin_trap();
        sent += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);

    {
        qor::MutexLock lock(&client->TxMutex);
        client->Sock = sv[0];
    }
    std::vector<uint8_t> responses;
    for (int calls = 0; calls < 100000; ++calls) {
        const int more = CtuClientHandleRx(client);
        const auto got = Drain(sv[1]);
        responses.insert(responses.end(), got.begin(), got.end());
        if (!more) break;
    }
    if (!WaitUntil([] { return CtuWorkersRunning() == 0; }, 60000)) __builtin_trap();
    const auto rest = Drain(sv[1]);
    responses.insert(responses.end(), rest.begin(), rest.end());

    std::vector<uint16_t> got;
    size_t at = 0;
    while (at < responses.size()) {
        if (responses.size() - at < kHeader) __builtin_trap();
        const uint8_t* h = &responses[at];
        if (h[0] != 1 || h[1] || h[2] || h[3]) __builtin_trap();
        const uint16_t code = Le16(h + 4);
        const uint16_t status = Le16(h + 6);
        const uint32_t length = Le32(h + 8);
        if ((code & 0x8000) == 0) __builtin_trap();
        if (status != 0 && length != 0) __builtin_trap();
        if (kHeader + length > 2060 || responses.size() - at - kHeader < length) __builtin_trap();
        got.push_back(code & 0x7FFF);
        at += kHeader + length;
    }
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    if (got != expected) __builtin_trap();

    {
        qor::MutexLock lock(&client->TxMutex);
        client->Sock = -1;
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
