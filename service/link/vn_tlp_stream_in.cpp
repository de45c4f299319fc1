#include <string.h>

#include <algorithm>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_dib.h"
#include "vn_dllp_cmd.h"
#include "vn_get_info.h"
#include "vn_tlp_stream.h"

const _VN_TLP_CONSUMER* VnTlpConsumers[kVnTlpConsumerTypes] = {};
const _VN_TLP_CONSUMER* VnTlpConsumerTty = nullptr;

namespace {

#define VN_FMT "VN  (:%.2x:%.2x:%.2x), "
#define VN_ARGS(m) (m)[3], (m)[4], (m)[5]

// Type of the DIB held in table slot Slot; channel numbers beyond the table have none.
int _SlotType(PVN_DEVICE pVn, uint8_t Slot) {
    return Slot < kVnMaxChannels ? pVn->DibArray[Slot].Type : -1;
}

const char* _FamilyName(uint8_t type, bool mapped) {
    switch (type) {
        case DIB_TYPE_CTU:
            return "CTU";
        case DIB_TYPE_UART:
            return mapped ? "TTY" : "SER";
        case DIB_TYPE_DIO:
            return "DIO";
        case DIB_TYPE_AI:
            return "AI";
        case DIB_TYPE_AO:
            return "AO";
        case DIB_TYPE_UI:
            return "UI";
        case DIB_TYPE_UO:
            return "UO";
        case DIB_TYPE_BAO:
            return "BAO";
        case DIB_TYPE_MAI:
            return "MAI";
        case DIB_TYPE_TPS:
            return "TPS";
        default:
            return "XXX";
    }
}

void _Dispatch(PVN_DEVICE pVn, const _TLP_HEADER* pTlp, size_t total) {
    const uint8_t* m = pVn->Mac;
    const uint8_t chl = pTlp->ChlNumber;
    const uint8_t type = VnGetChannelType(pVn, chl);
    const bool mapped = pVn->IsMappingByHost != 0;
    if (type == DIB_TYPE_CNT) return;
    if (type == DIB_TYPE_PARALLEL || type > DIB_TYPE_TPS) {
        PemDbg(1, 1, VN_FMT "STREAM IN , XXX, response for SIO\n", VN_ARGS(m));
        return;
    }
    const _VN_TLP_CONSUMER* c = (type == DIB_TYPE_UART && mapped) ? VnTlpConsumerTty : VnTlpConsumers[type];
    void* obj = c && c->Find ? c->Find(pVn, chl) : nullptr;
    if (!obj) {
        if (type == DIB_TYPE_UART && mapped)
            PemDbg(1, 1, VN_FMT "STREAM IN , TTY, response for NLK, can't get obj\n", VN_ARGS(m));
        else
            PemDbg(1, 1, VN_FMT "STREAM IN , %s, response for SIO, can't get obj\n", VN_ARGS(m),
                   _FamilyName(type, mapped));
        return;
    }
    // The lookup's reference goes back on every way out of the switch below.
    struct _Held {
        const _VN_TLP_CONSUMER* C;
        void* Obj;
        ~_Held() {
            if (C->Release) C->Release(Obj);
        }
    } held{c, obj};
    auto call = [&](void (*fn)(void*, const _TLP_HEADER*, size_t)) {
        if (fn) fn(obj, pTlp, total);
    };
    auto wontHappen = [&]() {
        PemDbg(1, 1, VN_FMT "STREAM IN , %s, data packet, this won't happen !\n", VN_ARGS(m),
               _FamilyName(type, mapped));
    };
    switch (pTlp->Type) {
        case TLP_TYPE_CMD:
            if (type == DIB_TYPE_UART) {
                const PDIB pDib = VnGetDibPointer(pVn, chl);
                // Older UART controllers answer register 3 with an echo that no command waits for.
                if (pDib && pDib->Uart.Version <= 3 && pTlp->Offset == 3) return;
            }
            call(c->Response);
            return;
        case TLP_TYPE_DATA:
            switch (type) {
                case DIB_TYPE_UART: {
                    const PDIB pDib = VnGetDibPointer(pVn, chl);
                    if (pDib && (pDib->Uart.Version == 4 || pDib->Uart.Version == 5)) call(c->Data);
                    return;
                }
                case DIB_TYPE_AI:
                case DIB_TYPE_UI:
                case DIB_TYPE_MAI:
                    call(c->Data);
                    return;
                case DIB_TYPE_TPS:
                    return;
                default:  // CTU, DIO, AO, UO, BAO
                    wontHappen();
                    return;
            }
        case TLP_TYPE_EVENT:
            switch (type) {
                case DIB_TYPE_CTU:
                    if (pTlp->Event[0] == 1 && pTlp->Event[1] >= 5 && pTlp->Event[1] <= 7) {
                        call(c->Event);
                        if (pTlp->Event[1] == 7) VnMainDisconnectByUnitEventJob(pVn);
                    } else if (pTlp->Event[0] == 1 || pTlp->Event[0] == 2) {
                        call(c->Response);
                    }
                    return;
                case DIB_TYPE_UO:
                    PemDbg(1, 1,
                           VN_FMT
                           "STREAM IN , UO, event packet [x%02x x%02x x%02x x%02x], this won't happen !\n",
                           VN_ARGS(m), pTlp->Event[0], pTlp->Event[1], pTlp->Event[2], pTlp->Event[3]);
                    return;
                case DIB_TYPE_BAO:
                case DIB_TYPE_TPS:
                    return;
                default:  // UART, DIO, AI, AO, UI, MAI
                    call(c->Event);
                    return;
            }
        default:
            return;
    }
}

}  // namespace

size_t VnTlpEventDataLength(PVN_DEVICE pVn, const _TLP_HEADER* pHdr, size_t LinkLength) {
    const uint8_t* m = pVn->Mac;
    switch (_SlotType(pVn, pHdr->ChlNumber)) {
        case DIB_TYPE_CTU:
            return pHdr->Event[0] == 2 && LinkLength > kTlpWireHeaderLength
                       ? LinkLength - kTlpWireHeaderLength
                       : 0;
        case DIB_TYPE_UART:
            return static_cast<size_t>(((pHdr->Event[1] & 4) << 6) | pHdr->Event[2]) * 4;
        case DIB_TYPE_PARALLEL:
            PemDbg(1, 1, VN_FMT "STREAM IN , EVENT, PARALLEL, unknow data length\n", VN_ARGS(m));
            return 0;
        case DIB_TYPE_DIO:
            return 8;
        case DIB_TYPE_CNT:
            PemDbg(1, 1, VN_FMT "STREAM IN , EVENT, COUNTER, unknow data length\n", VN_ARGS(m));
            return 0;
        case DIB_TYPE_AI:
        case DIB_TYPE_AO:
        case DIB_TYPE_UI:
        case DIB_TYPE_UO:
        case DIB_TYPE_BAO:
        case DIB_TYPE_MAI:
        case DIB_TYPE_TPS:
            return 0;
        default:
            PemDbg(1, 1, VN_FMT "STREAM IN , EVENT, UNKNOW channel type, unknow data length\n", VN_ARGS(m));
            return 0;
    }
}

void VnTlpStreamIn(PVN_DEVICE pVn, const uint8_t* pBuff, int Length) {
    const uint8_t* m = pVn->Mac;
    _TLP_HEADER wire;
    uint16_t seq = 0;
    if (!pBuff || Length < 0 || !VnTlpDecode(pBuff, static_cast<size_t>(Length), &wire, &seq)) {
        PemDbg(1, 1, VN_FMT "STREAM IN , invalid buff pointer or length\n", VN_ARGS(m));
        return;
    }
    const size_t linkLength = static_cast<size_t>(Length);
    _TLP_SCRATCH* scratch = VnTlpScratch();
    if (!scratch) return;  // not acknowledged: the unit sends it again
    if (DbgVnProtocol) VnTlpDumpReceived(pBuff, linkLength);
    // The DIB table is read throughout; a decode of a fresh info structure waits meanwhile.
    qor::ReadLock info(&pVn->InfoLock);
    {
        // Every TLP is acknowledged before it is dispatched; duplicates and gaps are not judged.
        qor::MutexLock lock(&pVn->DeviceSeqNumberMutex);
        pVn->DeviceSeqNumberRx = seq;
        pVn->DeviceSeqNumberTx = seq;
        VnDllpAckToVN(pVn, seq);
    }
    // Rebuild header and data. The data length the header (or the event table) announces is
    // cut to the bytes received and to the rebuild buffer, so nothing is read past the frame.
    uint8_t* rebuilt = scratch->Rebuilt;
    memset(rebuilt, 0, kTlpRebuiltBuffSize);
    _TLP_HEADER* pTlp = reinterpret_cast<_TLP_HEADER*>(rebuilt);
    *pTlp = wire;
    size_t dataLength = wire.Type == TLP_TYPE_EVENT ? VnTlpEventDataLength(pVn, &wire, linkLength)
                                                    : TlpGetExtraDataLength(&wire);
    dataLength =
        std::min({dataLength, linkLength - kTlpWireHeaderLength, kTlpRebuiltBuffSize - kTlpHeaderLength});
    TlpSetExtraDataLength(pTlp, static_cast<uint16_t>(dataLength));
    memcpy(TlpData(pTlp), pBuff + kTlpWireHeaderLength, dataLength);
    const size_t total = kTlpHeaderLength + dataLength;

    // A non-volatile memory answer of the control unit also goes to every MAI channel.
    if (wire.Type == TLP_TYPE_EVENT && _SlotType(pVn, wire.ChlNumber) == DIB_TYPE_CTU && wire.Event[0] == 2 &&
        wire.Event[1] == 1) {
        const _VN_TLP_CONSUMER* mai = VnTlpConsumers[DIB_TYPE_MAI];
        const int channels = std::min<int>(pVn->AvailableChls, kVnMaxChannels);
        for (int i = 0; mai && mai->Find && mai->Response && i < channels; ++i) {
            if (pVn->DibArray[i].Type != DIB_TYPE_MAI) continue;
            if (void* obj = mai->Find(pVn, static_cast<uint8_t>(i))) {
                mai->Response(obj, pTlp, total);
                if (mai->Release) mai->Release(obj);
            }
        }
    }
    _Dispatch(pVn, pTlp, total);
}
