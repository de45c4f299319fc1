// The AO family: its commands on the analog-output engine, its info record, its objects and
// registration, the client's output data to the unit and the unit's events to the client.
#include "sio_ao_obj.h"

#include <string.h>

#include <algorithm>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "vn_unit_services.h"

_DLIST SioAoObjList = {&SioAoObjList, &SioAoObjList};
int SioAoObjAmount = 0;
pthread_mutex_t SioAoObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define AO_OBJ_FMT "AO  (:%.2x:%.2x:%.2x, C:%d, %p), "

constexpr uint32_t kAll = 0xFFFFFFFFu;
constexpr AoOp kNo = AoOp::NotSupported;

// clang-format off
const _AO_CMD kCmds[] = {
    {1, "AO_CMD_GET_INFO", "get info", AoOp::Info, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {2, "AO_CMD_GET_UPDATE_ENABLE", "get update enable", AoOp::Get, false, AO_REG_TLP_CTRL, 0x1, 0, 1, AoCheck::None, 0, false},
    {3, "AO_CMD_SET_UPDATE_ENABLE", "set update enable", AoOp::Set, false, AO_REG_TLP_CTRL, 0x1, 0, 1, AoCheck::Bool, 0, false},
    {4, "AO_CMD_GET_EVENT_ENABLE", "get event enable", AoOp::Get, false, AO_REG_TLP_CTRL, 0x2, 1, 1, AoCheck::None, 0, false},
    {5, "AO_CMD_SET_EVENT_ENABLE", "set event enable", AoOp::Set, false, AO_REG_TLP_CTRL, 0x2, 1, 1, AoCheck::Bool, 0, false},
    {6, "AO_CMD_GET_PORTS_ENABLE", "get ports enable", AoOp::Get, false, AO_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AoCheck::None, 0, false},
    {7, "AO_CMD_SET_PORTS_ENABLE", "set ports enable", AoOp::Set, false, AO_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AoCheck::None, 0, false},
    {8, "AO_CMD_GET_CALIBRATION_VALUE", "get calibration value", AoOp::Get, false, AO_REG_DAC_CALIBRATION, 0xFFFF, 0, 2, AoCheck::None, 0, false},
    {9, "AO_CMD_SET_CALIBRATION_VALUE", "set calibration value", AoOp::Set, false, AO_REG_DAC_CALIBRATION, 0xFFFF, 0, 2, AoCheck::None, 0, false},
    {10, "AO_CMD_GET_GAIN_CTRL_FOR_ALL_PORTS", "get gain ctrl for all ports", AoOp::Get, false, AO_REG_DAC_CTRL, 0x1, 0, 1, AoCheck::None, 0, false},
    {11, "AO_CMD_SET_GAIN_CTRL_FOR_ALL_PORTS", "set gain ctrl for all ports", AoOp::Set, false, AO_REG_DAC_CTRL, 0x1, 0, 1, AoCheck::GainAll, 2, false},
    {12, "AO_CMD_GET_BUFFER_CLEAR_CTRL", "get buffer clear ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {13, "AO_CMD_SET_BUFFER_CLEAR_CTRL", "set buffer clear ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {14, "AO_CMD_GET_POWER_DOWN_CTRL", "get power down ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {15, "AO_CMD_SET_POWER_DOWN_CTRL", "set power down ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {16, "AO_CMD_GET_PORT_UPDATE_RATE_DIVIDER", "get port update rate divider", AoOp::Get, true, AO_PORT_UPDATE_RATE_CTRL, kAll, 0, 4, AoCheck::None, 0, false},
    {17, "AO_CMD_SET_PORT_UPDATE_RATE_DIVIDER", "set port update rate divider", AoOp::Set, true, AO_PORT_UPDATE_RATE_CTRL, kAll, 0, 4, AoCheck::None, 0, false},
    {18, "AO_CMD_GET_PORT_FIFO_TRIGGER_LEVEL", "get port fifo trigger level", AoOp::Get, true, AO_PORT_FIFO_CTRL, 0xFF, 0, 1, AoCheck::None, 0, true},
    {19, "AO_CMD_SET_PORT_FIFO_TRIGGER_LEVEL", "set port fifo trigger level", AoOp::Set, true, AO_PORT_FIFO_CTRL, 0xFF, 0, 1, AoCheck::None, 0, true},
    {20, "AO_CMD_GET_PORT_GAIN_CTRL", "get port gain ctrl", AoOp::Get, true, AO_PORT_OUTPUT_CTRL, 0xFF, 0, 1, AoCheck::None, 0, false},
    {21, "AO_CMD_SET_PORT_GAIN_CTRL", "set port gain ctrl", AoOp::Set, true, AO_PORT_OUTPUT_CTRL, 0xFF, 0, 1, AoCheck::GainPort, 0, false},
};
// clang-format on

bool _Has(PDIB d) {
    return d->AoPtr != nullptr;
}
uint8_t _Ports(PDIB d) {
    return d->AoPtr->NumberOfOutputPorts;
}
uint32_t _PortBase(PDIB, int p) {
    return 3u * static_cast<uint32_t>(p + 1);
}
uint8_t _Version(PDIB d) {
    return d->AoPtr->Version;
}
uint8_t _Gains(PDIB d) {
    return d->AoPtr->SupportMaxProgramableGains;
}
bool _HasFifo(PDIB d) {
    return d->AoPtr->FifoSize != 0;
}
uint32_t _InfoWords(PDIB d) {
    return 3u * (std::min<uint32_t>(d->AoPtr->NumberOfOutputPorts, kDibMaxPorts) + 1);
}

uint32_t* _CacheAt(PDIB d, uint32_t off) {
    _DIB_AO& a = *d->AoPtr;
    if (off == AO_REG_TLP_CTRL) return &a.TlpCtrlReg;
    if (off == AO_REG_DAC_CALIBRATION) return &a.DACCalibrationReg;
    if (off == AO_REG_DAC_CTRL) return &a.DACCtrlReg;
    const uint32_t p = off / 3 - 1;
    if (p >= kDibMaxPorts) return nullptr;
    switch (off % 3) {
        case AO_PORT_UPDATE_RATE_CTRL:
            return &a.Port[p].UpdateRateCtrlReg;
        case AO_PORT_FIFO_CTRL:
            return &a.Port[p].FifoCtrlReg;
        default:
            return &a.Port[p].OutputCtrlReg;
    }
}

size_t _InfoRecord(PDIB d, uint8_t* out) {
    const _DIB_AO& a = *d->AoPtr;
    size_t n = 0;
    out[n++] = a.Version;
    qor::PutBe16(out + n, a.FifoSize);
    n += 2;
    out[n++] = a.NumberOfOutputPorts;
    out[n++] = a.Resolution;
    out[n++] = a.SupportMaxProgramableGains;
    qor::PutBe32(out + n, a.MaxUpdateingRateCapability);
    n += 4;
    memcpy(out + n, a.Vref, 4);
    n += 4;
    for (int p = 0; p < a.NumberOfOutputPorts && p < kDibMaxPorts; ++p) {
        const _DIB_AO_PORT& q = a.Port[p];
        out[n++] = q.PortIndex;
        qor::PutBe32(out + n, q.UpdateRateCtrlReg);
        n += 4;
        out[n++] = static_cast<uint8_t>(q.FifoCtrlReg);
        out[n++] = static_cast<uint8_t>(q.OutputCtrlReg);
    }
    return n;
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioAoObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioAoObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioAoObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kAoChannelFamily = {0,
                                             1,
                                             1,
                                             _FamilyAdd,
                                             _FamilyDel,
                                             _FamilyInfo,
                                             1,
                                             "get AO controller & port info fail",
                                             "get AO controller & port info fail"};

const _VN_TLP_CONSUMER kAoConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioAoFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _AO_FAMILY_DESC SioAoDesc = {
    "AO  ",      kCmds,      sizeof(kCmds) / sizeof(kCmds[0]),
    _Has,        _Ports,     _PortBase,
    _CacheAt,    _Version,   _Gains,
    _HasFifo,    _InfoWords, 0,
    _InfoRecord,
};

const _SIO_FAMILY SioAoFamily = {
    SIO_DEVICE_AO,     "AO  (T:%d, C:%d), ", AO_OBJ_FMT,       &SioAoObjList, &SioAoObjListMutex,
    &SioAoObjAmount,   SioAoCodeName,        SioAoCommandWord, SioAoHandle,   AO_DATA_LIBRARY_TO_SERVICE,
    SioAoDataTransmit, SioAoEventHandle,     nullptr,
};

int SioAoObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioAoFamily, pVn, pDib);
}
void SioAoObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioAoFamily, pVn, pDib);
}
void SioAoObjDelAll() {
    SioObjDelAll(SioAoFamily);
}
SioObjRef SioAoObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioAoFamily, pMac, ChlNumber);
}

int SioAoObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    return SioAoFamilyConnectRead(SioAoDesc, SioAoFamily, pVn, pDib);
}

const char* SioAoCommandWord(uint16_t Code) {
    const _AO_CMD* q = SioAoFamilyCommand(SioAoDesc, Code);
    return q ? q->Word : nullptr;
}
const char* SioAoCodeName(uint16_t Code) {
    return SioAoFamilyCodeName(SioAoDesc, Code, "AO_EVENT", "AO_DATA_LIBRARY_TO_SERVICE");
}
void SioAoHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    SioAoFamilyHandle(SioAoDesc, Req, pReply);
}
void SioAoHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioAoFamily, pClient, pMessage, Length);
}
void SioAoEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardEvent(pObj, pTlp, Length, "AO  ");
}

int SioAoDataTransmit(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    if (Length < kSioHeaderLength) return 0;
    const _SIO_HEADER h = SioHeaderDecode(pMessage);
    const int port = pClient->ServerTcpPort;
    const int chl = h.ChannelNumber;
    SioObjRef o = SioAoObjGetByVnMacAndDibChlNumber(pClient->VnDevicePtr->Mac, h.ChannelNumber);
    if (!o) return 0;
    // P and a 16-bit value, all of it arrived.
    if (h.Length != 3 || Length - kSioHeaderLength < 3) {
        PemDbg(1, 1, "AO  (T:%d, C:%d), tx data, invalid data length(%d)\n", port, chl,
               static_cast<int>(h.Length));
        return 0;
    }
    const uint8_t* payload = pMessage + kSioHeaderLength;
    const uint8_t p = payload[0];
    {
        qor::ReadLock info(&o->VnPtr->InfoLock);
        PDIB dib = o->DibPtr;
        if (!dib->AoPtr || p >= dib->AoPtr->NumberOfOutputPorts || p >= kDibMaxPorts) {
            PemDbg(1, 1, "AO  (T:%d, C:%d), tx data, can't get port (I:x%02x)\n", port, chl, p);
            return 0;
        }
    }
    struct {
        _TLP_HEADER Hdr;
        uint8_t Data[2];
    } tlp{};
    tlp.Hdr.ChlNumber = o->DibChlNumber;
    tlp.Hdr.Type = TLP_TYPE_DATA;
    tlp.Hdr.RW = 1;
    tlp.Hdr.Flag = p;
    tlp.Hdr.LengthInByte = 2;
    TlpSetExtraDataLength(&tlp.Hdr, 2);
    tlp.Data[0] = payload[1];
    tlp.Data[1] = payload[2];
    static_assert(sizeof(tlp) == kTlpHeaderLength + 2);
    return VnTlpStreamOut(o->VnPtr, reinterpret_cast<uint8_t*>(&tlp), static_cast<int>(sizeof(tlp)));
}

void SioAoObjRegister() {
    VnUnitServices.Families[DIB_TYPE_AO] = &kAoChannelFamily;
    VnTlpConsumers[DIB_TYPE_AO] = &kAoConsumer;
    SioFamilies[SIO_DEVICE_AO] = &SioAoFamily;
}
void SioAoObjUnregister() {
    SioFamilies[SIO_DEVICE_AO] = nullptr;
    VnTlpConsumers[DIB_TYPE_AO] = nullptr;
    VnUnitServices.Families[DIB_TYPE_AO] = nullptr;
}
