#include "vns_service.h"

#include <errno.h>

#include "pem_lock.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "vn_dllp_search.h"
#include "vn_main.h"

_VNS_SERVICE VNsService;

namespace {

constexpr unsigned kSearchGapMs = 1000;
constexpr int kCyclesBetweenRemovals = 5;

// Waits up to one second for a stop request; 1 when the time ran out (go on), 0 to end.
int _Wait(_VNS_SERVICE* pService) {
    struct timespec deadline;
    PemSetTimeout(&deadline, kSearchGapMs);
    qor::MutexLock lock(&pService->ThreadMutex);
    int rc = 0;
    while (!pService->ExitRequested && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&pService->ThreadCondExit, &pService->ThreadMutex, &deadline);
    return pService->ExitRequested ? 0 : 1;
}

void* _SearchThread(void* pArg) {
    _VNS_SERVICE* pService = static_cast<_VNS_SERVICE*>(pArg);
    int clearCount = 0;
    for (;;) {
        if (++clearCount > kCyclesBetweenRemovals) {
            VnMainDelAllWithoutMappingOrConnectedByHost();
            clearCount = 0;
        }
        VnDllpSearchAdvanceWithAllNic();
        if (!_Wait(pService)) break;
        VnDllpSearchDockWithAllNic();
        if (!_Wait(pService)) break;
    }
    return nullptr;
}

}  // namespace

int VNsServiceStart(_VNS_SERVICE* pService) {
    pService->ExitRequested = 0;
    if (pthread_mutex_init(&pService->ThreadMutex, nullptr) != 0) return 0;
    if (pthread_cond_init(&pService->ThreadCondExit, nullptr) != 0) {
        pthread_mutex_destroy(&pService->ThreadMutex);
        return 0;
    }
    if (qor::ThreadAttrInit(&pService->ThreadAttr) != 0) {
        pthread_cond_destroy(&pService->ThreadCondExit);
        pthread_mutex_destroy(&pService->ThreadMutex);
        return 0;
    }
    if (qor::ThreadCreate(&pService->ThreadHd, &pService->ThreadAttr, _SearchThread, pService) != 0) {
        pthread_attr_destroy(&pService->ThreadAttr);
        pthread_cond_destroy(&pService->ThreadCondExit);
        pthread_mutex_destroy(&pService->ThreadMutex);
        return 0;
    }
    return 1;
}

void VNsServiceStop(_VNS_SERVICE* pService) {
    {
        qor::MutexLock lock(&pService->ThreadMutex);
        pService->ExitRequested = 1;
        pthread_cond_signal(&pService->ThreadCondExit);
    }
    pthread_join(pService->ThreadHd, nullptr);
    pthread_attr_destroy(&pService->ThreadAttr);
    pthread_cond_destroy(&pService->ThreadCondExit);
    pthread_mutex_destroy(&pService->ThreadMutex);
}
