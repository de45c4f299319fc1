#include "mng_connect.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int MngConnect(PMNG_CLIENT pClient, uint16_t Port) {
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return 0;
    const int flags = fcntl(sock, F_GETFL, 0);
    if (flags >= 0) fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
    const int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    memset(&pClient->ServerAddr, 0, sizeof(pClient->ServerAddr));
    pClient->ServerAddr.sin_family = AF_INET;
    pClient->ServerAddr.sin_port = htons(Port);
    pClient->ServerAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = connect(sock, reinterpret_cast<const sockaddr*>(&pClient->ServerAddr),
                     sizeof(pClient->ServerAddr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(sock);
        return 0;
    }
    pClient->Sock = sock;
    pClient->IsConnect = 1;
    return 1;
}

void MngDisconnect(PMNG_CLIENT pClient) {
    if (pClient->Sock >= 0) close(pClient->Sock);
    pClient->Sock = -1;
    pClient->IsConnect = 0;
}
