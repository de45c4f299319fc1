// Every SIO family's message path: an arbitrary byte stream goes through a socketpair into
// SioClientHandleRx until it is used up, for a unit that has a channel of every family the
// service serves (control unit, SER, DIO, AI of versions 0 and 1, AO, UI, UO, BAO, MAI of
// types 0 and 1, TPS) behind a NIC whose socket is closed: every TLP to the unit fails to
// send, so each command ends with a status of its own checks or 32. Any device type (1..11 and
// beyond), channel, code, port, bank, value and length reaches the families.
//
// Checked (besides the sanitizers): every message the service sends is well formed (version
// 1, a Length that the bytes sent hold, never above 2060 bytes in all), answers a message of
// the stream (its device type and channel, its code + 0x8000), and no message of the stream
// gets more than one answer.
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "../unit/registry_support.h"
#include "pem_lock.h"
#include "sio_obj.h"
#include "sio_server.h"
#include "sio_service.h"
#include "vn_get_info.h"
#include "vn_main.h"
#include "vn_unit_services.h"

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kBuff = 8192;
constexpr size_t kMaxInput = 64 * 1024;

const uint8_t kNicMac[6] = {0x02, 0x00, 0x00, 0x01, 0x00, 0x1F};
const uint8_t kUnit[6] = {0x02, 0x00, 0x00, 0x00, 0x1C, 0x03};

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

_SIO_CLIENT* Setup() {
    SioServiceRegister();
    PNIC_DEVICE nic = NewClosedNic("fuzz1");
    nic->Index = 1;
    memcpy(nic->Mac, kNicMac, 6);
    {
        qor::MutexLock lock(&NicListMutex);
        PemListInsertTail(&NicList, &nic->Entry);
        ++NicAmount;
    }
    InfoBuilder info("FUZZ-ALL");
    info.Dib(0, 0, 1, {'F', 'U', 'Z', 'Z'});
    info.Dib(1, 1, 5, {14, 1, 1, 0, 0x00, 0x04, 0x00, 0x04, 0x01, 0, 0, 0});
    info.Dib(2, 3, 2,
             {2, 0, 0, 0, 0xFF, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xE7, 0x4B, 0, 0, 0xE7, 0x4B, 0, 0});
    info.Dib(3, 5, 0, {0, 4, 0, 0x80, 2, 16, 3, 0x02, 0xA0, 0x86, 1, 0, 0xC4, 9, 0, 3});
    info.Dib(4, 5, 1, {0, 8, 0, 0, 16, 16, 3, 0x84, 0xA0, 0x86, 1, 0, 0xC4, 9, 0, 3});
    info.Dib(5, 6, 0, {0, 2, 0, 0, 4, 16, 0, 0, 0xA0, 0x86, 1, 0, 0x10, 0x27, 0, 3});
    info.Dib(6, 7, 0, {0, 4, 0,    0, 2, 0, 0,    0, 2, 16, 7,    3,    0x50, 0xC3, 0,    0,    0xC4, 9,
                       0, 3, 0xE8, 3, 0, 3, 0x14, 0, 0, 3,  0x0A, 0x0F, 0,    6,    0x91, 0x16, 0,    0x10});
    info.Dib(7, 8, 0, {4, 16, 3, 0, 0x10, 0x27, 0, 3, 0xE8, 3, 0, 3, 0x14, 0, 0, 3});
    info.Dib(8, 9, 0, {8, 2, 16, 0, 0x10, 0x27, 0, 3});
    info.Dib(9, 10, 0, {0, 8, 0, 0, 0, 3, 0, 0, 2, 24, 3, 0x07, 0xC4, 9, 0, 3});
    info.Dib(10, 10, 0, {0, 8, 0, 0, 1, 3, 0, 0, 16, 24, 3, 0x87, 0xC4, 9, 0, 3});
    info.Dib(11, 11, 0, {4, 16, 0, 0, 0x71, 2, 0, 4});
    VnRef unit = VnMainAdd(nic, kUnit);
    if (!unit) __builtin_trap();
    VnGetInfoThreadDelete(unit.get());
    {
        qor::WriteLock lock(&unit->InfoLock);
        if (!VnGetInfoDecode(unit.get(), info.bytes.data(), info.bytes.size())) __builtin_trap();
        unit->Informed = 1;
    }
    // Objects as the connect creates them (the controller reads fail at once: closed NIC).
    for (int chl = 1; chl <= 11; ++chl) {
        _DIB& dib = unit->DibArray[chl];
        const _VN_CHANNEL_FAMILY* f = dib.Type < 12 ? VnUnitServices.Families[dib.Type] : nullptr;
        if (!f || !f->Add) continue;
        if (!f->Add(unit.get(), &dib, 0)) __builtin_trap();
        if (f->GetControllerInfo) {
            qor::ReadLock lock(&unit->InfoLock);
            f->GetControllerInfo(unit.get(), &dib, 0);
        }
    }
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
    // The messages of the stream the service can read whole: how many of each (type, channel,
    // response code) may be answered.
    std::map<std::tuple<int, int, int>, int> allowed;
    for (size_t at = 0; size - at >= kHeader;) {
        const uint64_t total = uint64_t{Le32(data + at + 8)} + kHeader;
        if (total > kBuff) break;
        allowed[{data[at + 2], data[at + 3], static_cast<uint16_t>(Le16(data + at + 4) + 0x8000)}]++;
        if (size - at < total) break;
        at += static_cast<size_t>(total);
    }

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) __builtin_trap();
    const int big = 1 << 20;
    for (int fd : sv) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    }
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    for (size_t sent = 0; sent < size;) {
        const ssize_t n = send(sv[1], data + sent, size - sent, MSG_NOSIGNAL);
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

    for (size_t at = 0; at < responses.size();) {
        if (responses.size() - at < kHeader) __builtin_trap();
        const uint8_t* h = &responses[at];
        if (h[0] != 1 || h[1] != 0) __builtin_trap();
        const uint32_t length = Le32(h + 8);
        if (kHeader + length > 2060 || responses.size() - at - kHeader < length) __builtin_trap();
        if (--allowed[{h[2], h[3], Le16(h + 4)}] < 0) __builtin_trap();
        at += kHeader + length;
    }
    {
        qor::MutexLock lock(&client->TxMutex);
        client->Sock = -1;
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
