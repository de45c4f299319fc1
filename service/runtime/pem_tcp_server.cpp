#include "pem_tcp_server.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <memory>

#include "pem_dbg.h"

namespace {

constexpr const char* kGetaddrinfo = "getaddrinfo";

bool _Same(const char* a, const char* b) {
    return a && b && strcmp(a, b) == 0;
}

}  // namespace

void PemTcpCloseSock(int* pSock) {
    if (*pSock >= 0) {
        shutdown(*pSock, SHUT_RDWR);
        close(*pSock);
    }
    *pSock = -1;
}

int PemTcpListenSockCreate(int* pSock, int Port, const char* pLogPrefix, const char** pLastFailure) {
    PemTcpCloseSock(pSock);
    auto report = [&](const char* what, int err) {
        if (pLastFailure && _Same(*pLastFailure, what)) return;
        if (pLastFailure) *pLastFailure = what;
        PemDbg(1, 1, "%s (T:%d), %s fail, errno:%d\n", pLogPrefix, Port, what, err);
    };
    struct addrinfo hints {};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    snprintf(service, sizeof(service), "%d", Port);
    struct addrinfo* list = nullptr;
    if (getaddrinfo(nullptr, service, &hints, &list) != 0 || !list) {
        report(kGetaddrinfo, errno);
        return 0;
    }
    std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> guard(list, freeaddrinfo);
    const int s = socket(list->ai_family, list->ai_socktype | SOCK_CLOEXEC, list->ai_protocol);
    auto fail = [&](const char* what) {
        report(what, errno);
        if (s >= 0) close(s);
        return 0;
    };
    if (s < 0) return fail("socket");
    const int flags = fcntl(s, F_GETFL);
    if (flags < 0) return fail("fcntl F_GETFL");
    if (fcntl(s, F_SETFL, flags | O_NONBLOCK) < 0) return fail("fcntl F_SETFL");
    const int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) return fail("setsockopt SO_REUSEADDR");
    // Bound to the loopback device: the port is not reachable through any other interface.
    if (setsockopt(s, SOL_SOCKET, SO_BINDTODEVICE, "lo", 3) < 0) return fail("setsockopt SO_BINDTODEVICE");
    if (bind(s, list->ai_addr, list->ai_addrlen) < 0) return fail("bind");
    if (listen(s, 128) < 0) return fail("listen");
    if (pLastFailure) *pLastFailure = nullptr;
    *pSock = s;
    return 1;
}

void PemTcpClientSockOptions(int Sock) {
    const int bufSize = 65536, on = 1, idle = 10, interval = 1, count = 3;
    const struct timeval rcvTimeout = {0, 1000};
    setsockopt(Sock, SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof(bufSize));
    setsockopt(Sock, SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof(bufSize));
    setsockopt(Sock, SOL_SOCKET, SO_RCVTIMEO, &rcvTimeout, sizeof(rcvTimeout));
    setsockopt(Sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    setsockopt(Sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(Sock, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(Sock, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(Sock, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}
