#include "mng_client.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include <new>

#include "mng_error.h"
#include "pem_console.h"
#include "pem_error.h"
#include "pem_lock.h"
#include "pem_utils.h"
#include "qor_wire.h"

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

int MngClientInit(PMNG_CLIENT pClient) {
    pClient->Sock = -1;
    pClient->RxBuff.reset(new (std::nothrow) uint8_t[kMngBuffSize]());
    pClient->TxBuff.reset(new (std::nothrow) uint8_t[kMngBuffSize]());
    pClient->RxPacket.reset(new (std::nothrow) uint8_t[kMngBuffSize]());
    if (!pClient->RxBuff || !pClient->TxBuff || !pClient->RxPacket) return PEM_ERROR_ALLOC_MEMORY;
    if (pthread_mutex_init(&pClient->CmdCompleteMutex, nullptr) != 0) return PEM_ERROR_CREATE_THREAD;
    if (pthread_cond_init(&pClient->CmdCompleteCond, nullptr) != 0) {
        pthread_mutex_destroy(&pClient->CmdCompleteMutex);
        return PEM_ERROR_CREATE_THREAD;
    }
    pClient->SyncReady = true;
    return PEM_ERROR_SUCCESS;
}

void MngClientFree(PMNG_CLIENT pClient) {
    if (pClient->SyncReady) {
        pthread_cond_destroy(&pClient->CmdCompleteCond);
        pthread_mutex_destroy(&pClient->CmdCompleteMutex);
        pClient->SyncReady = false;
    }
    pClient->RxBuff.reset();
    pClient->TxBuff.reset();
    pClient->RxPacket.reset();
    pClient->RxLength = 0;
}

// Sends the whole packet, tolerating short writes; 1 when every byte went out.
static int _Send(PMNG_CLIENT pClient, size_t Length) {
    const uint8_t* p = pClient->TxBuff.get();
    size_t sent = 0;
    int failures = 0;
    while (sent < Length) {
        // MSG_NOSIGNAL: a service that went away must not end the console with SIGPIPE.
        const ssize_t n = send(pClient->Sock, p + sent, Length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return 0;
        if (++failures >= kMngTryCount) return 0;
    }
    return 1;
}

static int _Request(PMNG_CLIENT pClient, uint16_t Cmd, const uint8_t* pPayload, size_t Length) {
    if (pClient->Sock < 0 || !pClient->SyncReady || Length > kMngBuffSize - kMngHeaderLength) {
        return PEM_ERROR_SOCKET_TX;
    }
    // The lock is held from before the send until the wait, so a fast answer cannot be
    // signalled before anyone waits for it.
    qor::MutexLock lock(&pClient->CmdCompleteMutex);
    memset(pClient->RxBuff.get(), 0, kMngBuffSize);
    pClient->RxLength = 0;
    uint8_t* tx = pClient->TxBuff.get();
    MngHeaderPut(_MNG_HEADER{kMngVersion, Cmd, 0, static_cast<uint32_t>(Length)}, tx);
    if (Length > 0) memcpy(tx + kMngHeaderLength, pPayload, Length);
    pClient->CmdComplete = 0;
    pClient->CmdWaiting = 1;
    if (!_Send(pClient, kMngHeaderLength + Length)) {
        pClient->CmdWaiting = 0;
        return PEM_ERROR_SOCKET_TX;
    }
    struct timespec deadline {};
    PemSetTimeout(&deadline, kMngCmdTimeoutMs);
    while (!pClient->CmdComplete) {
        const int rc =
            pthread_cond_timedwait(&pClient->CmdCompleteCond, &pClient->CmdCompleteMutex, &deadline);
        if (rc == ETIMEDOUT) break;
    }
    pClient->CmdWaiting = 0;
    return pClient->CmdComplete ? PEM_ERROR_SUCCESS : PEM_ERROR_SOCKET_RX_TIMEOUT;
}

void MngClientCompleteCmd(PMNG_CLIENT pClient, const uint8_t* pPacket, size_t Length) {
    qor::MutexLock lock(&pClient->CmdCompleteMutex);
    if (!pClient->CmdWaiting || pClient->CmdComplete) return;
    if (Length > kMngBuffSize) Length = kMngBuffSize;
    memcpy(pClient->RxBuff.get(), pPacket, Length);
    pClient->RxLength = Length;
    pClient->CmdComplete = 1;
    pthread_cond_signal(&pClient->CmdCompleteCond);
}

_MNG_RESPONSE MngClientResponse(PMNG_CLIENT pClient) {
    _MNG_RESPONSE r{};
    const uint8_t* rx = pClient->RxBuff.get();
    if (pClient->RxLength < kMngHeaderLength) {
        r.Payload = rx + kMngHeaderLength;
        return r;  // Version 0: reported as a wrong protocol version
    }
    r.Header = MngHeaderGet(rx);
    r.Payload = rx + kMngHeaderLength;
    const size_t held = pClient->RxLength - kMngHeaderLength;
    r.PayloadLength = r.Header.Length < held ? r.Header.Length : held;
    return r;
}

int MngClientCheckResponse(PMNG_CLIENT pClient, int Error, uint16_t Cmd, _MNG_RESPONSE* pResponse) {
    if (Error != PEM_ERROR_SUCCESS) {
        PemPrintf("\nd[#_#]b : %s\n\n", PemErrorString(Error));
        return 0;
    }
    *pResponse = MngClientResponse(pClient);
    if (pResponse->Header.Version != kMngVersion) {
        PemPrintf("\nd[#_#]b : Wrong protocol version.\n");
        return 0;
    }
    if (pResponse->Header.CmdResponseEvent != (MNG_RESPONSE_FLAG | Cmd)) {
        PemPrintf("\nd[#_#]b : Wrong packet received.\n");
        return 0;
    }
    if (pResponse->Header.ResponseStatus != 0) {
        PemPrintf("\nd[#_#]b : %s\n\n", MngErrorString(pResponse->Header.ResponseStatus));
        return 0;
    }
    return 1;
}

int MngClientGetServiceInfo(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_GET_SERVICE_INFO, nullptr, 0);
}

int MngClientSetDebugConfiguration(PMNG_CLIENT pClient, int PrintfEnable, int LogEnable, int VnEnable,
                                   int MngEnable, int CtuEnable, int SioEnable, int NlkEnable) {
    const uint8_t cfg[7] = {
        static_cast<uint8_t>(PrintfEnable ? 1 : 0), static_cast<uint8_t>(LogEnable ? 1 : 0),
        static_cast<uint8_t>(VnEnable ? 1 : 0),     static_cast<uint8_t>(MngEnable ? 1 : 0),
        static_cast<uint8_t>(CtuEnable ? 1 : 0),    static_cast<uint8_t>(SioEnable ? 1 : 0),
        static_cast<uint8_t>(NlkEnable ? 1 : 0)};
    return _Request(pClient, CMD_SET_DEBUG_CONFIG, cfg, sizeof(cfg));
}

int MngClientGetAllNicInfo(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_GET_ALL_NIC_INFO, nullptr, 0);
}
int MngClientRefreshNic(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_REFRESH_NIC, nullptr, 0);
}
int MngClientSearchVnByAllNic(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_SEARCY_BY_ALL_NIC, nullptr, 0);
}

int MngClientSearchVnBySpecificNic(PMNG_CLIENT pClient, const uint8_t* pNicMac) {
    return _Request(pClient, CMD_SEARCY_BY_SPECIFIC_NIC, pNicMac, 6);
}
int MngClientGetSpecificVnInfo(PMNG_CLIENT pClient, const uint8_t* pMac) {
    return _Request(pClient, CMD_GET_SPECIFIC_VN_INFO, pMac, 6);
}
int MngClientVnMapping(PMNG_CLIENT pClient, const uint8_t* pMac) {
    return _Request(pClient, CMD_VN_MAPPING, pMac, 6);
}
int MngClientVnUnMapping(PMNG_CLIENT pClient, const uint8_t* pMac) {
    return _Request(pClient, CMD_VN_UNMAPPING, pMac, 6);
}
int MngClientGetAllMappingInfoMappedByHost(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST, nullptr, 0);
}

int MngClientVnConnect(PMNG_CLIENT pClient, const uint8_t* pMac, uint8_t PwdFlag, const uint8_t* pPwd,
                       int PwdLength) {
    uint8_t payload[6 + 1 + 32];
    memcpy(payload, pMac, 6);
    payload[6] = PwdFlag;
    size_t length = 7;
    if (PwdFlag == 1 && pPwd != nullptr && PwdLength > 0) {
        const size_t n = PwdLength > 32 ? 32 : static_cast<size_t>(PwdLength);
        memcpy(payload + 7, pPwd, n);
        length += n;
    }
    return _Request(pClient, CMD_VN_CONNECT, payload, length);
}

int MngClientVnDisconnect(PMNG_CLIENT pClient, const uint8_t* pMac) {
    return _Request(pClient, CMD_VN_DISCONNECT, pMac, 6);
}
int MngClientGetAllVnInfoConnectedByHost(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST, nullptr, 0);
}
int MngClientUpdateSpecificVnInfo(PMNG_CLIENT pClient, const uint8_t* pMac) {
    return _Request(pClient, CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO, pMac, 6);
}
int MngClientGetVnPassword(PMNG_CLIENT pClient, const uint8_t* pMac) {
    return _Request(pClient, CMD_GET_VN_PASSWORD, pMac, 6);
}
int MngClientClearAllVnMappingAndConnectRecord(PMNG_CLIENT pClient) {
    return _Request(pClient, CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD, nullptr, 0);
}
