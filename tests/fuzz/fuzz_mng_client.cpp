// One management client's receive-and-dispatch path: an arbitrary byte stream goes through a
// socketpair into MngClientHandleRx until it is used up, against a registry of three units
// (a control unit and a UART, four UARTs, no channels) behind a NIC whose socket is closed.
//
// Mapping makes /dev/ttyVN* nodes and records under /usr/share, so the target first moves into
// a mount namespace with tmpfs over both; without that privilege commands 8 and 9 are taken out
// of the stream. 4 (opens raw sockets on the machine's interfaces), 14 (sleeps 200 ms) and 16
// (runs a shell) are always taken out: their code becomes an unknown one, which gets no answer.
//
// Checked: one response per command code 1..16 and none for any other, each with version 1,
// the command's response code and a Length that fits the buffer and matches the bytes sent.
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../unit/registry_support.h"
#include "mng_server.h"
#include "pem_lock.h"
#include "vn_get_info.h"
#include "vn_main.h"

namespace {

constexpr size_t kHeader = 12;
constexpr size_t kBuff = 8192;
constexpr size_t kMaxInput = 64 * 1024;

const uint8_t kNicMac[6] = {0x02, 0x00, 0x00, 0x01, 0x00, 0x0F};
const uint8_t kUartUnit[6] = {0x02, 0x00, 0x00, 0x00, 0x0F, 0x01};
const uint8_t kFourUarts[6] = {0x02, 0x00, 0x00, 0x00, 0x0F, 0x02};
const uint8_t kEmptyUnit[6] = {0x02, 0x00, 0x00, 0x00, 0x0F, 0x03};

bool gSandboxed = false;

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool Sandbox() {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (mount("tmpfs", "/usr/share", "tmpfs", 0, "size=8m,mode=0755") != 0) return false;
    if (mount("tmpfs", "/dev", "tmpfs", 0, "size=1m,mode=0755") != 0) return false;
    mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3));
    mknod("/dev/zero", S_IFCHR | 0666, makedev(1, 5));
    mknod("/dev/urandom", S_IFCHR | 0666, makedev(1, 9));
    mkdir("/usr/share/qorservice_mapping", 0700);
    mkdir("/usr/share/qorservice_connect", 0700);
    return true;
}

PNIC_DEVICE MakeNic() {
    PNIC_DEVICE nic = NewClosedNic("fuzz0");
    nic->Index = 1;
    memcpy(nic->Mac, kNicMac, 6);
    qor::MutexLock lock(&NicListMutex);
    PemListInsertTail(&NicList, &nic->Entry);
    ++NicAmount;
    return nic;
}

// Dock mode; an optional control unit, then version 1 UARTs.
std::vector<uint8_t> InfoStructure(const char* model, int uarts, bool ctu) {
    InfoBuilder info(model);
    uint8_t chl = 0;
    if (ctu) info.Dib(chl++, 0, 0, {'F', 'U', 'Z', 'Z'});
    for (int i = 0; i < uarts; ++i) info.Dib(chl++, 1, 1, {0x80, 0x00, 0x80, 0x00});
    return info.bytes;
}

void AddUnit(PNIC_DEVICE nic, const uint8_t* mac, const std::vector<uint8_t>& info) {
    VnRef unit = VnMainAdd(nic, mac);
    if (!unit) __builtin_trap();
    // The get-info thread's first request goes nowhere; its wait ends before the structure
    // is put in by hand, under the same lock a pass decodes under.
    VnGetInfoThreadDelete(unit.get());
    qor::WriteLock lock(&unit->InfoLock);
    if (!VnGetInfoDecode(unit.get(), info.data(), info.size())) __builtin_trap();
    unit->Informed = 1;  // as a pass marks it: connect and mapping need not wait for one
}

_MNG_CLIENT* Setup() {
    gSandboxed = Sandbox();
    fprintf(stderr, "fuzz_mng_client: %s\n",
            gSandboxed ? "private /usr/share and /dev: every command but 4, 14 and 16 runs"
                       : "no sandbox: commands 4, 8, 9, 14 and 16 are taken out");
    PNIC_DEVICE nic = MakeNic();
    AddUnit(nic, kUartUnit, InfoStructure("FUZZ-U1", 1, true));
    AddUnit(nic, kFourUarts, InfoStructure("FUZZ-U4", 4, false));
    AddUnit(nic, kEmptyUnit, InfoStructure("FUZZ-E", 0, false));
    static _MNG_CLIENT c{};
    c.Index = 1;
    c.IsConnect = 1;
    c.RxBuff = new uint8_t[kBuff]();
    c.TxBuff = new uint8_t[kBuff]();
    c.ThreadExitFd = -1;
    pthread_mutex_init(&c.SendMutex, nullptr);
    return &c;
}

bool Filtered(uint16_t code) {
    if (code == 4 || code == 14 || code == 16) return true;
    return !gSandboxed && (code == 8 || code == 9);
}

// Walks the stream as the service reads it when all of it is there at once: a header of 12
// bytes, then Length more; a packet beyond the buffer ends the connection, a packet cut by
// the end of the stream is not handled. Filtered codes are replaced; the codes that must be
// answered are returned in order.
std::vector<uint16_t> Prepare(std::vector<uint8_t>& s) {
    std::vector<uint16_t> answered;
    size_t at = 0;
    while (s.size() - at >= kHeader) {
        const uint64_t total = uint64_t{Le32(&s[at + 8])} + kHeader;
        if (total > kBuff) break;
        if (s.size() - at < total) break;
        uint16_t code = Le16(&s[at + 4]);
        if (Filtered(code)) {
            code = 0xFFFF;
            s[at + 4] = s[at + 5] = 0xFF;
        }
        if (code >= 1 && code <= 16) answered.push_back(code);
        at += total;
    }
    return answered;
}

// Everything the service sent so far.
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
    static _MNG_CLIENT* client = Setup();
    if (size > kMaxInput) return 0;
    std::vector<uint8_t> stream(data, data + size);
    const std::vector<uint16_t> expected = Prepare(stream);

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) __builtin_trap();
    const int big = 1 << 20;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
    fcntl(sv[0], F_SETFL, fcntl(sv[0], F_GETFL) | O_NONBLOCK);
    size_t sent = 0;
    while (sent < stream.size()) {
        const ssize_t n = send(sv[1], stream.data() + sent, stream.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) __builtin_trap();  // the socket buffer holds the whole input
        sent += static_cast<size_t>(n);
    }
    shutdown(sv[1], SHUT_WR);  // the service sees the end of the stream

    client->Sock = sv[0];
    std::vector<uint8_t> responses;
    for (int calls = 0; calls < 100000; ++calls) {
        const int more = MngClientHandleRx(client);
        const auto got = Drain(sv[1]);
        responses.insert(responses.end(), got.begin(), got.end());
        if (!more) break;
    }

    // One well-formed response per answered command, in order, and nothing else.
    size_t at = 0;
    for (uint16_t code : expected) {
        if (responses.size() - at < kHeader) __builtin_trap();
        const uint8_t* h = &responses[at];
        if (h[0] != 1 || h[1] || h[2] || h[3]) __builtin_trap();
        if (Le16(h + 4) != (0x8000 | code)) __builtin_trap();
        const uint32_t length = Le32(h + 8);
        if (length > kBuff - kHeader || responses.size() - at - kHeader < length) __builtin_trap();
        at += kHeader + length;
    }
    if (at != responses.size()) __builtin_trap();

    close(sv[0]);
    close(sv[1]);
    client->Sock = -1;
    return 0;
}
