// One SIO client's receive-and-dispatch path: an arbitrary byte stream goes through a
// socketpair into SioClientHandleRx until it is used up, for a unit with a control unit and
// UART channels of controller versions 0, 2, 4 and 5 (SER objects), a DIO channel (a family
// not served yet) and a string channel, behind a NIC whose socket is closed: every TLP to the
// unit fails to send, so each command ends with a status of its own checks or 32.
//
// Checked: for every whole message the service reads, one response for a SER command 1..20
// on a UART channel, a status-16 reply for any message to a channel without SER object or of
// another device type, nothing for SER data and codes outside the table; each response with
// version 1, the request's device type and channel, its code + 0x8000, a Length that matches
// the bytes sent and is 0 unless the status is 0; never a message above 2060 bytes.
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

#include "../unit/registry_support.h"
#include "pem_lock.h"
#include "sio_obj.h"
#include "sio_ser_obj.h"
#include "sio_server.h"
#include "sio_service.h"
#include "vn_get_info.h"
#include "vn_main.h"

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kBuff = 8192;
constexpr size_t kMaxInput = 64 * 1024;

const uint8_t kNicMac[6] = {0x02, 0x00, 0x00, 0x01, 0x00, 0x0F};
const uint8_t kUnit[6] = {0x02, 0x00, 0x00, 0x00, 0x0C, 0x02};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool IsUart(uint8_t chl) {
    return chl >= 1 && chl <= 4;
}

_SIO_CLIENT* Setup() {
    SioServiceRegister();
    PNIC_DEVICE nic = NewClosedNic("fuzz0");
    nic->Index = 1;
    memcpy(nic->Mac, kNicMac, 6);
    {
        qor::MutexLock lock(&NicListMutex);
        PemListInsertTail(&NicList, &nic->Entry);
        ++NicAmount;
    }
    InfoBuilder info("FUZZ-SIO");
    info.Dib(0, 0, 1, {'F', 'U', 'Z', 'Z'});
    info.Dib(1, 1, 0, {0x80, 0, 0x80, 0});
    info.Dib(2, 1, 2, {0, 2, 0, 2, 0xAB, 0x05, 0, 0});
    info.Dib(3, 1, 4, {0, 4, 0, 4, 0xFF, 0x1F, 0, 0});
    info.Dib(4, 1, 5, {14, 1, 1, 0, 0x00, 0x04, 0x00, 0x04, 0x01, 0, 0, 0});
    info.Dib(5, 3, 2,
             {2, 0, 0, 0, 0xFF, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xE7, 0x4B, 0, 0, 0xE7, 0x4B, 0, 0});
    info.Dib(6, 128, 0,
             {3, 4, 0, 0, 'S', 'N', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'n', 'a', 'm', 'e'});
    VnRef unit = VnMainAdd(nic, kUnit);
    if (!unit) __builtin_trap();
    VnGetInfoThreadDelete(unit.get());
    {
        qor::WriteLock lock(&unit->InfoLock);
        if (!VnGetInfoDecode(unit.get(), info.bytes.data(), info.bytes.size())) __builtin_trap();
        unit->Informed = 1;
    }
    for (int chl = 1; chl <= 4; ++chl)
        if (!SioSerObjAdd(unit.get(), &unit->DibArray[chl])) __builtin_trap();
    static _SIO_CLIENT c{};
    c.IsAlive = 1;
    c.IsConnect = 1;
    c.Sock = -1;
    c.ServerTcpPort = 55001;
    c.VnDevicePtr = unit.get();  // the registry keeps the unit
    c.RxBuff.reset(new uint8_t[kBuff]());
    c.TxTlpBuff.reset(new uint8_t[kTlpMaxOutLength]());
    c.ThreadExitFd = -1;
    return &c;
}

// What one message read with these header bytes must produce: (type, channel, code) of the
// expected response, or nothing.
void Expect(const uint8_t* h, std::vector<std::tuple<int, int, int>>* pOut) {
    const uint8_t type = h[2], chl = h[3];
    const uint16_t code = Le16(h + 4);
    const uint16_t response = static_cast<uint16_t>(code + 0x8000);
    if (type != 1 || !IsUart(chl)) {
        pOut->emplace_back(type, chl, response);
        return;
    }
    if (code >= 1 && code <= 20) pOut->emplace_back(type, chl, response);
}

// Walks the stream as the service reads it when all of it is there at once.
std::vector<std::tuple<int, int, int>> Prepare(const std::vector<uint8_t>& s) {
    std::vector<std::tuple<int, int, int>> answered;
    size_t at = 0;
    while (s.size() - at >= kHeader) {
        const uint64_t total = uint64_t{Le32(&s[at + 8])} + kHeader;
        if (total > kBuff) break;
        Expect(&s[at], &answered);
        if (s.size() - at < total) break;  // handled with the bytes that arrived
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
    static _SIO_CLIENT* client = Setup();
    if (size > kMaxInput) return 0;
    std::vector<uint8_t> stream(data, data + size);
    auto expected = Prepare(stream);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) __builtin_trap();
    const int big = 1 << 20;
    for (int fd : sv) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    }
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
        const int more = SioClientHandleRx(client);
        const auto got = Drain(sv[1]);
        responses.insert(responses.end(), got.begin(), got.end());
        if (!more) break;
    }
    if (!WaitUntil([] { return SioWorkersRunning() == 0; }, 60000)) __builtin_trap();
    const auto rest = Drain(sv[1]);
    responses.insert(responses.end(), rest.begin(), rest.end());

    std::vector<std::tuple<int, int, int>> got;
    size_t at = 0;
    while (at < responses.size()) {
        if (responses.size() - at < kHeader) __builtin_trap();
        const uint8_t* h = &responses[at];
        if (h[0] != 1 || h[1] != 0) __builtin_trap();
        const uint16_t code = Le16(h + 4);
        const uint16_t status = Le16(h + 6);
        const uint32_t length = Le32(h + 8);
        if (status != 0 && length != 0) __builtin_trap();
        if (kHeader + length > 2060 || responses.size() - at - kHeader < length) __builtin_trap();
        got.emplace_back(h[2], h[3], code);
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
