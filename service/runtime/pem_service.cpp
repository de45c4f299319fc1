#include "pem_service.h"

#include <errno.h>
#include <sched.h>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_thread.h"
#include "pem_utils.h"

int PemServiceStart(_PEM_SERVICE_THREAD* pService, void* (*fn)(void*)) {
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
    if (qor::ThreadCreate(&pService->ThreadHd, &pService->ThreadAttr, fn, pService) != 0) {
        pthread_attr_destroy(&pService->ThreadAttr);
        pthread_cond_destroy(&pService->ThreadCondExit);
        pthread_mutex_destroy(&pService->ThreadMutex);
        return 0;
    }
    pService->Running = 1;
    return 1;
}

void PemServiceStop(_PEM_SERVICE_THREAD* pService) {
    if (!pService->Running) return;
    {
        qor::MutexLock lock(&pService->ThreadMutex);
        pService->ExitRequested = 1;
        pthread_cond_signal(&pService->ThreadCondExit);
    }
    pthread_join(pService->ThreadHd, nullptr);
    pthread_attr_destroy(&pService->ThreadAttr);
    pthread_cond_destroy(&pService->ThreadCondExit);
    pthread_mutex_destroy(&pService->ThreadMutex);
    pService->Running = 0;
}

int PemServiceWait(_PEM_SERVICE_THREAD* pService, unsigned TimeOut) {
    struct timespec deadline;
    PemSetTimeout(&deadline, TimeOut);
    qor::MutexLock lock(&pService->ThreadMutex);
    int rc = 0;
    while (!pService->ExitRequested && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&pService->ThreadCondExit, &pService->ThreadMutex, &deadline);
    return pService->ExitRequested ? 0 : 1;
}

void PemReportOrdinaryScheduling(const char* pName) {
    PemDbg(1, 1, "%s, SCHED_RR refused, running with ordinary scheduling\n", pName);
}

void PemSetRealtimePriority(pthread_attr_t* pAttr, int Tenths, const char* pPrefix) {
    int policy = 0;
    struct sched_param param {};
    auto fail = [pPrefix](const char* step) { PemDbg(1, 1, "%s%s fail\n", pPrefix, step); };
    if (pthread_attr_getschedpolicy(pAttr, &policy) != 0) return fail("pthread_attr_getschedpolicy");
    if (pthread_attr_getschedparam(pAttr, &param) != 0) return fail("pthread_attr_getschedparam");
    if (pthread_attr_setschedpolicy(pAttr, SCHED_RR) != 0)
        return fail("pthread_attr_setschedpolicy SCHED_RR");
    const int minimum = sched_get_priority_min(SCHED_RR);
    if (minimum == -1) return fail("get SCHED_RR min priority");
    const int maximum = sched_get_priority_max(SCHED_RR);
    if (maximum == -1) return fail("get SCHED_RR max priority");
    param.sched_priority = (minimum + maximum) * Tenths / 10;
    if (pthread_attr_setschedparam(pAttr, &param) != 0) return fail("pthread_attr_setschedparam");
    if (pthread_attr_setinheritsched(pAttr, PTHREAD_EXPLICIT_SCHED) != 0)
        return fail("pthread_attr_setinheritsched");
}
