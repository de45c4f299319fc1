#include "chl_slot.h"

#include <errno.h>
#include <string.h>

#include "pem_utils.h"
#include "vn_tlp_stream.h"

int ChlSlotInit(PCHL_RX_SLOT pSlot) {
    pSlot->RxLength = 0;
    pSlot->Match = nullptr;
    pSlot->MatchCtx = nullptr;
    if (pthread_mutex_init(&pSlot->TlpCmdCompleteMutex, nullptr) != 0) return 0;
    if (pthread_cond_init(&pSlot->TlpCmdCompleteCond, nullptr) != 0) {
        pthread_mutex_destroy(&pSlot->TlpCmdCompleteMutex);
        return 0;
    }
    return 1;
}

void ChlSlotFree(PCHL_RX_SLOT pSlot) {
    pthread_cond_destroy(&pSlot->TlpCmdCompleteCond);
    pthread_mutex_destroy(&pSlot->TlpCmdCompleteMutex);
}

int ChlSlotStore(PCHL_RX_SLOT pSlot, const _TLP_HEADER* pTlp, size_t Length) {
    pthread_mutex_lock(&pSlot->TlpCmdCompleteMutex);
    int stored = 0;
    if (pSlot->Match && pSlot->RxLength == 0 && Length <= sizeof(pSlot->RxBuff) &&
        pSlot->Match(pSlot->MatchCtx, pTlp, Length)) {
        memcpy(pSlot->RxBuff, pTlp, Length);
        pSlot->RxLength = Length;
        // Taken: a second answer of the same shape before the command reads this one is not
        // its answer.
        pSlot->Match = nullptr;
        stored = 1;
        pthread_cond_signal(&pSlot->TlpCmdCompleteCond);
    }
    pthread_mutex_unlock(&pSlot->TlpCmdCompleteMutex);
    return stored;
}

bool ChlMatchCmdAnswer(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length) {
    const auto* req = static_cast<const _TLP_HEADER*>(pCtx);
    return Length >= sizeof(_TLP_HEADER) && pTlp->Type == TLP_TYPE_CMD && pTlp->ChlNumber == req->ChlNumber &&
           pTlp->TransactionID == req->TransactionID && pTlp->Offset == req->Offset &&
           pTlp->LengthInDW == req->LengthInDW;
}

namespace {

void _Arm(PCHL_RX_SLOT pSlot, ChlAnswerMatch Match, const void* pMatchCtx) {
    pSlot->RxLength = 0;
    pSlot->Match = Match;
    pSlot->MatchCtx = pMatchCtx;
}

// Waits until the armed matcher took an answer or the deadline passed; disarms.
int _Wait(PCHL_RX_SLOT pSlot, unsigned TimeoutMs) {
    struct timespec deadline;
    PemSetTimeout(&deadline, TimeoutMs);
    while (pSlot->RxLength == 0) {
        const int rc = pthread_cond_timedwait(&pSlot->TlpCmdCompleteCond, &pSlot->TlpCmdCompleteMutex, &deadline);
        if (rc == ETIMEDOUT) break;
    }
    pSlot->Match = nullptr;
    pSlot->MatchCtx = nullptr;
    return pSlot->RxLength != 0 ? 1 : 0;
}

}  // namespace

int ChlSlotWaitLocked(PCHL_RX_SLOT pSlot, ChlAnswerMatch Match, const void* pMatchCtx, unsigned TimeoutMs) {
    _Arm(pSlot, Match, pMatchCtx);
    return _Wait(pSlot, TimeoutMs);
}

int ChlSlotExchangeLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, const _TLP_HEADER* pReq, size_t ReqLength,
                          ChlAnswerMatch Match, const void* pMatchCtx, unsigned TimeoutMs) {
    // Armed before the send: the answer may come before this thread waits; the receive
    // thread can store it only while the wait has released the mutex.
    _Arm(pSlot, Match, pMatchCtx);
    if (VnTlpStreamOut(pVn, reinterpret_cast<const uint8_t*>(pReq), static_cast<int>(ReqLength)) == 0) {
        _Arm(pSlot, nullptr, nullptr);
        return 0;
    }
    return Match ? _Wait(pSlot, TimeoutMs) : 1;
}
