#include "vn_keep_alive.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_service.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "vn_connect.h"
#include "vn_dllp_cmd.h"
#include "vn_unit_services.h"

namespace {

#define VN_FMT "VN  (:%.2x:%.2x:%.2x), "
#define VN_ARGS(m) (m)[3], (m)[4], (m)[5]

qor::ThreadKind gKeepAliveThreadKind = {"VN keep alive thd", PemReportOrdinaryScheduling};

// The keep-alive thread runs at SCHED_RR 70 on Linux, below the NIC receive threads.
void _SetThreadPriority(PVN_DEVICE pVn) {
    char prefix[64];
    snprintf(prefix, sizeof(prefix), VN_FMT "keep alive thd, ", VN_ARGS(pVn->Mac));
    PemSetRealtimePriority(&pVn->DllpKeepAliveThreadAttr, 7, prefix);
}

void _ResetCounters(PVN_DEVICE pVn) {
    qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
    pVn->DllpKeepAliveCnt = 0;
    pVn->DllpKeepAliveCntReset = 0;
}

void* _ReConnectJob(void* pArg) {
    PVN_DEVICE pVn = static_cast<PVN_DEVICE>(pArg);
    const uint8_t* m = pVn->Mac;
    char now[64];
    const int status = VnMainReConnect(pVn);
    const unsigned count = ++pVn->DllpKeepAliveTryReConnectCnt;
    if (status != 0 && status != 64) {
        PemDbg(1, 1, VN_FMT "keep alive thd, @@@@@ reconnect fail @@@@@, cnt:%d, %s\n", VN_ARGS(m), count,
               PemCtime(now, sizeof(now)));
    } else {
        PemDbg(1, 1, VN_FMT "keep alive thd, @@@@@ reconnect ok @@@@@, cnt:%d, %s\n", VN_ARGS(m), count,
               PemCtime(now, sizeof(now)));
        _ResetCounters(pVn);
        pVn->DllpKeepAliveTryReConnectCnt = 0;
    }
    pVn->ReConnectJobIsDone = 1;
    return nullptr;
}

void* _TeardownJob(void* pArg) {
    PVN_DEVICE pVn = static_cast<PVN_DEVICE>(pArg);
    char now[64];
    PemDbg(1, 1, VN_FMT "keep alive thd, ##### been disconnect, send event #####, %s\n", VN_ARGS(pVn->Mac),
           PemCtime(now, sizeof(now)));
    _ResetCounters(pVn);
    pVn->DllpKeepAliveTryReConnectCnt = 0;
    if (VnUnitServices.DisconnectEvent) VnUnitServices.DisconnectEvent(pVn);
    VnMainDisconnectByRemoteVn(pVn);
    pVn->ReConnectJobIsDone = 1;
    return nullptr;
}

// Starts a reconnect or teardown job unless one still runs: one job at a time, so a loss
// leads to exactly one teardown and one event.
void _StartJob(PVN_DEVICE pVn, void* (*job)(void*)) {
    int idle = 1;
    if (!pVn->ReConnectJobIsDone.compare_exchange_strong(idle, 0)) return;
    if (pVn->JobThreadJoinable) {
        pthread_join(pVn->JobThreadHd, nullptr);
        pVn->JobThreadJoinable = 0;
    }
    pthread_attr_t attr;
    if (qor::ThreadAttrInit(&attr) != 0) {
        pVn->ReConnectJobIsDone = 1;
        return;
    }
    if (pthread_create(&pVn->JobThreadHd, &attr, job, pVn) == 0)
        pVn->JobThreadJoinable = 1;
    else
        pVn->ReConnectJobIsDone = 1;
    pthread_attr_destroy(&attr);
}

void _Tick(PVN_DEVICE pVn) {
    if (!pVn->IsConnectedByHost) return;
    unsigned outstanding;
    {
        qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
        outstanding = pVn->DllpKeepAliveCnt;
    }
    if (outstanding > kKeepAliveDownCount) {
        _StartJob(pVn,
                  pVn->DllpKeepAliveTryReConnectCnt <= kKeepAliveMaxReconnect ? _ReConnectJob : _TeardownJob);
        return;
    }
    qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
    ++pVn->DllpKeepAliveCnt;
    VnDllpCmdKeepAlive(pVn->NicPtr.get(), pVn->Mac);  // a failed send still counts as outstanding
    if (++pVn->DllpKeepAliveCntReset > kKeepAliveWindow) {
        pVn->DllpKeepAliveCnt = 0;
        pVn->DllpKeepAliveCntReset = 0;
    }
}

void* _KeepAliveThread(void* pArg) {
    PVN_DEVICE pVn = static_cast<PVN_DEVICE>(pArg);
    for (;;) {
        struct timespec deadline;
        PemSetTimeout(&deadline, kKeepAliveTickMs);
        {
            qor::MutexLock lock(&pVn->DllpKeepAliveThreadMutex);
            int rc = 0;
            while (!pVn->DllpKeepAliveThreadExit && rc != ETIMEDOUT)
                rc = pthread_cond_timedwait(&pVn->DllpKeepAliveThreadCondExit, &pVn->DllpKeepAliveThreadMutex,
                                            &deadline);
            if (pVn->DllpKeepAliveThreadExit) break;
        }
        _Tick(pVn);
    }
    return nullptr;
}

}  // namespace

int VnKeepAliveInit(PVN_DEVICE pVn) {
    if (pthread_mutex_init(&pVn->DllpKeepAliveCntMutex, nullptr) != 0) return 0;
    if (pthread_mutex_init(&pVn->DllpKeepAliveThreadMutex, nullptr) != 0) {
        pthread_mutex_destroy(&pVn->DllpKeepAliveCntMutex);
        return 0;
    }
    if (pthread_cond_init(&pVn->DllpKeepAliveThreadCondExit, nullptr) != 0) {
        pthread_mutex_destroy(&pVn->DllpKeepAliveThreadMutex);
        pthread_mutex_destroy(&pVn->DllpKeepAliveCntMutex);
        return 0;
    }
    return 1;
}

void VnKeepAliveRelease(PVN_DEVICE pVn) {
    pthread_cond_destroy(&pVn->DllpKeepAliveThreadCondExit);
    pthread_mutex_destroy(&pVn->DllpKeepAliveThreadMutex);
    pthread_mutex_destroy(&pVn->DllpKeepAliveCntMutex);
}

int VnKeepAliveThreadCreate(PVN_DEVICE pVn) {
    if (pVn->DllpKeepAliveThreadRunning) return 1;
    {
        qor::MutexLock lock(&pVn->DllpKeepAliveThreadMutex);
        pVn->DllpKeepAliveThreadExit = 0;
    }
    if (qor::ThreadAttrInit(&pVn->DllpKeepAliveThreadAttr) != 0) return 0;
    _SetThreadPriority(pVn);
    if (qor::ThreadCreate(&pVn->DllpKeepAliveThreadHd, &pVn->DllpKeepAliveThreadAttr, _KeepAliveThread, pVn,
                          &gKeepAliveThreadKind) != 0) {
        pthread_attr_destroy(&pVn->DllpKeepAliveThreadAttr);
        return 0;
    }
    pVn->DllpKeepAliveThreadRunning = 1;
    return 1;
}

void VnKeepAliveThreadDelete(PVN_DEVICE pVn) {
    if (pVn->DllpKeepAliveThreadRunning) {
        {
            qor::MutexLock lock(&pVn->DllpKeepAliveThreadMutex);
            pVn->DllpKeepAliveThreadExit = 1;
            pthread_cond_signal(&pVn->DllpKeepAliveThreadCondExit);
        }
        pthread_join(pVn->DllpKeepAliveThreadHd, nullptr);
        pthread_attr_destroy(&pVn->DllpKeepAliveThreadAttr);
        pVn->DllpKeepAliveThreadRunning = 0;
    }
    // With the thread gone no new job starts; wait for the last one.
    if (pVn->JobThreadJoinable) {
        pthread_join(pVn->JobThreadHd, nullptr);
        pVn->JobThreadJoinable = 0;
    }
}

void VnDllpResponseKeepAlive(PVN_DEVICE pVn) {
    qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
    if (pVn->DllpKeepAliveCnt > 0) --pVn->DllpKeepAliveCnt;
}

void VnDllpResponseKeepAliveTimeout(PVN_DEVICE pVn) {
    char now[64];
    PemDbg(1, 1, VN_FMT "keep alive, DLLP response keep alive timeout, %s\n", VN_ARGS(pVn->Mac),
           PemCtime(now, sizeof(now)));
    qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
    pVn->DllpKeepAliveCnt = kKeepAliveUnitTimeoutCount;
}
