// The DIO register protocol: one TLP per register read or write (TransactionID 0, AOLBE 0x1F
// unless told), and the answer check of every read.
#include <string.h>

#include "pem_dbg.h"
#include "qor_wire.h"
#include "sio_dio_obj.h"

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

// Any register answer of the channel ends the wait; its checks follow in the worker, so an
// answer to another register is refused (status 34) rather than waited past.
bool _Match(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length) {
    const auto* req = static_cast<const _TLP_HEADER*>(pCtx);
    return Length >= kTlpHeaderLength && pTlp->Type == TLP_TYPE_CMD && pTlp->ChlNumber == req->ChlNumber &&
           pTlp->TransactionID == (req->TransactionID & 0x1F);
}

}  // namespace

const char* SioDioRegName(uint8_t Offset) {
    switch (Offset) {
        case DIO_REG_INPUT:
            return "input reg";
        case DIO_REG_INPUT_DELTA:
            return "input delta reg";
        case DIO_REG_INPUT_INVERT_ENABLE:
            return "input invert enable reg";
        case DIO_REG_OUTPUT:
            return "output reg";
        case DIO_REG_DIRECTION_CTRL:
            return "direction ctrl reg";
        case DIO_REG_OUTPUT_INITIAL_VALUE:
            return "output initial value reg";
        case DIO_REG_OUTPUT_SAFE_VALUE:
            return "output safe value reg";
        case DIO_REG_OUTPUT_SAFE_VALUE_TIMER:
            return "output safe value timer reg";
        case DIO_REG_INPUT_LATCH_POSITIVE_EDGE:
            return "input latch reg positive edge";
        case DIO_REG_INPUT_LATCH_NEGATIVE_EDGE:
            return "input latch reg negative edge";
        case DIO_REG_INPUT_COUNTER_INC_POSITIVE_EDGE:
            return "input counter increment ctrl reg positive edge";
        case DIO_REG_INPUT_COUNTER_INC_NEGATIVE_EDGE:
            return "input counter increment ctrl reg negative edge";
        default:
            return Offset >= DIO_REG_INPUT_COUNTER_FIRST ? "bank io input counter reg" : "bank ctrl reg";
    }
}

DioResult SioDioCmdRead(PSIO_OBJ pObj, uint8_t Offset, uint8_t LengthInDW, uint8_t Aolbe, const char* Prefix,
                        const char* Name, uint32_t* pWords) {
    const _TLP_HEADER req = _Header(pObj, 0, Offset, LengthInDW, Aolbe);
    ChlSlotLock slot(&pObj->Slot);
    // Sent without a matcher, then armed: the slot's mutex is held throughout, so the answer
    // cannot be stored before the matcher is in place.
    if (!ChlSlotExchangeLocked(pObj->VnPtr, &pObj->Slot, &req, sizeof(req), nullptr, nullptr))
        return DIO_TX_FAIL;
    if (!ChlSlotWaitLocked(&pObj->Slot, _Match, &req)) return DIO_TIMEOUT;
    const size_t n = pObj->Slot.RxLength;
    if (n == 0) return DIO_NO_DATA;
    _TLP_HEADER h;
    memcpy(&h, pObj->Slot.RxBuff, sizeof(h));
    if (h.Offset != Offset) {
        PemDbg(1, 1, "%s%s response, invalid Offset:x%02x\n", Prefix, Name, h.Offset);
        return DIO_INVALID;
    }
    if (h.LengthInDW != LengthInDW || n < kTlpHeaderLength + 4u * LengthInDW) {
        PemDbg(1, 1, "%s%s response, invalid LengthInDW:x%02x\n", Prefix, Name, h.LengthInDW);
        return DIO_INVALID;
    }
    for (uint8_t i = 0; i < LengthInDW; ++i)
        pWords[i] = qor::GetLe32(pObj->Slot.RxBuff + kTlpHeaderLength + 4 * i);
    return DIO_OK;
}

int SioDioCmdWrite(PSIO_OBJ pObj, uint8_t Offset, uint32_t Value) {
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
