#include "vn_main.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <memory>

#include "pem_lock.h"

_DLIST VnList = {&VnList, &VnList};
int VnAmount = 0;
pthread_mutex_t VnListMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t VnListMutexExtra = PTHREAD_MUTEX_INITIALIZER;

namespace {
PVN_DEVICE FromEntry(PDLIST p) { return reinterpret_cast<PVN_DEVICE>(p); }

void _FreeVnDevice(PVN_DEVICE pVn) {
    pthread_mutex_destroy(&pVn->HostSeqNumberMutex);
    pthread_mutex_destroy(&pVn->DeviceSeqNumberMutex);
    pthread_mutex_destroy(&pVn->DllpCmdCompleteMutex);
    pthread_cond_destroy(&pVn->DllpCmdCompleteCond);
    free(pVn->RxBuff);
    std::unique_ptr<_VN_DEVICE> owned(pVn);
}
}  // namespace

void VnMainRelease(PVN_DEVICE pVn) {
    if (pVn->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) _FreeVnDevice(pVn);
}

VnRef VnMainGetByMac(const uint8_t* pMac) {
    if (!pMac) return VnRef();
    qor::MutexLock lock(&VnListMutex);
    for (PDLIST p = VnList.Flink; p != &VnList; p = p->Flink) {
        PVN_DEVICE pVn = FromEntry(p);
        if (memcmp(pVn->Mac, pMac, 6) == 0) {
            pVn->RefCount.fetch_add(1, std::memory_order_relaxed);
            return VnRef(pVn);
        }
    }
    return VnRef();
}

void VnMainDelAll() {
    qor::MutexLock lock(&VnListMutex);
    while (!PemListEmpty(&VnList)) {
        PDLIST p = VnList.Flink;
        PemListRemoveEntry(p);
        --VnAmount;
        VnMainRelease(FromEntry(p));
    }
}

void VnMainDeliverReply(PVN_DEVICE pVn, const uint8_t* pFrame, size_t Length) {
    qor::MutexLock lock(&pVn->DllpCmdCompleteMutex);
    memset(pVn->RxBuff, 0, kVnRxBuffSize);
    const size_t n = std::min(Length, kVnRxBuffSize);
    memcpy(pVn->RxBuff, pFrame, n);
    pVn->RxLength = static_cast<unsigned>(n);
    pthread_cond_signal(&pVn->DllpCmdCompleteCond);
}
