#include "uart_reg.h"

#include <string.h>

#include <algorithm>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "vn_tlp_stream.h"

UartGen UartGenOf(uint8_t Version) {
    if (Version == 0) return UART_GEN_V0;
    if (Version <= 3) return UART_GEN_V1V2V3;
    if (Version <= 5) return UART_GEN_V4V5;
    return UART_GEN_NONE;
}

const char* UartGenName(UartGen Gen) {
    switch (Gen) {
        case UART_GEN_V0:
            return "V0";
        case UART_GEN_V1V2V3:
            return "V1V2V3";
        case UART_GEN_V4V5:
            return "V4V5";
        default:
            return "";
    }
}

namespace {

constexpr uint8_t kAolbeOneWord = 0x0F;
constexpr uint8_t kAolbeBlock = 0x1F;

uint32_t* _RegCopy(_DIB_UART& u, uint8_t Offset) {
    switch (Offset) {
        case UART_REG_CONTROL0:
            return &u.Control0Reg;
        case UART_REG_CONTROL1:
            return &u.Control1Reg;
        case UART_REG_STATUS:
            return &u.StatusReg;
        case UART_REG_FIFO_TRIGGER_LEVEL:
            return &u.FifoTriggerLevelReg;
        case UART_REG_CONTROL2:
            return &u.Control2Reg;
        default:
            return nullptr;
    }
}

const char* _RegAnswerName(uint8_t Offset) {
    switch (Offset) {
        case UART_REG_CONTROL0:
            return "get ctrl 0 reg response";
        case UART_REG_CONTROL1:
            return "get ctrl 1 reg response";
        case UART_REG_STATUS:
            return "get status reg response";
        case UART_REG_FIFO_TRIGGER_LEVEL:
            return "get fifo trigger level reg response";
        default:
            return "get ctrl 2 reg response";
    }
}

const char* _InfoAnswerName(UartGen Gen) {
    switch (Gen) {
        case UART_GEN_V0:
            return "get controller info response V0";
        case UART_GEN_V1V2V3:
            return "get controller info response V1V2V3";
        default:
            return "get controller info response V4V5";
    }
}

uint8_t _InfoWords(UartGen Gen) {
    return Gen == UART_GEN_V0 ? 3 : 5;
}

int _Send(const _UART_CHL& c, const uint8_t* pTlp, size_t Length) {
    return VnTlpStreamOut(c.VnPtr, pTlp, static_cast<int>(Length)) ? 1 : 0;
}

// Offset, then LengthInDW, then the words the header announces must be present; a mismatch
// is reported with the answer's name.
int _CheckAnswer(const char* Prefix, const char* Name, const _TLP_HEADER* pTlp, size_t Length, uint8_t Offset,
                 uint8_t LengthInDW) {
    if (pTlp->Offset != Offset) {
        PemDbg(1, 1, "%s%s, invalid Offset:x%02x\n", Prefix, Name, pTlp->Offset);
        return 0;
    }
    if (pTlp->LengthInDW != LengthInDW || Length < kTlpHeaderLength + 4u * LengthInDW) {
        PemDbg(1, 1, "%s%s, invalid LengthInDW:x%02x\n", Prefix, Name, pTlp->LengthInDW);
        return 0;
    }
    return 1;
}

// What a waiting read expects; the matcher runs on the NIC receive thread under the slot.
struct _Expect {
    _TLP_HEADER Req;
    const char* Prefix;
    const char* Name;
};

bool _Match(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length) {
    const auto* e = static_cast<const _Expect*>(pCtx);
    if (Length < kTlpHeaderLength || pTlp->Type != TLP_TYPE_CMD || pTlp->ChlNumber != e->Req.ChlNumber ||
        pTlp->TransactionID != (e->Req.TransactionID & 0x1F))
        return false;
    return _CheckAnswer(e->Prefix, e->Name, pTlp, Length, e->Req.Offset, e->Req.LengthInDW) == 1;
}

// One read: send under the slot, wait for the matching answer. On UART_OK the answer is in
// the slot and the slot's mutex is still held through *pLock.
UartResult _Exchange(const _UART_CHL& c, const _TLP_HEADER& req, const char* Name) {
    const _Expect expect{req, c.Prefix, Name};
    // Sent without a matcher, then armed: the slot's mutex is held throughout, so the
    // receive thread cannot store the answer before the matcher is in place.
    if (!ChlSlotExchangeLocked(c.VnPtr, c.SlotPtr, &req, sizeof(req), nullptr, nullptr)) return UART_TX_FAIL;
    if (!ChlSlotWaitLocked(c.SlotPtr, _Match, &expect)) return UART_TIMEOUT;
    return c.SlotPtr->RxLength == 0 ? UART_NO_DATA : UART_OK;
}

_TLP_HEADER _ReadHeader(uint8_t ChlNumber, uint8_t Offset, uint8_t LengthInDW, uint8_t AOLBE) {
    _TLP_HEADER h{};
    h.ChlNumber = ChlNumber;
    h.Type = TLP_TYPE_CMD;
    h.RW = 0;
    h.Offset = Offset;
    h.LengthInDW = LengthInDW;
    h.AOLBE = AOLBE;
    return h;
}

int _Init(const _UART_CHL& c, bool V4V5) {
    _DIB_UART& u = c.DibPtr->Uart;
    qor::MutexLock lock(c.RegMutexPtr);
    u.Control0Reg = V4V5 ? kUartControl0DefaultV4V5 : kUartControl0DefaultV0V1V2V3;
    u.Control1Reg = kUartControl1Default;
    if (V4V5) u.FifoTriggerLevelReg = kUartFifoTriggerLevelDefault;
    uint8_t tlp[kTlpHeaderLength + 8];
    const uint32_t words[2] = {u.Control0Reg, u.Control1Reg};
    const size_t n = UartBuildRegTlp(tlp, c.DibPtr->ChlNumber, 1, UART_REG_CONTROL0, 2, kAolbeBlock, words);
    if (!_Send(c, tlp, n)) return 0;
    if (!V4V5) return 1;
    const uint32_t level = kUartFifoTriggerLevelDefault;
    const size_t m = UartBuildRegTlp(tlp, c.DibPtr->ChlNumber, 1, UART_REG_FIFO_TRIGGER_LEVEL, 1, kAolbeBlock, &level);
    return _Send(c, tlp, m);
}

}  // namespace

size_t UartBuildRegTlp(uint8_t* pOut, uint8_t ChlNumber, uint8_t RW, uint8_t Offset, uint8_t LengthInDW,
                       uint8_t AOLBE, const uint32_t* pWords) {
    _TLP_HEADER h = _ReadHeader(ChlNumber, Offset, LengthInDW, AOLBE);
    h.RW = RW;
    const size_t data = RW ? 4u * LengthInDW : 0;
    TlpSetExtraDataLength(&h, static_cast<uint16_t>(data));
    memcpy(pOut, &h, sizeof(h));
    for (size_t i = 0; i < data / 4; ++i) qor::PutLe32(pOut + kTlpHeaderLength + 4 * i, pWords[i]);
    return kTlpHeaderLength + data;
}

int UartCmdInitV0(const _UART_CHL& c) {
    return _Init(c, false);
}
int UartCmdInitV1V2V3(const _UART_CHL& c) {
    return _Init(c, false);
}
int UartCmdInitV4V5(const _UART_CHL& c) {
    return _Init(c, true);
}

int UartCmdInit(const _UART_CHL& c, UartGen Gen) {
    switch (Gen) {
        case UART_GEN_V0:
            return UartCmdInitV0(c);
        case UART_GEN_V1V2V3:
            return UartCmdInitV1V2V3(c);
        case UART_GEN_V4V5:
            return UartCmdInitV4V5(c);
        default:
            return 0;
    }
}

int UartCmdSetReg(const _UART_CHL& c, uint8_t Offset, uint32_t Value) {
    uint8_t tlp[kTlpHeaderLength + 4];
    const size_t n = UartBuildRegTlp(tlp, c.DibPtr->ChlNumber, 1, Offset, 1, kAolbeOneWord, &Value);
    return _Send(c, tlp, n);
}

int UartSetRegField(const _UART_CHL& c, uint8_t Offset, uint32_t Mask, unsigned Shift, uint32_t Value) {
    uint32_t* copy = _RegCopy(c.DibPtr->Uart, Offset);
    if (!copy) return 0;
    qor::MutexLock lock(c.RegMutexPtr);
    const uint32_t next = (*copy & ~Mask) | ((Value << Shift) & Mask);
    if (!UartCmdSetReg(c, Offset, next)) return 0;
    *copy = next;
    return 1;
}

int UartResponseGetReg(const _UART_CHL& c, const uint8_t* pRx, size_t Length, uint8_t Offset, uint32_t* pOut) {
    if (Length < kTlpHeaderLength) return 0;
    _TLP_HEADER h;
    memcpy(&h, pRx, sizeof(h));
    if (!_CheckAnswer(c.Prefix, _RegAnswerName(Offset), &h, Length, Offset, 1)) return 0;
    *pOut = qor::GetLe32(pRx + kTlpHeaderLength);
    return 1;
}

int UartResponseGetControllerInfo(const _UART_CHL& c, const uint8_t* pRx, size_t Length, UartGen Gen) {
    if (Gen == UART_GEN_NONE || Length < kTlpHeaderLength) return 0;
    _TLP_HEADER h;
    memcpy(&h, pRx, sizeof(h));
    if (!_CheckAnswer(c.Prefix, _InfoAnswerName(Gen), &h, Length, 0, _InfoWords(Gen))) return 0;
    auto dw = [&](int n) { return qor::GetLe32(pRx + kTlpHeaderLength + 4 * n); };
    _DIB_UART& u = c.DibPtr->Uart;
    qor::MutexLock lock(c.RegMutexPtr);
    u.Control0Reg = dw(0);
    u.Control1Reg = dw(1);
    u.StatusReg = dw(2);
    u.FifoTriggerLevelReg = Gen == UART_GEN_V4V5 ? dw(3) : 0;
    u.Control2Reg = Gen == UART_GEN_V0 ? 0 : dw(4);
    return 1;
}

UartResult UartReadReg(const _UART_CHL& c, uint8_t Offset, uint32_t* pValue) {
    uint32_t* copy = _RegCopy(c.DibPtr->Uart, Offset);
    if (!copy) return UART_INVALID;
    uint32_t value = 0;
    {
        ChlSlotLock slot(c.SlotPtr);
        const _TLP_HEADER req = _ReadHeader(c.DibPtr->ChlNumber, Offset, 1, kAolbeOneWord);
        const UartResult r = _Exchange(c, req, _RegAnswerName(Offset));
        if (r != UART_OK) return r;
        if (!UartResponseGetReg(c, c.SlotPtr->RxBuff, c.SlotPtr->RxLength, Offset, &value)) return UART_INVALID;
    }
    qor::MutexLock lock(c.RegMutexPtr);
    *copy = value;
    *pValue = value;
    return UART_OK;
}

UartResult UartReadControllerInfo(const _UART_CHL& c, UartGen Gen) {
    if (Gen == UART_GEN_NONE) return UART_INVALID;
    ChlSlotLock slot(c.SlotPtr);
    const _TLP_HEADER req = _ReadHeader(c.DibPtr->ChlNumber, 0, _InfoWords(Gen), kAolbeBlock);
    const UartResult r = _Exchange(c, req, _InfoAnswerName(Gen));
    if (r != UART_OK) return r;
    return UartResponseGetControllerInfo(c, c.SlotPtr->RxBuff, c.SlotPtr->RxLength, Gen) ? UART_OK : UART_INVALID;
}

UartTxBuild UartBuildTxData(uint8_t ChlNumber, uint8_t Version, const uint8_t* pData, size_t n, uint8_t* pOut,
                            size_t* pOutLength) {
    const UartGen gen = UartGenOf(Version);
    if (gen == UART_GEN_NONE) return UART_TX_BAD_VERSION;
    const bool window = gen != UART_GEN_V4V5;
    if (n == 0 || n > (window ? kUartTxMaxV0V1V2V3 : kUartTxMaxV4V5)) return UART_TX_BAD_LENGTH;
    _TLP_HEADER h{};
    h.ChlNumber = ChlNumber;
    h.RW = 1;
    size_t data = n;
    if (window) {
        static const uint8_t kLastWordEnables[4] = {0x0F, 0x01, 0x03, 0x07};
        h.Type = TLP_TYPE_CMD;
        h.TransactionID = kUartTxDataTransactionID;
        h.Offset = UART_REG_FIFO_TRIGGER_LEVEL;
        h.LengthInDW = static_cast<uint8_t>((n + 3) / 4);
        h.AOLBE = kLastWordEnables[n % 4];
        data = 4u * h.LengthInDW;  // whole words go on the wire; the last one padded with zeros
    } else {
        h.Type = TLP_TYPE_DATA;
        h.LengthInByte = static_cast<uint16_t>(n);
    }
    TlpSetExtraDataLength(&h, static_cast<uint16_t>(n));
    memcpy(pOut, &h, sizeof(h));
    memcpy(pOut + kTlpHeaderLength, pData, n);
    memset(pOut + kTlpHeaderLength + n, 0, data - n);
    *pOutLength = kTlpHeaderLength + data;
    return UART_TX_OK;
}

int UartEventDecode(uint8_t Version, const uint8_t* pE, _UART_EVENT* pOut) {
    const UartGen gen = UartGenOf(Version);
    if (gen == UART_GEN_NONE) return 0;
    *pOut = _UART_EVENT{};
    const uint8_t e0 = pE[0], e1 = pE[1], e2 = pE[2], e3 = pE[3];
    pOut->HasMsr = (e0 & 0x10) != 0;
    pOut->Msr = e0 & 0x0F;
    if (gen == UART_GEN_V4V5) {
        pOut->HasLsr = (e0 & 0xE0) != 0;
        pOut->LsrFlags = static_cast<uint8_t>(((e0 & 0x20) ? 0x01 : 0) | ((e0 & 0x40) ? 0x08 : 0) |
                                              ((e0 & 0x80) ? 0x04 : 0));
        pOut->LsrCount = static_cast<uint16_t>(e3 | ((e2 & 0x0F) << 8));
    } else {
        pOut->HasLsr = (e0 & 0xA0) != 0 || (e1 & 0x03) != 0;
        pOut->LsrFlags = static_cast<uint8_t>(((e0 & 0x20) ? 0x01 : 0) | ((e0 & 0x80) ? 0x02 : 0) |
                                              ((e1 & 0x01) ? 0x04 : 0) | ((e1 & 0x02) ? 0x08 : 0));
        pOut->LsrCount = gen == UART_GEN_V0 ? 0 : static_cast<uint16_t>(e3 | ((e1 & 0x08) ? 0x100 : 0));
        pOut->HasData = (e0 & 0x40) != 0;
    }
    return 1;
}

const char* UartCheckMode1(const _DIB_UART& u, uint8_t Mode1) {
    if (Mode1 & 0xF0) return "MODE_1:x%02x invalid";
    if ((Mode1 & 0x01) && u.RIPowerIO5VCap != 1) return "no RI power I/O 5V cap";
    if ((Mode1 & 0x02) && u.RIPowerIO12VCap != 1) return "no RI power I/O 12V cap";
    if ((Mode1 & 0x03) == 0x03 && u.RIPowerIOCap != 1) return "no RI power I/O no distinguish 5V/12V cap";
    if ((Mode1 & 0x04) && u.DCDPowerIO5VCap != 1) return "no DCD power I/O 5V cap";
    if ((Mode1 & 0x08) && u.DCDPowerIO12VCap != 1) return "no DCD power I/O 12V cap";
    if ((Mode1 & 0x0C) == 0x0C && u.DCDPowerIOCap != 1) return "no DCD power I/O no distinguish 5V/12V cap";
    return nullptr;
}

const char* UartCheckMode2(const _DIB_UART& u, uint8_t Mode2) {
    if (Mode2 & 0x80) return "MODE_2:x%02x invalid";
    const struct {
        uint8_t Cap;
        const char* Why;
    } bits[7] = {{u.RS232Cap, "no RS232 cap"},
                 {u.RS422Cap, "no RS422 cap"},
                 {u.RS485Cap, "no RS485 cap"},
                 {u.AHDCCap, "no AHDC cap"},
                 {u.CSCap, "no CS cap"},
                 {u.RS422TerminationCtrlCap, "no RS422 termination cap"},
                 {u.RS485TerminationCtrlCap, "no RS485 termination cap"}};
    for (int i = 0; i < 7; ++i)
        if ((Mode2 & (1u << i)) && bits[i].Cap != 1) return bits[i].Why;
    return nullptr;
}

const _UART_REQUEST UartRequests[kUartLastRequest] = {
    {"open", UART_REQ_OPEN, UART_GATE_NONE, 0, 0, 0, 0, UART_CHECK_NONE},
    {"close", UART_REQ_CLOSE, UART_GATE_NONE, 0, 0, 0, 0, UART_CHECK_NONE},
    {"set DLLDLM", UART_REQ_SET, UART_GATE_NONE, UART_REG_CONTROL0, 0, 0x0000FFFF, 2, UART_CHECK_NONE},
    {"set LCR", UART_REQ_SET, UART_GATE_NONE, UART_REG_CONTROL0, 16, 0x00FF0000, 1, UART_CHECK_NONE},
    {"set FIFO_CTRL", UART_REQ_SET, UART_GATE_NONE, UART_REG_CONTROL0, 24, 0xFF000000, 1, UART_CHECK_NONE},
    {"set MCR", UART_REQ_SET, UART_GATE_NONE, UART_REG_CONTROL1, 0, 0x000000FF, 1, UART_CHECK_NONE},
    {"set EVENT_CTRL", UART_REQ_SET, UART_GATE_NONE, UART_REG_CONTROL1, 8, 0x0000FF00, 1, UART_CHECK_NONE},
    {"get MSR", UART_REQ_GET, UART_GATE_NONE, UART_REG_STATUS, 0, 0xFF, 1, UART_CHECK_NONE},
    {"get MODE_1", UART_REQ_GET, UART_GATE_V1, UART_REG_CONTROL2, 0, 0xFF, 1, UART_CHECK_NONE},
    {"set MODE_1", UART_REQ_SET, UART_GATE_V1, UART_REG_CONTROL2, 0, 0x000000FF, 1, UART_CHECK_MODE_1},
    {"get MODE_2", UART_REQ_GET, UART_GATE_V1, UART_REG_CONTROL2, 8, 0xFF, 1, UART_CHECK_NONE},
    {"set MODE_2", UART_REQ_SET, UART_GATE_V1, UART_REG_CONTROL2, 8, 0x0000FF00, 1, UART_CHECK_MODE_2},
    {"get OnChipHardwareFlowCtrl", UART_REQ_GET, UART_GATE_V4, UART_REG_CONTROL1, 16, 0xFF, 1, UART_CHECK_NONE},
    {"set OnChipHardwareFlowCtrl", UART_REQ_SET, UART_GATE_V4, UART_REG_CONTROL1, 16, 0x00FF0000, 1,
     UART_CHECK_NONE},
    {"get TxCurrentCredit", UART_REQ_GET, UART_GATE_V5, UART_REG_STATUS, 8, 0xFFF, 2, UART_CHECK_NONE},
    {"get TxFifoDataCnt", UART_REQ_GET, UART_GATE_V5, UART_REG_STATUS, 20, 0xFFF, 2, UART_CHECK_NONE},
    {"get TxTriggerLevel", UART_REQ_GET, UART_GATE_V4, UART_REG_FIFO_TRIGGER_LEVEL, 0, 0xFF, 1, UART_CHECK_NONE},
    {"set TxTriggerLevel", UART_REQ_SET, UART_GATE_V4, UART_REG_FIFO_TRIGGER_LEVEL, 0, 0x000000FF, 1,
     UART_CHECK_NONE},
    {"get RxTriggerLevel", UART_REQ_GET, UART_GATE_V4, UART_REG_FIFO_TRIGGER_LEVEL, 8, 0xFF, 1, UART_CHECK_NONE},
    {"set RxTriggerLevel", UART_REQ_SET, UART_GATE_V4, UART_REG_FIFO_TRIGGER_LEVEL, 8, 0x0000FF00, 1,
     UART_CHECK_NONE},
};

bool UartRequestVersionHas(UartReqGate Gate, uint8_t Version) {
    switch (Gate) {
        case UART_GATE_V1:
            return Version != 0;
        case UART_GATE_V4:
            return Version >= 4;
        case UART_GATE_V5:
            return Version >= 5;
        default:
            return true;
    }
}

size_t UartRequestGetAnswer(const _UART_REQUEST& q, uint32_t Reg, uint8_t* pOut) {
    const uint32_t field = (Reg >> q.Shift) & q.Mask;
    if (q.Size == 2)
        qor::PutBe16(pOut, static_cast<uint16_t>(field));
    else
        pOut[0] = static_cast<uint8_t>(field);
    return q.Size;
}

void UartOpenRecord(const _UART_CHL& c, uint8_t* r) {
    const _DIB_UART& u = c.DibPtr->Uart;
    qor::MutexLock lock(c.RegMutexPtr);
    const bool v45 = u.Version == 4 || u.Version == 5;
    const bool v5 = u.Version == 5;
    r[0] = u.Version;
    qor::PutLe32(r + 1, u.Control0Reg);
    r[5] = static_cast<uint8_t>(u.Control1Reg);
    r[6] = static_cast<uint8_t>(u.Control1Reg >> 8);
    r[7] = v45 ? static_cast<uint8_t>(u.Control1Reg >> 16) : 0;
    r[8] = static_cast<uint8_t>(u.StatusReg);
    qor::PutBe16(r + 9, v5 ? static_cast<uint16_t>((u.StatusReg & 0xFFF00) >> 8) : 0);
    qor::PutBe16(r + 11, v5 ? static_cast<uint16_t>(u.StatusReg >> 20) : 0);
    r[13] = v45 ? static_cast<uint8_t>(u.FifoTriggerLevelReg) : 0;
    r[14] = v45 ? static_cast<uint8_t>(u.FifoTriggerLevelReg >> 8) : 0;
    r[15] = static_cast<uint8_t>(u.Control2Reg);
    r[16] = static_cast<uint8_t>(u.Control2Reg >> 8);
}
