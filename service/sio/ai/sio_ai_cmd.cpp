// The register protocol and command engine of the analog input families (AI, UI, MAI): one
// TLP per register read or write (TransactionID of the object, AOLBE 0x1F unless told), the
// answer check of every read, the connect-time and info reads, and the field commands with
// their checks in the order payload length, port, channel type, value.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "sio_ai_obj.h"

namespace {

constexpr uint8_t kAolbe = 0x1F;

_TLP_HEADER _Header(PSIO_OBJ o, uint8_t Rw, uint8_t Offset, uint8_t LengthInDW, uint8_t Aolbe) {
    _TLP_HEADER h{};
    h.ChlNumber = o->DibChlNumber;
    h.Type = TLP_TYPE_CMD;
    h.RW = Rw;
    h.TransactionID = o->TransactionID;
    h.Offset = Offset;
    h.LengthInDW = LengthInDW;
    h.AOLBE = Aolbe;
    return h;
}

// Any register answer of the channel with the request's TransactionID ends the wait; its
// Offset and LengthInDW are checked after, so an answer to another register is refused
// (status 34) rather than taken.
bool _Match(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length) {
    const auto* req = static_cast<const _TLP_HEADER*>(pCtx);
    return Length >= kTlpHeaderLength && pTlp->Type == TLP_TYPE_CMD && pTlp->ChlNumber == req->ChlNumber &&
           pTlp->TransactionID == (req->TransactionID & 0x1F);
}

// Sample data and events that could not go to a client (none connected, say): the first and
// then every 1000th are logged, so a unit streaming to nobody cannot flood the log.
std::atomic<uint32_t> gTxDrops{0};
bool _LogDrop() {
    const uint32_t n = gTxDrops.fetch_add(1) + 1;
    return n == 1 || n % 1000 == 0;
}

#define AI_LOG SIO_ANALOG_LOG

uint32_t _RegOffset(const _AI_FAMILY_DESC& D, PDIB dib, const _AI_CMD& q, int port) {
    return q.Port ? static_cast<uint32_t>(D.PortOffset(dib, port)) + q.Reg : q.Reg;
}

uint16_t _CheckGain(const _AI_FAMILY_DESC& D, const _SIO_REQUEST& r, PDIB dib, AiCheck c, uint32_t v) {
    return SioAnalogCheckGain(D.Tag, r, D.Gains(dib), D.Version(dib), c == AiCheck::GainAll, 0,
                              AI_STATUS_GAIN_MODEL, AI_STATUS_GAIN_MODEL,
                              "don't support set gain control for individual port", v);
}

uint16_t _CheckValue(const _AI_FAMILY_DESC& D, const _SIO_REQUEST& r, PDIB dib, const _AI_CMD& q,
                     uint32_t v) {
    bool ok = true;
    switch (q.Check) {
        case AiCheck::None:
            return SIO_STATUS_SUCCESS;
        case AiCheck::Bool:
            ok = v <= 1;
            break;
        case AiCheck::Max:
            ok = v <= q.Limit;
            break;
        case AiCheck::Below:
            ok = v < q.Limit;
            break;
        case AiCheck::TriggerAi:
            ok = (v & 0xE0) == 0;
            break;
        case AiCheck::GainAll:
        case AiCheck::GainPort:
            return _CheckGain(D, r, dib, q.Check, v);
    }
    if (ok) return SIO_STATUS_SUCCESS;
    AI_LOG(D.Tag, r, "invalid value:x%02x\n", v);
    return SIO_STATUS_DATA_INVALID;
}

uint16_t _Handle(const _AI_FAMILY_DESC& D, const _SIO_REQUEST& r, _SIO_REPLY* p) {
    const _AI_CMD* q = SioAiFamilyCommand(D, r.Code);
    if (!q) return SIO_STATUS_DATA_INVALID;
    qor::ReadLock info(&r.Obj->VnPtr->InfoLock);
    qor::MutexLock reg(&r.Obj->RegMutex);
    PDIB dib = r.Obj->DibPtr;
    const bool has = D.Has(dib);
    const uint16_t head = SioAnalogCommandHead(D.Tag, r, p, has, q->Port, q->Op == AiOp::Set ? q->Size : 0,
                                               has ? D.Ports(dib) : 0);
    if (head != SIO_STATUS_SUCCESS) return head;
    char prefix[48];
    snprintf(prefix, sizeof(prefix), "%s(T:%d, C:%d), ", D.Tag, r.Port, r.Channel);
    if (q->Op == AiOp::Info) {
        const uint16_t s = SioAiFamilyReadAll(D, r.Obj, prefix);
        if (s != SIO_STATUS_SUCCESS) return s;
        p->Length = D.InfoRecord(dib, p->Data);
        return SIO_STATUS_SUCCESS;
    }
    const int port = q->Port ? r.Payload[0] : -1;
    if (q->MaiType != 0xFF && D.MaiType(dib) != q->MaiType) {
        AI_LOG(D.Tag, r, "MAI type (x%02x) not support\n", D.MaiType(dib));
        return MAI_STATUS_TYPE_MISMATCH;
    }
    if (q->Op == AiOp::Calibration) {
        if (!D.Calibration) return SIO_STATUS_DATA_INVALID;
        return D.Calibration(r, *q, p);
    }
    const uint32_t offset = _RegOffset(D, dib, *q, port);
    if (offset > 0xFF) {
        AI_LOG(D.Tag, r, "can't get port (I:x%02x)\n", port);
        return AI_STATUS_NO_PORT;
    }
    uint32_t* cache = D.Cache(dib, port, q->Reg);
    const size_t at = q->Port ? 1 : 0;
    if (q->Op == AiOp::Get) {
        uint32_t word = 0;
        char name[64];
        snprintf(name, sizeof(name), "get %s", D.RegName(q->Reg, q->Port));
        const uint16_t s = SioAnalogStepStatus(
            D.Tag, r, SioAiCmdRead(r.Obj, static_cast<uint8_t>(offset), 1, q->Aolbe, prefix, name, &word));
        if (s != SIO_STATUS_SUCCESS) return s;
        if (cache) *cache = word;
        SioAnalogPutBe(p->Data + at, q->Size, (word & q->Mask) >> q->Shift);
        p->Length = at + q->Size;
        return SIO_STATUS_SUCCESS;
    }
    const uint32_t v = SioAnalogGetBe(r.Payload + at, q->Size);
    const uint16_t s = _CheckValue(D, r, dib, *q, v);
    if (s != SIO_STATUS_SUCCESS) return s;
    const uint32_t base = cache ? *cache : 0;
    const uint32_t word = (base & ~q->Mask) | ((v << q->Shift) & q->Mask);
    if (!SioAiCmdWrite(r.Obj, static_cast<uint8_t>(offset), word)) {
        AI_LOG(D.Tag, r, "tx cmd fail\n");
        return SIO_STATUS_TX_CMD_FAIL;
    }
    if (cache) *cache = word;
    p->Length = at;
    return SIO_STATUS_SUCCESS;
}

}  // namespace

uint16_t SioAnalogStepStatus(const char* Tag, const _SIO_REQUEST& r, AiResult Res) {
    switch (Res) {
        case AI_TX_FAIL:
            SIO_ANALOG_LOG(Tag, r, "tx cmd fail\n");
            break;
        case AI_TIMEOUT:
            SIO_ANALOG_LOG(Tag, r, "rx response wait timeout\n");
            break;
        case AI_NO_DATA:
            SIO_ANALOG_LOG(Tag, r, "rx response no data\n");
            break;
        default:  // success, or the answer check logged it
            break;
    }
    return SioAiReadStatus(Res);
}

uint32_t SioAnalogGetBe(const uint8_t* p, uint8_t Size) {
    uint32_t v = 0;
    for (uint8_t i = 0; i < Size; ++i) v = (v << 8) | p[i];
    return v;
}

void SioAnalogPutBe(uint8_t* p, uint8_t Size, uint32_t Value) {
    for (uint8_t i = 0; i < Size; ++i) p[i] = static_cast<uint8_t>(Value >> (8 * (Size - 1 - i)));
}

uint16_t SioAnalogCommandHead(const char* Tag, const _SIO_REQUEST& r, _SIO_REPLY* p, bool HasDib, bool Port,
                              size_t SetSize, int Ports) {
    if (Port && r.Avail >= 1 && r.Length >= 1) {
        p->Data[0] = r.Payload[0];
        p->Length = 1;
        p->FailLength = 1;
    }
    if (!HasDib) {
        SIO_ANALOG_LOG(Tag, r, "can't get DIB\n");
        return SIO_STATUS_OBJECT_NOT_FOUND;
    }
    if (r.Length != (Port ? 1u : 0u) + SetSize || r.Length > r.Avail) {
        SIO_ANALOG_LOG(Tag, r, "invalid data length\n");
        return SIO_STATUS_LENGTH_INVALID;
    }
    if (Port && (r.Payload[0] >= Ports || r.Payload[0] >= kDibMaxPorts)) {
        SIO_ANALOG_LOG(Tag, r, "can't get port (I:x%02x)\n", r.Payload[0]);
        return AI_STATUS_NO_PORT;
    }
    return SIO_STATUS_SUCCESS;
}

uint16_t SioAnalogCheckGain(const char* Tag, const _SIO_REQUEST& r, uint8_t Gains, uint8_t Version, bool All,
                            uint32_t FamilyBelow, uint16_t AllStatus, uint16_t PortStatus,
                            const char* PortMessage, uint32_t v) {
    uint32_t max = 0, below = 0;
    if (Version == 0) {
        max = Gains & 0x03;
        below = 3;
    } else if (Version == 1) {
        max = Gains & 0x3F;
        below = 5;
    } else {
        SIO_ANALOG_LOG(Tag, r, "unsupport version:x%02x\n", Version);
        return SIO_STATUS_CONTROLLER_VERSION_UNSUPPORT;
    }
    if (FamilyBelow != 0) below = std::min(below, FamilyBelow);
    const bool perPort = (Gains & 0x80) != 0;
    if (All && perPort) {
        SIO_ANALOG_LOG(Tag, r, "don't support set gain control for all port\n");
        return AllStatus;
    }
    if (!All && !perPort) {
        SIO_ANALOG_LOG(Tag, r, "%s\n", PortMessage);
        return PortStatus;
    }
    if (v > max) {
        SIO_ANALOG_LOG(Tag, r, "gain ctrl > max gain support\n");
        return SIO_STATUS_DATA_INVALID;
    }
    if (v >= below) {
        SIO_ANALOG_LOG(Tag, r, "invalid GainCtrl:x%02x\n", v);
        return SIO_STATUS_DATA_INVALID;
    }
    return SIO_STATUS_SUCCESS;
}

uint16_t SioAiReadStatus(AiResult Res) {
    switch (Res) {
        case AI_OK:
            return SIO_STATUS_SUCCESS;
        case AI_TX_FAIL:
            return SIO_STATUS_TX_CMD_FAIL;
        case AI_TIMEOUT:
            return SIO_STATUS_RX_RESPONSE_TIMEOUT;
        case AI_NO_DATA:
            return SIO_STATUS_RX_RESPONSE_WITH_NO_DATA;
        default:
            return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
}

AiResult SioAiCmdRead(PSIO_OBJ pObj, uint8_t Offset, uint8_t LengthInDW, uint8_t Aolbe, const char* Prefix,
                      const char* Name, uint32_t* pWords) {
    const _TLP_HEADER req = _Header(pObj, 0, Offset, LengthInDW, Aolbe);
    ChlSlotLock slot(&pObj->Slot);
    // Sent, then armed: the slot's mutex is held throughout, so the answer cannot be stored
    // before the matcher is in place.
    if (!ChlSlotExchangeLocked(pObj->VnPtr, &pObj->Slot, &req, sizeof(req), nullptr, nullptr))
        return AI_TX_FAIL;
    if (!ChlSlotWaitLocked(&pObj->Slot, _Match, &req)) return AI_TIMEOUT;
    const size_t n = pObj->Slot.RxLength;
    if (n == 0) return AI_NO_DATA;
    _TLP_HEADER h;
    memcpy(&h, pObj->Slot.RxBuff, sizeof(h));
    if (h.Offset != Offset) {
        PemDbg(1, 1, "%s%s response, invalid Offset:x%02x\n", Prefix, Name, h.Offset);
        return AI_INVALID;
    }
    if (h.LengthInDW != LengthInDW || n < kTlpHeaderLength + 4u * LengthInDW) {
        PemDbg(1, 1, "%s%s response, invalid LengthInDW:x%02x\n", Prefix, Name, h.LengthInDW);
        return AI_INVALID;
    }
    for (uint8_t i = 0; i < LengthInDW; ++i)
        pWords[i] = qor::GetLe32(pObj->Slot.RxBuff + kTlpHeaderLength + 4 * i);
    return AI_OK;
}

int SioAiCmdWrite(PSIO_OBJ pObj, uint8_t Offset, uint32_t Value) {
    struct {
        _TLP_HEADER Hdr;
        uint8_t Data[4];
    } tlp;
    tlp.Hdr = _Header(pObj, 1, Offset, 1, kAolbe);
    TlpSetExtraDataLength(&tlp.Hdr, 4);
    qor::PutLe32(tlp.Data, Value);
    static_assert(sizeof(tlp) == kTlpHeaderLength + 4);
    return VnTlpStreamOut(pObj->VnPtr, reinterpret_cast<uint8_t*>(&tlp), static_cast<int>(sizeof(tlp)));
}

uint16_t SioAiFamilyReadAll(const _AI_FAMILY_DESC& D, PSIO_OBJ pObj, const char* Prefix) {
    PDIB dib = pObj->DibPtr;
    if (!D.Has(dib)) return SIO_STATUS_OBJECT_NOT_FOUND;
    uint32_t words[8] = {};
    const uint8_t infoWords = std::min<uint8_t>(D.InfoWords, 8);
    const AiResult c = SioAiCmdRead(pObj, 0, infoWords, kAolbe, Prefix, "get controller info", words);
    if (c != AI_OK) {
        if (c != AI_INVALID) PemDbg(1, 1, "%sget controller info fail\n", Prefix);
        return SioAiReadStatus(c);
    }
    for (uint8_t i = 0; i < infoWords; ++i)
        if (uint32_t* w = D.Cache(dib, -1, i)) *w = words[i];
    const int ports = std::min<int>(D.Ports(dib), kDibMaxPorts);
    for (int p = 0; p < ports; ++p) {
        for (size_t k = 0; k < D.PortRegCount; ++k) {
            const uint8_t reg = D.PortRegs[k];
            char name[64];
            snprintf(name, sizeof(name), "get %s", D.RegName(reg, true));
            uint32_t w = 0;
            const AiResult res = SioAiCmdRead(pObj, static_cast<uint8_t>(D.PortOffset(dib, p) + reg), 1,
                                              D.PortAolbe[k], Prefix, name, &w);
            if (res != AI_OK) {
                if (res != AI_INVALID) PemDbg(1, 1, "%s%s fail, port:%d\n", Prefix, name, p);
                return SioAiReadStatus(res);
            }
            if (uint32_t* cache = D.Cache(dib, p, reg)) *cache = w;
        }
    }
    return SIO_STATUS_SUCCESS;
}

int SioAiFamilyConnectRead(const _AI_FAMILY_DESC& D, const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib) {
    SioObjRef o = SioObjGetByVnMacAndDibChlNumber(F, pVn->Mac, pDib->ChlNumber);
    if (!o || o->DibPtr != pDib || !D.Has(pDib)) return 0;
    const uint8_t* m = pVn->Mac;
    char prefix[80];
    snprintf(prefix, sizeof(prefix), "%s(:%.2x:%.2x:%.2x, C:%d, %p), ", D.Tag, m[3], m[4], m[5],
             pDib->ChlNumber, static_cast<void*>(o.get()));
    qor::MutexLock reg(&o->RegMutex);
    return SioAiFamilyReadAll(D, o.get(), prefix) == SIO_STATUS_SUCCESS ? 1 : 0;
}

const _AI_CMD* SioAiFamilyCommand(const _AI_FAMILY_DESC& D, uint16_t Code) {
    for (size_t i = 0; i < D.CmdCount; ++i)
        if (D.Cmds[i].Code == Code) return &D.Cmds[i];
    return nullptr;
}

void SioAiFamilyHandle(const _AI_FAMILY_DESC& D, const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    pReply->Length = 0;
    pReply->FailLength = 0;
    pReply->Status = _Handle(D, Req, pReply);
}

const char* SioAiResponseName(const _AI_FAMILY_DESC& D, uint16_t Code) {
    // Built once per family table, on first use, from the command names.
    struct Names {
        const _AI_CMD* Cmds;
        std::string Text[64];
    };
    static Names tables[3];
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    const _AI_CMD* q = SioAiFamilyCommand(D, static_cast<uint16_t>(Code & ~kSioResponseBit));
    if (!q || D.CmdCount > 64) return "UNKNOW";
    qor::MutexLock l(&lock);
    for (auto& t : tables) {
        if (t.Cmds != nullptr && t.Cmds != D.Cmds) continue;
        if (t.Cmds == nullptr) {
            t.Cmds = D.Cmds;
            for (size_t i = 0; i < D.CmdCount; ++i) {
                std::string s = D.Cmds[i].Name;
                const size_t at = s.find("_CMD_");
                if (at != std::string::npos) s.replace(at, 5, "_RESPONSE_");
                t.Text[i] = s;
            }
        }
        return t.Text[q - D.Cmds].c_str();
    }
    return "UNKNOW";
}

void SioAiFamilyForwardData(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length, const char* Tag) {
    const int chl = pObj->DibChlNumber;
    int port = 0;
    // The flag byte, then the data unchanged; never more than the TLP holds.
    const size_t have =
        std::min<size_t>(TlpGetExtraDataLength(pTlp), Length - std::min(Length, kTlpHeaderLength));
    if (have + 1 > SIO_MSG_MAX_PAYLOAD - kSioHeaderLength) {
        PemDbg(1, 1, "%s(T:%d, C:%d), RX DATA, DataLength:%d, too BIG !!!\n", Tag, port, chl,
               static_cast<int>(have));
        return;
    }
    uint8_t flag = pTlp->Flag;
    const struct iovec parts[2] = {{&flag, 1}, {const_cast<uint8_t*>(TlpData(pTlp)), have}};
    const int rc = SioObjTx(pObj, AI_DATA_SERVICE_TO_LIBRARY, parts, 2, &port);
    if (rc < 0 && _LogDrop())
        PemDbg(1, 1, "%s(T:%d, C:%d), RX DATA, Client Tx fail, TxReturn:%d (dropped:%u)\n", Tag, port, chl,
               rc, gTxDrops.load());
}

void SioAiFamilyForwardEvent(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t, const char* Tag) {
    const int chl = pObj->DibChlNumber;
    int port = 0;
    uint8_t e[4] = {pTlp->Event[0], pTlp->Event[1], pTlp->Event[2], pTlp->Event[3]};
    const struct iovec part = {e, sizeof(e)};
    const int rc = SioObjTx(pObj, AI_EVENT, &part, 1, &port);
    if (rc < 0 && _LogDrop())
        PemDbg(1, 1, "%s(T:%d, C:%d), EVENT, Client Tx fail, TxReturn:%d (dropped:%u)\n", Tag, port, chl, rc,
               gTxDrops.load());
}
