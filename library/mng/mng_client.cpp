#include "mng_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pem_lock.h"
#include "pem_thread.h"
#include "qor_wire.h"
#include "qorio.h"

namespace qorlib {

namespace {

_MNG_CLIENT gClient;
pthread_mutex_t gVersionMutex = PTHREAD_MUTEX_INITIALIZER;
_LIB_VERSIONS gVersions{};

// Set on the receive thread, which must not make requests (it reads their answers).
thread_local bool tIsRxThread = false;

enum class _RxResult { Done, Closed, Exit };

// Waits until the socket has data or the exit eventfd is set.
_RxResult _WaitReadable(int Sock) {
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(gClient.RxThreadExitFd, &set);
        FD_SET(Sock, &set);
        const int n = select((Sock > gClient.RxThreadExitFd ? Sock : gClient.RxThreadExitFd) + 1, &set,
                             nullptr, nullptr, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return _RxResult::Closed;
        }
        if (FD_ISSET(gClient.RxThreadExitFd, &set)) return _RxResult::Exit;
        if (FD_ISSET(Sock, &set)) return _RxResult::Done;
    }
}

// Reads exactly Length bytes; a null pBuff drops them. Gives up after 1025 failed reads.
_RxResult _ReadExact(int Sock, uint8_t* pBuff, size_t Length) {
    uint8_t scratch[512];
    size_t done = 0;
    int failures = 0;
    while (done < Length) {
        const _RxResult w = _WaitReadable(Sock);
        if (w != _RxResult::Done) return w;
        size_t want = Length - done;
        uint8_t* dst = pBuff ? pBuff + done : scratch;
        if (!pBuff && want > sizeof(scratch)) want = sizeof(scratch);
        const ssize_t n = recv(Sock, dst, want, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return _RxResult::Closed;  // the service closed the connection
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return _RxResult::Closed;
        if (++failures >= kMngTryCount) return _RxResult::Closed;
    }
    return _RxResult::Done;
}

// Hands a whole response to the request that waits for exactly this code; any other (a late
// answer to a request that timed out, or a foreign one) is dropped.
void _CompleteCmd(const uint8_t* pPacket, size_t Length) {
    qor::MutexLock lock(&gClient.CmdCompleteMutex);
    const uint16_t code = qor::GetLe16(pPacket + 4);
    if (gClient.CmdWaiting == 0 || gClient.CmdComplete || code != gClient.CmdWaiting) return;
    memcpy(gClient.RxBuff.data(), pPacket, Length);
    gClient.RxLength = Length;
    gClient.CmdComplete = 1;
    pthread_cond_broadcast(&gClient.CmdCompleteCond);
}

void _HandleEvent(const uint8_t* pPacket, size_t Stored) {
    const _MNG_HEADER h = MngHeaderGet(pPacket);
    if (h.Version != kMngVersion || h.CmdResponseEvent != EVENT_VN_DISCONNECT || h.Length != 6 ||
        Stored < kMngHeaderLength + 6) {
        return;
    }
    uint8_t mac[6];
    memcpy(mac, pPacket + kMngHeaderLength, sizeof(mac));
    VnConnectHandleDisconnect(mac);
}

void* _RxThread(void* pArg) {
    const int sock = static_cast<int>(reinterpret_cast<intptr_t>(pArg));
    tIsRxThread = true;
    uint8_t* packet = gClient.RxPacket.data();
    bool closed = false;
    for (;;) {
        memset(packet, 0, kMngHeaderLength);
        _RxResult r = _ReadExact(sock, packet, kMngHeaderLength);
        if (r != _RxResult::Done) {
            closed = r == _RxResult::Closed;
            break;
        }
        const _MNG_HEADER h = MngHeaderGet(packet);
        // Whatever the header claims, at most the buffer is kept; the rest is read and dropped
        // so the next packet starts where it should.
        const size_t room = kMngBuffSize - kMngHeaderLength;
        const size_t keep = h.Length < room ? h.Length : room;
        r = _ReadExact(sock, packet + kMngHeaderLength, keep);
        if (r == _RxResult::Done && h.Length > keep) r = _ReadExact(sock, nullptr, h.Length - keep);
        if (r != _RxResult::Done) {
            closed = r == _RxResult::Closed;
            break;
        }
        const size_t stored = kMngHeaderLength + keep;
        if (h.CmdResponseEvent & MNG_RESPONSE_FLAG) {
            _CompleteCmd(packet, stored);
        } else if (h.CmdResponseEvent & MNG_EVENT_FLAG) {
            _HandleEvent(packet, stored);
        }
    }
    // The service went away (or the thread is being stopped): calls fail at once instead of
    // waiting for an answer no one will read.
    if (closed) gClient.IsConnect = 0;
    qor::MutexLock lock(&gClient.CmdCompleteMutex);
    gClient.RxAlive = 0;
    pthread_cond_broadcast(&gClient.CmdCompleteCond);
    return nullptr;
}

// Starts the receive thread on Sock; called with RequestMutex held.
bool _RxThreadCreate(int Sock) {
    gClient.RxThreadExitFd = eventfd(0, EFD_CLOEXEC);
    if (gClient.RxThreadExitFd < 0) return false;
    {
        qor::MutexLock lock(&gClient.CmdCompleteMutex);
        gClient.RxAlive = 1;
    }
    const bool attrReady = qor::ThreadAttrInit(&gClient.RxThreadAttr) == 0;
    if (!attrReady || pthread_create(&gClient.RxThreadHd, &gClient.RxThreadAttr, _RxThread,
                                     reinterpret_cast<void*>(static_cast<intptr_t>(Sock))) != 0) {
        if (attrReady) pthread_attr_destroy(&gClient.RxThreadAttr);
        close(gClient.RxThreadExitFd);
        gClient.RxThreadExitFd = -1;
        qor::MutexLock lock(&gClient.CmdCompleteMutex);
        gClient.RxAlive = 0;
        return false;
    }
    gClient.RxThreadRunning = true;
    return true;
}

// Stops and joins the receive thread; called with RequestMutex held.
void _RxThreadDelete() {
    if (!gClient.RxThreadRunning) return;
    const uint64_t one = 1;
    for (int i = 0; i < 3; ++i) {
        if (write(gClient.RxThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
    }
    pthread_join(gClient.RxThreadHd, nullptr);
    pthread_attr_destroy(&gClient.RxThreadAttr);
    close(gClient.RxThreadExitFd);
    gClient.RxThreadExitFd = -1;
    gClient.RxThreadRunning = false;
}

// Ends the current connection: the old receive thread is stopped and joined before the
// socket closes, so no thread ever reads a closed (or reused) descriptor.
void _Disconnect() {
    qor::MutexLock lock(&gClient.RequestMutex);
    gClient.IsConnect = 0;
    _RxThreadDelete();
    const int sock = gClient.Sock.exchange(-1);
    if (sock >= 0) close(sock);
}

// Opens a new connection and its receive thread; true when both are up.
bool _Connect() {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    const int flags = fcntl(sock, F_GETFL, 0);
    if (flags >= 0) fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (connect(sock, reinterpret_cast<const sockaddr*>(&gClient.ServerAddr), sizeof(gClient.ServerAddr)) != 0) {
        close(sock);
        return false;
    }
    {
        qor::MutexLock lock(&gClient.RequestMutex);
        if (!_RxThreadCreate(sock)) {
            close(sock);
            return false;
        }
        gClient.Sock = sock;
        gClient.IsConnect = 1;
    }
    gClient.EverConnected = true;
    // A restarted service may run another version or driver state: ask on every connect.
    MngClientFetchVersions();
    return true;
}

void* _AliveThread(void*) {
    unsigned int tick = 0;
    for (;;) {
        if (!gClient.EverConnected) {
            _Connect();  // every tick until the first connection
        } else if (++tick % kAliveCheckTicks == 0 && !MngClientConnectionEstablished()) {
            _Disconnect();
            _Connect();  // a failed attempt is retried at the next check
        }
        qor::MutexLock lock(&gClient.AliveMutex);
        if (!gClient.FirstAttemptDone) {
            gClient.FirstAttemptDone = true;
            pthread_cond_broadcast(&gClient.AliveCond);
        }
        if (gClient.AliveStop) break;
        struct timespec deadline {};
        PemSetTimeout(&deadline, kAliveTickMs);
        pthread_cond_timedwait(&gClient.AliveCond, &gClient.AliveMutex, &deadline);
        if (gClient.AliveStop) break;
    }
    return nullptr;
}

}  // namespace

void MngHeaderPut(const _MNG_HEADER& Header, uint8_t* p) {
    p[0] = Header.Version;
    p[1] = p[2] = p[3] = 0;
    qor::PutLe16(p + 4, Header.CmdResponseEvent);
    qor::PutLe16(p + 6, Header.ResponseStatus);
    qor::PutLe32(p + 8, Header.Length);
}

_MNG_HEADER MngHeaderGet(const uint8_t* p) {
    _MNG_HEADER h{};
    h.Version = p[0];
    h.CmdResponseEvent = qor::GetLe16(p + 4);
    h.ResponseStatus = qor::GetLe16(p + 6);
    h.Length = qor::GetLe32(p + 8);
    return h;
}

_MNG_CLIENT& MngClient() { return gClient; }

bool MngClientOnReceiveThread() { return tIsRxThread; }

int MngClientStart() {
    if (gClient.AliveThreadRunning) return 0;
    gClient.ServerAddr = {};
    gClient.ServerAddr.sin_family = AF_INET;
    gClient.ServerAddr.sin_port = htons(kMngTcpPort);
    gClient.ServerAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    gClient.EverConnected = false;
    gClient.AliveStop = false;
    gClient.FirstAttemptDone = false;
    if (qor::ThreadAttrInit(&gClient.AliveThreadAttr) != 0) return VN_ERR_THREAD;
    if (pthread_create(&gClient.AliveThreadHd, &gClient.AliveThreadAttr, _AliveThread, nullptr) != 0) {
        pthread_attr_destroy(&gClient.AliveThreadAttr);
        return VN_ERR_THREAD;
    }
    gClient.AliveThreadRunning = true;
    // The first attempt is made at once; waiting for it (instead of a fixed pause) lets a
    // caller use the library right after init when the service is up.
    qor::MutexLock lock(&gClient.AliveMutex);
    struct timespec deadline {};
    PemSetTimeout(&deadline, 2000);
    while (!gClient.FirstAttemptDone) {
        if (pthread_cond_timedwait(&gClient.AliveCond, &gClient.AliveMutex, &deadline) == ETIMEDOUT) break;
    }
    return 0;
}

void MngClientStop() {
    if (gClient.AliveThreadRunning) {
        {
            qor::MutexLock lock(&gClient.AliveMutex);
            gClient.AliveStop = true;
            pthread_cond_broadcast(&gClient.AliveCond);
        }
        pthread_join(gClient.AliveThreadHd, nullptr);
        pthread_attr_destroy(&gClient.AliveThreadAttr);
        gClient.AliveThreadRunning = false;
    }
    _Disconnect();
}

int MngClientConnectionEstablished() {
    const int sock = gClient.Sock;
    if (sock < 0 || !gClient.IsConnect) return 0;
    struct tcp_info info {};
    socklen_t len = sizeof(info);
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
    return info.tcpi_state == TCP_ESTABLISHED ? 1 : 0;
}

MngExchange::MngExchange() {
    // The receive thread runs the disconnect callbacks; a request from there could never see
    // its answer (the same thread reads it), so it is refused instead of blocking callers.
    if (tIsRxThread) return;
    pthread_mutex_lock(&gClient.RequestMutex);
    locked_ = true;
}

MngExchange::~MngExchange() {
    if (locked_) pthread_mutex_unlock(&gClient.RequestMutex);
}

int MngExchange::RequestAnyStatus(uint16_t Cmd, const uint8_t* pPayload, size_t Length) {
    Response = {};
    if (!locked_) return VN_ERR_SEND;
    const int sock = gClient.Sock;
    if (!gClient.IsConnect || sock < 0) return VN_ERR_NOT_CONNECTED;
    if (Length > kMngBuffSize - kMngHeaderLength) return VN_ERR_SEND;
    uint8_t* tx = gClient.TxBuff.data();
    memset(tx, 0, kMngBuffSize);
    MngHeaderPut(_MNG_HEADER{kMngVersion, Cmd, 0, static_cast<uint32_t>(Length)}, tx);
    if (Length > 0) memcpy(tx + kMngHeaderLength, pPayload, Length);
    {
        qor::MutexLock lock(&gClient.CmdCompleteMutex);
        if (!gClient.RxAlive) return VN_ERR_NOT_CONNECTED;
        memset(gClient.RxBuff.data(), 0, kMngBuffSize);
        gClient.RxLength = 0;
        gClient.CmdComplete = 0;
        gClient.CmdWaiting = static_cast<uint16_t>(MNG_RESPONSE_FLAG | Cmd);
    }
    // Sent without CmdCompleteMutex: an answer that arrives before the wait is kept by the
    // CmdComplete flag.
    size_t sent = 0;
    int failures = 0;
    const size_t total = kMngHeaderLength + Length;
    while (sent < total) {
        // MSG_NOSIGNAL: a service that went away must not end the application with SIGPIPE.
        const ssize_t n = send(sock, tx + sent, total - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if ((n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) || ++failures >= kMngTryCount) {
            qor::MutexLock lock(&gClient.CmdCompleteMutex);
            gClient.CmdWaiting = 0;
            return VN_ERR_SEND;
        }
    }
    qor::MutexLock lock(&gClient.CmdCompleteMutex);
    struct timespec deadline {};
    PemSetTimeout(&deadline, kMngCmdTimeoutMs);
    while (!gClient.CmdComplete && gClient.RxAlive) {
        if (pthread_cond_timedwait(&gClient.CmdCompleteCond, &gClient.CmdCompleteMutex, &deadline) == ETIMEDOUT) {
            break;
        }
    }
    gClient.CmdWaiting = 0;
    if (!gClient.CmdComplete) {
        if (!gClient.RxAlive) return VN_ERR_NOT_CONNECTED;
        // The answer may still come and would then stand in the stream ahead of the next
        // request's answer, with the same code. Ending the connection makes sure it is never
        // taken for another request; the alive thread connects again.
        shutdown(sock, SHUT_RDWR);
        return VN_ERR_TIMEOUT;
    }
    const uint8_t* rx = gClient.RxBuff.data();
    Response.Header = MngHeaderGet(rx);
    Response.Payload = rx + kMngHeaderLength;
    const size_t held = gClient.RxLength - kMngHeaderLength;
    Response.PayloadLength = Response.Header.Length < held ? Response.Header.Length : held;
    if (Response.Header.Version != kMngVersion) return VN_ERR_VERSION;
    return 0;
}

int MngExchange::Request(uint16_t Cmd, const uint8_t* pPayload, size_t Length) {
    const int rc = RequestAnyStatus(Cmd, pPayload, Length);
    if (rc != 0) return rc;
    return Response.Header.ResponseStatus;
}

int MngClientFetchVersions() {
    MngExchange x;
    const int rc = x.RequestAnyStatus(CMD_GET_SERVICE_INFO, nullptr, 0);
    if (rc != 0) return rc;
    if (x.Response.Header.ResponseStatus != 0) return VN_ERR_SERVICE_INFO;
    // length-prefixed service version, length-prefixed driver version, driver-started byte;
    // the parts must fill the payload exactly.
    const uint8_t* p = x.Response.Payload;
    const size_t n = x.Response.PayloadLength;
    if (n != x.Response.Header.Length || n < 3) return VN_ERR_SERVICE_INFO;
    const size_t l1 = p[0];
    if (1 + l1 + 2 > n) return VN_ERR_SERVICE_INFO;
    const size_t l2 = p[1 + l1];
    if (1 + l1 + 1 + l2 + 1 != n) return VN_ERR_SERVICE_INFO;
    _LIB_VERSIONS v{};
    memcpy(v.ServiceVersion, p + 1, l1 < sizeof(v.ServiceVersion) - 1 ? l1 : sizeof(v.ServiceVersion) - 1);
    memcpy(v.TtyDriverVersion, p + 2 + l1,
           l2 < sizeof(v.TtyDriverVersion) - 1 ? l2 : sizeof(v.TtyDriverVersion) - 1);
    v.TtyDriverStarted = p[n - 1];
    qor::MutexLock lock(&gVersionMutex);
    gVersions = v;
    return 0;
}

_LIB_VERSIONS MngClientVersions() {
    qor::MutexLock lock(&gVersionMutex);
    return gVersions;
}

}  // namespace qorlib
