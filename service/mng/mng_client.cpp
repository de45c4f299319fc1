// The client side of the management server: receiving one packet, the sixteen command
// handlers, and sending the response.
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "cfg_check_dir.h"
#include "mng_protocol.h"
#include "mng_server.h"
#include "nic_main.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "vn_connect.h"
#include "vn_mng_query.h"

namespace {

constexpr int kMaxFailedCalls = 1025;
constexpr int kMacLength = 6;

struct Request {
    const _MNG_HEADER& hdr;
    const uint8_t* payload;  // hdr.Length bytes are readable (bounded by the receive buffer)
};

// Response builder: header first, then payload; never past the transmit buffer.
class Response {
public:
    Response(uint16_t cmd, uint8_t* tx, size_t cap) : cmd_(cmd), tx_(tx), cap_(cap) {}
    uint8_t* Payload() { return tx_ + kMngHeaderLength; }
    size_t PayloadCapacity() const { return cap_ - kMngHeaderLength; }
    size_t Finish(uint16_t status, size_t length) {
        length = std::min(length, PayloadCapacity());
        MngHeaderEncode({kMngVersion, static_cast<uint16_t>(MNG_RESPONSE_BIT | cmd_), status, static_cast<uint32_t>(length)},
                        tx_);
        return kMngHeaderLength + length;
    }
    // The request's MAC, or six zero bytes when the request length was wrong.
    size_t MacEcho(uint16_t status, const Request& r, bool valid) {
        memset(Payload(), 0, kMacLength);
        if (valid) memcpy(Payload(), r.payload, kMacLength);
        return Finish(status, kMacLength);
    }

private:
    uint16_t cmd_;
    uint8_t* tx_;
    size_t cap_;
};

bool HasMac(const Request& r) { return r.hdr.Length == kMacLength; }

size_t _ServiceInfo(const Request&, Response& out) {
    uint8_t* p = out.Payload();
    size_t at = 0;
    p[at++] = static_cast<uint8_t>(strlen(kMngServiceVersion));
    memcpy(p + at, kMngServiceVersion, strlen(kMngServiceVersion));
    at += strlen(kMngServiceVersion);
    p[at++] = static_cast<uint8_t>(strlen(kMngTtyDriverVersion));
    memcpy(p + at, kMngTtyDriverVersion, strlen(kMngTtyDriverVersion));
    at += strlen(kMngTtyDriverVersion);
    p[at++] = MngNetlinkBridgeStarted() ? 1 : 0;
    return out.Finish(0, at);
}

size_t _SetDebugConfig(const Request& r, Response& out) {
    if (r.hdr.Length != 7) return out.Finish(1, 0);
    for (int i = 0; i < 7; ++i)
        if (r.payload[i] > 1) return out.Finish(1, 0);
    qor::MutexLock lock(&DbgLock);
    int* switches[] = {&PrintfEnable,      &LogEnable,         &DbgVnProtocol,    &DbgMngIpcProtocol,
                       &DbgCtuIpcProtocol, &DbgSioIpcProtocol, &DbgNlkIpcProtocol};
    for (int i = 0; i < 7; ++i) __atomic_store_n(switches[i], r.payload[i], __ATOMIC_RELAXED);
    return out.Finish(0, 0);
}

// Commands whose payload is a list built by the registry: payload only with status 0.
template <typename Query>
size_t _List(Response& out, Query query) {
    size_t length = 0;
    const uint16_t status = query(out.Payload(), out.PayloadCapacity(), &length);
    return out.Finish(status, status == 0 ? length : 0);
}

// Commands that take a MAC and answer a record, or the MAC echo on any failure.
template <typename Query>
size_t _MacRecord(const Request& r, Response& out, Query query) {
    if (!HasMac(r)) return out.MacEcho(1, r, false);
    uint8_t mac[kMacLength];
    memcpy(mac, r.payload, kMacLength);
    size_t length = 0;
    const uint16_t status = query(mac, out.Payload(), out.PayloadCapacity(), &length);
    if (status != 0) return out.MacEcho(status, r, true);
    return out.Finish(0, length);
}

size_t _Connect(const Request& r, Response& out) {
    const uint32_t length = r.hdr.Length;
    if (length < 7 || length > 39) return out.MacEcho(1, r, false);
    const uint8_t flag = r.payload[6];
    if (flag > 1 || (flag == 1 && length == 7)) return out.MacEcho(1, r, true);
    uint8_t password[32] = {};
    uint8_t raw[32] = {};
    if (flag == 1) memcpy(password, r.payload + 7, length - 7);
    for (int i = 0; i < 32; ++i) raw[31 - i] = password[i];
    uint8_t mac[kMacLength];
    memcpy(mac, r.payload, kMacLength);
    uint32_t ctu = 0, sio = 0;
    const uint16_t status = VnMainConnect(mac, raw, &ctu, &sio);
    if (status != 0 && status != VN_STATUS_CONNECTED_ALREADY) return out.MacEcho(status, r, true);
    uint8_t* p = out.Payload();
    memcpy(p, mac, kMacLength);
    qor::PutBe32(p + 6, ctu);
    qor::PutBe32(p + 10, sio);
    return out.Finish(status, 14);
}

size_t _ClearRecords(Response& out) {
    for (const char* dir : {kCfgMappingDir, kCfgConnectDir}) {
        char command[128];
        snprintf(command, sizeof(command), "rm -f %s/*", dir);
        if (system(command) != 0) {
            // The removal's exit code is not part of the answer.
        }
    }
    return out.Finish(0, 0);
}

void _DumpPacket(const uint8_t* p, bool incoming) {
    const _MNG_HEADER h = MngHeaderDecode(p);
    const size_t payload = std::min<size_t>(h.Length & 0xFFFF, kMngBuffSize - kMngHeaderLength);
    const char* line = incoming ? "###############################" : "===============================";
    qor::MutexLock lock(&DbgLock);
    PemDbg(0, 0, "%s, Length:%d\n", line, static_cast<int>(kMngHeaderLength + payload));
    PemDbg(0, 0, "CmdResponseEvent: %s\n", MngCodeName(h.CmdResponseEvent));
    PemDbg(0, 0, "ResponseStatus  : x%04x\n", h.ResponseStatus);
    PemDbg(0, 0, "Length          : x%08x, %d\n", h.Length, static_cast<int>(h.Length));
    if (h.Length != 0) PemDumpBytes(p + kMngHeaderLength, payload);
    PemDbg(0, 0, "%s\n", line);
}

// Sends one whole packet with the bounded retry loop; 1 when every byte went out.
int _SendAll(PMNG_CLIENT pClient, const uint8_t* p, size_t total) {
    qor::MutexLock lock(&pClient->SendMutex);
    size_t sent = 0;
    int failed = 0;
    ssize_t rc = 0;
    while (sent < total) {
        rc = send(pClient->Sock, p + sent, total - sent, MSG_NOSIGNAL);
        if (rc > 0) {
            sent += static_cast<size_t>(rc);
            continue;
        }
        if (++failed >= kMaxFailedCalls) {
            PemDbg(1, 1, "MNG C (I:%d), conti tx, touch trycnt, TxReturn:%d, TotalLengthTx:%d, Remain:%d\n",
                   pClient->Index, static_cast<int>(rc), static_cast<int>(sent), static_cast<int>(total - sent));
            return 0;
        }
        if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) continue;
        struct pollfd pfd = {pClient->Sock, POLLOUT, 0};
        poll(&pfd, 1, 1);
    }
    return 1;
}

}  // namespace

int MngClientDispatch(uint8_t Index, const uint8_t* pRx, uint8_t* pTx, size_t TxCapacity, size_t* pTxLength) {
    *pTxLength = 0;
    const _MNG_HEADER hdr = MngHeaderDecode(pRx);
    const uint16_t cmd = hdr.CmdResponseEvent;
    if (cmd < CMD_GET_SERVICE_INFO || cmd > CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD) {
        PemDbg(1, 1, "MNG C (I:%d), unknow cmd coe:x%04x\n", Index, cmd);
        return 0;
    }
    // The payload is read only within the receive buffer: a Length beyond it never reaches
    // a handler (the receive path refuses such packets), and checks compare Length first.
    const Request r{hdr, pRx + kMngHeaderLength};
    Response out(cmd, pTx, TxCapacity);
    size_t n = 0;
    switch (cmd) {
        case CMD_GET_SERVICE_INFO:
            n = _ServiceInfo(r, out);
            break;
        case CMD_SET_DEBUG_CONFIG:
            n = _SetDebugConfig(r, out);
            break;
        case CMD_GET_ALL_NIC_INFO:
            n = _List(out, NicMainGetAllInfo);
            break;
        case CMD_REFRESH_NIC:
            n = NicMainRefreshList() == 1 ? _List(out, NicMainGetAllInfo) : out.Finish(MNG_STATUS_NIC_REFRESH_FAIL, 0);
            break;
        case CMD_SEARCY_BY_ALL_NIC:
            n = _List(out, VnMainSearchByAllNic);
            break;
        case CMD_SEARCY_BY_SPECIFIC_NIC:
            n = _MacRecord(r, out, VnMainSearchBySpecificNic);
            break;
        case CMD_GET_SPECIFIC_VN_INFO:
            n = _MacRecord(r, out, VnMainGetSpecificVnDetailInfo);
            break;
        case CMD_VN_MAPPING:
            n = _MacRecord(r, out, [](const uint8_t* mac, uint8_t* p, size_t cap, size_t* len) {
                return VnMainMapping(mac, 1, p, cap, len);
            });
            break;
        case CMD_VN_UNMAPPING:
            n = HasMac(r) ? out.MacEcho(VnMainUnMapping(r.payload), r, true) : out.MacEcho(1, r, false);
            break;
        case CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST:
            n = _List(out, VnMainGetAllMappingInfoMappedByHost);
            break;
        case CMD_VN_CONNECT:
            n = _Connect(r, out);
            break;
        case CMD_VN_DISCONNECT:
            n = HasMac(r) ? out.MacEcho(VnMainDisconnect(r.payload, 1), r, true) : out.MacEcho(1, r, false);
            break;
        case CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST:
            n = _List(out, VnMainGetAllVnInfoConnectedByHost);
            break;
        case CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO:
            n = _MacRecord(r, out, VnMainUpdateSpecificVnDetailInfo);
            break;
        case CMD_GET_VN_PASSWORD:
            n = _MacRecord(r, out, VnMainGetVnPassword);
            break;
        case CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD:
            n = _ClearRecords(out);
            break;
    }
    *pTxLength = n;
    return 1;
}

int MngClientHandleRx(PMNG_CLIENT pClient) {
    memset(pClient->RxBuff, 0, kMngBuffSize);
    memset(pClient->TxBuff, 0, kMngBuffSize);
    const ssize_t got = recv(pClient->Sock, pClient->RxBuff, kMngHeaderLength, 0);
    if (got == 0) return 0;  // the peer closed
    if (got != static_cast<ssize_t>(kMngHeaderLength)) return 1;
    const _MNG_HEADER hdr = MngHeaderDecode(pClient->RxBuff);
    const uint64_t total = uint64_t{hdr.Length} + kMngHeaderLength;
    if (total > kMngWarnSize)
        PemDbg(1, 1, "MNG C (I:%d), TotalLengthNeedRx:%d, BUFF_SIZE:%d, !!!!! TOO BIG !!!!!\n", pClient->Index,
               static_cast<int>(total > INT32_MAX ? INT32_MAX : total), static_cast<int>(kMngBuffSize));
    // A packet that cannot fit the 8192-byte buffer is no command of this protocol; reading
    // and discarding up to 4 GiB would tie the client up, so the connection is closed.
    if (total > kMngBuffSize) return 0;
    size_t have = kMngHeaderLength;
    int failed = 0;
    ssize_t rc = 0;
    while (have < total) {
        rc = recv(pClient->Sock, pClient->RxBuff + have, total - have, 0);
        if (rc > 0) {
            have += static_cast<size_t>(rc);
            continue;
        }
        if (rc == 0) return 0;
        if (++failed >= kMaxFailedCalls) {
            PemDbg(1, 1, "MNG C (I:%d), conti rx, touch trycnt, RxReturn:%d, TotalLengthRx:%d, Remain:%d\n", pClient->Index,
                   static_cast<int>(rc), static_cast<int>(have), static_cast<int>(total - have));
            break;
        }
        // Each failed call waits up to 1 ms for the rest, so a packet split over segments
        // is taken whole instead of being cut short within microseconds.
        struct pollfd pfd = {pClient->Sock, POLLIN, 0};
        poll(&pfd, 1, 1);
    }
    if (DbgMngIpcProtocol) _DumpPacket(pClient->RxBuff, true);
    size_t txLength = 0;
    if (!MngClientDispatch(pClient->Index, pClient->RxBuff, pClient->TxBuff, kMngBuffSize, &txLength)) return 1;
    if (DbgMngIpcProtocol && txLength) _DumpPacket(pClient->TxBuff, false);
    if (txLength) _SendAll(pClient, pClient->TxBuff, txLength);
    return 1;
}

void MngServerSentDisconnectEventToAllClient(_MNG_SERVER* pServer, PVN_DEVICE pVn) {
    // References to the connected clients are taken under ClientListMutex and the event is
    // sent without it: a client that does not read delays only this broadcast, never the
    // listen thread's accepting and reaping, and no client record goes away while in use.
    std::vector<PMNG_CLIENT> clients;
    {
        qor::MutexLock lock(&pServer->ClientListMutex);
        if (pServer->ClientAmount == 0) return;
        for (PDLIST p = pServer->ClientList.Flink; p != &pServer->ClientList; p = p->Flink) {
            PMNG_CLIENT pClient = reinterpret_cast<PMNG_CLIENT>(p);
            if (!pClient->IsConnect) continue;
            pClient->RefCount.fetch_add(1, std::memory_order_relaxed);
            clients.push_back(pClient);
        }
    }
    uint8_t packet[256] = {};
    MngHeaderEncode({kMngVersion, EVENT_VN_DISCONNECT, 0, kMacLength}, packet);
    memcpy(packet + kMngHeaderLength, pVn->Mac, kMacLength);
    if (DbgMngIpcProtocol) _DumpPacket(packet, false);
    for (PMNG_CLIENT pClient : clients) {
        _SendAll(pClient, packet, kMngHeaderLength + kMacLength);
        MngClientRelease(pClient);
    }
}
