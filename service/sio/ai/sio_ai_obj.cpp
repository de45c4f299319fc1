// The AI family: its 29 commands on the analog-input engine, its info record, its objects and
// registration, and the unit's sample data and events to the client.
#include "sio_ai_obj.h"

#include "qor_wire.h"
#include "vn_unit_services.h"

_DLIST SioAiObjList = {&SioAiObjList, &SioAiObjList};
int SioAiObjAmount = 0;
pthread_mutex_t SioAiObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define AI_OBJ_FMT "AI  (:%.2x:%.2x:%.2x, C:%d, %p), "

constexpr uint32_t kAll = 0xFFFFFFFFu;
constexpr uint8_t kRead = 0x1F;

// clang-format off
const _AI_CMD kCmds[] = {
    {1, "AI_CMD_GET_INFO", "get info", AiOp::Info, false, 0, 0, 0, 0, AiCheck::None, 0, kRead, 0xFF},
    {2, "AI_CMD_GET_SAMPLE_ENABLE", "get sample enable", AiOp::Get, false, AI_REG_TLP_CTRL, 0x1, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {3, "AI_CMD_SET_SAMPLE_ENABLE", "set sample enable", AiOp::Set, false, AI_REG_TLP_CTRL, 0x1, 0, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {4, "AI_CMD_GET_DATA_ENABLE", "get data enable", AiOp::Get, false, AI_REG_TLP_CTRL, 0x2, 1, 1, AiCheck::None, 0, kRead, 0xFF},
    {5, "AI_CMD_SET_DATA_ENABLE", "set data enable", AiOp::Set, false, AI_REG_TLP_CTRL, 0x2, 1, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {6, "AI_CMD_GET_EVENT_ENABLE", "get event enable", AiOp::Get, false, AI_REG_TLP_CTRL, 0x4, 2, 1, AiCheck::None, 0, kRead, 0xFF},
    {7, "AI_CMD_SET_EVENT_ENABLE", "set event enable", AiOp::Set, false, AI_REG_TLP_CTRL, 0x4, 2, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {8, "AI_CMD_GET_PORTS_ENABLE", "get ports enable", AiOp::Get, false, AI_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, 0xFF},
    {9, "AI_CMD_SET_PORTS_ENABLE", "set ports enable", AiOp::Set, false, AI_REG_TLP_CTRL, 0xFFFF0000u, 16, 2, AiCheck::None, 0, kRead, 0xFF},
    {10, "AI_CMD_GET_CALIBRATION_VALUE", "get calibration value", AiOp::Get, false, AI_REG_ADC_CALIBRATION, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, 0xFF},
    {11, "AI_CMD_SET_CALIBRATION_VALUE", "set calibration value", AiOp::Set, false, AI_REG_ADC_CALIBRATION, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, 0xFF},
    {12, "AI_CMD_GET_GAIN_CTRL_FOR_ALL_PORTS", "get gain ctrl for all ports", AiOp::Get, false, AI_REG_ADC_CTRL, 0xFF, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {13, "AI_CMD_SET_GAIN_CTRL_FOR_ALL_PORTS", "set gain ctrl for all ports", AiOp::Set, false, AI_REG_ADC_CTRL, 0xFF, 0, 1, AiCheck::GainAll, 0, kRead, 0xFF},
    {14, "AI_CMD_GET_PORT_SAMPLE_RATE_DIVIDER", "get port sample rate divider", AiOp::Get, true, AI_PORT_SAMPLE_RATE_CTRL, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {15, "AI_CMD_SET_PORT_SAMPLE_RATE_DIVIDER", "set port sample rate divider", AiOp::Set, true, AI_PORT_SAMPLE_RATE_CTRL, kAll, 0, 4, AiCheck::None, 0, kRead, 0xFF},
    {16, "AI_CMD_GET_PORT_FIFO_FLUSH", "get port fifo flush", AiOp::Get, true, AI_PORT_SAMPLING_CTRL, 0x1, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {17, "AI_CMD_SET_PORT_FIFO_FLUSH", "set port fifo flush", AiOp::Set, true, AI_PORT_SAMPLING_CTRL, 0x1, 0, 1, AiCheck::Bool, 0, kRead, 0xFF},
    {18, "AI_CMD_GET_PORT_GAIN_CTRL", "get port gain ctrl", AiOp::Get, true, AI_PORT_SAMPLING_CTRL, 0xFF00, 8, 1, AiCheck::None, 0, kRead, 0xFF},
    {19, "AI_CMD_SET_PORT_GAIN_CTRL", "set port gain ctrl", AiOp::Set, true, AI_PORT_SAMPLING_CTRL, 0xFF00, 8, 1, AiCheck::GainPort, 0, kRead, 0xFF},
    {20, "AI_CMD_GET_PORT_LOGGING_MODE", "get port logging mode", AiOp::Get, true, AI_PORT_SAMPLING_CTRL, 0xFF0000, 16, 1, AiCheck::None, 0, kRead, 0xFF},
    {21, "AI_CMD_SET_PORT_LOGGING_MODE", "set port logging mode", AiOp::Set, true, AI_PORT_SAMPLING_CTRL, 0xFF0000, 16, 1, AiCheck::Max, 2, kRead, 0xFF},
    {22, "AI_CMD_GET_PORT_TRIGGER_MODE", "get port trigger mode", AiOp::Get, true, AI_PORT_SAMPLING_CTRL, 0xFF000000u, 24, 1, AiCheck::None, 0, kRead, 0xFF},
    {23, "AI_CMD_SET_PORT_TRIGGER_MODE", "set port trigger mode", AiOp::Set, true, AI_PORT_SAMPLING_CTRL, 0xFF000000u, 24, 1, AiCheck::TriggerAi, 0, kRead, 0xFF},
    {24, "AI_CMD_GET_PORT_UPPER_TRIGGER_VALUE", "get port upper trigger value", AiOp::Get, true, AI_PORT_UPPER_TRIGGER, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, 0xFF},
    {25, "AI_CMD_SET_PORT_UPPER_TRIGGER_VALUE", "set port upper trigger value", AiOp::Set, true, AI_PORT_UPPER_TRIGGER, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, 0xFF},
    {26, "AI_CMD_GET_PORT_LOWER_TRIGGER_VALUE", "get port lower trigger value", AiOp::Get, true, AI_PORT_LOWER_TRIGGER, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, 0xFF},
    {27, "AI_CMD_SET_PORT_LOWER_TRIGGER_VALUE", "set port lower trigger value", AiOp::Set, true, AI_PORT_LOWER_TRIGGER, 0xFFFF, 0, 2, AiCheck::None, 0, kRead, 0xFF},
    {28, "AI_CMD_GET_PORT_FIFO_TRIGGER_LEVEL", "get port fifo trigger level", AiOp::Get, true, AI_PORT_FIFO_TRIGGER_LEVEL, 0xFF, 0, 1, AiCheck::None, 0, kRead, 0xFF},
    {29, "AI_CMD_SET_PORT_FIFO_TRIGGER_LEVEL", "set port fifo trigger level", AiOp::Set, true, AI_PORT_FIFO_TRIGGER_LEVEL, 0xFF, 0, 1, AiCheck::None, 0, kRead, 0xFF},
};
// clang-format on

const uint8_t kPortRegs[] = {AI_PORT_SAMPLE_RATE_CTRL, AI_PORT_SAMPLING_CTRL, AI_PORT_UPPER_TRIGGER,
                             AI_PORT_LOWER_TRIGGER, AI_PORT_FIFO_TRIGGER_LEVEL};
const uint8_t kPortAolbe[] = {kRead, kRead, kRead, kRead, kRead};

bool _Has(PDIB d) {
    return d->AiPtr != nullptr;
}
uint8_t _Ports(PDIB d) {
    return d->AiPtr->NumberOfInputPorts;
}
uint8_t _PortOffset(PDIB d, int p) {
    return d->AiPtr->Port[p].Offset;
}
uint8_t _Version(PDIB d) {
    return d->AiPtr->Version;
}
uint8_t _Gains(PDIB d) {
    return d->AiPtr->SupportMaxProgramableGains;
}
uint8_t _NoMaiType(PDIB) {
    return 0xFF;
}

uint32_t* _Cache(PDIB d, int p, uint8_t reg) {
    _DIB_AI& a = *d->AiPtr;
    if (p < 0) {
        switch (reg) {
            case AI_REG_TLP_CTRL:
                return &a.TlpCtrlReg;
            case AI_REG_ADC_CALIBRATION:
                return &a.ADCCalibrationReg;
            case AI_REG_ADC_CTRL:
                return &a.ADCCtrlReg;
            default:
                return nullptr;
        }
    }
    if (p >= kDibMaxPorts) return nullptr;
    _DIB_AI_PORT& q = a.Port[p];
    switch (reg) {
        case AI_PORT_SAMPLE_RATE_CTRL:
            return &q.SampleRateCtrlReg;
        case AI_PORT_SAMPLING_CTRL:
            return &q.SamplingCtrlReg;
        case AI_PORT_UPPER_TRIGGER:
            return &q.UpperTriggerValueReg;
        case AI_PORT_LOWER_TRIGGER:
            return &q.LowerTriggerValueReg;
        case AI_PORT_FIFO_TRIGGER_LEVEL:
            return &q.FifoTriggerLevelReg;
        default:
            return nullptr;
    }
}

const char* _RegName(uint8_t reg, bool port) {
    if (!port) {
        switch (reg) {
            case AI_REG_TLP_CTRL:
                return "tlp ctrl reg";
            case AI_REG_ADC_CALIBRATION:
                return "ADC calibration reg";
            default:
                return "ADC ctrl reg";
        }
    }
    switch (reg) {
        case AI_PORT_SAMPLE_RATE_CTRL:
            return "port sample rate ctrl reg";
        case AI_PORT_SAMPLING_CTRL:
            return "port sampling ctrl reg";
        case AI_PORT_UPPER_TRIGGER:
            return "port upper trigger value reg";
        case AI_PORT_LOWER_TRIGGER:
            return "port lower trigger value reg";
        default:
            return "port fifo trigger level reg";
    }
}

size_t _InfoRecord(PDIB d, uint8_t* out) {
    const _DIB_AI& a = *d->AiPtr;
    size_t n = 0;
    out[n++] = a.Version;
    qor::PutBe32(out + n, a.FifoSize);
    n += 4;
    out[n++] = a.FifoType;
    out[n++] = a.NumberOfInputPorts;
    out[n++] = a.Resolution;
    out[n++] = a.SupportInputTypes;
    out[n++] = a.SupportMaxProgramableGains;
    qor::PutBe32(out + n, a.MaxSamplingRateCapability);
    n += 4;
    for (uint8_t b : a.Vref) out[n++] = b;
    for (int p = 0; p < a.NumberOfInputPorts && p < kDibMaxPorts; ++p) {
        const _DIB_AI_PORT& q = a.Port[p];
        out[n++] = q.PortIndex;
        qor::PutBe32(out + n, q.SampleRateCtrlReg);
        n += 4;
        out[n++] = static_cast<uint8_t>(q.SamplingCtrlReg >> 8);
        out[n++] = static_cast<uint8_t>(q.SamplingCtrlReg >> 16);
        out[n++] = static_cast<uint8_t>(q.SamplingCtrlReg >> 24);
        qor::PutBe16(out + n, static_cast<uint16_t>(q.UpperTriggerValueReg));
        n += 2;
        qor::PutBe16(out + n, static_cast<uint16_t>(q.LowerTriggerValueReg));
        n += 2;
        out[n++] = static_cast<uint8_t>(q.FifoTriggerLevelReg);
    }
    return n;
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioAiObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    SioAiObjDel(pVn, pDib);
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return SioAiObjGetControllerAndPortInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kAiChannelFamily = {0,
                                             1,
                                             1,
                                             _FamilyAdd,
                                             _FamilyDel,
                                             _FamilyInfo,
                                             1,
                                             "get AI controller & port info fail",
                                             "get AI controller & port info fail"};

const _VN_TLP_CONSUMER kAiConsumer = {
    [](PVN_DEVICE pVn, uint8_t Chl) { return SioObjConsumerFind(SioAiFamily, pVn, Chl); },
    SioObjConsumerResponse, SioObjConsumerData, SioObjConsumerEvent, SioObjConsumerRelease};

}  // namespace

const _AI_FAMILY_DESC SioAiDesc = {
    "AI  ",
    kCmds,
    sizeof(kCmds) / sizeof(kCmds[0]),
    _Has,
    _Ports,
    _PortOffset,
    _Cache,
    _Version,
    _Gains,
    _NoMaiType,
    kAiInfoWords,
    kPortRegs,
    sizeof(kPortRegs),
    kPortAolbe,
    _RegName,
    _InfoRecord,
    nullptr,
};

const _SIO_FAMILY SioAiFamily = {
    SIO_DEVICE_AI,   "AI  (T:%d, C:%d), ", AI_OBJ_FMT,       &SioAiObjList, &SioAiObjListMutex,
    &SioAiObjAmount, SioAiCodeName,        SioAiCommandWord, SioAiHandle,   0,
    nullptr,         SioAiEventHandle,     SioAiDataHandle,
};

int SioAiObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    return SioObjAdd(SioAiFamily, pVn, pDib);
}
void SioAiObjDel(PVN_DEVICE pVn, PDIB pDib) {
    SioObjDel(SioAiFamily, pVn, pDib);
}
void SioAiObjDelAll() {
    SioObjDelAll(SioAiFamily);
}
SioObjRef SioAiObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    return SioObjGetByVnMacAndDibChlNumber(SioAiFamily, pMac, ChlNumber);
}

int SioAiObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib) {
    if (!pDib->AiPtr) return 0;
    // Port p's block of five registers follows the three channel-wide registers.
    for (int p = 0; p < kDibMaxPorts; ++p)
        pDib->AiPtr->Port[p].Offset = static_cast<uint8_t>(AI_PORT_FIRST + AI_PORT_WORDS * p);
    return SioAiFamilyConnectRead(SioAiDesc, SioAiFamily, pVn, pDib);
}

const char* SioAiCommandWord(uint16_t Code) {
    const _AI_CMD* q = SioAiFamilyCommand(SioAiDesc, Code);
    return q ? q->Word : nullptr;
}

const char* SioAiCodeName(uint16_t Code) {
    if (const _AI_CMD* q = SioAiFamilyCommand(SioAiDesc, Code)) return q->Name;
    if (Code & kSioResponseBit) return SioAiResponseName(SioAiDesc, Code);
    if (Code == AI_EVENT) return "AI_EVENT";
    if (Code == AI_DATA_SERVICE_TO_LIBRARY) return "AI_DATA_SERVICE_TO_LIBRARY";
    return "UNKNOW";
}

void SioAiHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    SioAiFamilyHandle(SioAiDesc, Req, pReply);
}

void SioAiHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioAiFamily, pClient, pMessage, Length);
}

void SioAiDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardData(pObj, pTlp, Length, "AI  ");
}

void SioAiEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    SioAiFamilyForwardEvent(pObj, pTlp, Length, "AI  ");
}

void SioAiObjRegister() {
    VnUnitServices.Families[DIB_TYPE_AI] = &kAiChannelFamily;
    VnTlpConsumers[DIB_TYPE_AI] = &kAiConsumer;
    SioFamilies[SIO_DEVICE_AI] = &SioAiFamily;
}

void SioAiObjUnregister() {
    SioFamilies[SIO_DEVICE_AI] = nullptr;
    VnTlpConsumers[DIB_TYPE_AI] = nullptr;
    VnUnitServices.Families[DIB_TYPE_AI] = nullptr;
}
