// The UO family: its commands on the analog-output engine, its info record (with each port's
// control and output data registers read after the controller info), its objects and
// registration. A UO channel sends no events or data the service forwards.
#include "sio_uo_obj.h"

#include <string.h>

#include "qor_wire.h"
#include "vn_unit_services.h"

_DLIST SioUoObjList = {&SioUoObjList, &SioUoObjList};
int SioUoObjAmount = 0;
pthread_mutex_t SioUoObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define UO_OBJ_FMT "UO  (:%.2x:%.2x:%.2x, C:%d, %p), "

constexpr uint32_t kAll = 0xFFFFFFFFu;
constexpr AoOp kNo = AoOp::NotSupported;

// clang-format off
const _AO_CMD kCmds[] = {
    {1, "UO_CMD_GET_INFO", "get info", AoOp::Info, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {2, "UO_CMD_GET_UPDATE_ENABLE", "get update enable", AoOp::Get, false, UO_REG_TLP_CTRL, 0x1, 0, 1, AoCheck::None, 0, false},
    {3, "UO_CMD_SET_UPDATE_ENABLE", "set update enable", AoOp::Set, false, UO_REG_TLP_CTRL, 0x1, 0, 1, AoCheck::Bool, 0, false},
    {4, "UO_CMD_GET_DATA_ENABLE", "get data enable", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {5, "UO_CMD_SET_DATA_ENABLE", "set data enable", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {6, "UO_CMD_GET_EVENT_ENABLE", "get event enable", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {7, "UO_CMD_SET_EVENT_ENABLE", "set event enable", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {8, "UO_CMD_GET_PORTS_ENABLE", "get ports enable", AoOp::Get, false, UO_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AoCheck::None, 0, false},
    {9, "UO_CMD_SET_PORTS_ENABLE", "set ports enable", AoOp::Set, false, UO_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AoCheck::None, 0, false},
    {10, "UO_CMD_GET_CALIBRATION_VALUE", "get calibration value", AoOp::Get, false, UO_REG_DAC_CALIBRATION, kAll, 0, 4, AoCheck::None, 0, false},
    {11, "UO_CMD_SET_CALIBRATION_VALUE", "set calibration value", AoOp::Set, false, UO_REG_DAC_CALIBRATION, kAll, 0, 4, AoCheck::None, 0, false},
    {12, "UO_CMD_GET_GAIN_CTRL_FOR_ALL_PORTS", "get gain ctrl for all ports", AoOp::Get, false, UO_REG_DAC_CTRL, 0xFF, 0, 1, AoCheck::None, 0, false},
    {13, "UO_CMD_SET_GAIN_CTRL_FOR_ALL_PORTS", "set gain ctrl for all ports", AoOp::Set, false, UO_REG_DAC_CTRL, 0xFF, 0, 1, AoCheck::GainAll, 3, false},
    {14, "UO_CMD_GET_BUFFER_CLEAR_CTRL", "get buffer clear ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {15, "UO_CMD_SET_BUFFER_CLEAR_CTRL", "set buffer clear ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {16, "UO_CMD_GET_POWER_DOWN_CTRL", "get power down ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {17, "UO_CMD_SET_POWER_DOWN_CTRL", "set power down ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {18, "UO_CMD_GET_PORT_OUTPUT_MODE", "get port output mode", AoOp::Get, true, UO_PORT_CTRL, 0xFF, 0, 1, AoCheck::None, 0, false},
    {19, "UO_CMD_SET_PORT_OUTPUT_MODE", "set port output mode", AoOp::Set, true, UO_PORT_CTRL, 0xFF, 0, 1, AoCheck::None, 0, false},
    {20, "UO_CMD_GET_PORT_GAIN_CTRL", "get port gain ctrl", AoOp::Get, true, UO_PORT_CTRL, 0xFF00, 8, 1, AoCheck::None, 0, false},
    {21, "UO_CMD_SET_PORT_GAIN_CTRL", "set port gain ctrl", AoOp::Set, true, UO_PORT_CTRL, 0xFF00, 8, 1, AoCheck::GainPort, 3, false},
    {22, "UO_CMD_GET_PORT_OUTPUT_DATA", "get port output data", AoOp::Get, true, UO_PORT_OUTPUT_DATA, kAll, 0, 4, AoCheck::None, 0, false},
    {23, "UO_CMD_SET_PORT_OUTPUT_DATA", "set port output data", AoOp::Set, true, UO_PORT_OUTPUT_DATA, kAll, 0, 4, AoCheck::None, 0, false},
};
// clang-format on

bool _Has(PDIB d) {
    return d->UoPtr != nullptr;
}
uint8_t _Ports(PDIB d) {
    return d->UoPtr->NumberOfOutputPorts;
}
uint32_t _PortBase(PDIB d, int p) {
    return d->UoPtr->Port[p].Offset;
}
uint8_t _Version(PDIB d) {
    return d->UoPtr->Version;
}
uint8_t _Gains(PDIB d) {
    return d->UoPtr->SupportMaxProgramableGains;
}
bool _HasFifo(PDIB) {
    return true;
}
uint32_t _InfoWords(PDIB) {
    return kUoInfoWords;
}

uint32_t* _CacheAt(PDIB d, uint32_t off) {
    _DIB_UO& u = *d->UoPtr;
    switch (off) {
        case UO_REG_TLP_CTRL:
            return &u.TlpCtrlReg;
        case UO_REG_DAC_CALIBRATION:
            return &u.DACCalibrationReg;
        case UO_REG_DAC_CTRL:
            return &u.DACCtrlReg;
        default:
            break;
    }
    for (int p = 0; p < kDibMaxPorts; ++p) {
        if (off == u.Port[p].Offset + uint32_t{UO_PORT_CTRL}) return &u.Port[p].CtrlReg;
        if (off == u.Port[p].Offset + uint32_t{UO_PORT_OUTPUT_DATA}) return &u.Port[p].OutputCtrlReg;
    }
    return nullptr;
}

size_t _InfoRecord(PDIB d, uint8_t* out) {
    const _DIB_UO& u = *d->UoPtr;
    size_t n = 0;
    out[n++] = u.Version;
    out[n++] = u.NumberOfOutputPorts;
    out[n++] = u.Resolution;
    out[n++] = u.SupportOutputTypes;
    out[n++] = u.SupportMaxProgramableGains;
    for (const uint8_t* raw : {u.Vref, u.VoltageCoef, u.CurrentCoef}) {
        memcpy(out + n, raw, 4);
        n += 4;
    }
    for (int p = 0; p < u.NumberOfOutputPorts && p < kDibMaxPorts; ++p) {
        const _DIB_UO_PORT& q = u.Port[p];
        out[n++] = q.PortIndex;
        out[n++] = static_cast<uint8_t>(q.CtrlReg);
        out[n++] = static_cast<uint8_t>(q.CtrlReg >> 8);
        qor::PutBe32(out + n, q.OutputCtrlReg);
        n += 4;
    }
    return n;
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioUoObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioUoObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioUoObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kUoChannelFamily = {0,
                                             1,
                                             1,
                                             _FamilyAdd,
                                             _FamilyDel,
                                             _FamilyInfo,
                                             1,
                                             "get UO controller & port info fail",
                                             "get UO controller & port info fail"};

const _VN_TLP_CONSUMER kUoConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioUoFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _AO_FAMILY_DESC SioUoDesc = {
    "UO  ",      kCmds,      sizeof(kCmds) / sizeof(kCmds[0]),
    _Has,        _Ports,     _PortBase,
    _CacheAt,    _Version,   _Gains,
    _HasFifo,    _InfoWords, UO_PORT_WORDS,
    _InfoRecord,
};

const _SIO_FAMILY SioUoFamily = {
    SIO_DEVICE_UO,
    "UO  (T:%d, C:%d), ",
    UO_OBJ_FMT,
    &SioUoObjList,
    &SioUoObjListMutex,
    &SioUoObjAmount,
    SioUoCodeName,
    SioUoCommandWord,
    SioUoHandle,
    0,
    nullptr,
    nullptr,
    nullptr,
};

int SioUoObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioUoFamily, pVn, pDib);
}
void SioUoObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioUoFamily, pVn, pDib);
}
void SioUoObjDelAll() {
    SioObjDelAll(SioUoFamily);
}
SioObjRef SioUoObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioUoFamily, pMac, ChlNumber);
}

int SioUoObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    if (!pDib->UoPtr) return 0;
    // Port p's two registers follow the four channel-wide words.
    for (int p = 0; p < kDibMaxPorts; ++p)
        pDib->UoPtr->Port[p].Offset = static_cast<uint8_t>(UO_PORT_FIRST + UO_PORT_WORDS * p);
    return SioAoFamilyConnectRead(SioUoDesc, SioUoFamily, pVn, pDib);
}

const char* SioUoCommandWord(uint16_t Code) {
    const _AO_CMD* q = SioAoFamilyCommand(SioUoDesc, Code);
    return q ? q->Word : nullptr;
}
const char* SioUoCodeName(uint16_t Code) {
    return SioAoFamilyCodeName(SioUoDesc, Code, nullptr, nullptr);
}
void SioUoHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    SioAoFamilyHandle(SioUoDesc, Req, pReply);
}
void SioUoHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioUoFamily, pClient, pMessage, Length);
}

void SioUoObjRegister() {
    VnUnitServices.Families[DIB_TYPE_UO] = &kUoChannelFamily;
    VnTlpConsumers[DIB_TYPE_UO] = &kUoConsumer;
    SioFamilies[SIO_DEVICE_UO] = &SioUoFamily;
}
void SioUoObjUnregister() {
    SioFamilies[SIO_DEVICE_UO] = nullptr;
    VnTlpConsumers[DIB_TYPE_UO] = nullptr;
    VnUnitServices.Families[DIB_TYPE_UO] = nullptr;
}
