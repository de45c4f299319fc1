#include "ctu_cmd.h"

#include <stdio.h>
#include <string.h>

#include "ctu_server.h"
#include "cu_nvm.h"
#include "pem_dbg.h"
#include "qor_wire.h"

namespace {

const uint8_t kOpen[4] = {2, 0, 0, 0};
const uint8_t kExecute[4] = {1, 0, 0, 0};

int _Write(PCTU_OBJ o, const uint8_t Word[4]) {
    return CuRegWriteLocked(o->VnPtr, &o->Slot, o->DibChlNumber, kCuOffsetFifo, Word);
}

// The server's port for the checkers' log lines (0 when the server is gone).
int _Port(PCTU_OBJ o) {
    std::shared_ptr<_CTU_SERVER> s = CtuServerGet(o->VnPtr);
    return s ? s->TcpPort.load() : 0;
}

int _Control(PCTU_OBJ o, const uint8_t Word[4]) {
    return CuRegWriteLocked(o->VnPtr, &o->Slot, o->DibChlNumber, kCuOffsetControl, Word);
}

}  // namespace

void CtuLogStep(const _CTU_LOG& Log, const char* Step, const char* Outcome) {
    if (Step)
        PemDbg(1, 1, "CTU (T:%d, C:%d), %s, %s, %s\n", Log.Port, 0, Log.Words, Step, Outcome);
    else
        PemDbg(1, 1, "CTU (T:%d, C:%d), %s, %s\n", Log.Port, 0, Log.Words, Outcome);
}

int CtuCmdSendSetLocked(PCTU_OBJ pObj, const uint8_t Hdr[4], const uint8_t* pWords, size_t Words,
                        CtuDataWrites Policy, void (*pFailedWord)(size_t, const void*), const void* pCtx) {
    if (!_Control(pObj, kOpen) || !_Write(pObj, Hdr)) return 0;
    bool allSent = true;
    for (size_t i = 0; i < Words; ++i) {
        if (_Write(pObj, pWords + 4 * i)) continue;
        allSent = false;
        if (pFailedWord) pFailedWord(i, pCtx);
        if (Policy == CtuDataWrites::StopAtFail) return 0;
        if (Policy == CtuDataWrites::ThenExecute) break;
    }
    // With ThenExecute and AllAttempted the execute write decides the outcome.
    const int executed = _Control(pObj, kExecute);
    return Policy == CtuDataWrites::StopAtFail ? (allSent && executed) : executed;
}

int CtuCmdGetMadAddress(PCTU_OBJ pObj) {
    const uint8_t hdr[4] = {1, 0, 6, 0};
    return CtuCmdSendSetLocked(pObj, hdr, nullptr, 0, CtuDataWrites::StopAtFail);
}

int CtuCmdSetMadAddress(PCTU_OBJ pObj, const uint8_t* pMac) {
    const uint8_t hdr[4] = {1, 1, 6, 0};
    // Last byte first, then two zero bytes.
    const uint8_t words[8] = {pMac[5], pMac[4], pMac[3], pMac[2], pMac[1], pMac[0], 0, 0};
    return CtuCmdSendSetLocked(pObj, hdr, words, 2, CtuDataWrites::StopAtFail);
}

int CtuCmdGetDeviceNameV0(PCTU_OBJ pObj) {
    const uint8_t hdr[4] = {2, 0, 20, 0};
    return CtuCmdSendSetLocked(pObj, hdr, nullptr, 0, CtuDataWrites::StopAtFail);
}

int CtuCmdGetDeviceNameV1(PCTU_OBJ pObj) {
    const uint8_t hdr[4] = {2, 0, 64, 0};
    return CtuCmdSendSetLocked(pObj, hdr, nullptr, 0, CtuDataWrites::StopAtFail);
}

int CtuCmdSetDeviceNameV0(PCTU_OBJ pObj, uint8_t Length, const uint8_t* pName20) {
    const uint8_t hdr[4] = {2, 1, Length, 0};
    // Zero-padded to 20 bytes and reversed, so the padding goes first.
    uint8_t words[20];
    for (int i = 0; i < 20; ++i) words[i] = pName20[19 - i];
    return CtuCmdSendSetLocked(pObj, hdr, words, 5, CtuDataWrites::StopAtFail);
}

int CtuCmdSetDeviceNameV1(PCTU_OBJ pObj, uint8_t PaddedLength, const uint8_t* pName) {
    const uint8_t hdr[4] = {2, 1, PaddedLength, 0};
    return CtuCmdSendSetLocked(pObj, hdr, pName, PaddedLength / 4u, CtuDataWrites::ThenExecute);
}

int CtuCmdGetLinkStatus(PCTU_OBJ pObj) {
    const uint8_t hdr[4] = {3, 0, 1, 0};
    return CtuCmdSendSetLocked(pObj, hdr, nullptr, 0, CtuDataWrites::StopAtFail);
}

int CtuCmdSetLinkStatus(PCTU_OBJ pObj, uint8_t Value) {
    const uint8_t hdr[4] = {3, 1, 1, 0};
    const uint8_t word[4] = {Value, 0, 0, 0};
    return CtuCmdSendSetLocked(pObj, hdr, word, 1, CtuDataWrites::StopAtFail);
}

int CtuCmdSetFirmwareTotalLength(PCTU_OBJ pObj, uint32_t Size) {
    const uint8_t hdr[4] = {4, 1, 4, 0};
    uint8_t word[4];
    qor::PutLe32(word, Size);
    return CtuCmdSendSetLocked(pObj, hdr, word, 1, CtuDataWrites::StopAtFail);
}

int CtuCmdSetFirmwareData(PCTU_OBJ pObj, const uint8_t* pBlock, size_t Length, bool IsLast, uint32_t Sum) {
    // One block of 256 bytes; the last also carries the image's byte sum.
    uint8_t data[260];
    if (Length != 256) return 0;
    memcpy(data, pBlock, 256);
    const size_t n = IsLast ? 260 : 256;
    if (IsLast) qor::PutLe32(data + 256, Sum);
    const uint8_t hdr[4] = {5, 1, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    if (!_Control(pObj, kOpen) || !_Write(pObj, hdr)) return 0;
    if (!CuRegWriteWordsLocked(pObj->VnPtr, &pObj->Slot, pObj->DibChlNumber, kCuOffsetFifo, data, n / 4))
        return 0;
    return _Control(pObj, kExecute);
}

int CtuCmdSetModelName(PCTU_OBJ pObj, const uint8_t* pTwo) {
    const uint8_t hdr[4] = {6, 1, 2, 0};
    const uint8_t word[4] = {pTwo[0], pTwo[1], 0, 0};
    return CtuCmdSendSetLocked(pObj, hdr, word, 1, CtuDataWrites::StopAtFail);
}

int CtuCmdSetPassword(PCTU_OBJ pObj, uint8_t Setting, const uint8_t* pReversed32) {
    const uint8_t hdr[4] = {7, 1, 36, 0};
    uint8_t words[36] = {Setting, 0, 0, 0};
    memcpy(words + 4, pReversed32, 32);
    return CtuCmdSendSetLocked(pObj, hdr, words, 9, CtuDataWrites::ThenExecute);
}

int CtuCmdGetOffset9Data(PCTU_OBJ pObj, bool* pSent) {
    return CuRegReadFifoLocked(pObj->VnPtr, &pObj->Slot, pObj->DibChlNumber, pSent);
}

int CtuResponseForEvent(PCTU_OBJ pObj, uint8_t* pCode) {
    const auto* t = reinterpret_cast<const _TLP_HEADER*>(pObj->Slot.RxBuff);
    if (pObj->Slot.RxLength < kTlpHeaderLength || t->Type != TLP_TYPE_EVENT ||
        t->Event[0] != kCuEventClassCommand) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), response for event, invalid event type:x%02x\n", _Port(pObj),
               pObj->DibChlNumber, t->Event[0]);
        return 0;
    }
    *pCode = t->Event[1];
    return 1;
}

int CtuResponseForGetOffset9Data(PCTU_OBJ pObj, uint8_t* pBytes4) {
    const auto* t = reinterpret_cast<const _TLP_HEADER*>(pObj->Slot.RxBuff);
    if (pObj->Slot.RxLength < kTlpHeaderLength + 4 || t->LengthInDW != 1) {
        PemDbg(1, 1, "CTU (T:%d, C:%d), response for get offset 9 data, invalid LengthInDW:%d\n", _Port(pObj),
               pObj->DibChlNumber, t->LengthInDW);
        return 0;
    }
    memcpy(pBytes4, pObj->Slot.RxBuff + kTlpHeaderLength, 4);
    return 1;
}

uint16_t CtuWaitEventLocked(PCTU_OBJ pObj, unsigned TimeoutMs, uint8_t* pCode) {
    // Only a class-1 event of this channel is taken: a memory event, a read answer or a
    // late answer of another kind never completes the step.
    const _CU_EVENT_MATCH match{pObj->DibChlNumber, kCuEventClassCommand};
    if (!ChlSlotWaitLocked(&pObj->Slot, CuMatchEvent, &match, TimeoutMs)) {
        pObj->Owed = CTU_OWED_EVENT;
        return CU_STATUS_TIMEOUT;
    }
    return CtuResponseForEvent(pObj, pCode) ? 0 : CU_STATUS_FORMAT_INVALID;
}

uint16_t CtuStepSet(PCTU_OBJ pObj, const _CTU_LOG& Log, const char* Step, const uint8_t Hdr[4],
                    const uint8_t* pWords, size_t Words, CtuDataWrites Policy) {
    ChlSlotLock lock(&pObj->Slot);
    if (!CtuCmdSendSetLocked(pObj, Hdr, pWords, Words, Policy)) {
        CtuLogStep(Log, Step, "tx cmd fail");
        return CU_STATUS_TX_FAIL;
    }
    uint8_t code = 0;
    const uint16_t st = CtuWaitEventLocked(pObj, kChlAnswerTimeoutMs, &code);
    if (st == CU_STATUS_TIMEOUT) CtuLogStep(Log, Step, "rx response wait timeout");
    if (st != 0) return st;
    if (code == 1) return 0;
    char what[32];
    snprintf(what, sizeof(what), "EventCode:x%02x", code);
    CtuLogStep(Log, Step, what);
    return code == 15 ? CU_STATUS_UNSUPPORTED : CU_STATUS_TX_FAIL;
}

uint16_t CtuStepGet(PCTU_OBJ pObj, const _CTU_LOG& Log, const char* Version, const uint8_t Hdr[4],
                    uint8_t* pWords, size_t Words) {
    char s1[16], s2[16];
    snprintf(s1, sizeof(s1), "%s%sS1", Version ? Version : "", Version ? ", " : "");
    snprintf(s2, sizeof(s2), "%s%sS2", Version ? Version : "", Version ? ", " : "");
    const uint16_t st = CtuStepSet(pObj, Log, s1, Hdr, nullptr, 0, CtuDataWrites::StopAtFail);
    if (st != 0) return st;
    for (size_t i = 0; i < Words; ++i) {
        ChlSlotLock lock(&pObj->Slot);
        bool sent = false;
        if (!CtuCmdGetOffset9Data(pObj, &sent)) {
            if (sent) pObj->Owed = CTU_OWED_READ;
            CtuLogStep(Log, s2, sent ? "rx response wait timeout" : "tx cmd fail");
            return sent ? CU_STATUS_TIMEOUT : CU_STATUS_TX_FAIL;
        }
        if (!CtuResponseForGetOffset9Data(pObj, pWords + 4 * i)) return CU_STATUS_FORMAT_INVALID;
    }
    return 0;
}
