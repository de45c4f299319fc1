#include "mng_server.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <vector>

#include "mng_protocol.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_tcp_server.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "vn_unit_services.h"

_MNG_SERVER MngServer;

namespace {

constexpr unsigned kListenTurnMs = 10;

PMNG_CLIENT FromEntry(PDLIST p) { return reinterpret_cast<PMNG_CLIENT>(p); }

void* _ClientThread(void* pArg) {
    PMNG_CLIENT pClient = static_cast<PMNG_CLIENT>(pArg);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pClient->ThreadExitFd, &readable);
        // A closed peer keeps its socket readable: once the client is marked gone, only the
        // stop request is waited for, so the thread does not spin until the reap.
        const bool connected = pClient->IsConnect != 0;
        if (connected) FD_SET(pClient->Sock, &readable);
        const int maxFd = connected && pClient->Sock > pClient->ThreadExitFd ? pClient->Sock : pClient->ThreadExitFd;
        if (select(maxFd + 1, &readable, nullptr, nullptr, nullptr) <= 0) continue;
        if (FD_ISSET(pClient->ThreadExitFd, &readable)) break;
        if (connected && FD_ISSET(pClient->Sock, &readable) && !MngClientHandleRx(pClient)) pClient->IsConnect = 0;
    }
    return nullptr;
}

// Stops an unlinked client's thread, gives its index back and drops the list's reference;
// the socket closes with the last reference (a broadcast may still be sending on it).
void _FreeClient(_MNG_SERVER* pServer, PMNG_CLIENT pClient) {
    if (pClient->ThreadRunning) {
        const uint64_t one = 1;
        for (int attempt = 0; attempt < 3; ++attempt)
            if (write(pClient->ThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
        pthread_join(pClient->ThreadHd, nullptr);
        pthread_attr_destroy(&pClient->ThreadAttr);
        pClient->ThreadRunning = 0;
    }
    if (pClient->ThreadExitFd >= 0) close(pClient->ThreadExitFd);
    pClient->ThreadExitFd = -1;
    MngClientIndexFree(pServer, pClient->Index);
    MngClientRelease(pClient);
}

bool _Established(int sock) {
    struct tcp_info info {};
    socklen_t length = sizeof(info);
    return getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_ESTABLISHED;
}

// Unlinks (under ClientListMutex) every client that is gone or, with all set, every client;
// the records are freed after the unlink, so the broadcast never sees a record being freed.
void _Reap(_MNG_SERVER* pServer, bool all) {
    std::vector<PMNG_CLIENT> gone;
    {
        qor::MutexLock lock(&pServer->ClientListMutex);
        for (PDLIST p = pServer->ClientList.Flink; p != &pServer->ClientList;) {
            PDLIST next = p->Flink;
            PMNG_CLIENT pClient = FromEntry(p);
            if (!_Established(pClient->Sock)) pClient->IsConnect = 0;
            if (all || !pClient->IsConnect) {
                PemListRemoveEntry(p);
                --pServer->ClientAmount;
                gone.push_back(pClient);
            }
            p = next;
        }
    }
    for (PMNG_CLIENT pClient : gone) _FreeClient(pServer, pClient);
}

void _Accept(_MNG_SERVER* pServer) {
    struct sockaddr_in addr {};
    socklen_t length = sizeof(addr);
    const int s = accept4(pServer->Sock, reinterpret_cast<struct sockaddr*>(&addr), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0) return;
    std::unique_ptr<_MNG_CLIENT> pClient(new (std::nothrow) _MNG_CLIENT{});
    if (!pClient) {
        close(s);
        return;
    }
    pClient->RefCount.store(1);
    pClient->Sock = s;
    pClient->ThreadExitFd = -1;
    pClient->Addr = addr;
    pClient->Index = MngClientIndexAlloc(pServer);
    pClient->IsConnect = 1;
    pthread_mutex_init(&pClient->SendMutex, nullptr);
    PemTcpClientSockOptions(s);
    pClient->RxBuff = static_cast<uint8_t*>(calloc(kMngBuffSize, 1));
    pClient->TxBuff = static_cast<uint8_t*>(calloc(kMngBuffSize, 1));
    pClient->ThreadExitFd = eventfd(0, EFD_CLOEXEC);
    bool ok = pClient->RxBuff && pClient->TxBuff && pClient->ThreadExitFd >= 0 &&
              qor::ThreadAttrInit(&pClient->ThreadAttr) == 0;
    if (ok) {
        if (pthread_create(&pClient->ThreadHd, &pClient->ThreadAttr, _ClientThread, pClient.get()) == 0)
            pClient->ThreadRunning = 1;
        else {
            pthread_attr_destroy(&pClient->ThreadAttr);
            ok = false;
        }
    }
    if (!ok) {
        // Dropped silently: the server goes on with the clients it has.
        pClient->IsConnect = 0;
        _FreeClient(pServer, pClient.release());
        return;
    }
    qor::MutexLock lock(&pServer->ClientListMutex);
    PemListInsertTail(&pServer->ClientList, &pClient.release()->Entry);
    if (++pServer->ClientAmount >= kMngMaxClients) PemTcpCloseSock(&pServer->Sock);
}

void* _ListenThread(void* pArg) {
    _MNG_SERVER* pServer = static_cast<_MNG_SERVER*>(pArg);
    pthread_mutex_lock(&pServer->ThreadMutex);
    for (;;) {
        struct timespec deadline;
        PemSetTimeout(&deadline, kListenTurnMs);
        int rc = 0;
        while (!pServer->ExitRequested && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&pServer->ThreadCondExit, &pServer->ThreadMutex, &deadline);
        if (pServer->ExitRequested) break;
        int amount;
        {
            qor::MutexLock lock(&pServer->ClientListMutex);
            amount = pServer->ClientAmount;
        }
        if (amount > 0) _Reap(pServer, false);
        {
            qor::MutexLock lock(&pServer->ClientListMutex);
            amount = pServer->ClientAmount;
        }
        if (amount >= kMngMaxClients) continue;
        if (pServer->Sock < 0 && !PemTcpListenSockCreate(&pServer->Sock, pServer->TcpPort, "MNG S")) continue;
        _Accept(pServer);
    }
    pthread_mutex_unlock(&pServer->ThreadMutex);
    _Reap(pServer, true);
    PemTcpCloseSock(&pServer->Sock);
    if (pServer->ClientAmount != 0)
        PemDbg(1, 1, "MNG S (T:%d), client not delete all, pServer->ClientAmount:%d\n", pServer->TcpPort,
               pServer->ClientAmount);
    return nullptr;
}

void _BroadcastDisconnect(PVN_DEVICE pVn) { MngServerSentDisconnectEventToAllClient(&MngServer, pVn); }

}  // namespace

int MngNetlinkBridgeStarted() {
    return VnUnitServices.TtyBridgeStarted ? VnUnitServices.TtyBridgeStarted() : 0;
}

void MngClientRelease(PMNG_CLIENT pClient) {
    if (pClient->RefCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    PemTcpCloseSock(&pClient->Sock);
    free(pClient->RxBuff);
    free(pClient->TxBuff);
    pthread_mutex_destroy(&pClient->SendMutex);
    std::unique_ptr<_MNG_CLIENT> owned(pClient);
}

uint8_t MngClientIndexAlloc(_MNG_SERVER* pServer) {
    int index = 1;
    for (int probe = 0; probe < 65; ++probe) {
        if (!pServer->ClientIndexActive[index]) {
            pServer->ClientIndexActive[index] = 1;
            return static_cast<uint8_t>(index);
        }
        index = index >= kMngMaxClients ? 1 : index + 1;
    }
    PemDbg(1, 1, "MNG can't get available index\n");
    return static_cast<uint8_t>(index);
}

void MngClientIndexFree(_MNG_SERVER* pServer, uint8_t Index) {
    if (Index != 0 && Index < kMngClientSlots) pServer->ClientIndexActive[Index] = 0;
}

int MngServerStart(_MNG_SERVER* pServer) {
    if (pServer->Start) return 1;
    pServer->TcpPort = kMngTcpPort;
    pServer->Sock = -1;
    memset(pServer->ClientIndexActive, 0, sizeof(pServer->ClientIndexActive));
    pServer->ClientAmount = 0;
    pServer->ExitRequested = 0;
    PemListInit(&pServer->ClientList);
    if (pthread_mutex_init(&pServer->ThreadMutex, nullptr) != 0) return 0;
    if (pthread_cond_init(&pServer->ThreadCondExit, nullptr) != 0) {
        pthread_mutex_destroy(&pServer->ThreadMutex);
        return 0;
    }
    if (qor::ThreadAttrInit(&pServer->ThreadAttr) != 0) {
        pthread_cond_destroy(&pServer->ThreadCondExit);
        pthread_mutex_destroy(&pServer->ThreadMutex);
        return 0;
    }
    if (pthread_create(&pServer->ThreadHd, &pServer->ThreadAttr, _ListenThread, pServer) != 0) {
        pthread_attr_destroy(&pServer->ThreadAttr);
        pthread_cond_destroy(&pServer->ThreadCondExit);
        pthread_mutex_destroy(&pServer->ThreadMutex);
        return 0;
    }
    pServer->Start = 1;
    VnUnitServices.DisconnectEvent = _BroadcastDisconnect;
    return 1;
}

void MngServerStop(_MNG_SERVER* pServer) {
    if (!pServer->Start) return;
    {
        qor::MutexLock lock(&pServer->ThreadMutex);
        pServer->ExitRequested = 1;
        pthread_cond_signal(&pServer->ThreadCondExit);
    }
    pthread_join(pServer->ThreadHd, nullptr);
    pthread_attr_destroy(&pServer->ThreadAttr);
    pthread_cond_destroy(&pServer->ThreadCondExit);
    pthread_mutex_destroy(&pServer->ThreadMutex);
    // ClientListMutex stays valid (statically initialised): a keep-alive job may still
    // broadcast a lost unit until the units are freed, and finds an empty list then.
    pServer->Start = 0;
}
