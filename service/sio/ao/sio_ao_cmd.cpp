// The command engine of the analog output families (AO, UO, BAO): the info reads, the field
// commands with their checks in the order payload length, port, capability, value, and the
// commands the channels do not support (status 1, nothing sent to the unit).
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <string>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "sio_ao_obj.h"

namespace {

constexpr uint8_t kAolbe = 0x1F;
// The longest controller info read: AO's 3 x (16 + 1) words.
constexpr uint32_t kMaxInfoWords = 3 * (kDibMaxPorts + 1);

#define AO_LOG SIO_ANALOG_LOG
static_assert(static_cast<int>(AO_STATUS_NO_PORT) == static_cast<int>(AI_STATUS_NO_PORT),
              "the shared command head answers 18");

uint16_t _CheckGain(const _AO_FAMILY_DESC& D, const _SIO_REQUEST& r, PDIB dib, const _AO_CMD& q, uint32_t v) {
    return SioAnalogCheckGain(D.Tag, r, D.Gains(dib), D.Version(dib), q.Check == AoCheck::GainAll, q.Below,
                              AO_STATUS_GAIN_ALL, AO_STATUS_GAIN_PORT,
                              "don't support individually programmable gain per port", v);
}

uint16_t _Handle(const _AO_FAMILY_DESC& D, const _SIO_REQUEST& r, _SIO_REPLY* p) {
    const _AO_CMD* q = SioAoFamilyCommand(D, r.Code);
    if (!q) return SIO_STATUS_DATA_INVALID;
    if (q->Op == AoOp::NotSupported) {
        AO_LOG(D.Tag, r, "not support\n");
        return AO_STATUS_NOT_SUPPORTED;
    }
    qor::ReadLock info(&r.Obj->VnPtr->InfoLock);
    qor::MutexLock reg(&r.Obj->RegMutex);
    PDIB dib = r.Obj->DibPtr;
    const bool has = D.Has(dib);
    const uint16_t head = SioAnalogCommandHead(D.Tag, r, p, has, q->Port, q->Op == AoOp::Set ? q->Size : 0,
                                               has ? D.Ports(dib) : 0);
    if (head != SIO_STATUS_SUCCESS) return head;
    char prefix[48];
    snprintf(prefix, sizeof(prefix), "%s(T:%d, C:%d), ", D.Tag, r.Port, r.Channel);
    if (q->Op == AoOp::Info) {
        const uint16_t s = SioAoFamilyReadAll(D, r.Obj, prefix);
        if (s != SIO_STATUS_SUCCESS) return s;
        p->Length = D.InfoRecord(dib, p->Data);
        return SIO_STATUS_SUCCESS;
    }
    const int port = q->Port ? r.Payload[0] : -1;
    if (q->NeedsFifo && !D.HasFifo(dib)) {
        AO_LOG(D.Tag, r, "don't support fifo\n");
        return AO_STATUS_NO_FIFO;
    }
    const uint32_t offset = q->Port ? D.PortBase(dib, port) + q->Reg : q->Reg;
    if (offset > 0xFF) {
        AO_LOG(D.Tag, r, "can't get port (I:x%02x)\n", port);
        return AO_STATUS_NO_PORT;
    }
    uint32_t* cache = D.CacheAt(dib, offset);
    const size_t at = q->Port ? 1 : 0;
    if (q->Op == AoOp::Get) {
        uint32_t word = 0;
        const uint16_t s = SioAnalogStepStatus(
            D.Tag, r, SioAiCmdRead(r.Obj, static_cast<uint8_t>(offset), 1, kAolbe, prefix, r.Word, &word));
        if (s != SIO_STATUS_SUCCESS) return s;
        if (cache) *cache = word;
        SioAnalogPutBe(p->Data + at, q->Size, (word & q->Mask) >> q->Shift);
        p->Length = at + q->Size;
        return SIO_STATUS_SUCCESS;
    }
    const uint32_t v = SioAnalogGetBe(r.Payload + at, q->Size);
    if (q->Check == AoCheck::Bool && v > 1) {
        AO_LOG(D.Tag, r, "invalid value:x%02x\n", v);
        return SIO_STATUS_DATA_INVALID;
    }
    if (q->Check == AoCheck::GainAll || q->Check == AoCheck::GainPort) {
        const uint16_t s = _CheckGain(D, r, dib, *q, v);
        if (s != SIO_STATUS_SUCCESS) return s;
    }
    const uint32_t base = cache ? *cache : 0;
    const uint32_t word = (base & ~q->Mask) | ((v << q->Shift) & q->Mask);
    if (!SioAiCmdWrite(r.Obj, static_cast<uint8_t>(offset), word)) {
        AO_LOG(D.Tag, r, "tx cmd fail\n");
        return SIO_STATUS_TX_CMD_FAIL;
    }
    if (cache) *cache = word;
    p->Length = at;
    return SIO_STATUS_SUCCESS;
}

}  // namespace

uint16_t SioAoFamilyReadAll(const _AO_FAMILY_DESC& D, PSIO_OBJ pObj, const char* Prefix) {
    PDIB dib = pObj->DibPtr;
    if (!D.Has(dib)) return SIO_STATUS_OBJECT_NOT_FOUND;
    uint32_t words[kMaxInfoWords] = {};
    const uint32_t n = std::min(D.InfoWords(dib), kMaxInfoWords);
    const AiResult c =
        SioAiCmdRead(pObj, 0, static_cast<uint8_t>(n), kAolbe, Prefix, "get controller info", words);
    if (c != AI_OK) {
        if (c != AI_INVALID) PemDbg(1, 1, "%sget controller info fail\n", Prefix);
        return SioAiReadStatus(c);
    }
    for (uint32_t i = 0; i < n; ++i)
        if (uint32_t* w = D.CacheAt(dib, i)) *w = words[i];
    const int ports = std::min<int>(D.Ports(dib), kDibMaxPorts);
    for (int p = 0; p < ports; ++p) {
        for (uint8_t k = 0; k < D.PortReads; ++k) {
            const uint32_t offset = D.PortBase(dib, p) + k;
            if (offset > 0xFF) return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
            uint32_t w = 0;
            const AiResult res =
                SioAiCmdRead(pObj, static_cast<uint8_t>(offset), 1, kAolbe, Prefix, "get port info", &w);
            if (res != AI_OK) {
                if (res != AI_INVALID) PemDbg(1, 1, "%sget port info fail, port:%d\n", Prefix, p);
                return SioAiReadStatus(res);
            }
            if (uint32_t* cache = D.CacheAt(dib, offset)) *cache = w;
        }
    }
    return SIO_STATUS_SUCCESS;
}

int SioAoFamilyConnectRead(const _AO_FAMILY_DESC& D, const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib) {
    SioObjRef o = SioObjGetByVnMacAndDibChlNumber(F, pVn->Mac, pDib->ChlNumber);
    if (!o || o->DibPtr != pDib || !D.Has(pDib)) return 0;
    const uint8_t* m = pVn->Mac;
    char prefix[80];
    snprintf(prefix, sizeof(prefix), "%s(:%.2x:%.2x:%.2x, C:%d, %p), ", D.Tag, m[3], m[4], m[5],
             pDib->ChlNumber, static_cast<void*>(o.get()));
    qor::MutexLock reg(&o->RegMutex);
    return SioAoFamilyReadAll(D, o.get(), prefix) == SIO_STATUS_SUCCESS ? 1 : 0;
}

const _AO_CMD* SioAoFamilyCommand(const _AO_FAMILY_DESC& D, uint16_t Code) {
    for (size_t i = 0; i < D.CmdCount; ++i)
        if (D.Cmds[i].Code == Code) return &D.Cmds[i];
    return nullptr;
}

void SioAoFamilyHandle(const _AO_FAMILY_DESC& D, const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    pReply->Length = 0;
    pReply->FailLength = 0;
    pReply->Status = _Handle(D, Req, pReply);
}

const char* SioAoFamilyCodeName(const _AO_FAMILY_DESC& D, uint16_t Code, const char* Event,
                                const char* Data) {
    if (const _AO_CMD* q = SioAoFamilyCommand(D, Code)) return q->Name;
    if (Code == AO_EVENT && Event) return Event;
    if (Code == AO_DATA_LIBRARY_TO_SERVICE && Data) return Data;
    const _AO_CMD* q = (Code & kSioResponseBit)
                           ? SioAoFamilyCommand(D, static_cast<uint16_t>(Code & ~kSioResponseBit))
                           : nullptr;
    if (!q) return "UNKNOW";
    // Built once per family table, on first use, from the command names.
    struct Names {
        const _AO_CMD* Cmds;
        std::string Text[32];
    };
    static Names tables[3];
    static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    if (D.CmdCount > 32) return "UNKNOW";
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
