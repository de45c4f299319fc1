// The MAI family: its commands on the analog-input engine, its info record, its calibration
// tables, its objects and registration, and the unit's sample data and events to the client.
#include "sio_mai_obj.h"

#include <stdio.h>
#include <string.h>

#include <vector>

#include "cu_nvm.h"
#include "pem_dbg.h"
#include "qor_wire.h"
#include "vn_unit_services.h"

_DLIST SioMAiObjList = {&SioMAiObjList, &SioMAiObjList};
int SioMAiObjAmount = 0;
pthread_mutex_t SioMAiObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define MAI_OBJ_FMT "MAI (:%.2x:%.2x:%.2x, C:%d, %p), "

constexpr uint32_t kAll = 0xFFFFFFFFu;
constexpr uint8_t kRead = 0x1F;
constexpr uint8_t kAny = 0xFF;

// clang-format off
const _AI_CMD kCmds[] = {
    {1, "MAI_CMD_GET_INFO", "get info", AiOp::Info, false, 0, 0, 0, 0, AiCheck::None, 0, kRead, kAny},
    {2, "MAI_CMD_GET_SAMPLE_ENABLE", "get sample enable", AiOp::Get, false, MAI_REG_TLP_CTRL, 0x1, 0, 1, AiCheck::None, 0, kRead, kAny},
    {3, "MAI_CMD_SET_SAMPLE_ENABLE", "set sample enable", AiOp::Set, false, MAI_REG_TLP_CTRL, 0x1, 0, 1, AiCheck::Bool, 0, kRead, kAny},
    {4, "MAI_CMD_GET_DATA_ENABLE", "get data enable", AiOp::Get, false, MAI_REG_TLP_CTRL, 0x2, 1, 1, AiCheck::None, 0, kRead, kAny},
    {5, "MAI_CMD_SET_DATA_ENABLE", "set data enable", AiOp::Set, false, MAI_REG_TLP_CTRL, 0x2, 1, 1, AiCheck::Bool, 0, kRead, kAny},
    {6, "MAI_CMD_GET_EVENT_ENABLE", "get event enable", AiOp::Get, false, MAI_REG_TLP_CTRL, 0x4, 2, 1, AiCheck::None, 0, kRead, kAny},
    {7, "MAI_CMD_SET_EVENT_ENABLE", "set event enable", AiOp::Set, false, MAI_REG_TLP_CTRL, 0x4, 2, 1, AiCheck::Bool, 0, kRead, kAny},
    {8, "MAI_CMD_GET_PORTS_ENABLE", "get ports enable", AiOp::Get, false, MAI_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, kAny},
    {9, "MAI_CMD_SET_PORTS_ENABLE", "set ports enable", AiOp::Set, false, MAI_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, kAny},
    {10, "MAI_CMD_GET_CALIBRATION_VALUE", "get calibration value", AiOp::Get, false, MAI_REG_ADC_CALIBRATION, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, kAny},
    {11, "MAI_CMD_SET_CALIBRATION_VALUE", "set calibration value", AiOp::Set, false, MAI_REG_ADC_CALIBRATION, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, kAny},
    {12, "MAI_CMD_GET_PORT_AI_MODE", "get port ai mode", AiOp::Get, true, MAI_PORT_CTRL, 0xFF, 0, 1, AiCheck::None, 0, kRead, kAny},
    {13, "MAI_CMD_SET_PORT_AI_MODE", "set port ai mode", AiOp::Set, true, MAI_PORT_CTRL, 0xFF, 0, 1, AiCheck::Below, 6, kRead, kAny},
    {14, "MAI_CMD_GET_PORT_LOGGING_MODE", "get port logging mode", AiOp::Get, true, MAI_PORT_CTRL, 0xF00, 8, 1, AiCheck::None, 0, kRead, kAny},
    {15, "MAI_CMD_SET_PORT_LOGGING_MODE", "set port logging mode", AiOp::Set, true, MAI_PORT_CTRL, 0xF00, 8, 1, AiCheck::Bool, 0, kRead, kAny},
    {16, "MAI_CMD_GET_PORT_TRIGGER_MODE", "get port trigger mode", AiOp::Get, true, MAI_PORT_CTRL, 0xF000, 12, 1, AiCheck::None, 0, kRead, kAny},
    // The field has four bits: a mode that does not fit is refused, not cut.
    {17, "MAI_CMD_SET_PORT_TRIGGER_MODE", "set port trigger mode", AiOp::Set, true, MAI_PORT_CTRL, 0xF000, 12, 1, AiCheck::Max, 15, kRead, kAny},
    {18, "MAI_CMD_GET_PORT_UPPER_TRIGGER_VALUE", "get port upper trigger value", AiOp::Get, true, MAI_PORT_UPPER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, kAny},
    {19, "MAI_CMD_SET_PORT_UPPER_TRIGGER_VALUE", "set port upper trigger value", AiOp::Set, true, MAI_PORT_UPPER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, kAny},
    {20, "MAI_CMD_GET_PORT_LOWER_TRIGGER_VALUE", "get port lower trigger value", AiOp::Get, true, MAI_PORT_LOWER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, kAny},
    {21, "MAI_CMD_SET_PORT_LOWER_TRIGGER_VALUE", "set port lower trigger value", AiOp::Set, true, MAI_PORT_LOWER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, kAny},
    {22, "MAI_CMD_GET_T0_CALIBRATION", "get T0 calibration", AiOp::Calibration, false, 0, 0, 0, 0, AiCheck::None, 0, kRead, kAny},
    {23, "MAI_CMD_GET_T1_CALIBRATION", "get T1 calibration", AiOp::Calibration, false, 0, 0, 0, 1, AiCheck::None, 0, kRead, kAny},
    {0x101, "MAI_CMD_GET_T0_PORT_INPUT_TYPE", "get T0 port input type", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x1, 0, 1, AiCheck::None, 0, kRead, 0},
    {0x102, "MAI_CMD_SET_T0_PORT_INPUT_TYPE", "set T0 port input type", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x1, 0, 1, AiCheck::Bool, 0, kRead, 0},
    {0x103, "MAI_CMD_GET_T0_PORT_INPUT_SELECT", "get T0 port input select", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x2, 1, 1, AiCheck::None, 0, kRead, 0},
    {0x104, "MAI_CMD_SET_T0_PORT_INPUT_SELECT", "set T0 port input select", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x2, 1, 1, AiCheck::Bool, 0, kRead, 0},
    {0x105, "MAI_CMD_GET_T0_PORT_PULLUP_RESISTOR", "get T0 port pullup resistor", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x4, 2, 1, AiCheck::None, 0, kRead, 0},
    {0x106, "MAI_CMD_SET_T0_PORT_PULLUP_RESISTOR", "set T0 port pullup resistor", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x4, 2, 1, AiCheck::Bool, 0, kRead, 0},
    {0x107, "MAI_CMD_GET_T0_PORT_GAIN", "get T0 port gain", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0xFF00, 8, 1, AiCheck::None, 0, kRead, 0},
    {0x108, "MAI_CMD_SET_T0_PORT_GAIN", "set T0 port gain", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0xFF00, 8, 1, AiCheck::Below, 8, kRead, 0},
    {0x109, "MAI_CMD_GET_T0_PORT_FILTER", "get T0 port filter", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, 0},
    {0x10A, "MAI_CMD_SET_T0_PORT_FILTER", "set T0 port filter", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, 0},
    {0x201, "MAI_CMD_GET_T1_PORT_INPUT_TYPE", "get T1 port input type", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x1, 0, 1, AiCheck::None, 0, kRead, 1},
    {0x202, "MAI_CMD_SET_T1_PORT_INPUT_TYPE", "set T1 port input type", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x1, 0, 1, AiCheck::Bool, 0, kRead, 1},
    {0x203, "MAI_CMD_GET_T1_PORT_INPUT_SELECT", "get T1 port input select", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x2, 1, 1, AiCheck::None, 0, kRead, 1},
    {0x204, "MAI_CMD_SET_T1_PORT_INPUT_SELECT", "set T1 port input select", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x2, 1, 1, AiCheck::Bool, 0, kRead, 1},
    {0x205, "MAI_CMD_GET_T1_PORT_PGA_ENABLE", "get T1 port pga enable", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x80, 7, 1, AiCheck::None, 0, kRead, 1},
    {0x206, "MAI_CMD_SET_T1_PORT_PGA_ENABLE", "set T1 port pga enable", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x80, 7, 1, AiCheck::Bool, 0, kRead, 1},
    {0x207, "MAI_CMD_GET_T1_PORT_GAIN", "get T1 port gain", AiOp::Get, true, MAI_PORT_ADC_CTRL, 0x7F00, 8, 1, AiCheck::None, 0, kRead, 1},
    {0x208, "MAI_CMD_SET_T1_PORT_GAIN", "set T1 port gain", AiOp::Set, true, MAI_PORT_ADC_CTRL, 0x7F00, 8, 1, AiCheck::Below, 8, kRead, 1},
};
// clang-format on

const uint8_t kPortRegs[] = {MAI_PORT_CTRL, MAI_PORT_ADC_CTRL, MAI_PORT_UPPER_TRIGGER,
                             MAI_PORT_LOWER_TRIGGER};
const uint8_t kPortAolbe[] = {kRead, kRead, kRead, kRead};

bool _Has(PDIB d) {
    return d->MAiPtr != nullptr;
}
uint8_t _Ports(PDIB d) {
    return d->MAiPtr->NumberOfInputPorts;
}
uint8_t _PortOffset(PDIB d, int p) {
    return d->MAiPtr->Port[p].Offset;
}
uint8_t _Version(PDIB d) {
    return d->MAiPtr->Version;
}
uint8_t _Gains(PDIB d) {
    return d->MAiPtr->SupportMaxProgramableGains;
}
uint8_t _MaiType(PDIB d) {
    return d->MAiPtr->MAIType;
}

uint32_t* _Cache(PDIB d, int p, uint8_t reg) {
    _DIB_MAI& m = *d->MAiPtr;
    if (p < 0) {
        switch (reg) {
            case MAI_REG_TLP_CTRL:
                return &m.TlpCtrlReg;
            case MAI_REG_ADC_CALIBRATION:
                return &m.ADCCalibrationReg;
            default:
                return nullptr;
        }
    }
    if (p >= kDibMaxPorts) return nullptr;
    _DIB_MAI_PORT& q = m.Port[p];
    switch (reg) {
        case MAI_PORT_CTRL:
            return &q.CtrlReg;
        case MAI_PORT_ADC_CTRL:
            return &q.ADCCtrlReg;
        case MAI_PORT_UPPER_TRIGGER:
            return &q.UpperTriggerValueReg;
        case MAI_PORT_LOWER_TRIGGER:
            return &q.LowerTriggerValueReg;
        default:
            return nullptr;
    }
}

const char* _RegName(uint8_t reg, bool port) {
    if (!port) return reg == MAI_REG_TLP_CTRL ? "tlp ctrl reg" : "ADC calibration reg";
    switch (reg) {
        case MAI_PORT_CTRL:
            return "port ctrl reg";
        case MAI_PORT_ADC_CTRL:
            return "port ADC ctrl reg";
        case MAI_PORT_UPPER_TRIGGER:
            return "port upper trigger value reg";
        default:
            return "port lower trigger value reg";
    }
}

size_t _InfoRecord(PDIB d, uint8_t* out) {
    const _DIB_MAI& m = *d->MAiPtr;
    size_t n = 0;
    out[n++] = m.Version;
    qor::PutBe32(out + n, m.FifoSize);
    n += 4;
    out[n++] = m.FifoType;
    out[n++] = m.MAIType;
    out[n++] = m.SupportInputSource;
    out[n++] = m.NumberOfInputPorts;
    out[n++] = m.Resolution;
    out[n++] = m.SupportInputTypes;
    out[n++] = m.SupportMaxProgramableGains;
    memcpy(out + n, m.Vref, 4);
    n += 4;
    for (int p = 0; p < m.NumberOfInputPorts && p < kDibMaxPorts; ++p) {
        const _DIB_MAI_PORT& q = m.Port[p];
        out[n++] = q.PortIndex;
        out[n++] = static_cast<uint8_t>(q.CtrlReg);
        out[n++] = static_cast<uint8_t>((q.CtrlReg >> 8) & 0x0F);
        out[n++] = static_cast<uint8_t>((q.CtrlReg >> 12) & 0x0F);
        qor::PutBe32(out + n, q.UpperTriggerValueReg);
        n += 4;
        qor::PutBe32(out + n, q.LowerTriggerValueReg);
        n += 4;
        uint8_t* adc = out + n;
        memset(adc, 0, 10);
        const uint32_t a = q.ADCCtrlReg;
        if (m.MAIType == 0) {
            adc[0] = a & 1;
            adc[1] = (a >> 1) & 1;
            adc[2] = (a >> 2) & 1;
            adc[3] = static_cast<uint8_t>(a >> 8);
            adc[4] = static_cast<uint8_t>(a >> 24);
            adc[5] = static_cast<uint8_t>(a >> 16);
        } else if (m.MAIType == 1) {
            adc[6] = a & 1;
            adc[7] = (a >> 1) & 1;
            adc[8] = (a >> 7) & 1;
            adc[9] = (a >> 8) & 0x7F;
        }
        n += 10;
    }
    return n;
}

// The calibration table of type Cmd.Size (0 or 1) through the control unit's non-volatile
// memory, with the control unit's own procedure; the memory events reach this object as
// copies. Object's RegMutex and the unit's InfoLock held by the caller.
uint16_t _Calibration(const _SIO_REQUEST& r, const _AI_CMD& q, _SIO_REPLY* p) {
    PVN_DEVICE vn = r.Obj->VnPtr;
    int cu = -1;
    for (int i = 0; i < vn->AvailableChls && i < kVnMaxChannels; ++i)
        if (vn->DibArray[i].Type == DIB_TYPE_CTU) {
            cu = i;
            break;
        }
    char prefix[96];
    snprintf(prefix, sizeof(prefix), "MAI (T:%d, C:%d), %s", r.Port, r.Channel, r.Word);
    if (cu < 0) {
        PemDbg(1, 1, "%s, no control unit channel\n", prefix);
        return SIO_STATUS_OBJECT_NOT_FOUND;
    }
    // The whole read, and the wait for a late completion after a time-out, is one control-unit
    // transaction: no CTU command or other MAI read runs its steps in between.
    CuTransactionLock transaction(vn);
    std::vector<uint8_t> out;
    const uint16_t st =
        CuNvmReadCalibration(vn, &r.Obj->Slot, static_cast<uint8_t>(cu), q.Size, &out, prefix);
    if (st == CU_STATUS_TIMEOUT) {
        // The channel stays this command's a while longer, so that a completion that still
        // comes is dropped here instead of completing the next command's first step.
        ChlSlotLock lock(&r.Obj->Slot);
        const _CU_EVENT_MATCH match{static_cast<uint8_t>(cu), kCuEventClassNvm};
        ChlSlotWaitLocked(&r.Obj->Slot, CuMatchEvent, &match);
    }
    if (st != CU_STATUS_OK) return st;
    if (out.size() > sizeof(p->Data)) {
        PemDbg(1, 1, "%s, response too big, Length:%d\n", prefix, static_cast<int>(out.size()));
        return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
    memcpy(p->Data, out.data(), out.size());
    p->Length = out.size();
    return SIO_STATUS_SUCCESS;
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioMAiObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioMAiObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioMAiObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kMaiChannelFamily = {0,
                                              1,
                                              1,
                                              _FamilyAdd,
                                              _FamilyDel,
                                              _FamilyInfo,
                                              1,
                                              "get MAI controller & port info fail",
                                              "get MAI controller & port info fail"};

const _VN_TLP_CONSUMER kMaiConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioMAiFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _AI_FAMILY_DESC SioMAiDesc = {
    "MAI ",
    kCmds,
    sizeof(kCmds) / sizeof(kCmds[0]),
    _Has,
    _Ports,
    _PortOffset,
    _Cache,
    _Version,
    _Gains,
    _MaiType,
    kMaiInfoWords,
    kPortRegs,
    sizeof(kPortRegs),
    kPortAolbe,
    _RegName,
    _InfoRecord,
    _Calibration,
};

const _SIO_FAMILY SioMAiFamily = {
    SIO_DEVICE_MAI,   "MAI (T:%d, C:%d), ", MAI_OBJ_FMT,       &SioMAiObjList, &SioMAiObjListMutex,
    &SioMAiObjAmount, SioMAiCodeName,       SioMAiCommandWord, SioMAiHandle,   0,
    nullptr,          SioMAiEventHandle,    SioMAiDataHandle,
};

int SioMAiObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioMAiFamily, pVn, pDib);
}
void SioMAiObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioMAiFamily, pVn, pDib);
}
void SioMAiObjDelAll() {
    SioObjDelAll(SioMAiFamily);
}
SioObjRef SioMAiObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioMAiFamily, pMac, ChlNumber);
}

int SioMAiObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    if (!pDib->MAiPtr) return 0;
    // Port p's block of four registers follows the two channel-wide registers.
    for (int p = 0; p < kDibMaxPorts; ++p)
        pDib->MAiPtr->Port[p].Offset = static_cast<uint8_t>(MAI_PORT_FIRST + MAI_PORT_WORDS * p);
    return SioAiFamilyConnectRead(SioMAiDesc, SioMAiFamily, pVn, pDib);
}

const char* SioMAiCommandWord(uint16_t Code) {
    const _AI_CMD* q = SioAiFamilyCommand(SioMAiDesc, Code);
    return q ? q->Word : nullptr;
}

const char* SioMAiCodeName(uint16_t Code) {
    if (const _AI_CMD* q = SioAiFamilyCommand(SioMAiDesc, Code)) return q->Name;
    if (Code & kSioResponseBit) return SioAiResponseName(SioMAiDesc, Code);
    if (Code == AI_EVENT) return "MAI_EVENT";
    if (Code == AI_DATA_SERVICE_TO_LIBRARY) return "MAI_DATA_SERVICE_TO_LIBRARY";
    return "UNKNOW";
}

void SioMAiHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    SioAiFamilyHandle(SioMAiDesc, Req, pReply);
}
void SioMAiHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioMAiFamily, pClient, pMessage, Length);
}
void SioMAiDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardData(pObj, pTlp, Length, "MAI ");
}
void SioMAiEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardEvent(pObj, pTlp, Length, "MAI ");
}

void SioMAiObjRegister() {
    VnUnitServices.Families[DIB_TYPE_MAI] = &kMaiChannelFamily;
    VnTlpConsumers[DIB_TYPE_MAI] = &kMaiConsumer;
    SioFamilies[SIO_DEVICE_MAI] = &SioMAiFamily;
}
void SioMAiObjUnregister() {
    SioFamilies[SIO_DEVICE_MAI] = nullptr;
    VnTlpConsumers[DIB_TYPE_MAI] = nullptr;
    VnUnitServices.Families[DIB_TYPE_MAI] = nullptr;
}
