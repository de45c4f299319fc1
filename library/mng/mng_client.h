// The library's one management connection to qorservice: the client record, the receive
// thread, the alive thread (connect, watch, reconnect) and the request/response exchange.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace qorlib {

constexpr uint16_t kMngTcpPort = 50000;
constexpr size_t kMngBuffSize = 16384;
constexpr size_t kMngHeaderLength = 12;
constexpr uint8_t kMngVersion = 1;
constexpr unsigned int kMngCmdTimeoutMs = 20000;
constexpr unsigned int kAliveTickMs = 75;
constexpr unsigned int kAliveCheckTicks = 40;  // 3000 ms / 75 ms
// Socket loops give up after this many failed calls.
constexpr int kMngTryCount = 1025;

enum : uint16_t {
    CMD_GET_SERVICE_INFO = 1,
    CMD_GET_ALL_NIC_INFO = 3,
    CMD_SEARCY_BY_ALL_NIC = 5,
    CMD_GET_SPECIFIC_VN_INFO = 7,
    CMD_VN_MAPPING = 8,
    CMD_VN_UNMAPPING = 9,
    CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST = 10,
    CMD_VN_CONNECT = 11,
    CMD_VN_DISCONNECT = 12,
    CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST = 13,
    CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO = 14,
    CMD_GET_VN_PASSWORD = 15,
    MNG_RESPONSE_FLAG = 0x8000,
    MNG_EVENT_FLAG = 0x1000,
    EVENT_VN_DISCONNECT = 0x1001,
};

struct _MNG_HEADER {
    uint8_t Version;
    uint16_t CmdResponseEvent;
    uint16_t ResponseStatus;
    uint32_t Length;
};

// 12 bytes, little-endian: Version, 3 reserved zero bytes, code, status, payload length.
void MngHeaderPut(const _MNG_HEADER& Header, uint8_t* p);
_MNG_HEADER MngHeaderGet(const uint8_t* p);

// A response as a request hands it back: the header and the payload bytes actually held
// (never more than arrived or than the buffer holds, whatever Header.Length claims).
struct _MNG_RESPONSE {
    _MNG_HEADER Header;
    const uint8_t* Payload;
    size_t PayloadLength;
};

struct _MNG_CLIENT {
    std::atomic<int> IsConnect{0};
    std::atomic<int> Sock{-1};
    sockaddr_in ServerAddr{};
    // Callers send one request at a time; the alive thread takes it too to swap the socket.
    pthread_mutex_t RequestMutex = PTHREAD_MUTEX_INITIALIZER;
    // The answer of the waiting request, copied here by the receive thread only when its code
    // is the one awaited (CmdWaiting), under CmdCompleteMutex.
    std::array<uint8_t, kMngBuffSize> RxBuff{};
    size_t RxLength = 0;
    std::array<uint8_t, kMngBuffSize> TxBuff{};
    // The receive thread's own packet buffer.
    std::array<uint8_t, kMngBuffSize> RxPacket{};
    uint16_t CmdWaiting = 0;  // response code awaited, 0 when no request waits
    int CmdComplete = 0;
    // 1 while a receive thread reads the current socket; a request waits only then.
    int RxAlive = 0;
    pthread_cond_t CmdCompleteCond = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t CmdCompleteMutex = PTHREAD_MUTEX_INITIALIZER;
    int RxThreadExitFd = -1;
    pthread_t RxThreadHd{};
    pthread_attr_t RxThreadAttr{};
    bool RxThreadRunning = false;
    // Alive thread.
    pthread_t AliveThreadHd{};
    pthread_attr_t AliveThreadAttr{};
    pthread_mutex_t AliveMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t AliveCond = PTHREAD_COND_INITIALIZER;
    bool AliveThreadRunning = false;
    bool AliveStop = false;      // under AliveMutex
    bool FirstAttemptDone = false; // under AliveMutex
    bool EverConnected = false;
};

// Versions fetched from the service (CMD_GET_SERVICE_INFO), guarded by VersionMutex.
struct _LIB_VERSIONS {
    char ServiceVersion[30];
    char TtyDriverVersion[64];
    uint8_t TtyDriverStarted;
};

_MNG_CLIENT& MngClient();

// Starts the alive thread, which connects; waits for its first attempt. 0 or 103.
int MngClientStart();
// Stops the alive and receive threads and closes the socket.
void MngClientStop();

// One exchange with the service. The object holds the request lock for its whole life, so
// one request is in flight at a time and the response stays in RxBuff while it is decoded.
// Request sends Cmd with its payload and waits up to 20 s for the response with code
// 0x8000 | Cmd (any other response is dropped). Errors: 104 not connected, 99 send failed
// (also when called on the receive thread, which could never deliver the answer), 101 no
// answer, then the checks of every answer: 82 wrong version; the status when non-zero.
class MngExchange {
  public:
    MngExchange();
    ~MngExchange();
    MngExchange(const MngExchange&) = delete;
    MngExchange& operator=(const MngExchange&) = delete;

    int Request(uint16_t Cmd, const uint8_t* pPayload, size_t Length);
    // Like Request, but a non-zero status is left to the caller (Response.Header).
    int RequestAnyStatus(uint16_t Cmd, const uint8_t* pPayload, size_t Length);
    _MNG_RESPONSE Response{};

  private:
    bool locked_ = false;
};

// True on the receive thread (which runs the disconnect callbacks).
bool MngClientOnReceiveThread();

// 1 when the socket's TCP state is established.
int MngClientConnectionEstablished();

// Fetches and stores the versions (CMD_GET_SERVICE_INFO); 0, 81 or a request error.
int MngClientFetchVersions();
_LIB_VERSIONS MngClientVersions();

// Closes and forgets the unit's configuration connection; false when there was none.
bool CtuClientCloseForUnit(const uint8_t* pMac);

// Called on the receive thread for EVENT_VN_DISCONNECT with the unit's MAC.
void VnConnectHandleDisconnect(const uint8_t* pMac);

}  // namespace qorlib
