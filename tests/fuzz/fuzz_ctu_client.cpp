// One CTU client's receive-and-dispatch path: any byte stream into CtuClientHandleRx, for a
// unit with a control unit (name layout 1), a UART and a DIO channel that keep settings in
// flash, an MAI channel and a string channel. Every transaction to the unit fails to send.
// Command 7 with a path of 1..511 bytes becomes an unknown code (it would read this machine's
// files; the firmware checks have their own target).
//
// Checked: one response per command 1..13 and none for other codes (in any order: workers
// answer), each with a Length of 0 unless the status is 0.
#include <algorithm>

#include "ctu_obj.h"
#include "ctu_server.h"
#include "fuzz_support.h"

namespace {

_CTU_CLIENT* Setup() {
    InfoBuilder info("FUZZ-CTU");
    info.Dib(0, 0, 1, {'F', 'U', 'Z', 'Z'});
    info.Dib(1, 1, 5, {14, 1, 1, 0, 0x00, 0x04, 0x00, 0x04, 0x77, 0, 0, 0});
    info.Dib(2, 3, 2,
             {2, 0, 0, 0, 0xFF, 0, 0, 0, 0x80, 0xF0, 0xFA, 0x02, 0xE7, 0x4B, 0, 0, 0xE7, 0x4B, 0, 0});
    info.Dib(3, 10, 0, {0x00, 0x08, 0, 0, 1, 3, 0, 0, 8, 24, 3, 0x87, 0xC4, 0x09, 0x00, 0x03});
    info.Dib(4, 128, 0,
             {3, 4, 0, 0, 'S', 'N', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'n', 'a', 'm', 'e'});
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x0C, 0x01};
    VnRef unit = fuzz::AddUnit(fuzz::AddClosedNic(), mac, info);
    if (!CtuObjAdd(unit.get(), &unit->DibArray[0])) __builtin_trap();
    static _CTU_CLIENT c{};
    c.IsAlive = 1;
    c.IsConnect = 1;
    c.Sock = -1;
    c.ServerTcpPort = 50001;
    c.VnDevicePtr = unit.get();  // the registry keeps the unit
    c.RxBuff.reset(new uint8_t[fuzz::kBuff]());
    c.ThreadExitFd = -1;
    return &c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static _CTU_CLIENT* client = Setup();
    if (size > fuzz::kMaxInput) return 0;
    std::vector<uint8_t> stream(data, data + size);
    std::vector<uint16_t> expected;
    fuzz::ForEachRequest(stream.data(), stream.size(), [&](uint8_t* h, bool) {
        const uint32_t length = fuzz::Le32(h + 8);
        const uint16_t code = fuzz::Le16(h + 4);
        if (code == 7 && length >= 1 && length < 512) {
            h[4] = h[5] = 0xFF;
        } else if (code >= 1 && code <= 13) {
            expected.push_back(code);
        }
    });
    const auto sent = fuzz::Exchange(
        stream, &client->Sock, &client->TxMutex, [] { return CtuClientHandleRx(client); },
        [] { return CtuWorkersRunning() == 0; });

    std::vector<uint16_t> got;
    for (const fuzz::Packet& p : fuzz::Packets(sent, 2060)) {
        if (p.Type != 0 || p.Chl != 0 || (p.Code & 0x8000) == 0) __builtin_trap();
        if (p.Status != 0 && p.Length != 0) __builtin_trap();
        got.push_back(p.Code & 0x7FFF);
    }
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    if (got != expected) __builtin_trap();
    return 0;
}
