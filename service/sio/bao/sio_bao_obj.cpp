// The BAO family: its commands on the analog-output engine, its info record (the controller
// info read covers every port's register), its objects and registration.
#include "sio_bao_obj.h"

#include <string.h>

#include <algorithm>

#include "vn_unit_services.h"

_DLIST SioBAoObjList = {&SioBAoObjList, &SioBAoObjList};
int SioBAoObjAmount = 0;
pthread_mutex_t SioBAoObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define BAO_OBJ_FMT "BAO (:%.2x:%.2x:%.2x, C:%d, %p), "

constexpr AoOp kNo = AoOp::NotSupported;

// clang-format off
const _AO_CMD kCmds[] = {
    {1, "BAO_CMD_GET_INFO", "get info", AoOp::Info, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {2, "BAO_CMD_GET_UPDATE_ENABLE", "get update enable", AoOp::Get, false, BAO_REG_TLP_CTRL, 0x1, 0, 1, AoCheck::None, 0, false},
    {3, "BAO_CMD_SET_UPDATE_ENABLE", "set update enable", AoOp::Set, false, BAO_REG_TLP_CTRL, 0x1, 0, 1, AoCheck::Bool, 0, false},
    {4, "BAO_CMD_GET_EVENT_ENABLE", "get event enable", AoOp::Get, false, BAO_REG_TLP_CTRL, 0x2, 1, 1, AoCheck::None, 0, false},
    {5, "BAO_CMD_SET_EVENT_ENABLE", "set event enable", AoOp::Set, false, BAO_REG_TLP_CTRL, 0x2, 1, 1, AoCheck::Bool, 0, false},
    {6, "BAO_CMD_GET_PORTS_ENABLE", "get ports enable", AoOp::Get, false, BAO_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AoCheck::None, 0, false},
    {7, "BAO_CMD_SET_PORTS_ENABLE", "set ports enable", AoOp::Set, false, BAO_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AoCheck::None, 0, false},
    {8, "BAO_CMD_GET_CALIBRATION_VALUE", "get calibration value", AoOp::Get, false, BAO_REG_DAC_CALIBRATION, 0xFFFF, 0, 2, AoCheck::None, 0, false},
    {9, "BAO_CMD_SET_CALIBRATION_VALUE", "set calibration value", AoOp::Set, false, BAO_REG_DAC_CALIBRATION, 0xFFFF, 0, 2, AoCheck::None, 0, false},
    {10, "BAO_CMD_GET_GAIN_CTRL_FOR_ALL_PORTS", "get gain ctrl for all ports", AoOp::Get, false, BAO_REG_DAC_CTRL, 0x1, 0, 1, AoCheck::None, 0, false},
    {11, "BAO_CMD_SET_GAIN_CTRL_FOR_ALL_PORTS", "set gain ctrl for all ports", AoOp::Set, false, BAO_REG_DAC_CTRL, 0x1, 0, 1, AoCheck::GainAll, 2, false},
    {12, "BAO_CMD_GET_BUFFER_CLEAR_CTRL", "get buffer clear ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {13, "BAO_CMD_SET_BUFFER_CLEAR_CTRL", "set buffer clear ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {14, "BAO_CMD_GET_POWER_DOWN_CTRL", "get power down ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {15, "BAO_CMD_SET_POWER_DOWN_CTRL", "set power down ctrl", kNo, false, 0, 0, 0, 0, AoCheck::None, 0, false},
    {16, "BAO_CMD_GET_GROUP_CTRL", "get group ctrl", AoOp::Get, false, BAO_REG_GROUP_CTRL, 0xFFFF, 0, 2, AoCheck::None, 0, false},
    {17, "BAO_CMD_SET_GROUP_CTRL", "set group ctrl", AoOp::Set, false, BAO_REG_GROUP_CTRL, 0xFFFF, 0, 2, AoCheck::None, 0, false},
    {18, "BAO_CMD_GET_PORT_GAIN_CTRL", "get port gain ctrl", AoOp::Get, true, 0, 0xFF, 0, 1, AoCheck::None, 0, false},
    {19, "BAO_CMD_SET_PORT_GAIN_CTRL", "set port gain ctrl", AoOp::Set, true, 0, 0xFF, 0, 1, AoCheck::GainPort, 5, false},
};
// clang-format on

bool _Has(PDIB d) {
    return d->BAoPtr != nullptr;
}
uint8_t _Ports(PDIB d) {
    return d->BAoPtr->NumberOfOutputPorts;
}
uint32_t _PortBase(PDIB, int p) {
    return BAO_PORT_FIRST + static_cast<uint32_t>(p);
}
uint8_t _Version(PDIB d) {
    return d->BAoPtr->Version;
}
uint8_t _Gains(PDIB d) {
    return d->BAoPtr->SupportMaxProgramableGains;
}
bool _HasFifo(PDIB) {
    return true;
}
uint32_t _InfoWords(PDIB d) {
    return std::min<uint32_t>(d->BAoPtr->NumberOfOutputPorts, kDibMaxPorts) + BAO_PORT_FIRST;
}

uint32_t* _CacheAt(PDIB d, uint32_t off) {
    _DIB_BAO& b = *d->BAoPtr;
    switch (off) {
        case BAO_REG_TLP_CTRL:
            return &b.TlpCtrlReg;
        case BAO_REG_DAC_CALIBRATION:
            return &b.DACCalibrationReg;
        case BAO_REG_DAC_CTRL:
            return &b.DACCtrlReg;
        case BAO_REG_GROUP_CTRL:
            return &b.GroupCtrlReg;
        default:
            return off - BAO_PORT_FIRST < kDibMaxPorts ? &b.Port[off - BAO_PORT_FIRST].OutputCtrlReg
                                                       : nullptr;
    }
}

size_t _InfoRecord(PDIB d, uint8_t* out) {
    const _DIB_BAO& b = *d->BAoPtr;
    size_t n = 0;
    out[n++] = b.Version;
    out[n++] = b.NumberOfOutputPorts;
    out[n++] = b.NumberOfAoGroups;
    out[n++] = b.Resolution;
    out[n++] = b.SupportMaxProgramableGains;
    memcpy(out + n, b.Vref, 4);
    n += 4;
    for (int p = 0; p < b.NumberOfOutputPorts && p < kDibMaxPorts; ++p) {
        out[n++] = b.Port[p].PortIndex;
        out[n++] = static_cast<uint8_t>(b.Port[p].OutputCtrlReg);
    }
    return n;
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioBAoObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioBAoObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioBAoObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kBAoChannelFamily = {0,
                                              1,
                                              1,
                                              _FamilyAdd,
                                              _FamilyDel,
                                              _FamilyInfo,
                                              1,
                                              "get BAO controller & port info fail",
                                              "get BAO controller & port info fail"};

const _VN_TLP_CONSUMER kBAoConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioBAoFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _AO_FAMILY_DESC SioBAoDesc = {
    "BAO ",      kCmds,      sizeof(kCmds) / sizeof(kCmds[0]),
    _Has,        _Ports,     _PortBase,
    _CacheAt,    _Version,   _Gains,
    _HasFifo,    _InfoWords, 0,
    _InfoRecord,
};

const _SIO_FAMILY SioBAoFamily = {
    SIO_DEVICE_BAO,
    "BAO (T:%d, C:%d), ",
    BAO_OBJ_FMT,
    &SioBAoObjList,
    &SioBAoObjListMutex,
    &SioBAoObjAmount,
    SioBAoCodeName,
    SioBAoCommandWord,
    SioBAoHandle,
    0,
    nullptr,
    nullptr,
    nullptr,
};

int SioBAoObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioBAoFamily, pVn, pDib);
}
void SioBAoObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioBAoFamily, pVn, pDib);
}
void SioBAoObjDelAll() {
    SioObjDelAll(SioBAoFamily);
}
SioObjRef SioBAoObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioBAoFamily, pMac, ChlNumber);
}

int SioBAoObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    return SioAoFamilyConnectRead(SioBAoDesc, SioBAoFamily, pVn, pDib);
}

const char* SioBAoCommandWord(uint16_t Code) {
    const _AO_CMD* q = SioAoFamilyCommand(SioBAoDesc, Code);
    return q ? q->Word : nullptr;
}
const char* SioBAoCodeName(uint16_t Code) {
    return SioAoFamilyCodeName(SioBAoDesc, Code, nullptr, nullptr);
}
void SioBAoHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    SioAoFamilyHandle(SioBAoDesc, Req, pReply);
}
void SioBAoHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioBAoFamily, pClient, pMessage, Length);
}

void SioBAoObjRegister() {
    VnUnitServices.Families[DIB_TYPE_BAO] = &kBAoChannelFamily;
    VnTlpConsumers[DIB_TYPE_BAO] = &kBAoConsumer;
    SioFamilies[SIO_DEVICE_BAO] = &SioBAoFamily;
}
void SioBAoObjUnregister() {
    SioFamilies[SIO_DEVICE_BAO] = nullptr;
    VnTlpConsumers[DIB_TYPE_BAO] = nullptr;
    VnUnitServices.Families[DIB_TYPE_BAO] = nullptr;
}
