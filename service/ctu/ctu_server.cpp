#include "ctu_server.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "ctu_obj.h"
#include "ctu_protocol.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_tcp_server.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"

// The port pool (the start-up clears it and creates its mutex).
int CtuTcpPortActive[256] = {};
pthread_mutex_t CtuTcpPortMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr int kPoolIndices = 255;
constexpr unsigned kListenTurnMs = 10;
constexpr int kMaxFailedCalls = 1025;

// The running servers, one per connected unit with a control-unit channel.
pthread_mutex_t gServersMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<std::shared_ptr<_CTU_SERVER>> gServers;

void* _ClientRxThread(void* pArg) {
    PCTU_CLIENT pClient = static_cast<PCTU_CLIENT>(pArg);
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
        if (connected && FD_ISSET(pClient->Sock, &readable) && !CtuClientHandleRx(pClient))
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
void _ClientStop(PCTU_SERVER pServer) {
    PCTU_CLIENT c = &pServer->Client;
    if (!c->IsAlive) return;
    c->Stopping = 1;
    const uint64_t one = 1;
    for (int attempt = 0; attempt < 3; ++attempt)
        if (write(c->ThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
    pthread_join(c->ThreadHd, nullptr);
    pthread_attr_destroy(&c->ThreadAttr);
    c->RxBuff.reset();
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

void _Accept(PCTU_SERVER pServer) {
    struct sockaddr_in addr {};
    socklen_t length = sizeof(addr);
    const int s = accept4(pServer->Sock, reinterpret_cast<struct sockaddr*>(&addr), &length,
                          SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (s < 0) return;
    PCTU_CLIENT c = &pServer->Client;
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
    c->Stopping = 0;
    c->Addr = addr;
    c->VnDevicePtr = pServer->VnDevicePtr;
    c->Server = pServer;
    c->RxBuff.reset(new (std::nothrow) uint8_t[kCtuRxBuffSize]());
    c->ThreadExitFd = eventfd(0, EFD_CLOEXEC);
    bool ok = c->RxBuff && c->ThreadExitFd >= 0 && qor::ThreadAttrInit(&c->ThreadAttr) == 0;
    if (ok && pthread_create(&c->ThreadHd, &c->ThreadAttr, _ClientRxThread, c) != 0) {
        pthread_attr_destroy(&c->ThreadAttr);
        ok = false;
    }
    if (!ok) {
        c->RxBuff.reset();
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
    PCTU_SERVER pServer = static_cast<PCTU_SERVER>(pArg);
    pthread_mutex_lock(&pServer->ThreadMutex);
    for (;;) {
        struct timespec deadline;
        PemSetTimeout(&deadline, kListenTurnMs);
        int rc = 0;
        while (!pServer->ExitRequested && rc != ETIMEDOUT)
            rc = pthread_cond_timedwait(&pServer->ThreadCondExit, &pServer->ThreadMutex, &deadline);
        if (pServer->ExitRequested) break;
        if (pServer->ClientAmount > 0) {
            PCTU_CLIENT c = &pServer->Client;
            if (!_Established(c->Sock)) c->IsConnect = 0;
            if (c->IsAlive && !c->IsConnect) _ClientStop(pServer);
        }
        if (pServer->ClientAmount >= 1) continue;
        if (pServer->Sock < 0 && !PemTcpListenSockCreate(&pServer->Sock, pServer->TcpPort, "CTU S")) continue;
        _Accept(pServer);
    }
    pthread_mutex_unlock(&pServer->ThreadMutex);
    _ClientStop(pServer);
    PemTcpCloseSock(&pServer->Sock);
    return nullptr;
}

void _Dump(const uint8_t* p, size_t Length, bool incoming) {
    const _CTU_HEADER h = CtuHeaderDecode(p);
    const size_t payload = std::min<size_t>(h.Length & 0xFFFF, Length - kCtuHeaderLength);
    const char* line = incoming ? "RRRRRRRRRRRRRRRRRRRRRRRRRRRRRRR" : "TTTTTTTTTTTTTTTTTTTTTTTTTTTTTTT";
    qor::MutexLock lock(&DbgLock);
    PemDbg(0, 0, "%s, Length:%d\n", line, static_cast<int>(Length));
    PemDbg(0, 0, "CmdResponseEventData : %s\n", CtuCodeName(h.CmdResponseEventData));
    PemDbg(0, 0, "ResponseStatus       : x%04x\n", h.ResponseStatus);
    PemDbg(0, 0, "Length               : x%08x, %d\n", h.Length, static_cast<int>(h.Length));
    if (h.Length != 0) PemDumpBytes(p + kCtuHeaderLength, payload);
    PemDbg(0, 0, "%s\n", line);
}

int _Tx(PCTU_CLIENT pClient, const uint32_t* pGeneration, const uint8_t* p, size_t total) {
    if (total < 1) return 0;
    if (total > CTU_MSG_MAX_PAYLOAD) {
        PemDbg(1, 1, "CTU C (T:%d), TX, TotalLengthNeedTx:%d, CTU_MSG_MAX_PAYLOAD:%d, !!!!! TOO BIG !!!!!\n",
               pClient->ServerTcpPort, static_cast<int>(total), static_cast<int>(CTU_MSG_MAX_PAYLOAD));
        return -1;
    }
    qor::MutexLock lock(&pClient->TxMutex);
    if (pClient->Sock < 0 || (pGeneration && *pGeneration != pClient->Generation)) return -2;
    if (DbgCtuIpcProtocol && total >= kCtuHeaderLength) _Dump(p, total, false);
    size_t sent = 0;
    int failed = 0;
    ssize_t rc = 0;
    while (sent < total) {
        rc = send(pClient->Sock, p + sent, total - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (rc > 0) {
            sent += static_cast<size_t>(rc);
            continue;
        }
        if (++failed >= kMaxFailedCalls) {
            PemDbg(1, 1, "CTU C (T:%d), conti tx, touch trycnt, TxReturn:%d, TotalLengthTx:%d, Remain:%d\n",
                   pClient->ServerTcpPort, static_cast<int>(rc), static_cast<int>(sent),
                   static_cast<int>(total - sent));
            return -2;
        }
        if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -2;
        struct pollfd pfd = {pClient->Sock, POLLOUT, 0};
        poll(&pfd, 1, 1);
    }
    return static_cast<int>(sent);
}

// Receives until Want bytes are in pBuff (from Have on), giving up after kMaxFailedCalls
// calls that brought nothing. Returns the bytes present; *pClosed when the peer closed.
size_t _RecvUpTo(int sock, uint8_t* pBuff, size_t Have, size_t Want, bool* pClosed, int port) {
    int failed = 0;
    ssize_t rc = 0;
    while (Have < Want) {
        rc = recv(sock, pBuff + Have, Want - Have, 0);
        if (rc > 0) {
            Have += static_cast<size_t>(rc);
            continue;
        }
        if (rc == 0) {
            *pClosed = true;
            break;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            *pClosed = true;
            break;
        }
        if (++failed >= kMaxFailedCalls) {
            PemDbg(1, 1, "CTU C (T:%d), conti rx, touch trycnt, RxReturn:%d, TotalLengthRx:%d, Remain:%d\n",
                   port, static_cast<int>(rc), static_cast<int>(Have), static_cast<int>(Want - Have));
            break;
        }
        // Each empty call waits up to 1 ms, so a packet split over segments is taken whole.
        struct pollfd pfd = {sock, POLLIN, 0};
        poll(&pfd, 1, 1);
    }
    return Have;
}

int _HookStart(PVN_DEVICE pVn, uint32_t* pTcpPort) {
    std::shared_ptr<_CTU_SERVER> s = CtuServerGet(pVn);
    if (s) {
        *pTcpPort = static_cast<uint32_t>(s->TcpPort.load());
        return 1;
    }
    try {
        s = std::make_shared<_CTU_SERVER>();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!CtuServerStart(s.get(), pVn, pTcpPort)) return 0;
    qor::MutexLock lock(&gServersMutex);
    gServers.push_back(std::move(s));
    return 1;
}

void _HookStop(PVN_DEVICE pVn) {
    std::shared_ptr<_CTU_SERVER> s;
    {
        qor::MutexLock lock(&gServersMutex);
        auto it = std::find_if(gServers.begin(), gServers.end(),
                               [&](const std::shared_ptr<_CTU_SERVER>& x) { return x->VnDevicePtr == pVn; });
        if (it == gServers.end()) return;
        s = std::move(*it);
        gServers.erase(it);
    }
    CtuServerStop(s.get());
}

void _HookGetTcpPorts(PVN_DEVICE pVn, uint32_t* pCtuTcpPort, uint32_t*) {
    std::shared_ptr<_CTU_SERVER> s = CtuServerGet(pVn);
    *pCtuTcpPort = s ? static_cast<uint32_t>(s->TcpPort.load()) : 0;
}

}  // namespace

_CTU_SERVER::~_CTU_SERVER() {
    CtuServerStop(this);
}

int CtuTcpPortTake() {
    qor::MutexLock lock(&CtuTcpPortMutex);
    for (int i = 1; i <= kPoolIndices; ++i) {
        if (!CtuTcpPortActive[i]) {
            CtuTcpPortActive[i] = 1;
            return kCtuTcpPortBase + i;
        }
    }
    PemDbg(1, 1, "CTU can't get available tcp port\n");
    return 0;
}

void CtuTcpPortFree(int TcpPort) {
    const int index = TcpPort - kCtuTcpPortBase;
    if (index < 1 || index > kPoolIndices) return;
    qor::MutexLock lock(&CtuTcpPortMutex);
    CtuTcpPortActive[index] = 0;
}

int CtuServerStart(PCTU_SERVER pServer, PVN_DEVICE pVn, uint32_t* pTcpPort) {
    if (pServer->Start) return 1;
    pServer->VnDevicePtr = pVn;
    pServer->Sock = -1;
    pServer->ClientAmount = 0;
    pServer->ExitRequested = 0;
    pServer->Client.IsAlive = 0;
    pServer->Client.IsConnect = 0;
    pServer->Client.Sock = -1;
    pServer->Client.ThreadExitFd = -1;
    pServer->Client.VnDevicePtr = pVn;
    pServer->Client.Server = pServer;
    // An exhausted pool refuses the server: sharing a port with another unit's server would
    // hand one unit's configuration to the other's clients.
    pServer->TcpPort = CtuTcpPortTake();
    if (pServer->TcpPort == 0) return 0;
    pServer->Client.ServerTcpPort = pServer->TcpPort;
    if (qor::ThreadAttrInit(&pServer->ThreadAttr) != 0) {
        CtuTcpPortFree(pServer->TcpPort);
        pServer->TcpPort = 0;
        return 0;
    }
    // Listening before the connect is answered lets a client connect to the port the answer
    // names at once; a failure here is retried by the listen thread.
    PemTcpListenSockCreate(&pServer->Sock, pServer->TcpPort, "CTU S");
    if (pthread_create(&pServer->ThreadHd, &pServer->ThreadAttr, _ListenThread, pServer) != 0) {
        PemTcpCloseSock(&pServer->Sock);
        pthread_attr_destroy(&pServer->ThreadAttr);
        CtuTcpPortFree(pServer->TcpPort);
        pServer->TcpPort = 0;
        return 0;
    }
    pServer->Start = 1;
    *pTcpPort = static_cast<uint32_t>(pServer->TcpPort.load());
    return 1;
}

void CtuServerStop(PCTU_SERVER pServer) {
    if (!pServer->Start) return;
    {
        qor::MutexLock lock(&pServer->ThreadMutex);
        pServer->ExitRequested = 1;
        pthread_cond_signal(&pServer->ThreadCondExit);
    }
    pthread_join(pServer->ThreadHd, nullptr);
    pthread_attr_destroy(&pServer->ThreadAttr);
    CtuTcpPortFree(pServer->TcpPort);
    pServer->TcpPort = 0;
    pServer->Start = 0;
}

std::shared_ptr<_CTU_SERVER> CtuServerGet(PVN_DEVICE pVn) {
    qor::MutexLock lock(&gServersMutex);
    for (const auto& s : gServers)
        if (s->VnDevicePtr == pVn) return s;
    return nullptr;
}

int CtuClientTx(PCTU_CLIENT pClient, const uint8_t* pPacket, size_t Length) {
    return _Tx(pClient, nullptr, pPacket, Length);
}

int CtuClientTxTo(PCTU_CLIENT pClient, uint32_t Generation, const uint8_t* pPacket, size_t Length) {
    return _Tx(pClient, &Generation, pPacket, Length);
}

int CtuClientHandleRx(PCTU_CLIENT pClient) {
    uint8_t* buff = pClient->RxBuff.get();
    const int port = pClient->ServerTcpPort;
    memset(buff, 0, kCtuRxBuffSize);
    bool closed = false;
    // A header split over segments is waited for like the rest of a packet; one that does
    // not arrive whole is dropped.
    size_t have = _RecvUpTo(pClient->Sock, buff, 0, kCtuHeaderLength, &closed, port);
    if (have < kCtuHeaderLength) return closed ? 0 : 1;
    const _CTU_HEADER hdr = CtuHeaderDecode(buff);
    const uint64_t total = uint64_t{hdr.Length} + kCtuHeaderLength;
    if (total > CTU_MSG_MAX_PAYLOAD)
        PemDbg(1, 1, "CTU C (T:%d), RX, TotalLengthNeedRx:%d, CTU_MSG_MAX_PAYLOAD:%d, !!!!! TOO BIG !!!!!\n",
               port, static_cast<int>(std::min<uint64_t>(total, INT32_MAX)),
               static_cast<int>(CTU_MSG_MAX_PAYLOAD));
    // A packet that cannot fit the receive buffer is no command of this protocol; the stream
    // behind it cannot be trusted to start with a header, so the connection is closed.
    if (total > kCtuRxBuffSize) return 0;
    have = _RecvUpTo(pClient->Sock, buff, have, static_cast<size_t>(total), &closed, port);
    if (DbgCtuIpcProtocol) _Dump(buff, have, true);
    while (pClient->InFlight.load() >= kCtuMaxInFlight && !pClient->Stopping.load()) usleep(1000);
    // Handled with the bytes that arrived; the rest of the buffer is zero.
    CtuHandleFromLibrary(pClient, buff, have);
    return closed ? 0 : 1;
}

void CtuServiceRegister() {
    VnUnitServices.Families[DIB_TYPE_CTU] = &CtuChannelFamily;
    VnUnitServices.CtuServerStart = _HookStart;
    VnUnitServices.CtuServerStop = _HookStop;
    VnUnitServices.GetTcpPorts = _HookGetTcpPorts;
    VnTlpConsumers[DIB_TYPE_CTU] = &CtuTlpConsumer;
}

void CtuServiceUnregister() {
    VnTlpConsumers[DIB_TYPE_CTU] = nullptr;
    VnUnitServices.GetTcpPorts = nullptr;
    VnUnitServices.CtuServerStop = nullptr;
    VnUnitServices.CtuServerStart = nullptr;
    VnUnitServices.Families[DIB_TYPE_CTU] = nullptr;
}
