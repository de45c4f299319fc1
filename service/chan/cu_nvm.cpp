#include "cu_nvm.h"

#include <string.h>

#include <algorithm>
#include <new>

#include "pem_dbg.h"
#include "qor_wire.h"

namespace {

constexpr uint8_t kAolbe = 0x0F;

_TLP_HEADER _Cmd(uint8_t Chl, uint8_t Rw, uint8_t Offset, uint8_t Words) {
    _TLP_HEADER h{};
    h.ChlNumber = Chl;
    h.Type = TLP_TYPE_CMD;
    h.RW = Rw;
    h.TransactionID = 0;
    h.Offset = Offset;
    h.LengthInDW = Words;
    h.AOLBE = kAolbe;
    return h;
}

// One step of a memory read: the two set-up words to offset 9, execute at offset 11, then
// the class-2 event. Returns a CU_STATUS_ value; the answer is in the slot on success.
// Slot mutex held by the caller, which reads the answer before it lets go.
uint16_t _NvmReadLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint16_t Address, uint16_t Length,
                        const char* pPrefix, int Step) {
    const uint8_t w0[4] = {1, 0, static_cast<uint8_t>(Length), static_cast<uint8_t>(Length >> 8)};
    const uint8_t w1[4] = {static_cast<uint8_t>(Address), static_cast<uint8_t>(Address >> 8), 0, 0};
    const uint8_t go[4] = {1, 0, 0, 0};
    if (!CuRegWriteLocked(pVn, pSlot, Chl, kCuOffsetFifo, w0) ||
        !CuRegWriteLocked(pVn, pSlot, Chl, kCuOffsetFifo, w1) ||
        !CuRegWriteLocked(pVn, pSlot, Chl, kCuOffsetNvm, go)) {
        PemDbg(1, 1, "%s, %d, tx cmd fail\n", pPrefix, Step);
        return CU_STATUS_TX_FAIL;
    }
    const _CU_EVENT_MATCH match{Chl, kCuEventClassNvm};
    if (!ChlSlotWaitLocked(pSlot, CuMatchEvent, &match)) {
        PemDbg(1, 1, "%s, %d, rx response wait timeout\n", pPrefix, Step);
        return CU_STATUS_TIMEOUT;
    }
    const auto* t = reinterpret_cast<const _TLP_HEADER*>(pSlot->RxBuff);
    if (t->Event[1] != 1) {
        PemDbg(1, 1, "%s, %d, EventCode:x%02x\n", pPrefix, Step, t->Event[1]);
        return t->Event[1] == 15 ? CU_STATUS_UNSUPPORTED : CU_STATUS_TX_FAIL;
    }
    return CU_STATUS_OK;
}

// By the unit's registry index (unique among listed units); a record removed while one of its
// commands still runs may share its mutex with a newer unit, which only serialises the two.
pthread_mutex_t gTransactionMutex[256] = {};
pthread_once_t gTransactionOnce = PTHREAD_ONCE_INIT;

// Recursive: a CTU command holds its unit's lock over all its steps, a calibration read among
// them, and the calibration read takes it for callers that do not.
void _InitTransactionMutexes() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    for (pthread_mutex_t& m : gTransactionMutex) pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
}

}  // namespace

CuTransactionLock::CuTransactionLock(PVN_DEVICE pVn) {
    pthread_once(&gTransactionOnce, _InitTransactionMutexes);
    m_ = &gTransactionMutex[pVn->Index];
    pthread_mutex_lock(m_);
}

CuTransactionLock::~CuTransactionLock() {
    pthread_mutex_unlock(m_);
}

bool CuMatchEvent(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length) {
    const auto* m = static_cast<const _CU_EVENT_MATCH*>(pCtx);
    return Length >= sizeof(_TLP_HEADER) && pTlp->Type == TLP_TYPE_EVENT && pTlp->ChlNumber == m->Chl &&
           pTlp->Event[0] == m->Class;
}

int CuRegWriteLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint8_t Offset, const uint8_t Word[4]) {
    return CuRegWriteWordsLocked(pVn, pSlot, Chl, Offset, Word, 1);
}

int CuRegWriteWordsLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint8_t Offset,
                          const uint8_t* pData, size_t Words) {
    alignas(_TLP_HEADER) uint8_t packet[kTlpHeaderLength + 4 * 65];
    if (Words == 0 || Words > 65) return 0;
    _TLP_HEADER h = _Cmd(Chl, 1, Offset, static_cast<uint8_t>(Words));
    TlpSetExtraDataLength(&h, static_cast<uint16_t>(Words * 4));
    memcpy(packet, &h, sizeof(h));
    memcpy(packet + kTlpHeaderLength, pData, Words * 4);
    return ChlSlotExchangeLocked(pVn, pSlot, reinterpret_cast<const _TLP_HEADER*>(packet),
                                 kTlpHeaderLength + Words * 4, nullptr, nullptr);
}

int CuRegReadFifoLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, bool* pSent) {
    const _TLP_HEADER req = _Cmd(Chl, 0, kCuOffsetFifo, 1);
    // Sent first, then waited for: the mutex is held in between, so no answer can be stored
    // or dropped before the matcher is armed.
    *pSent = ChlSlotExchangeLocked(pVn, pSlot, &req, sizeof(req), nullptr, nullptr) != 0;
    if (!*pSent) return 0;
    return ChlSlotWaitLocked(pSlot, ChlMatchCmdAnswer, &req);
}

uint16_t CuNvmReadCalibration(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint8_t CalType,
                              std::vector<uint8_t>* pOut, const char* pPrefix) {
    CuTransactionLock transaction(pVn);
    pOut->clear();
    uint8_t hdr[kCuCalibrationHeaderLength];
    {
        ChlSlotLock lock(pSlot);
        const uint16_t st = _NvmReadLocked(pVn, pSlot, Chl, kCuCalibrationHeaderAddress,
                                           kCuCalibrationHeaderLength, pPrefix, 1);
        if (st != CU_STATUS_OK) return st;
        const size_t rx = pSlot->RxLength;
        if (rx < kTlpHeaderLength + kCuCalibrationHeaderLength) {
            PemDbg(1, 1, "%s, 1, rx length to small:%d\n", pPrefix, static_cast<int>(rx));
            return CU_STATUS_FORMAT_INVALID;
        }
        memcpy(hdr, pSlot->RxBuff + kTlpHeaderLength, sizeof(hdr));
    }
    if (hdr[2] != 10) {
        PemDbg(1, 1, "%s, not MFAI, CalChannelType:x%02x\n", pPrefix, hdr[2]);
        return CU_STATUS_FORMAT_INVALID;
    }
    if (hdr[8] != CalType) {
        PemDbg(1, 1, "%s, not Type %d, Type:x%02x\n", pPrefix, CalType, hdr[8]);
        return CU_STATUS_FORMAT_INVALID;
    }
    const size_t tableLength = qor::GetLe16(hdr + 4);
    try {
        pOut->reserve(kCuCalibrationHeaderLength + tableLength);
    } catch (const std::bad_alloc&) {
        return CU_STATUS_ALLOC_FAIL;
    }
    pOut->assign(hdr, hdr + sizeof(hdr));
    size_t got = 0;
    uint32_t address = kCuCalibrationHeaderAddress + kCuCalibrationHeaderLength;
    for (int reads = 0; got < tableLength; ++reads) {
        if (reads >= kCuNvmReadsMax) {
            PemDbg(1, 1, "%s, 2, too many reads, Received:%d, TableLength:%d\n", pPrefix,
                   static_cast<int>(got), static_cast<int>(tableLength));
            pOut->clear();
            return CU_STATUS_NO_DATA;
        }
        const uint16_t want = static_cast<uint16_t>(std::min(kCuNvmBlockMax, tableLength - got));
        ChlSlotLock lock(pSlot);
        const uint16_t st = _NvmReadLocked(pVn, pSlot, Chl, static_cast<uint16_t>(address), want, pPrefix, 2);
        if (st != CU_STATUS_OK) {
            pOut->clear();
            return st;
        }
        const size_t rx = pSlot->RxLength;
        if (rx <= kTlpHeaderLength) {
            PemDbg(1, 1, "%s, 2, rx response no data\n", pPrefix);
            pOut->clear();
            return CU_STATUS_NO_DATA;
        }
        // A unit that returns more than was asked for never writes past the table.
        const size_t take = std::min(rx - kTlpHeaderLength, tableLength - got);
        pOut->insert(pOut->end(), pSlot->RxBuff + kTlpHeaderLength, pSlot->RxBuff + kTlpHeaderLength + take);
        got += take;
        address += static_cast<uint32_t>(take);
    }
    return CU_STATUS_OK;
}
