// The management server: a listen thread on 127.0.0.1:50000 (device lo), at most 63
// clients, one thread per client, and the disconnect event to every client.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pem_list.h"
#include "vn_device.h"

constexpr int kMngClientSlots = 64;  // index 0 is never handed out
constexpr int kMngMaxClients = 63;

struct _MNG_CLIENT {
    _DLIST Entry;
    uint8_t Index;
    std::atomic<int> IsConnect;
    int Sock;
    struct sockaddr_in Addr;
    uint8_t* RxBuff;
    uint8_t* TxBuff;
    int ThreadExitFd;
    pthread_t ThreadHd;
    pthread_attr_t ThreadAttr;
    int ThreadRunning;
    // One whole packet at a time on the socket: a response and a broadcast event never
    // interleave their bytes.
    pthread_mutex_t SendMutex;
    // References held by the client list (one) and by a broadcast sending on the socket; the
    // socket and buffers go with the last one.
    std::atomic<int> RefCount;
};
using PMNG_CLIENT = _MNG_CLIENT*;

struct _MNG_SERVER {
    int Start;
    int TcpPort;
    int Sock;
    int ClientIndexActive[kMngClientSlots];
    int ClientAmount;
    _DLIST ClientList;
    pthread_mutex_t ClientListMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_t ThreadHd;
    pthread_attr_t ThreadAttr;
    pthread_cond_t ThreadCondExit;
    pthread_mutex_t ThreadMutex;
    int ExitRequested;
};

extern _MNG_SERVER MngServer;

int MngServerStart(_MNG_SERVER* pServer);
void MngServerStop(_MNG_SERVER* pServer);
void MngServerSentDisconnectEventToAllClient(_MNG_SERVER* pServer, PVN_DEVICE pVn);
void MngClientRelease(PMNG_CLIENT pClient);
uint8_t MngClientIndexAlloc(_MNG_SERVER* pServer);
void MngClientIndexFree(_MNG_SERVER* pServer, uint8_t Index);

// Reads one packet from the client's socket and answers it (the client thread's work).
// Returns 0 when the peer has closed or the packet could not be taken (client to be reaped).
int MngClientHandleRx(PMNG_CLIENT pClient);

// Handles one received packet (header included, Received bytes of it present, the rest
// zero); builds the response into pTx. 0 when no response is to be sent.
int MngClientDispatch(uint8_t Index, const uint8_t* pRx, uint8_t* pTx, size_t TxCapacity, size_t* pTxLength);

// Whether the netlink bridge to the kernel TTY driver runs (reported in the service info).
int MngNetlinkBridgeStarted();
