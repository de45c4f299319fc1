// The console's management client: protocol constants, header codec, the client record and
// one request function per management command.
#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "vn_get_detail_info.h"

constexpr uint16_t kMngTcpPort = 50000;
constexpr size_t kMngBuffSize = 8192;
constexpr size_t kMngHeaderLength = 12;
constexpr uint8_t kMngVersion = 1;
constexpr unsigned int kMngCmdTimeoutMs = 2000;
// Socket loops give up after this many failed calls.
constexpr int kMngTryCount = 1025;

enum : uint16_t {
    CMD_GET_SERVICE_INFO = 1,
    CMD_SET_DEBUG_CONFIG = 2,
    CMD_GET_ALL_NIC_INFO = 3,
    CMD_REFRESH_NIC = 4,
    CMD_SEARCY_BY_ALL_NIC = 5,
    CMD_SEARCY_BY_SPECIFIC_NIC = 6,
    CMD_GET_SPECIFIC_VN_INFO = 7,
    CMD_VN_MAPPING = 8,
    CMD_VN_UNMAPPING = 9,
    CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST = 10,
    CMD_VN_CONNECT = 11,
    CMD_VN_DISCONNECT = 12,
    CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST = 13,
    CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO = 14,
    CMD_GET_VN_PASSWORD = 15,
    CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD = 16,
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

struct _MNG_CLIENT {
    std::atomic<int> IsConnect{0};
    int Sock = -1;
    sockaddr_in ServerAddr{};
    // The last response: the receive thread writes it only while a request waits for it
    // (CmdWaiting, under CmdCompleteMutex), so the menu thread reads it undisturbed afterwards.
    std::unique_ptr<uint8_t[]> RxBuff;
    size_t RxLength = 0;  // bytes of RxBuff filled, header included
    std::unique_ptr<uint8_t[]> TxBuff;
    // The receive thread's own packet buffer (events are handled from here).
    std::unique_ptr<uint8_t[]> RxPacket;
    int CmdWaiting = 0;
    int CmdComplete = 0;
    pthread_cond_t CmdCompleteCond{};
    pthread_mutex_t CmdCompleteMutex{};
    bool SyncReady = false;
    int RxThreadExitFd = -1;
    pthread_t RxThreadHd{};
    pthread_attr_t RxThreadAttr{};
    bool RxThreadRunning = false;
    _VN_INFO VnInfo{};
};
using PMNG_CLIENT = _MNG_CLIENT*;

// A response as the menu thread reads it: PayloadLength counts the bytes held in RxBuff, never
// more than arrived or than the buffer holds, whatever Header.Length claims.
struct _MNG_RESPONSE {
    _MNG_HEADER Header;
    const uint8_t* Payload;
    size_t PayloadLength;
};

// Allocates the buffers (error 1) and the mutex and condition (error 2); 0 on success.
int MngClientInit(PMNG_CLIENT pClient);
// Releases what MngClientInit made (the thread and socket are stopped before).
void MngClientFree(PMNG_CLIENT pClient);

// Each request sends its command and waits up to 2 s for the response: 0, 4 (send failed) or
// 6 (time-out). The response is then read with MngClientResponse.
int MngClientGetServiceInfo(PMNG_CLIENT pClient);
int MngClientSetDebugConfiguration(PMNG_CLIENT pClient, int PrintfEnable, int LogEnable, int VnEnable,
                                   int MngEnable, int CtuEnable, int SioEnable, int NlkEnable);
int MngClientGetAllNicInfo(PMNG_CLIENT pClient);
int MngClientRefreshNic(PMNG_CLIENT pClient);
int MngClientSearchVnByAllNic(PMNG_CLIENT pClient);
int MngClientSearchVnBySpecificNic(PMNG_CLIENT pClient, const uint8_t* pNicMac);
int MngClientGetSpecificVnInfo(PMNG_CLIENT pClient, const uint8_t* pMac);
int MngClientVnMapping(PMNG_CLIENT pClient, const uint8_t* pMac);
int MngClientVnUnMapping(PMNG_CLIENT pClient, const uint8_t* pMac);
int MngClientGetAllMappingInfoMappedByHost(PMNG_CLIENT pClient);
// PwdFlag travels as given; the password goes along only with flag 1 (at most 32 bytes).
int MngClientVnConnect(PMNG_CLIENT pClient, const uint8_t* pMac, uint8_t PwdFlag, const uint8_t* pPwd,
                       int PwdLength);
int MngClientVnDisconnect(PMNG_CLIENT pClient, const uint8_t* pMac);
int MngClientGetAllVnInfoConnectedByHost(PMNG_CLIENT pClient);
int MngClientUpdateSpecificVnInfo(PMNG_CLIENT pClient, const uint8_t* pMac);
int MngClientGetVnPassword(PMNG_CLIENT pClient, const uint8_t* pMac);
int MngClientClearAllVnMappingAndConnectRecord(PMNG_CLIENT pClient);

_MNG_RESPONSE MngClientResponse(PMNG_CLIENT pClient);

// The common checks after a request: prints the console error, "Wrong protocol version.",
// "Wrong packet received." or the status text and returns 0; returns 1 with the response in
// *pResponse when it is a success answer to Cmd.
int MngClientCheckResponse(PMNG_CLIENT pClient, int Error, uint16_t Cmd, _MNG_RESPONSE* pResponse);

// Used by the receive thread: hands a whole packet (header and stored payload) to a waiting
// request. A response that no request waits for is dropped.
void MngClientCompleteCmd(PMNG_CLIENT pClient, const uint8_t* pPacket, size_t Length);
