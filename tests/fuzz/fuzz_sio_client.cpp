// One SIO client's receive-and-dispatch path and every family behind it: any byte stream into
// SioClientHandleRx, for a unit with a channel of every family the service serves (control
// unit, SER of controller versions 5, 0, 2 and 4, DIO, AI 0 and 1, AO, UI, UO, BAO, MAI types
// 0 and 1, TPS) and a string channel. Every TLP to the unit fails to send.
//
// Checked: SER and status-16 replies have a Length of 0 unless the status is 0. Per message: one
// response to a SER command 1..20 on a UART channel, none to SER data or other codes, one of
// status 16 to a device type the channel is not, at most one to anything else.
#include <map>
#include <tuple>

#include "fuzz_support.h"
#include "sio_obj.h"
#include "sio_server.h"
#include "sio_service.h"
#include "vn_unit_services.h"

namespace {

// The DIB type of each channel number.
const uint8_t kChannelType[] = {0, 1, 3, 5, 5, 6, 7, 8, 9, 10, 10, 11, 1, 1, 1, 128};

// Whether a message of this SIO device type to this channel reaches a family's object.
bool HasObject(uint8_t type, uint8_t chl) {
    return type != 0 && chl < sizeof(kChannelType) && kChannelType[chl] == type;
}

_SIO_CLIENT* Setup() {
    SioServiceRegister();
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
    info.Dib(12, 1, 0, {0x80, 0, 0x80, 0});
    info.Dib(13, 1, 2, {0, 2, 0, 2, 0xAB, 0x05, 0, 0});
    info.Dib(14, 1, 4, {0, 4, 0, 4, 0xFF, 0x1F, 0, 0});
    info.Dib(15, 128, 0,
             {3, 4, 0, 0, 'S', 'N', '1', '2', '3', '4', '5', '6', '7', '8', '9', '0', 'n', 'a', 'm', 'e'});
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x1C, 0x03};
    VnRef unit = fuzz::AddUnit(fuzz::AddClosedNic(), mac, info);
    // Objects as the connect creates them (the controller reads fail at once: closed NIC).
    for (int chl = 1; chl <= 14; ++chl) {
        _DIB& dib = unit->DibArray[chl];
        const _VN_CHANNEL_FAMILY* f = VnUnitServices.Families[dib.Type];
        if (!f || !f->Add) __builtin_trap();
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
    c.RxBuff.reset(new uint8_t[fuzz::kBuff]());
    c.TxTlpBuff.reset(new uint8_t[kTlpMaxOutLength]());
    c.ThreadExitFd = -1;
    return &c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static _SIO_CLIENT* client = Setup();
    if (size > fuzz::kMaxInput) return 0;
    std::vector<uint8_t> stream(data, data + size);
    // How many responses each (type, channel, response code) must and may get.
    using Key = std::tuple<int, int, int>;
    std::map<Key, std::pair<int, int>> bounds;
    fuzz::ForEachRequest(stream.data(), stream.size(), [&](const uint8_t* h, bool) {
        const uint8_t type = h[2], chl = h[3];
        const uint16_t code = fuzz::Le16(h + 4);
        auto& [least, most] = bounds[{type, chl, static_cast<uint16_t>(code + 0x8000)}];
        const bool object = HasObject(type, chl);
        if (!object || (type == 1 && code >= 1 && code <= 20)) ++least;
        if (!object || type != 1 || (code >= 1 && code <= 20)) ++most;
    });
    const auto sent = fuzz::Exchange(
        stream, &client->Sock, &client->TxMutex, [] { return SioClientHandleRx(client); },
        [] { return SioWorkersRunning() == 0; });

    std::map<Key, int> got;
    for (const fuzz::Packet& p : fuzz::Packets(sent, 2060)) {
        // SER and status-16 replies carry a payload only on success (other families may carry
        // one on failure too).
        const bool object = HasObject(p.Type, p.Chl);
        if ((!object && p.Status != 16) || ((!object || p.Type == 1) && p.Status != 0 && p.Length != 0))
            __builtin_trap();
        ++got[{p.Type, p.Chl, p.Code}];
    }
    for (const auto& [key, n] : got) {
        if (n > bounds[key].second) __builtin_trap();
    }
    for (const auto& [key, b] : bounds) {
        if (got[key] < b.first) __builtin_trap();
    }
    return 0;
}
