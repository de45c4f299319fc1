// Decoding of the service's management answers into the application's records. Every answer
// is untrusted: each field is read only after its bytes were seen to be in the payload, and no
// list writes more entries than the record holds.
#include "mng_decode.h"

#include <math.h>
#include <string.h>

#include <algorithm>

#include "qor_wire.h"
#include "qorio.h"

namespace qorlib {

static_assert(sizeof(_VN_NIC_RECORD) == 71 && offsetof(_VN_NIC_LIST, Nic) == 4);
static_assert(sizeof(_VN_DIO_BANK_RECORD) == 20);
static_assert(sizeof(_VN_CHL_RECORD) == 1272 && offsetof(_VN_CHL_RECORD, DioNumberOfBanks) == 5 &&
              offsetof(_VN_CHL_RECORD, DioSystemClockFrequency) == 8 && offsetof(_VN_CHL_RECORD, DioBank) == 12 &&
              offsetof(_VN_CHL_RECORD, UartRs232) == 652 && offsetof(_VN_CHL_RECORD, UartDcdPower) == 660 &&
              offsetof(_VN_CHL_RECORD, StrDeviceNameLength) == 664 && offsetof(_VN_CHL_RECORD, StrDeviceName) == 668 &&
              offsetof(_VN_CHL_RECORD, MaiFifoSize) == 740 && offsetof(_VN_CHL_RECORD, MaiFifoType) == 744 &&
              offsetof(_VN_CHL_RECORD, MaiMaxGains) == 750 && offsetof(_VN_CHL_RECORD, MaiReferenceVoltage) == 752);
static_assert(sizeof(_VN_UNIT_RECORD) == 81456 && offsetof(_VN_UNIT_RECORD, Mode) == 26 &&
              offsetof(_VN_UNIT_RECORD, LinkStatus) == 28 && offsetof(_VN_UNIT_RECORD, ConnectedHostMac) == 29 &&
              offsetof(_VN_UNIT_RECORD, MinorVersion) == 38 && offsetof(_VN_UNIT_RECORD, CtuTcpPort) == 40 &&
              offsetof(_VN_UNIT_RECORD, SioTcpPort) == 44 && offsetof(_VN_UNIT_RECORD, Chl) == 48);
static_assert(sizeof(_VN_UNIT_LIST) == 10426376 && offsetof(_VN_UNIT_LIST, Unit) == 8);
static_assert(sizeof(_VN_MAPPING_RECORD) == 140 && offsetof(_VN_MAPPING_RECORD, NumberOfUarts) == 8 &&
              offsetof(_VN_MAPPING_LIST, Mapping) == 4);
static_assert(sizeof(_VN_VERSION) == 95);

namespace {

constexpr size_t kPortsRecordLength = 36;

// The 28 bytes every unit record starts with (mode and password flag are the detail's).
void _DecodeBasic(const uint8_t* p, _VN_UNIT_RECORD* pUnit) {
    memcpy(pUnit->VnMac, p, 6);
    memcpy(pUnit->ModelName, p + 6, 10);
    pUnit->LinkStatus = p[17];
    memcpy(pUnit->ConnectedHostMac, p + 18, 6);
    pUnit->MappingStatus = p[24];
    pUnit->AvailableChls = p[25];
    pUnit->MajorVersion = p[26];
    pUnit->MinorVersion = p[27];
}

void _DecodePorts(const uint8_t* p, _VN_UNIT_RECORD* pUnit) {
    pUnit->CtuTcpPort = qor::GetBe32(p + 28);
    pUnit->SioTcpPort = qor::GetBe32(p + 32);
}

// Fixed-size unit records back to back; a partial record at the end is not decoded.
}  // namespace

int MngDecodeUnitList(const _MNG_RESPONSE& r, size_t RecordLength, _VN_UNIT_LIST* pList) {
    pList->Count = 0;
    if (r.PayloadLength == 0) return VN_ERR_EMPTY_ANSWER;
    const size_t n = std::min<size_t>(r.PayloadLength / RecordLength, VN_MAX_UNITS);
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* p = r.Payload + i * RecordLength;
        _VN_UNIT_RECORD* u = &pList->Unit[i];
        memset(u, 0, sizeof(*u));
        _DecodeBasic(p, u);
        if (RecordLength == kPortsRecordLength) _DecodePorts(p, u);
    }
    pList->Count = static_cast<uint32_t>(n);
    return 0;
}

namespace {

void _DecodeUart(const uint8_t* e, size_t n, uint8_t Info, _VN_CHL_RECORD* c) {
    const unsigned version = Info & 7;
    size_t at;
    if (version >= 2 && version <= 4) {
        at = 4;
    } else if (version == 5) {
        at = 8;
    } else {
        return;
    }
    if (at + 2 > n) return;
    const uint8_t c0 = e[at], c1 = e[at + 1];
    uint8_t* flags = &c->UartRs232;
    for (int bit = 0; bit < 7; ++bit) flags[bit] = (c0 >> bit) & 1;
    c->UartRiPower = (c0 & 0x80) ? 1 : (c1 & 0x01) ? 2 : (c1 & 0x02) ? 3 : 0;
    c->UartDcdPower = (c1 & 0x04) ? 1 : (c1 & 0x08) ? 2 : (c1 & 0x10) ? 3 : 0;
}

void _DecodeDio(const uint8_t* e, size_t n, _VN_CHL_RECORD* c) {
    if (n < 12) return;
    c->DioShareSameDirection = e[1] & 1;
    c->DioSamplingClockScale = e[4];
    c->DioSystemClockFrequency = qor::GetLe32(e + 8);
    // Only banks whose bytes are present and that fit the record are listed, and the count
    // says how many, so a reader never walks past what was filled.
    size_t banks = std::min<size_t>(e[0], VN_MAX_DIO_BANKS);
    banks = std::min(banks, (n - 12) / 4);
    for (size_t j = 0; j < banks; ++j) {
        const uint8_t a = e[12 + 4 * j], b = e[13 + 4 * j];
        _VN_DIO_BANK_RECORD* k = &c->DioBank[j];
        k->BankIndex = static_cast<uint8_t>(j);
        k->NumberOfIos = (a & 0x1F) <= 15 ? static_cast<uint8_t>((a & 0x1F) + 1) : 0;
        k->WriteSettingsToFlash = (a >> 5) & 1;
        k->DirectionCapability = (a >> 6) & 3;
        k->EdgeTriggerCapability = b & 3;
        k->OutputPinConfiguration = (b >> 2) & 0x0F;
        const uint8_t r = (b >> 6) & 3;
        k->OutputPinResistorApplied = r == 3 ? 0 : r;
    }
    c->DioNumberOfBanks = static_cast<uint8_t>(banks);
}

void _DecodeMai(const uint8_t* e, size_t n, _VN_CHL_RECORD* c) {
    if (n < 16) return;
    c->MaiFifoSize = static_cast<uint32_t>(e[0]) | (static_cast<uint32_t>(e[1]) << 8) |
                     (static_cast<uint32_t>(e[2]) << 16) | (static_cast<uint32_t>(e[3] & 0x7F) << 24);
    c->MaiFifoType = (e[3] >> 7) & 1;
    c->MaiType = e[4];
    c->MaiInputSources = e[5];
    c->MaiNumberOfPorts = e[8];
    c->MaiResolution = e[9];
    c->MaiInputTypes = e[10];
    c->MaiMaxGains = e[11] & 0x3F;
    const uint32_t v = qor::GetLe32(e + 12);
    c->MaiReferenceVoltage = static_cast<double>(v & 0xFFFFFF) * pow(10.0, -static_cast<double>(v >> 24));
}

void _DecodeString(const uint8_t* e, size_t n, _VN_CHL_RECORD* c) {
    if (n < 2) return;
    const size_t start = (static_cast<size_t>(e[0]) + 1) * 4;
    size_t length = static_cast<size_t>(e[1]) * 4;
    if (start >= n) return;
    length = std::min({length, n - start, sizeof(c->StrDeviceName)});
    memcpy(c->StrDeviceName, e + start, length);
    c->StrDeviceNameLength = static_cast<uint32_t>(length);
}

}  // namespace

int MngDecodeDetail(const _MNG_RESPONSE& r, _VN_UNIT_RECORD* pUnit) {
    memset(pUnit, 0, sizeof(*pUnit));
    if (r.PayloadLength < kPortsRecordLength) return VN_ERR_ANSWER_LENGTH;
    const uint8_t* p = r.Payload;
    _DecodeBasic(p, pUnit);
    pUnit->Mode = p[16] & 7;
    pUnit->PasswordEnabled = (p[16] >> 4) & 1;
    _DecodePorts(p, pUnit);
    size_t at = kPortsRecordLength;
    for (size_t i = 0; i < p[25] && i < VN_MAX_CHANNELS; ++i) {
        if (at + 6 > r.PayloadLength) break;
        const uint8_t* h = r.Payload + at;
        const size_t extra = h[5];
        if (at + 6 + extra > r.PayloadLength) break;
        const uint8_t* e = h + 6;
        _VN_CHL_RECORD* c = &pUnit->Chl[i];
        c->ChlNumber = h[0];
        c->Type = h[1];
        c->TtyMinorNumber = h[4];
        switch (h[1]) {
            case 1: _DecodeUart(e, extra, h[3], c); break;
            case 3: _DecodeDio(e, extra, c); break;
            case 10: _DecodeMai(e, extra, c); break;
            case 128: _DecodeString(e, extra, c); break;
            default: break;
        }
        at += 6 + extra;
    }
    return 0;
}

int MngDecodeNicList(const _MNG_RESPONSE& r, _VN_NIC_LIST* pList) {
    pList->Count = 0;
    if (r.PayloadLength == 0) return VN_ERR_EMPTY_ANSWER;
    size_t at = 0;
    uint32_t count = 0;
    // Index (1), MAC (6), name length (1), name; a record cut short ends the list.
    while (count < VN_MAX_NICS && at + 8 <= r.PayloadLength) {
        const size_t nameLength = r.Payload[at + 7];
        if (at + 8 + nameLength > r.PayloadLength) break;
        _VN_NIC_RECORD* nic = &pList->Nic[count];
        memset(nic, 0, sizeof(*nic));
        nic->NicIndex = r.Payload[at];
        memcpy(nic->NicMac, r.Payload + at + 1, 6);
        memcpy(nic->IfName, r.Payload + at + 8, std::min(nameLength, sizeof(nic->IfName) - 1));
        at += 8 + nameLength;
        ++count;
    }
    pList->Count = count;
    return 0;
}

int MngDecodeMappingList(const _MNG_RESPONSE& r, _VN_MAPPING_LIST* pList) {
    pList->Count = 0;
    if (r.PayloadLength == 0) return VN_ERR_EMPTY_ANSWER;
    size_t at = 0;
    uint32_t count = 0;
    // MAC (6), k (1), k pairs; a record cut short ends the list.
    while (count < VN_MAX_MAPPINGS && at + 7 <= r.PayloadLength) {
        const size_t k = r.Payload[at + 6];
        if (at + 7 + 2 * k > r.PayloadLength) break;
        _VN_MAPPING_RECORD* m = &pList->Mapping[count];
        memset(m, 0, sizeof(*m));
        memcpy(m->VnMac, r.Payload + at, 6);
        const size_t pairs = std::min<size_t>(k, VN_MAX_MAPPING_PAIRS);
        for (size_t i = 0; i < pairs; ++i) {
            m->Pair[i].ChlNumber = r.Payload[at + 7 + 2 * i];
            m->Pair[i].TtyMinorNumber = r.Payload[at + 8 + 2 * i];
        }
        m->NumberOfUarts = static_cast<uint32_t>(pairs);
        at += 7 + 2 * k;
        ++count;
    }
    pList->Count = count;
    return 0;
}

}  // namespace qorlib
