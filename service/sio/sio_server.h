// The per-unit SIO server: the listen thread on the loopback interface (port = the unit's CTU
// port + 5000), the one client with its receive thread, and sending to that client.
#pragma once

#include <netinet/in.h>
#include <pthread.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "sio_protocol.h"
#include "vn_device.h"

constexpr int kSioTcpPortOffset = 5000;
constexpr int kSioClientMaxWorkers = 64;

struct _SIO_SERVER;

struct _SIO_CLIENT {
    int IsAlive;                 // the slot holds a client and its receive thread (listen thread only)
    std::atomic<int> IsConnect;  // the TCP connection is established
    int Sock;                    // -1 when closed; changed only under TxMutex
    int ServerTcpPort;  // set once when the server starts, read by workers for their log lines
    struct sockaddr_in Addr;
    PVN_DEVICE VnDevicePtr;
    std::unique_ptr<uint8_t[]> RxBuff;  // kSioRxBuffSize bytes
    // Outgoing-data TLPs are built here on the receive thread (not on its small stack).
    std::unique_ptr<uint8_t[]> TxTlpBuff;
    int ThreadExitFd;
    pthread_t ThreadHd;
    pthread_attr_t ThreadAttr;
    // One message at a time on the socket, so responses, events and data never interleave;
    // it also guards Sock and Generation against the client's stop.
    pthread_mutex_t TxMutex = PTHREAD_MUTEX_INITIALIZER;
    // Counts the clients the slot has held: a response goes only to the client that asked.
    uint32_t Generation;
    _SIO_SERVER* Server;
    // Command workers of this client still running; at kSioClientMaxWorkers the receive step
    // waits for one to end before it starts another, so a flood of commands holds back the
    // client's own stream instead of exhausting the service's threads.
    std::atomic<int> Workers;
};
using PSIO_CLIENT = _SIO_CLIENT*;

struct _SIO_SERVER : std::enable_shared_from_this<_SIO_SERVER> {
    int Start = 0;
    PVN_DEVICE VnDevicePtr = nullptr;
    std::atomic<int> TcpPort{0};  // read by the management queries while a stop clears it
    int Sock = -1;
    _SIO_CLIENT Client{};
    int ClientAmount = 0;
    pthread_t ThreadHd{};
    pthread_attr_t ThreadAttr{};
    pthread_cond_t ThreadCondExit = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t ThreadMutex = PTHREAD_MUTEX_INITIALIZER;
    int ExitRequested = 0;
    ~_SIO_SERVER();
};
using PSIO_SERVER = _SIO_SERVER*;

int SioServerStart(PSIO_SERVER pServer, PVN_DEVICE pVn, uint32_t CtuTcpPort);
void SioServerStop(PSIO_SERVER pServer);

// The running server of a unit (null when none), kept alive for the holder.
std::shared_ptr<_SIO_SERVER> SioServerGet(PVN_DEVICE pVn);

// Sends one whole message to the client: bytes sent, 0 for Length 0, -1 above
// SIO_MSG_MAX_PAYLOAD, -2 when the peer would not take it or no client is connected.
int SioClientTx(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
// The header and the payload parts as one message, with the same results. With pGeneration
// the message goes only to the client of that generation (a response to its request).
int SioClientTxMsg(PSIO_CLIENT pClient, const uint32_t* pGeneration, const _SIO_HEADER& Hdr,
                   const struct iovec* pParts, int Parts);
// A message of the unit's channels to whichever client the unit's server holds now.
int SioClientTxToUnit(PVN_DEVICE pVn, const _SIO_HEADER& Hdr, const struct iovec* pParts, int Parts,
                      int* pPort);

// Receives one message from the client's socket and dispatches it. Returns 0 when the
// connection is to be closed (the peer closed, or an announced message cannot fit RxBuff).
int SioClientHandleRx(PSIO_CLIENT pClient);
// Dispatch of one received message (Length bytes of it present) by device type.
void SioClientDispatch(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
// The reply to a message nobody serves: the request's device type, channel and code + 0x8000,
// status 16, no payload.
void SioClientReplyNoObject(PSIO_CLIENT pClient, const uint8_t* pMessage);

// Fills the connect and teardown hooks of the SIO server; undone by SioServerUnregister.
void SioServerRegister();
void SioServerUnregister();
