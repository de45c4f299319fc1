#include "nlk_tty_obj.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "nlk_tty.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_get_info.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"

_DLIST NlkTtyObjList = {&NlkTtyObjList, &NlkTtyObjList};
int NlkTtyObjAmount = 0;
pthread_mutex_t NlkTtyObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

PNLK_OBJ _FromEntry(_DLIST* p) {
    return reinterpret_cast<PNLK_OBJ>(p);
}

// Under NlkTtyObjListMutex.
PNLK_OBJ _FindLocked(uint8_t Minor) {
    for (_DLIST* p = NlkTtyObjList.Flink; p != &NlkTtyObjList; p = p->Flink)
        if (_FromEntry(p)->MinorNumber == Minor) return _FromEntry(p);
    return nullptr;
}

void _Free(PNLK_OBJ o) {
    o->VnPtr = nullptr;
    o->DibPtr = nullptr;
    o->MinorNumber = 255;
    pthread_mutex_destroy(&o->RegMutex);
    ChlSlotFree(&o->Slot);
    o->UnitRef.reset();
    delete o;
}

// The receive path's consumer: the object of the channel's minor, when it serves this very
// channel of this unit (a DIB without minor reads as 255, which may be another unit's).
void* _Find(PVN_DEVICE pVn, uint8_t ChlNumber) {
    const PDIB dib = VnGetDibPointer(pVn, ChlNumber);
    if (!dib) return nullptr;
    NlkTtyObjRef o = NlkTtyObjGetByMinorNumer(static_cast<uint8_t>(dib->Uart.TtyMinorNumber & 0xFF));
    if (!o || o->VnPtr != pVn || o->DibPtr != dib) return nullptr;
    PNLK_OBJ raw = o.get();
    raw->RefCount.fetch_add(1, std::memory_order_relaxed);
    return raw;  // o's reference goes; the one just taken is the caller's
}

void _Response(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    ChlSlotStore(&static_cast<PNLK_OBJ>(pObj)->Slot, pTlp, Length);
}
void _Event(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    NlkTtyEventHandle(static_cast<PNLK_OBJ>(pObj), pTlp, Length);
}
void _Data(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    NlkTtyDataHandle(static_cast<PNLK_OBJ>(pObj), pTlp, Length);
}
void _Release(void* pObj) {
    NlkTtyObjRelease(static_cast<PNLK_OBJ>(pObj));
}
const _VN_TLP_CONSUMER kTtyConsumer = {_Find, _Response, _Data, _Event, _Release};

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    if (pDib->Uart.TtyMinorNumber < 0) return 0;
    return NlkTtyObjAdd(static_cast<uint8_t>(pDib->Uart.TtyMinorNumber), pVn, pDib);
}
void _FamilyDel(PVN_DEVICE, PDIB pDib, int) {
    if (pDib->Uart.TtyMinorNumber >= 0) NlkTtyObjDel(static_cast<uint8_t>(pDib->Uart.TtyMinorNumber));
}
int _FamilyInfo(PVN_DEVICE pVn, PDIB pDib, int) {
    return NlkTtyObjGetControllerInfo(pVn, pDib);
}
const _VN_CHANNEL_FAMILY kTtyFamily = {
    0, 0, 0, _FamilyAdd, _FamilyDel, _FamilyInfo, 1, "get TTY controller info fail", "get TTY controller info fail"};

}  // namespace

void NlkTtyObjRelease(PNLK_OBJ pObj) {
    if (pObj->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) _Free(pObj);
}

int NlkTtyObjAdd(uint8_t Minor, PVN_DEVICE pVn, PDIB pDib) {
    {
        qor::MutexLock lock(&NlkTtyObjListMutex);
        if (PNLK_OBJ old = _FindLocked(Minor)) {
            PemDbg(1, 1, "TTY (M:x%02x, %p), add fail, already exist\n", Minor, static_cast<void*>(old));
            return 0;
        }
    }
    PNLK_OBJ o = new (std::nothrow) _NLK_OBJ{};
    if (!o) return 0;
    PemListInit(&o->Entry);
    o->MinorNumber = Minor;
    o->VnPtr = pVn;
    o->DibPtr = pDib;
    o->TransactionID = 0;
    snprintf(o->Prefix, sizeof(o->Prefix), "TTY (M:%d), ", Minor);
    if (!ChlSlotInit(&o->Slot)) {
        delete o;
        return 0;
    }
    if (pthread_mutex_init(&o->RegMutex, nullptr) != 0) {
        ChlSlotFree(&o->Slot);
        delete o;
        return 0;
    }
    pVn->RefCount.fetch_add(1, std::memory_order_relaxed);
    o->UnitRef = VnRef(pVn);
    o->RefCount.store(1);  // the list's
    {
        qor::MutexLock lock(&NlkTtyObjListMutex);
        // Adds run under the unit operations' lock, so no second add of the minor raced in.
        PemListInsertTail(&NlkTtyObjList, &o->Entry);
        ++NlkTtyObjAmount;
    }
    PemDbg(0, 0, "TTY (M:x%02x, %p), add\n", Minor, static_cast<void*>(o));
    return 1;
}

void NlkTtyObjDel(uint8_t Minor) {
    PNLK_OBJ o;
    {
        qor::MutexLock lock(&NlkTtyObjListMutex);
        o = _FindLocked(Minor);
        if (!o) return;
        PemListRemoveEntry(&o->Entry);
        --NlkTtyObjAmount;
    }
    PemDbg(0, 0, "TTY (M:x%02x, %p), del\n", Minor, static_cast<void*>(o));
    NlkTtyObjRelease(o);
}

void NlkTtyObjDelAll() {
    for (;;) {
        PNLK_OBJ o;
        {
            qor::MutexLock lock(&NlkTtyObjListMutex);
            if (PemListEmpty(&NlkTtyObjList)) return;
            o = _FromEntry(NlkTtyObjList.Flink);
            PemListRemoveEntry(&o->Entry);
            --NlkTtyObjAmount;
        }
        PemDbg(0, 0, "TTY (M:x%02x, %p), del\n", o->MinorNumber, static_cast<void*>(o));
        NlkTtyObjRelease(o);
    }
}

NlkTtyObjRef NlkTtyObjGetByMinorNumer(uint8_t Minor) {
    qor::MutexLock lock(&NlkTtyObjListMutex);
    PNLK_OBJ o = _FindLocked(Minor);
    if (!o) return NlkTtyObjRef();
    o->RefCount.fetch_add(1, std::memory_order_relaxed);
    return NlkTtyObjRef(o);
}

_UART_CHL NlkTtyObjChl(PNLK_OBJ pObj) {
    return {pObj->VnPtr, pObj->DibPtr, &pObj->Slot, &pObj->RegMutex, pObj->Prefix};
}

int NlkTtyObjGetControllerInfo(PVN_DEVICE, PDIB pDib) {
    NlkTtyObjRef o = NlkTtyObjGetByMinorNumer(static_cast<uint8_t>(pDib->Uart.TtyMinorNumber & 0xFF));
    if (!o || o->DibPtr != pDib) return 0;
    const uint8_t minor = o->MinorNumber;
    void* p = o.get();
    const UartGen gen = UartGenOf(pDib->Uart.Version);
    if (gen == UART_GEN_NONE) {
        PemDbg(1, 1, "TTY (M:x%02x, %p), get info fail, unsupport version:x%02x\n", minor, p, pDib->Uart.Version);
        return 0;
    }
    const char* g = UartGenName(gen);
    switch (UartReadControllerInfo(NlkTtyObjChl(o.get()), gen)) {
        case UART_OK:
            return 1;
        case UART_TX_FAIL:
            PemDbg(1, 1, "TTY (M:x%02x, %p), tx get controller %s cmd fail\n", minor, p, g);
            return 0;
        case UART_TIMEOUT:
            PemDbg(1, 1, "TTY (M:x%02x, %p), rx get controller %s response wait timeout\n", minor, p, g);
            return 0;
        case UART_NO_DATA:
            PemDbg(1, 1, "TTY (M:x%02x, %p), rx get controller %s response no data\n", minor, p, g);
            return 0;
        default:
            return 0;
    }
}

void NlkTtyObjRegister() {
    VnUnitServices.TtyFamily = &kTtyFamily;
    VnTlpConsumerTty = &kTtyConsumer;
}

void NlkTtyObjUnregister() {
    VnUnitServices.TtyFamily = nullptr;
    VnTlpConsumerTty = nullptr;
}
