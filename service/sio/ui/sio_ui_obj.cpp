// The UI family: its 27 commands on the analog-input engine, its info record, its objects and
// registration, and the unit's sample data and events to the client.
#include "sio_ui_obj.h"

#include <string.h>

#include "qor_wire.h"
#include "vn_unit_services.h"

_DLIST SioUiObjList = {&SioUiObjList, &SioUiObjList};
int SioUiObjAmount = 0;
pthread_mutex_t SioUiObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define UI_OBJ_FMT "UI  (:%.2x:%.2x:%.2x, C:%d, %p), "

constexpr uint32_t kAll = 0xFFFFFFFFu;
constexpr uint8_t kRead = 0x1F;

// clang-format off
const _AI_CMD kCmds[] = {
    {1, "UI_CMD_GET_INFO", "get info", AiOp::Info, false, 0, 0, 0, 0, AiCheck::None, 0, kRead, 0xFF},
    {2, "UI_CMD_GET_SAMPLE_ENABLE", "get sample enable", AiOp::Get, false, UI_REG_TLP_CTRL, 0x1, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {3, "UI_CMD_SET_SAMPLE_ENABLE", "set sample enable", AiOp::Set, false, UI_REG_TLP_CTRL, 0x1, 0, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {4, "UI_CMD_GET_DATA_ENABLE", "get data enable", AiOp::Get, false, UI_REG_TLP_CTRL, 0x2, 1, 1, AiCheck::None, 0, kRead, 0xFF},
    {5, "UI_CMD_SET_DATA_ENABLE", "set data enable", AiOp::Set, false, UI_REG_TLP_CTRL, 0x2, 1, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {6, "UI_CMD_GET_EVENT_ENABLE", "get event enable", AiOp::Get, false, UI_REG_TLP_CTRL, 0x4, 2, 1, AiCheck::None, 0, kRead, 0xFF},
    {7, "UI_CMD_SET_EVENT_ENABLE", "set event enable", AiOp::Set, false, UI_REG_TLP_CTRL, 0x4, 2, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {8, "UI_CMD_GET_PORTS_ENABLE", "get ports enable", AiOp::Get, false, UI_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, 0xFF},
    {9, "UI_CMD_SET_PORTS_ENABLE", "set ports enable", AiOp::Set, false, UI_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, 0xFF},
    {10, "UI_CMD_GET_CALIBRATION_VALUE", "get calibration value", AiOp::Get, false, UI_REG_ADC_CALIBRATION, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {11, "UI_CMD_SET_CALIBRATION_VALUE", "set calibration value", AiOp::Set, false, UI_REG_ADC_CALIBRATION, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {12, "UI_CMD_GET_GAIN_CTRL_FOR_ALL_PORTS", "get gain ctrl for all ports", AiOp::Get, false, UI_REG_ADC_CTRL, 0xFF, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {13, "UI_CMD_SET_GAIN_CTRL_FOR_ALL_PORTS", "set gain ctrl for all ports", AiOp::Set, false, UI_REG_ADC_CTRL, 0xFF, 0, 1, AiCheck::Below, 5, kRead, 0xFF},
    {14, "UI_CMD_GET_SAMPLE_RATE_DIVIDER", "get sample rate divider", AiOp::Get, false, UI_REG_SAMPLE_RATE_CTRL, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {15, "UI_CMD_SET_SAMPLE_RATE_DIVIDER", "set sample rate divider", AiOp::Set, false, UI_REG_SAMPLE_RATE_CTRL, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {16, "UI_CMD_GET_PORT_INPUT_MODE", "get port input mode", AiOp::Get, true, UI_PORT_CTRL, 0xFF, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {17, "UI_CMD_SET_PORT_INPUT_MODE", "set port input mode", AiOp::Set, true, UI_PORT_CTRL, 0xFF, 0, 1, AiCheck::Max, 3, kRead, 0xFF},
    {18, "UI_CMD_GET_PORT_GAIN_CTRL", "get port gain ctrl", AiOp::Get, true, UI_PORT_CTRL, 0xFF00, 8, 1, AiCheck::None, 0, kRead, 0xFF},
    {19, "UI_CMD_SET_PORT_GAIN_CTRL", "set port gain ctrl", AiOp::Set, true, UI_PORT_CTRL, 0xFF00, 8, 1, AiCheck::Below, 5, kRead, 0xFF},
    {20, "UI_CMD_GET_PORT_DATA_CTRL", "get port data ctrl", AiOp::Get, true, UI_PORT_CTRL, 0x10000, 16, 1, AiCheck::None, 0, kRead, 0xFF},
    {21, "UI_CMD_SET_PORT_DATA_CTRL", "set port data ctrl", AiOp::Set, true, UI_PORT_CTRL, 0x10000, 16, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {22, "UI_CMD_GET_PORT_TRIGGER_MODE", "get port trigger mode", AiOp::Get, true, UI_PORT_CTRL, 0xFF000000u, 24, 1, AiCheck::None, 0, kRead, 0xFF},
    {23, "UI_CMD_SET_PORT_TRIGGER_MODE", "set port trigger mode", AiOp::Set, true, UI_PORT_CTRL, 0xFF000000u, 24, 1, AiCheck::None, 0, kRead, 0xFF},
    {24, "UI_CMD_GET_PORT_UPPER_TRIGGER_VALUE", "get port upper trigger value", AiOp::Get, true, UI_PORT_UPPER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {25, "UI_CMD_SET_PORT_UPPER_TRIGGER_VALUE", "set port upper trigger value", AiOp::Set, true, UI_PORT_UPPER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {26, "UI_CMD_GET_PORT_LOWER_TRIGGER_VALUE", "get port lower trigger value", AiOp::Get, true, UI_PORT_LOWER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, 0x0F, 0xFF},
    {27, "UI_CMD_SET_PORT_LOWER_TRIGGER_VALUE", "set port lower trigger value", AiOp::Set, true, UI_PORT_LOWER_TRIGGER, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
};
// clang-format on

const uint8_t kPortRegs[] = {UI_PORT_CTRL, UI_PORT_UPPER_TRIGGER, UI_PORT_LOWER_TRIGGER};
const uint8_t kPortAolbe[] = {kRead, kRead, 0x0F};

bool _Has(PDIB d) {
    return d->UiPtr != nullptr;
}
uint8_t _Ports(PDIB d) {
    return d->UiPtr->NumberOfInputPorts;
}
uint8_t _PortOffset(PDIB d, int p) {
    return d->UiPtr->Port[p].Offset;
}
uint8_t _Version(PDIB d) {
    return d->UiPtr->Version;
}
uint8_t _Gains(PDIB d) {
    return d->UiPtr->SupportMaxProgramableGains;
}
uint8_t _NoMaiType(PDIB) {
    return 0xFF;
}

uint32_t* _Cache(PDIB d, int p, uint8_t reg) {
    _DIB_UI& u = *d->UiPtr;
    if (p < 0) {
        switch (reg) {
            case UI_REG_TLP_CTRL:
                return &u.TlpCtrlReg;
            case UI_REG_ADC_CALIBRATION:
                return &u.ADCCalibrationReg;
            case UI_REG_ADC_CTRL:
                return &u.ADCCtrlReg;
            case UI_REG_SAMPLE_RATE_CTRL:
                return &u.SampleRateCtrlReg;
            default:
                return nullptr;
        }
    }
    if (p >= kDibMaxPorts) return nullptr;
    _DIB_UI_PORT& q = u.Port[p];
    switch (reg) {
        case UI_PORT_CTRL:
            return &q.CtrlReg;
        case UI_PORT_UPPER_TRIGGER:
            return &q.UpperTriggerValueReg;
        case UI_PORT_LOWER_TRIGGER:
            return &q.LowerTriggerValueReg;
        default:
            return nullptr;
    }
}

const char* _RegName(uint8_t reg, bool port) {
    if (!port) {
        switch (reg) {
            case UI_REG_TLP_CTRL:
                return "tlp ctrl reg";
            case UI_REG_ADC_CALIBRATION:
                return "ADC calibration reg";
            case UI_REG_ADC_CTRL:
                return "ADC ctrl reg";
            default:
                return "sample rate ctrl reg";
        }
    }
    switch (reg) {
        case UI_PORT_CTRL:
            return "port ctrl reg";
        case UI_PORT_UPPER_TRIGGER:
            return "port upper trigger value reg";
        default:
            return "port lower trigger value reg";
    }
}

size_t _InfoRecord(PDIB d, uint8_t* out) {
    const _DIB_UI& u = *d->UiPtr;
    size_t n = 0;
    out[n++] = u.Version;
    qor::PutBe16(out + n, u.FifoSize);
    n += 2;
    out[n++] = u.ClockDividerWidth;
    out[n++] = u.NumberOfInputPorts;
    out[n++] = u.Resolution;
    out[n++] = u.SupportInputTypes;
    out[n++] = u.SupportMaxProgramableGains;
    qor::PutBe32(out + n, u.MaxSamplingRateCapability);
    n += 4;
    for (const uint8_t* raw :
         {u.Vref, u.VoltageCoef, u.CurrentCoef, u.ResistorCoefAlpha, u.ResistorCoefBeta}) {
        memcpy(out + n, raw, 4);
        n += 4;
    }
    for (int p = 0; p < u.NumberOfInputPorts && p < kDibMaxPorts; ++p) {
        const _DIB_UI_PORT& q = u.Port[p];
        out[n++] = q.PortIndex;
        out[n++] = static_cast<uint8_t>(q.CtrlReg);
        out[n++] = static_cast<uint8_t>(q.CtrlReg >> 8);
        out[n++] = static_cast<uint8_t>((q.CtrlReg >> 16) & 1);
        out[n++] = static_cast<uint8_t>(q.CtrlReg >> 24);
        qor::PutBe32(out + n, q.UpperTriggerValueReg);
        n += 4;
        qor::PutBe32(out + n, q.LowerTriggerValueReg);
        n += 4;
    }
    return n;
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioUiObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioUiObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioUiObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kUiChannelFamily = {0,
                                             1,
                                             1,
                                             _FamilyAdd,
                                             _FamilyDel,
                                             _FamilyInfo,
                                             1,
                                             "get UI controller & port info fail",
                                             "get UI controller & port info fail"};

const _VN_TLP_CONSUMER kUiConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioUiFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _AI_FAMILY_DESC SioUiDesc = {
    "UI  ",
    kCmds,
    sizeof(kCmds) / sizeof(kCmds[0]),
    _Has,
    _Ports,
    _PortOffset,
    _Cache,
    _Version,
    _Gains,
    _NoMaiType,
    kUiInfoWords,
    kPortRegs,
    sizeof(kPortRegs),
    kPortAolbe,
    _RegName,
    _InfoRecord,
    nullptr,
};

const _SIO_FAMILY SioUiFamily = {
    SIO_DEVICE_UI,   "UI  (T:%d, C:%d), ", UI_OBJ_FMT,       &SioUiObjList, &SioUiObjListMutex,
    &SioUiObjAmount, SioUiCodeName,        SioUiCommandWord, SioUiHandle,   0,
    nullptr,         SioUiEventHandle,     SioUiDataHandle,
};

int SioUiObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioUiFamily, pVn, pDib);
}
void SioUiObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioUiFamily, pVn, pDib);
}
void SioUiObjDelAll() {
    SioObjDelAll(SioUiFamily);
}
SioObjRef SioUiObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioUiFamily, pMac, ChlNumber);
}

int SioUiObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    if (!pDib->UiPtr) return 0;
    // Port p's block of three registers follows the four channel-wide registers.
    for (int p = 0; p < kDibMaxPorts; ++p)
        pDib->UiPtr->Port[p].Offset = static_cast<uint8_t>(UI_PORT_FIRST + UI_PORT_WORDS * p);
    return SioAiFamilyConnectRead(SioUiDesc, SioUiFamily, pVn, pDib);
}

const char* SioUiCommandWord(uint16_t Code) {
    const _AI_CMD* q = SioAiFamilyCommand(SioUiDesc, Code);
    return q ? q->Word : nullptr;
}

const char* SioUiCodeName(uint16_t Code) {
    if (const _AI_CMD* q = SioAiFamilyCommand(SioUiDesc, Code)) return q->Name;
    if (Code & kSioResponseBit) return SioAiResponseName(SioUiDesc, Code);
    if (Code == AI_EVENT) return "UI_EVENT";
    if (Code == AI_DATA_SERVICE_TO_LIBRARY) return "UI_DATA_SERVICE_TO_LIBRARY";
    return "UNKNOW";
}

void SioUiHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    SioAiFamilyHandle(SioUiDesc, Req, pReply);
}
void SioUiHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioUiFamily, pClient, pMessage, Length);
}
void SioUiDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardData(pObj, pTlp, Length, "UI  ");
}
void SioUiEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardEvent(pObj, pTlp, Length, "UI  ");
}

void SioUiObjRegister() {
    VnUnitServices.Families[DIB_TYPE_UI] = &kUiChannelFamily;
    VnTlpConsumers[DIB_TYPE_UI] = &kUiConsumer;
    SioFamilies[SIO_DEVICE_UI] = &SioUiFamily;
}
void SioUiObjUnregister() {
    SioFamilies[SIO_DEVICE_UI] = nullptr;
    VnTlpConsumers[DIB_TYPE_UI] = nullptr;
    VnUnitServices.Families[DIB_TYPE_UI] = nullptr;
}
