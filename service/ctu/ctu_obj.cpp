#include "ctu_obj.h"

#include <string.h>

#include <memory>
#include <new>

#include "ctu_protocol.h"
#include "ctu_server.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"

// The registry of CTU objects (the start-up creates its mutex and list head).
_DLIST CtuObjList = {&CtuObjList, &CtuObjList};
int CtuObjAmount = 0;
pthread_mutex_t CtuObjListMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

#define CTU_OBJ_FMT "CTU (:%.2x:%.2x:%.2x, C:%d, %p), "
#define CTU_OBJ_ARGS(m, c, p) (m)[3], (m)[4], (m)[5], static_cast<int>(c), static_cast<const void*>(p)

PCTU_OBJ FromEntry(PDLIST p) {
    return reinterpret_cast<PCTU_OBJ>(p);
}

PCTU_OBJ _FindLocked(const uint8_t* pMac, uint8_t Chl) {
    for (PDLIST p = CtuObjList.Flink; p != &CtuObjList; p = p->Flink) {
        PCTU_OBJ o = FromEntry(p);
        if (o->DibChlNumber == Chl && memcmp(o->VnPtr->Mac, pMac, 6) == 0) return o;
    }
    return nullptr;
}

void _Free(PCTU_OBJ pObj) {
    ChlSlotFree(&pObj->Slot);
    std::unique_ptr<_CTU_OBJ> owned(pObj);
}

// Removes the object from the list (mutex held) and drops the list's reference.
void _UnlinkLocked(PCTU_OBJ pObj) {
    PemListRemoveEntry(&pObj->Entry);
    --CtuObjAmount;
    const uint8_t* m = pObj->VnPtr->Mac;
    PemDbg(1, 1, CTU_OBJ_FMT "del\n", CTU_OBJ_ARGS(m, pObj->DibChlNumber, pObj));
}

int _FamilyAdd(PVN_DEVICE pVn, PDIB pDib, int) {
    return CtuObjAdd(pVn, pDib);
}
void _FamilyDel(PVN_DEVICE pVn, PDIB pDib, int) {
    CtuObjDel(pVn, pDib);
}

void* _ConsumerFind(PVN_DEVICE pVn, uint8_t Chl) {
    CtuObjRef ref = CtuObjGetByVnMacAndDibChlNumber(pVn->Mac, Chl);
    PCTU_OBJ p = ref.get();
    if (p) p->RefCount.fetch_add(1, std::memory_order_relaxed);  // handed to the consumer
    return p;
}

void _ConsumerRelease(void* pObj) {
    CtuObjRelease(static_cast<PCTU_OBJ>(pObj));
}

// A read answer or a completion event: stored only when the waiting command expects it.
void _ConsumerResponse(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    PCTU_OBJ o = static_cast<PCTU_OBJ>(pObj);
    if (!ChlSlotStore(&o->Slot, pTlp, Length) && DbgCtuIpcProtocol) {
        const uint8_t* m = o->VnPtr->Mac;
        PemDbg(0, 0,
               CTU_OBJ_FMT "answer dropped, no command waits for it, Type:%d, Offset:%d, Event:x%02x x%02x\n",
               CTU_OBJ_ARGS(m, o->DibChlNumber, o), pTlp->Type, pTlp->Offset, pTlp->Event[0], pTlp->Event[1]);
    }
}

void _ConsumerEvent(void* pObj, const _TLP_HEADER* pTlp, size_t) {
    CtuEventHandle(static_cast<PCTU_OBJ>(pObj), pTlp->Event[1]);
}

}  // namespace

const _VN_CHANNEL_FAMILY CtuChannelFamily = {
    1, 0, 0, _FamilyAdd, _FamilyDel, nullptr, 0, nullptr, nullptr,
};

const _VN_TLP_CONSUMER CtuTlpConsumer = {_ConsumerFind, _ConsumerResponse, nullptr, _ConsumerEvent,
                                         _ConsumerRelease};

void CtuObjRelease(PCTU_OBJ pObj) {
    if (pObj->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) _Free(pObj);
}

int CtuObjAdd(PVN_DEVICE pVn, PDIB pDib) {
    const uint8_t* m = pVn->Mac;
    qor::MutexLock lock(&CtuObjListMutex);
    if (PCTU_OBJ old = _FindLocked(m, pDib->ChlNumber)) {
        PemDbg(1, 1, CTU_OBJ_FMT "add fail, already exist\n", CTU_OBJ_ARGS(m, pDib->ChlNumber, old));
        return 0;
    }
    std::unique_ptr<_CTU_OBJ> o(new (std::nothrow) _CTU_OBJ{});
    if (!o) return 0;
    o->VnPtr = pVn;
    o->DibPtr = pDib;
    o->DibChlNumber = pDib->ChlNumber;
    o->TransactionID = 0;
    if (!ChlSlotInit(&o->Slot)) return 0;
    o->RefCount.store(1);
    PemListInsertTail(&CtuObjList, &o->Entry);
    ++CtuObjAmount;
    PemDbg(1, 1, CTU_OBJ_FMT "add\n", CTU_OBJ_ARGS(m, o->DibChlNumber, o.get()));
    o.release();
    return 1;
}

void CtuObjDel(PVN_DEVICE pVn, PDIB pDib) {
    PCTU_OBJ o = nullptr;
    {
        qor::MutexLock lock(&CtuObjListMutex);
        o = _FindLocked(pVn->Mac, pDib->ChlNumber);
        if (!o) return;
        _UnlinkLocked(o);
    }
    CtuObjRelease(o);
}

void CtuObjDelAll() {
    for (;;) {
        PCTU_OBJ o = nullptr;
        {
            qor::MutexLock lock(&CtuObjListMutex);
            if (PemListEmpty(&CtuObjList)) return;
            o = FromEntry(CtuObjList.Flink);
            _UnlinkLocked(o);
        }
        CtuObjRelease(o);
    }
}

CtuObjRef CtuObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber) {
    qor::MutexLock lock(&CtuObjListMutex);
    PCTU_OBJ o = _FindLocked(pMac, ChlNumber);
    if (o) o->RefCount.fetch_add(1, std::memory_order_relaxed);
    return CtuObjRef(o);
}

void CtuEventHandle(PCTU_OBJ pObj, uint8_t EventCode) {
    std::shared_ptr<_CTU_SERVER> server = CtuServerGet(pObj->VnPtr);
    const int port = server ? server->TcpPort.load() : 0;
    uint16_t code = 0;
    switch (EventCode) {
        case 5:
            code = EVENT_PROGRAMMING_OK;
            break;
        case 6:
            code = EVENT_PROGRAMMING_FAIL;
            break;
        case 7:
            code = EVENT_PROGRAMMING_FINISH;
            break;
        default:
            PemDbg(1, 1, "CTU (T:%d, C:%d), EVENT, Event invalid\n", port, 0);
            return;
    }
    uint8_t packet[kCtuHeaderLength];
    CtuHeaderEncode({kCtuVersion, code, 0, 0}, packet);
    const int rc = server ? CtuClientTx(&server->Client, packet, sizeof(packet)) : -2;
    if (rc < 0) PemDbg(1, 1, "CTU (T:%d, C:%d), EVENT, Client Tx fail, TxReturn:%d\n", port, 0, rc);
}
