// The per-unit CTU server: its port from the pool 50001..50255, the listen thread on the
// loopback interface, the one client with its receive thread, and sending to that client.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vn_device.h"

constexpr int kCtuTcpPortBase = 50000;

struct _CTU_SERVER;

struct _CTU_CLIENT {
    int IsAlive;                 // the slot holds a client and its receive thread (listen thread only)
    std::atomic<int> IsConnect;  // the TCP connection is established
    int Sock;                    // -1 when closed; changed only under TxMutex
    int ServerTcpPort;  // set once when the server starts, read by workers for their log lines
    struct sockaddr_in Addr;
    PVN_DEVICE VnDevicePtr;
    std::unique_ptr<uint8_t[]> RxBuff;
    int ThreadExitFd;
    pthread_t ThreadHd;
    pthread_attr_t ThreadAttr;
    // One packet at a time on the socket, so a response and an event never interleave; it
    // also guards Sock and Generation against the client's stop.
    pthread_mutex_t TxMutex = PTHREAD_MUTEX_INITIALIZER;
    // Counts the clients the slot has held: a response is sent only to the client that asked.
    uint32_t Generation;
    _CTU_SERVER* Server;
    // Commands of this client still running, and the stop request that ends a wait for them.
    std::atomic<int> InFlight;
    std::atomic<int> Stopping;
};
// A client with this many commands running is not read until one ends: its own TCP window then
// holds it back, instead of a thread per packet piling up on the unit's channel.
constexpr int kCtuMaxInFlight = 16;
using PCTU_CLIENT = _CTU_CLIENT*;

struct _CTU_SERVER : std::enable_shared_from_this<_CTU_SERVER> {
    int Start = 0;
    PVN_DEVICE VnDevicePtr = nullptr;
    std::atomic<int> TcpPort{0};  // read by event senders while a stop clears it
    int Sock = -1;
    _CTU_CLIENT Client{};
    int ClientAmount = 0;
    pthread_t ThreadHd{};
    pthread_attr_t ThreadAttr{};
    pthread_cond_t ThreadCondExit = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t ThreadMutex = PTHREAD_MUTEX_INITIALIZER;
    int ExitRequested = 0;
    ~_CTU_SERVER();
};
using PCTU_SERVER = _CTU_SERVER*;

// Port pool: the lowest free index 1..255, or 0 when all are held (the pool never hands out a
// port another server holds). The port is 50000 + index.
int CtuTcpPortTake();
void CtuTcpPortFree(int TcpPort);

int CtuServerStart(PCTU_SERVER pServer, PVN_DEVICE pVn, uint32_t* pTcpPort);
void CtuServerStop(PCTU_SERVER pServer);

// The running server of a unit (null when none), kept alive for the holder.
std::shared_ptr<_CTU_SERVER> CtuServerGet(PVN_DEVICE pVn);

// Sends one packet to the client: bytes sent, 0 for Length < 1, -1 above CTU_MSG_MAX_PAYLOAD,
// -2 when the peer would not take it (or no client is connected).
int CtuClientTx(PCTU_CLIENT pClient, const uint8_t* pPacket, size_t Length);
// As CtuClientTx, but only while the slot still holds the client of that generation.
int CtuClientTxTo(PCTU_CLIENT pClient, uint32_t Generation, const uint8_t* pPacket, size_t Length);

// Receives one packet from the client's socket and dispatches it. Returns 0 when the
// connection is to be closed (the peer closed, or a packet cannot fit the receive buffer).
int CtuClientHandleRx(PCTU_CLIENT pClient);
// Dispatch of one received packet (Length bytes of it present, the rest of the buffer zero).
void CtuHandleFromLibrary(PCTU_CLIENT pClient, const uint8_t* pPacket, size_t Length);

// Command worker threads running now, and a wait of up to TimeoutMs for all to end (the
// shutdown waits before it frees the objects they use).
int CtuWorkersRunning();
void CtuWaitWorkers(unsigned TimeoutMs);

// Fills the connect and teardown hooks and the control-unit TLP consumer; undone by
// CtuServiceUnregister.
void CtuServiceRegister();
void CtuServiceUnregister();
