#include "vn_mng_query.h"

#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "nic_main.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "vn_main.h"
#include "vn_unit_services.h"

namespace {

// Appends to a fixed buffer; once a record does not fit, nothing more is appended.
class Writer {
public:
    Writer(uint8_t* p, size_t cap) : p_(p), cap_(cap) { memset(p_, 0, cap_); }
    bool Fits(size_t n) const { return !full_ && n <= cap_ - used_; }
    // Reserves n bytes for one record; null (and no further records) when they do not fit.
    uint8_t* Take(size_t n) {
        if (!Fits(n)) {
            full_ = true;
            return nullptr;
        }
        uint8_t* at = p_ + used_;
        used_ += n;
        return at;
    }
    size_t Used() const { return used_; }

private:
    uint8_t* p_;
    size_t cap_;
    size_t used_ = 0;
    bool full_ = false;
};

// Callers hold the unit's InfoLock shared.
void _BasicInfo(PVN_DEVICE pVn, uint8_t* r) {
    memcpy(r, pVn->Mac, 6);
    memcpy(r + 6, pVn->ModelName, 10);
    r[16] = pVn->TypeInfo;
    r[17] = pVn->LinkStatus;
    if (pVn->LinkStatus == 1) memcpy(r + 18, pVn->ConnectedHostMac, 6);
    r[24] = pVn->IsMappingByHost ? 1 : 0;
    r[25] = pVn->AvailableChls;
    r[26] = pVn->MajorVersion;
    r[27] = pVn->MinorVersion;
}

void _BasicInfoWithPorts(PVN_DEVICE pVn, uint8_t* r) {
    _BasicInfo(pVn, r);
    uint32_t ctu = 0, sio = 0;
    if (pVn->IsConnectedByHost) VnMainGetTcpPorts(pVn, &ctu, &sio);
    qor::PutBe32(r + 28, ctu);
    qor::PutBe32(r + 32, sio);
}

// References to every listed unit in ascending index, taken under VnListMutex.
std::vector<VnRef> _UnitsByIndex() {
    std::vector<VnRef> units;
    {
        qor::MutexLock lock(&VnListMutex);
        for (PDLIST p = VnList.Flink; p != &VnList; p = p->Flink) {
            PVN_DEVICE pVn = reinterpret_cast<PVN_DEVICE>(p);
            pVn->RefCount.fetch_add(1, std::memory_order_relaxed);
            units.emplace_back(pVn);
        }
    }
    std::sort(units.begin(), units.end(), [](const VnRef& a, const VnRef& b) { return a->Index < b->Index; });
    return units;
}

template <typename Pred>
uint16_t _SearchList(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength, Pred pred) {
    Writer w(pBuff, BuffLength);
    for (const VnRef& u : _UnitsByIndex()) {
        qor::ReadLock info(&u->InfoLock);
        if (u->AvailableChls == 0 || !pred(u.get())) continue;
        uint8_t* r = w.Take(kMngBasicVnInfoLength);
        if (!r) break;
        _BasicInfo(u.get(), r);
    }
    *pReturnLength = w.Used();
    return MNG_STATUS_SUCCESS;
}

uint16_t _DetailInfo(PVN_DEVICE pVn, uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    qor::ReadLock info(&pVn->InfoLock);
    Writer w(pBuff, BuffLength);
    uint8_t* r = w.Take(kMngBasicVnInfoWithPortsLength);
    if (r) _BasicInfoWithPorts(pVn, r);
    const int channels = std::min<int>(pVn->AvailableChls, kVnMaxChannels);
    for (int i = 0; r && i < channels; ++i) {
        const _DIB& dib = pVn->DibArray[i];
        const size_t extra = dib.LengthInDW > 1 ? (static_cast<size_t>(dib.LengthInDW) - 1) * 4 : 0;
        // The record holds at most 128 extra bytes; the length byte says what follows.
        const size_t kept = std::min<size_t>(extra, kDibMaxExtraData);
        uint8_t* e = w.Take(6 + kept);
        if (!e) break;
        e[0] = dib.ChlNumber;
        e[1] = dib.Type;
        e[2] = dib.LengthInDW;
        e[3] = dib.Info;
        e[4] = (pVn->IsMappingByHost && dib.Type == DIB_TYPE_UART) ? static_cast<uint8_t>(dib.Uart.TtyMinorNumber) : 0;
        e[5] = static_cast<uint8_t>(kept);
        memcpy(e + 6, dib.ExtraData, kept);
    }
    *pReturnLength = w.Used();
    return MNG_STATUS_SUCCESS;
}

}  // namespace

void VnMainGetTcpPorts(PVN_DEVICE pVn, uint32_t* pCtuTcpPort, uint32_t* pSioTcpPort) {
    *pCtuTcpPort = 0;
    *pSioTcpPort = 0;
    if (VnUnitServices.GetTcpPorts) VnUnitServices.GetTcpPorts(pVn, pCtuTcpPort, pSioTcpPort);
    if (VnUnitServices.SioGetTcpPort) *pSioTcpPort = VnUnitServices.SioGetTcpPort(pVn);
}

uint16_t VnMainSearchByAllNic(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    qor::MutexLock extra(&VnListMutexExtra);
    return _SearchList(pBuff, BuffLength, pReturnLength, [](PVN_DEVICE) { return true; });
}

uint16_t VnMainSearchBySpecificNic(const uint8_t* pNicMac, uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    qor::MutexLock extra(&VnListMutexExtra);
    memset(pBuff, 0, BuffLength);
    *pReturnLength = 0;
    if (!pNicMac) return MNG_STATUS_PARAMETER_INVALID;
    NicRef nic = NicMainGetByMac(pNicMac);
    if (!nic) return MNG_STATUS_NIC_NOT_FOUND;
    PNIC_DEVICE pNic = nic.get();
    return _SearchList(pBuff, BuffLength, pReturnLength, [pNic](PVN_DEVICE pVn) { return pVn->NicPtr.get() == pNic; });
}

uint16_t VnMainGetSpecificVnDetailInfo(const uint8_t* pVnMac, uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    qor::MutexLock extra(&VnListMutexExtra);
    memset(pBuff, 0, BuffLength);
    *pReturnLength = 0;
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    return _DetailInfo(u.get(), pBuff, BuffLength, pReturnLength);
}

uint16_t VnMainUpdateSpecificVnDetailInfo(const uint8_t* pVnMac, uint8_t* pBuff, size_t BuffLength,
                                          size_t* pReturnLength) {
    qor::MutexLock extra(&VnListMutexExtra);
    memset(pBuff, 0, BuffLength);
    *pReturnLength = 0;
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    VnMainUpdateInfo(u.get());
    usleep(200 * 1000);  // the fresh info structure arrives within the reply wait
    return _DetailInfo(u.get(), pBuff, BuffLength, pReturnLength);
}

size_t VnMainBuildMappingInfo(PVN_DEVICE pVn, uint8_t* pBuff, size_t BuffLength) {
    qor::ReadLock info(&pVn->InfoLock);
    const int channels = std::min<int>(pVn->AvailableChls, kVnMaxChannels);
    int uarts = 0;
    for (int i = 0; i < channels; ++i) uarts += pVn->DibArray[i].Type == DIB_TYPE_UART;
    const size_t length = 7 + 2 * static_cast<size_t>(uarts);
    if (length > BuffLength) return 0;
    memcpy(pBuff, pVn->Mac, 6);
    pBuff[6] = static_cast<uint8_t>(uarts);
    size_t at = 7;
    for (int i = 0; i < channels; ++i) {
        const _DIB& dib = pVn->DibArray[i];
        if (dib.Type != DIB_TYPE_UART) continue;
        pBuff[at++] = dib.ChlNumber;
        pBuff[at++] = dib.Uart.TtyMinorNumber < 0 ? 0xFF : static_cast<uint8_t>(dib.Uart.TtyMinorNumber);
    }
    return length;
}

uint16_t VnMainGetAllMappingInfoMappedByHost(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    Writer w(pBuff, BuffLength);
    uint8_t record[7 + 2 * kVnMaxChannels];
    for (const VnRef& u : _UnitsByIndex()) {
        if (!u->IsMappingByHost) continue;
        const size_t n = VnMainBuildMappingInfo(u.get(), record, sizeof(record));
        uint8_t* r = w.Take(n);
        if (!r) break;
        memcpy(r, record, n);
    }
    *pReturnLength = w.Used();
    return MNG_STATUS_SUCCESS;
}

uint16_t VnMainGetAllVnInfoConnectedByHost(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    Writer w(pBuff, BuffLength);
    for (const VnRef& u : _UnitsByIndex()) {
        if (!u->IsConnectedByHost) continue;
        uint8_t* r = w.Take(kMngBasicVnInfoWithPortsLength);
        if (!r) break;
        qor::ReadLock info(&u->InfoLock);
        _BasicInfoWithPorts(u.get(), r);
    }
    *pReturnLength = w.Used();
    return MNG_STATUS_SUCCESS;
}

uint16_t NicMainGetAllInfo(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength) {
    std::vector<NicRef> nics;
    {
        qor::MutexLock lock(&NicListMutex);
        for (PDLIST p = NicList.Flink; p != &NicList; p = p->Flink) nics.push_back(NicMainAddRef(reinterpret_cast<PNIC_DEVICE>(p)));
    }
    std::sort(nics.begin(), nics.end(), [](const NicRef& a, const NicRef& b) { return a->Index < b->Index; });
    Writer w(pBuff, BuffLength);
    for (const NicRef& nic : nics) {
        const size_t nameLength = strnlen(nic->InterfaceName, sizeof(nic->InterfaceName) - 1);
        uint8_t* r = w.Take(8 + nameLength);
        if (!r) break;
        r[0] = static_cast<uint8_t>(nic->Index);
        memcpy(r + 1, nic->Mac, 6);
        r[7] = static_cast<uint8_t>(nameLength);
        memcpy(r + 8, nic->InterfaceName, nameLength);
    }
    *pReturnLength = w.Used();
    return MNG_STATUS_SUCCESS;
}
