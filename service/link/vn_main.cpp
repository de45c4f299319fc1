#include "vn_main.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_utils.h"
#include "vn_connect.h"
#include "vn_get_info.h"
#include "vn_keep_alive.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"
#include "vn_utils.h"

_DLIST VnList = {&VnList, &VnList};
int VnAmount = 0;
pthread_mutex_t VnListMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t VnListMutexExtra = PTHREAD_MUTEX_INITIALIZER;

namespace {
PVN_DEVICE FromEntry(PDLIST p) {
    return reinterpret_cast<PVN_DEVICE>(p);
}

// Steps of _CreateVnDevice that have to be undone, in creation order.
enum CreateStep { kIndex = 1, kRxBuff, kMutexes, kQueue, kKeepAlive, kGetInfo };

void _UndoCreate(PVN_DEVICE pVn, int stepsDone) {
    if (stepsDone >= kGetInfo) {
        VnGetInfoThreadDelete(pVn);
        VnGetInfoThreadRelease(pVn);
    }
    if (stepsDone >= kKeepAlive) VnKeepAliveRelease(pVn);
    if (stepsDone >= kQueue) pthread_mutex_destroy(&pVn->TlpRetransmissionPacketListMutex);
    if (stepsDone >= kMutexes) {
        pthread_mutex_destroy(&pVn->HostSeqNumberMutex);
        pthread_mutex_destroy(&pVn->DeviceSeqNumberMutex);
        pthread_mutex_destroy(&pVn->DllpCmdCompleteMutex);
        pthread_cond_destroy(&pVn->DllpCmdCompleteCond);
        pthread_rwlock_destroy(&pVn->InfoLock);
    }
    if (stepsDone >= kRxBuff) {
        free(pVn->RxBuff);
        pVn->RxBuff = nullptr;
    }
    if (stepsDone >= kIndex) VnIndexFree(pVn->Index);
}

int _InitMutexes(PVN_DEVICE pVn) {
    pthread_mutex_t* mutexes[] = {&pVn->HostSeqNumberMutex, &pVn->DeviceSeqNumberMutex,
                                  &pVn->DllpCmdCompleteMutex};
    size_t done = 0;
    for (; done < 3; ++done)
        if (pthread_mutex_init(mutexes[done], nullptr) != 0) break;
    if (done == 3 && pthread_cond_init(&pVn->DllpCmdCompleteCond, nullptr) == 0) {
        if (pthread_rwlock_init(&pVn->InfoLock, nullptr) == 0) return 1;
        pthread_cond_destroy(&pVn->DllpCmdCompleteCond);
    }
    while (done > 0) pthread_mutex_destroy(mutexes[--done]);
    return 0;
}

// Fills a zeroed record; on failure undoes its own steps and returns 0.
int _CreateVnDevice(PVN_DEVICE pVn, PNIC_DEVICE pNic, const uint8_t* pMac) {
    PemListInit(&pVn->Entry);
    pVn->NicPtr.Set(NicMainAddRef(pNic));
    memcpy(pVn->Mac, pMac, 6);
    const int index = VnIndexAlloc();
    if (index < 0) return 0;
    if (index > kVnMaxUnits) {
        // The one-byte index would collide with a present unit's.
        VnIndexFreeSlot(index);
        PemDbg(1, 1, "VN can't get available index\n");
        return 0;
    }
    pVn->Index = static_cast<uint8_t>(index);
    for (_DIB& dib : pVn->DibArray) dib.Uart.TtyMinorNumber = -1;
    pVn->ReConnectJobIsDone = 1;
    pVn->RxBuff = static_cast<uint8_t*>(calloc(kVnRxBuffSize, 1));
    if (!pVn->RxBuff) {
        _UndoCreate(pVn, kIndex);
        return 0;
    }
    if (!_InitMutexes(pVn)) {
        _UndoCreate(pVn, kRxBuff);
        return 0;
    }
    if (!VnTlpQueueInit(pVn)) {
        _UndoCreate(pVn, kMutexes);
        return 0;
    }
    if (!VnKeepAliveInit(pVn)) {
        _UndoCreate(pVn, kQueue);
        return 0;
    }
    if (!VnGetInfoThreadCreate(pVn)) {
        _UndoCreate(pVn, kKeepAlive);
        return 0;
    }
    return 1;
}

// Ends everything that runs on behalf of an unlinked unit: its keep-alive thread (also an
// idle one left after a loss), its get-info thread and its servers. The memory stays for
// whoever still holds a reference.
void _StopVnDevice(PVN_DEVICE pVn) {
    VnKeepAliveThreadDelete(pVn);
    VnGetInfoThreadDelete(pVn);
    if (VnUnitServices.SioServerStop) VnUnitServices.SioServerStop(pVn);
    if (VnUnitServices.CtuServerStop) VnUnitServices.CtuServerStop(pVn);
}

void _FreeVnDevice(PVN_DEVICE pVn) {
    // Normally stopped when the record was removed; a connect that was already past its
    // lookup may have started a keep-alive thread since, and no thread may outlive the record.
    VnKeepAliveThreadDelete(pVn);
    VnGetInfoThreadDelete(pVn);
    VnTlpQueueFreeRetransmissionList(pVn);
    pthread_mutex_destroy(&pVn->TlpRetransmissionPacketListMutex);
    VnKeepAliveRelease(pVn);
    VnGetInfoThreadRelease(pVn);
    pthread_mutex_destroy(&pVn->HostSeqNumberMutex);
    pthread_mutex_destroy(&pVn->DeviceSeqNumberMutex);
    pthread_mutex_destroy(&pVn->DllpCmdCompleteMutex);
    pthread_cond_destroy(&pVn->DllpCmdCompleteCond);
    pthread_rwlock_destroy(&pVn->InfoLock);
    free(pVn->RxBuff);
    std::unique_ptr<_VN_DEVICE> owned(pVn);
}

PVN_DEVICE _FindByMacLocked(const uint8_t* pMac) {
    for (PDLIST p = VnList.Flink; p != &VnList; p = p->Flink)
        if (memcmp(FromEntry(p)->Mac, pMac, 6) == 0) return FromEntry(p);
    return nullptr;
}

VnRef _Ref(PVN_DEVICE pVn) {
    pVn->RefCount.fetch_add(1, std::memory_order_relaxed);
    return VnRef(pVn);
}

// Unlinks every unit the predicate selects, then stops and releases them outside the lists'
// locks, since stopping joins their threads. The selection runs under VnListMutexExtra (taken
// first, as everywhere): a connect or mapping holds it from its lookup to its end, so the
// predicate never reads IsConnectedByHost or IsMappingByHost of an operation half done, and
// no operation can still be working on a record once it is unlinked.
template <typename Pred>
void _DelWhere(Pred pred) {
    std::vector<PVN_DEVICE> removed;
    {
        qor::MutexLock extra(&VnListMutexExtra);
        qor::MutexLock lock(&VnListMutex);
        for (PDLIST p = VnList.Flink; p != &VnList;) {
            PDLIST next = p->Flink;
            PVN_DEVICE pVn = FromEntry(p);
            if (pred(pVn)) {
                PemListRemoveEntry(p);
                VnIndexFree(pVn->Index);
                --VnAmount;
                removed.push_back(pVn);
            }
            p = next;
        }
    }
    for (PVN_DEVICE pVn : removed) {
        _StopVnDevice(pVn);
        VnMainRelease(pVn);
    }
}

}  // namespace

void VnMainRelease(PVN_DEVICE pVn) {
    if (pVn->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) _FreeVnDevice(pVn);
}

VnRef VnMainAdd(PNIC_DEVICE pNic, const uint8_t* pMac) {
    if (!pNic || !pMac) return VnRef();
    // Creation and insertion under one hold of VnListMutex: two receive threads that see the
    // same unit at once make one record, and the reply to the first info request (looked up
    // under the same mutex) always finds the record listed.
    qor::MutexLock lock(&VnListMutex);
    if (PVN_DEVICE existing = _FindByMacLocked(pMac)) return _Ref(existing);
    std::unique_ptr<_VN_DEVICE> pVn(new (std::nothrow) _VN_DEVICE{});
    if (!pVn) return VnRef();
    pVn->RefCount.store(1);  // the list's reference
    if (!_CreateVnDevice(pVn.get(), pNic, pMac)) return VnRef();
    PVN_DEVICE p = pVn.release();
    PemListInsertTail(&VnList, &p->Entry);
    ++VnAmount;
    return _Ref(p);
}

VnRef VnMainGetByMac(const uint8_t* pMac) {
    if (!pMac) return VnRef();
    qor::MutexLock lock(&VnListMutex);
    PVN_DEVICE pVn = _FindByMacLocked(pMac);
    return pVn ? _Ref(pVn) : VnRef();
}

VnRef VnMainGetByIndex(uint8_t Index) {
    qor::MutexLock lock(&VnListMutex);
    for (PDLIST p = VnList.Flink; p != &VnList; p = p->Flink)
        if (FromEntry(p)->Index == Index) return _Ref(FromEntry(p));
    return VnRef();
}

void VnMainDelAllWithoutMappingOrConnectedByHost() {
    _DelWhere([](PVN_DEVICE pVn) { return pVn->IsMappingByHost == 0 && pVn->IsConnectedByHost == 0; });
}

void VnMainDelAll() {
    // The list head is statically valid, so this is safe on every start-up failure path.
    _DelWhere([](PVN_DEVICE) { return true; });
}

void VnMainDelByNic(PNIC_DEVICE pNic) {
    _DelWhere([pNic](PVN_DEVICE pVn) {
        return pVn->NicPtr.get() == pNic && pVn->IsMappingByHost == 0 && pVn->IsConnectedByHost == 0;
    });
}

void VnMainStopAll() {
    VnMainUnitJobsRefuse(1);
    std::vector<VnRef> units;
    {
        qor::MutexLock lock(&VnListMutex);
        for (PDLIST p = VnList.Flink; p != &VnList; p = p->Flink) units.push_back(_Ref(FromEntry(p)));
    }
    for (const VnRef& pVn : units) _StopVnDevice(pVn.get());
}

void VnMainUpdateInfo(PVN_DEVICE pVn) {
    VnGetInfoThreadTrigger(pVn);
}

void VnMainHandleSearchResponse(PNIC_DEVICE pNic, const uint8_t* pMac) {
    VnRef pVn = VnMainGetByMac(pMac);
    if (!pVn) {
        VnMainAdd(pNic, pMac);
        return;
    }
    // A unit answering on a second NIC keeps the NIC of its first answer, unless a refresh
    // has removed that one: then it moves to the NIC through which it answers now.
    if (pVn->NicPtr.get() != pNic && !NicMainIsOpen(pVn->NicPtr.get()) && NicMainIsOpen(pNic)) {
        qor::MutexLock lock(&VnListMutex);
        if (!NicMainIsOpen(pVn->NicPtr.get())) {
            pVn->NicPtr.Set(NicMainAddRef(pNic));
            PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), moved to NIC (%s)\n", pMac[3], pMac[4], pMac[5],
                   pNic->InterfaceName);
        }
    }
    if (!pVn->IsConnectedByHost) VnMainUpdateInfo(pVn.get());
}

void VnMainDeliverReply(PVN_DEVICE pVn, const uint8_t* pFrame, size_t Length) {
    qor::MutexLock lock(&pVn->DllpCmdCompleteMutex);
    // A late reply to an earlier command must neither pass for the awaited answer nor
    // overwrite it when it has already arrived.
    if (pVn->DllpCmdExpectedCode && (Length < 16 || (pFrame[15] & 0x1F) != pVn->DllpCmdExpectedCode)) return;
    memset(pVn->RxBuff, 0, kVnRxBuffSize);
    const size_t n = std::min(Length, kVnRxBuffSize);
    memcpy(pVn->RxBuff, pFrame, n);
    pVn->RxLength = static_cast<unsigned>(n);
    // Exchanges waiting for the slot wait on the same condition as the one waiting for this.
    pthread_cond_broadcast(&pVn->DllpCmdCompleteCond);
}

VnDllpExchange::VnDllpExchange(PVN_DEVICE pVn, uint8_t ExpectedCode) : pVn_(pVn) {
    pthread_mutex_lock(&pVn_->DllpCmdCompleteMutex);
    while (pVn_->DllpCmdBusy) pthread_cond_wait(&pVn_->DllpCmdCompleteCond, &pVn_->DllpCmdCompleteMutex);
    pVn_->DllpCmdBusy = 1;
    pVn_->RxLength = 0;  // an older reply is not this command's answer
    pVn_->DllpCmdExpectedCode = ExpectedCode;
}

VnDllpExchange::~VnDllpExchange() {
    pVn_->DllpCmdBusy = 0;
    pVn_->DllpCmdExpectedCode = 0;
    pthread_cond_broadcast(&pVn_->DllpCmdCompleteCond);
    pthread_mutex_unlock(&pVn_->DllpCmdCompleteMutex);
}

int VnDllpExchange::WaitReply(unsigned TimeOutMs, const std::atomic<int>* pStop) {
    struct timespec deadline;
    PemSetTimeout(&deadline, TimeOutMs);
    int rc = 0;
    while (pVn_->RxLength == 0 && rc != ETIMEDOUT && !(pStop && *pStop))
        rc = pthread_cond_timedwait(&pVn_->DllpCmdCompleteCond, &pVn_->DllpCmdCompleteMutex, &deadline);
    return rc == ETIMEDOUT ? ETIMEDOUT : 0;
}
