#include "sio_server.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_tcp_server.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "vn_link_frame.h"
#include "vn_unit_services.h"

namespace {

constexpr unsigned kListenTurnMs = 10;

// The running servers, one per connected unit with SIO objects and a CTU port.
pthread_mutex_t gServersMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<std::shared_ptr<_SIO_SERVER>> gServers;

void* _ClientRxThread(void* pArg) {
    PSIO_CLIENT pClient = static_cast<PSIO_CLIENT>(pArg);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pClient->ThreadExitFd, &readable);
        // A closed peer keeps its socket readable: once the client is marked gone only the
        // stop request is waited for, so the thread does not spin until the listen thread
        // stops it.
        const bool connected = pClient->IsConnect != 0;
        if (connected) FD_SET(pClient->Sock, &readable);
        const int maxFd = connected ? std::max(pClient->Sock, pClient->ThreadExitFd) : pClient->ThreadExitFd;
        if (select(maxFd + 1, &readable, nullptr, nullptr, nullptr) <= 0) continue;
        if (FD_ISSET(pClient->ThreadExitFd, &readable)) break;
        if (connected && FD_ISSET(pClient->Sock, &readable) && !SioClientHandleRx(pClient))
            pClient->IsConnect = 0;
    }
    return nullptr;
}

bool _Established(int sock) {
    struct tcp_info info {};
    socklen_t length = sizeof(info);
    return getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == TCP_ESTABLISHED;
}

// Stops the client's receive thread and closes its socket; late responses of its commands
// find the socket closed (or another generation) and are not sent.
void _ClientStop(PSIO_SERVER pServer) {
    PSIO_CLIENT c = &pServer->Client;
    if (!c->IsAlive) return;
    const uint64_t one = 1;
    for (int attempt = 0; attempt < 3; ++attempt)
        if (write(c->ThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
    pthread_join(c->ThreadHd, nullptr);
    pthread_attr_destroy(&c->ThreadAttr);
    c->RxBuff.reset();
    c->TxTlpBuff.reset();
    close(c->ThreadExitFd);
    c->ThreadExitFd = -1;
    {
        qor::MutexLock lock(&c->TxMutex);
        PemTcpCloseSock(&c->Sock);
        ++c->Generation;
    }
    --pServer->ClientAmount;
    c->IsAlive = 0;
    c->IsConnect = 0;
}

void _Accept(PSIO_SERVER pServer) {
    struct sockaddr_in addr {};
    socklen_t length = sizeof(addr);
    const int s = accept4(pServer->Sock, reinterpret_cast<struct sockaddr*>(&addr), &length,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0) return;
    PSIO_CLIENT c = &pServer->Client;
    if (c->IsAlive) {
        close(s);
        return;
    }
    PemTcpClientSockOptions(s);
    {
        qor::MutexLock lock(&c->TxMutex);
        c->Sock = s;
        ++c->Generation;
    }
    c->IsAlive = 1;
    c->IsConnect = 1;
    c->Addr = addr;
    c->VnDevicePtr = pServer->VnDevicePtr;
    c->Server = pServer;
    c->RxBuff.reset(new (std::nothrow) uint8_t[kSioRxBuffSize]());
    c->TxTlpBuff.reset(new (std::nothrow) uint8_t[kTlpMaxOutLength]());
    c->ThreadExitFd = eventfd(0, EFD_CLOEXEC);
    bool ok = c->RxBuff && c->TxTlpBuff && c->ThreadExitFd >= 0 && qor::ThreadAttrInit(&c->ThreadAttr) == 0;
    if (ok && pthread_create(&c->ThreadHd, &c->ThreadAttr, _ClientRxThread, c) != 0) {
        pthread_attr_destroy(&c->ThreadAttr);
        ok = false;
    }
    if (!ok) {
        c->RxBuff.reset();
        c->TxTlpBuff.reset();
        if (c->ThreadExitFd >= 0) close(c->ThreadExitFd);
        c->ThreadExitFd = -1;
        {
            qor::MutexLock lock(&c->TxMutex);
            PemTcpCloseSock(&c->Sock);
        }
        c->IsAlive = 0;
        c->IsConnect = 0;
        return;
    }
    ++pServer->ClientAmount;
    // While a client is served nobody else can connect; the socket comes back when it leaves.
    PemTcpCloseSock(&pServer->Sock);
}

void* _ListenThread(void* pArg) {
    PSIO_SERVER pServer = static_cast<PSIO_SERVER>(pArg);
    const char* lastFailure = nullptr;
    pthread_mutex_lock(&pServer->ThreadMutex);
    for (;;) {
        struct timespec deadline;
        PemSetTimeout(&deadline, kListenTurnMs);
        int rc = 0;
        while (!pServer->ExitRequested && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&pServer->ThreadCondExit, &pServer->ThreadMutex, &deadline);
        if (pServer->ExitRequested) break;
        if (pServer->ClientAmount > 0) {
            PSIO_CLIENT c = &pServer->Client;
            if (!_Established(c->Sock)) c->IsConnect = 0;
            if (c->IsAlive && !c->IsConnect) _ClientStop(pServer);
        }
        if (pServer->ClientAmount >= 1) continue;
        if (pServer->Sock < 0 && !PemTcpListenSockCreate(&pServer->Sock, pServer->TcpPort, "SIO S", &lastFailure)) continue;
        _Accept(pServer);
    }
    pthread_mutex_unlock(&pServer->ThreadMutex);
    _ClientStop(pServer);
    PemTcpCloseSock(&pServer->Sock);
    return nullptr;
}

int _HookStart(PVN_DEVICE pVn, uint32_t CtuTcpPort) {
    if (SioServerGet(pVn)) return 1;
    std::shared_ptr<_SIO_SERVER> s;
    try {
        s = std::make_shared<_SIO_SERVER>();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!SioServerStart(s.get(), pVn, CtuTcpPort)) return 0;
    qor::MutexLock lock(&gServersMutex);
    gServers.push_back(std::move(s));
    return 1;
}

void _HookStop(PVN_DEVICE pVn) {
    std::shared_ptr<_SIO_SERVER> s;
    {
        qor::MutexLock lock(&gServersMutex);
        auto it = std::find_if(gServers.begin(), gServers.end(),
                               [&](const std::shared_ptr<_SIO_SERVER>& x) { return x->VnDevicePtr == pVn; });
        if (it == gServers.end()) return;
        s = std::move(*it);
        gServers.erase(it);
    }
    SioServerStop(s.get());
}

uint32_t _HookTcpPort(PVN_DEVICE pVn) {
    std::shared_ptr<_SIO_SERVER> s = SioServerGet(pVn);
    return s ? static_cast<uint32_t>(s->TcpPort) : 0;
}

}  // namespace

_SIO_SERVER::~_SIO_SERVER() {
    SioServerStop(this);
}

int SioServerStart(PSIO_SERVER pServer, PVN_DEVICE pVn, uint32_t CtuTcpPort) {
    if (pServer->Start) return 1;
    pServer->VnDevicePtr = pVn;
    pServer->TcpPort = static_cast<int>(CtuTcpPort) + kSioTcpPortOffset;
    pServer->Sock = -1;
    pServer->ClientAmount = 0;
    pServer->ExitRequested = 0;
    PSIO_CLIENT c = &pServer->Client;
    c->IsAlive = 0;
    c->IsConnect = 0;
    c->Sock = -1;
    c->ThreadExitFd = -1;
    c->ServerTcpPort = pServer->TcpPort;
    c->VnDevicePtr = pVn;
    c->Server = pServer;
    if (qor::ThreadAttrInit(&pServer->ThreadAttr) != 0) {
        pServer->TcpPort = 0;
        return 0;
    }
    // Listening before the connect is answered lets a client connect to the port the answer
    // names at once; a failure here is retried by the listen thread.
    PemTcpListenSockCreate(&pServer->Sock, pServer->TcpPort, "SIO S");
    if (pthread_create(&pServer->ThreadHd, &pServer->ThreadAttr, _ListenThread, pServer) != 0) {
        PemTcpCloseSock(&pServer->Sock);
        pthread_attr_destroy(&pServer->ThreadAttr);
        pServer->TcpPort = 0;
        return 0;
    }
    pServer->Start = 1;
    return 1;
}

void SioServerStop(PSIO_SERVER pServer) {
    if (!pServer->Start) return;
    {
        qor::MutexLock lock(&pServer->ThreadMutex);
        pServer->ExitRequested = 1;
        pthread_cond_signal(&pServer->ThreadCondExit);
    }
    pthread_join(pServer->ThreadHd, nullptr);
    pthread_attr_destroy(&pServer->ThreadAttr);
    pServer->TcpPort = 0;
    pServer->Start = 0;
}

std::shared_ptr<_SIO_SERVER> SioServerGet(PVN_DEVICE pVn) {
    qor::MutexLock lock(&gServersMutex);
    for (const auto& s : gServers)
        if (s->VnDevicePtr == pVn) return s;
    return nullptr;
}

void SioServerRegister() {
    VnUnitServices.SioServerStart = _HookStart;
    VnUnitServices.SioServerStop = _HookStop;
    VnUnitServices.SioGetTcpPort = _HookTcpPort;
}

void SioServerUnregister() {
    VnUnitServices.SioGetTcpPort = nullptr;
    VnUnitServices.SioServerStop = nullptr;
    VnUnitServices.SioServerStart = nullptr;
}
