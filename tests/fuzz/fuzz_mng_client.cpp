// One management client's receive-and-dispatch path: any byte stream into MngClientHandleRx,
// against three units (a control unit and a UART, four UARTs, no channels). Mapping makes
// /dev/ttyVN* nodes and records under /usr/share, so the target first moves into a mount
// namespace with tmpfs over both, or else takes commands 8 and 9 out of the stream; 4 (raw
// sockets on this machine's interfaces), 14 (sleeps) and 16 (runs a shell) are always taken
// out: their code becomes an unknown one.
//
// Checked: one response per command 1..16, in order, and none for other codes.
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "fuzz_support.h"
#include "mng_server.h"

namespace {

bool gSandboxed = false;

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

// Dock mode; an optional control unit, then version 1 UARTs.
InfoBuilder Info(const char* model, int uarts, bool ctu) {
    InfoBuilder info(model);
    uint8_t chl = 0;
    if (ctu) info.Dib(chl++, 0, 0, {'F', 'U', 'Z', 'Z'});
    for (int i = 0; i < uarts; ++i) info.Dib(chl++, 1, 1, {0x80, 0x00, 0x80, 0x00});
    return info;
}

_MNG_CLIENT* Setup() {
    gSandboxed = Sandbox();
    fprintf(stderr, "fuzz_mng_client: %s\n",
            gSandboxed ? "private /usr/share and /dev: every command but 4, 14 and 16 runs"
                       : "no sandbox: commands 4, 8, 9, 14 and 16 are taken out");
    PNIC_DEVICE nic = fuzz::AddClosedNic();
    const uint8_t macs[3][6] = {{2, 0, 0, 0, 0x0F, 1}, {2, 0, 0, 0, 0x0F, 2}, {2, 0, 0, 0, 0x0F, 3}};
    fuzz::AddUnit(nic, macs[0], Info("FUZZ-U1", 1, true));
    fuzz::AddUnit(nic, macs[1], Info("FUZZ-U4", 4, false));
    fuzz::AddUnit(nic, macs[2], Info("FUZZ-E", 0, false));
    static _MNG_CLIENT c{};
    c.Index = 1;
    c.IsConnect = 1;
    c.RxBuff = new uint8_t[fuzz::kBuff]();
    c.TxBuff = new uint8_t[fuzz::kBuff]();
    c.ThreadExitFd = -1;
    pthread_mutex_init(&c.SendMutex, nullptr);
    return &c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static _MNG_CLIENT* client = Setup();
    if (size > fuzz::kMaxInput) return 0;
    std::vector<uint8_t> stream(data, data + size);
    // A packet cut by the end of the stream is not handled.
    std::vector<uint16_t> expected;
    fuzz::ForEachRequest(stream.data(), stream.size(), [&](uint8_t* h, bool cut) {
        const uint16_t code = fuzz::Le16(h + 4);
        if (cut) return;
        if (code == 4 || code == 14 || code == 16 || (!gSandboxed && (code == 8 || code == 9))) {
            h[4] = h[5] = 0xFF;
        } else if (code >= 1 && code <= 16) {
            expected.push_back(code);
        }
    });
    const auto sent = fuzz::Exchange(
        stream, &client->Sock, &client->SendMutex, [] { return MngClientHandleRx(client); },
        [] { return true; });

    const auto packets = fuzz::Packets(sent, fuzz::kBuff);
    if (packets.size() != expected.size()) __builtin_trap();
    for (size_t i = 0; i < packets.size(); ++i) {
        if (packets[i].Type != 0 || packets[i].Chl != 0 || packets[i].Code != (0x8000 | expected[i]))
            __builtin_trap();
    }
    return 0;
}
