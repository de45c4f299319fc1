// One SIO client's traffic: the receive step with its bound, the dispatch by device type,
// the no-object reply, sending whole messages under the client's send lock, and the trace.
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <vector>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "sio_obj.h"
#include "sio_server.h"

const _SIO_FAMILY* SioFamilies[12] = {};

namespace {

constexpr int kMaxFailedCalls = 1025;

const char* _CodeName(uint8_t DeviceType, uint16_t Code) {
    const _SIO_FAMILY* f = DeviceType < 12 ? SioFamilies[DeviceType] : nullptr;
    return f && f->CodeName ? f->CodeName(Code) : "UNKNOW";
}

// The trace of one message (header and Length bytes of it present).
void _Dump(const uint8_t* p, size_t Length, bool incoming) {
    const _SIO_HEADER h = SioHeaderDecode(p);
    const size_t payload = std::min<size_t>(h.Length & 0xFFFF, Length - kSioHeaderLength);
    const char* line = incoming ? "IIIIIIIIIIIIIIIIIIIIIIIIIIIIIII" : "OOOOOOOOOOOOOOOOOOOOOOOOOOOOOOO";
    qor::MutexLock lock(&DbgLock);
    PemDbg(0, 0, "%s, Length:%d\n", line, static_cast<int>(Length));
    PemDbg(0, 0, "DeviceType           : %d\n", h.DeviceType);
    PemDbg(0, 0, "ChannelNumber        : %d\n", h.ChannelNumber);
    PemDbg(0, 0, "CmdResponseEventData : %s\n", _CodeName(h.DeviceType, h.CmdResponseEventData));
    PemDbg(0, 0, "ResponseStatus       : x%04x\n", h.ResponseStatus);
    PemDbg(0, 0, "Length               : x%08x, %d\n", h.Length, static_cast<int>(h.Length));
    if (h.Length != 0) PemDumpBytes(p + kSioHeaderLength, payload);
    PemDbg(0, 0, "%s\n", line);
}

// Receives until Want bytes are in pBuff (from Have on), giving up after kMaxFailedCalls
// calls that brought nothing. Returns the bytes present; *pClosed when the peer closed.
size_t _RecvUpTo(int sock, uint8_t* pBuff, size_t Have, size_t Want, bool* pClosed, int port) {
    int failed = 0;
    ssize_t rc = 0;
    while (Have < Want) {
        rc = recv(sock, pBuff + Have, Want - Have, 0);
        if (rc > 0) {
            Have += static_cast<size_t>(rc);
            continue;
        }
        if (rc == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            *pClosed = true;
            break;
        }
        if (++failed >= kMaxFailedCalls) {
            PemDbg(1, 1, "SIO C (T:%d), conti rx, touch trycnt, RxReturn:%d, TotalLengthRx:%d, Remain:%d\n",
                   port, static_cast<int>(rc), static_cast<int>(Have), static_cast<int>(Want - Have));
            break;
        }
        // Each empty call waits up to 1 ms, so a message split over segments is taken whole.
        struct pollfd pfd = {sock, POLLIN, 0};
        poll(&pfd, 1, 1);
    }
    return Have;
}

}  // namespace

int SioClientTxMsg(PSIO_CLIENT pClient, const uint32_t* pGeneration, const _SIO_HEADER& Hdr,
                   const struct iovec* pParts, int Parts) {
    size_t total = kSioHeaderLength;
    for (int i = 0; i < Parts; ++i) total += pParts[i].iov_len;
    if (total > SIO_MSG_MAX_PAYLOAD) {
        PemDbg(1, 1, "SIO C (T:%d), TX, TotalLengthNeedTx:%d, SIO_MSG_MAX_PAYLOAD:%d, !!!!! TOO BIG !!!!!\n",
               pClient->ServerTcpPort, static_cast<int>(total), static_cast<int>(SIO_MSG_MAX_PAYLOAD));
        return -1;
    }
    uint8_t header[kSioHeaderLength];
    SioHeaderEncode(Hdr, header);
    struct iovec iov[4];
    const int count = 1 + std::min(Parts, 3);
    iov[0] = {header, sizeof(header)};
    for (int i = 1; i < count; ++i) iov[i] = pParts[i - 1];
    qor::MutexLock lock(&pClient->TxMutex);
    if (pClient->Sock < 0 || (pGeneration && *pGeneration != pClient->Generation)) return -2;
    if (DbgSioIpcProtocol) {
        std::vector<uint8_t> whole;
        for (int i = 0; i < count; ++i)
            whole.insert(whole.end(), static_cast<const uint8_t*>(iov[i].iov_base),
                         static_cast<const uint8_t*>(iov[i].iov_base) + iov[i].iov_len);
        _Dump(whole.data(), whole.size(), false);
    }
    size_t sent = 0;
    int failed = 0, first = 0;
    while (sent < total) {
        struct msghdr msg {};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = static_cast<size_t>(count - first);
        const ssize_t rc = sendmsg(pClient->Sock, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (rc > 0) {
            sent += static_cast<size_t>(rc);
            // Step over what went out: whole parts, then into the part it stopped in.
            size_t done = static_cast<size_t>(rc);
            while (first < count && done >= iov[first].iov_len) done -= iov[first++].iov_len;
            if (first < count) {
                iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
                iov[first].iov_len -= done;
            }
            continue;
        }
        if (++failed >= kMaxFailedCalls) {
            PemDbg(1, 1, "SIO C (T:%d), conti tx, touch trycnt, TxReturn:%d, TotalLengthTx:%d, Remain:%d\n",
                   pClient->ServerTcpPort, static_cast<int>(rc), static_cast<int>(sent),
                   static_cast<int>(total - sent));
            return -2;
        }
        if (rc < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -2;
        struct pollfd pfd = {pClient->Sock, POLLOUT, 0};
        poll(&pfd, 1, 1);
    }
    return static_cast<int>(sent);
}

int SioClientTx(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    if (Length == 0) return 0;
    if (Length < kSioHeaderLength) return -1;
    const struct iovec part = {const_cast<uint8_t*>(pMessage + kSioHeaderLength), Length - kSioHeaderLength};
    return SioClientTxMsg(pClient, nullptr, SioHeaderDecode(pMessage), &part, 1);
}

int SioClientTxToUnit(PVN_DEVICE pVn, const _SIO_HEADER& Hdr, const struct iovec* pParts, int Parts,
                      int* pPort) {
    std::shared_ptr<_SIO_SERVER> s = SioServerGet(pVn);
    *pPort = s ? s->Client.ServerTcpPort : 0;
    if (!s) return -2;
    return SioClientTxMsg(&s->Client, nullptr, Hdr, pParts, Parts);
}

void SioClientReplyNoObject(PSIO_CLIENT pClient, const uint8_t* pMessage) {
    const _SIO_HEADER req = SioHeaderDecode(pMessage);
    const _SIO_HEADER h = {kSioVersion,
                           0,
                           req.DeviceType,
                           req.ChannelNumber,
                           static_cast<uint16_t>(req.CmdResponseEventData + kSioResponseBit),
                           SIO_STATUS_OBJECT_NOT_FOUND,
                           0};
    const uint32_t generation = pClient->Generation;
    SioClientTxMsg(pClient, &generation, h, nullptr, 0);
}

void SioClientDispatch(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    if (Length < kSioHeaderLength) return;
    const uint8_t type = pMessage[2];
    const _SIO_FAMILY* f = type < 12 ? SioFamilies[type] : nullptr;
    if (f) {
        SioObjHandleFromLibrary(*f, pClient, pMessage, Length);
        return;
    }
    // Parallel and counter channels, and families this service does not serve, have no
    // objects; other types are no channel type at all.
    if (type < SIO_DEVICE_SER || type > SIO_DEVICE_TPS)
        PemDbg(1, 1, "SIO C (T:%d), RX, unsupport DeviceType:x%02x\n", pClient->ServerTcpPort, type);
    SioClientReplyNoObject(pClient, pMessage);
}

int SioClientHandleRx(PSIO_CLIENT pClient) {
    uint8_t* buff = pClient->RxBuff.get();
    const int port = pClient->ServerTcpPort;
    memset(buff, 0, kSioRxBuffSize);
    bool closed = false;
    // A header split over segments is waited for like the rest of a message; one that does
    // not arrive whole is dropped.
    size_t have = _RecvUpTo(pClient->Sock, buff, 0, kSioHeaderLength, &closed, port);
    if (have < kSioHeaderLength) return closed ? 0 : 1;
    const _SIO_HEADER hdr = SioHeaderDecode(buff);
    const uint64_t total = uint64_t{hdr.Length} + kSioHeaderLength;
    if (total > SIO_MSG_MAX_PAYLOAD)
        PemDbg(1, 1, "SIO C (T:%d), RX, TotalLengthNeedRx:%d, SIO_MSG_MAX_PAYLOAD:%d, !!!!! TOO BIG !!!!!\n",
               port, static_cast<int>(std::min<uint64_t>(total, INT32_MAX)),
               static_cast<int>(SIO_MSG_MAX_PAYLOAD));
    // A message that cannot fit the receive buffer is none of this protocol; the stream behind
    // it cannot be trusted to start with a header, so the connection is closed.
    if (total > kSioRxBuffSize) return 0;
    have = _RecvUpTo(pClient->Sock, buff, have, static_cast<size_t>(total), &closed, port);
    if (DbgSioIpcProtocol) _Dump(buff, have, true);
    // Handled with the bytes that arrived; the rest of the buffer is zero.
    SioClientDispatch(pClient, buff, have);
    return closed ? 0 : 1;
}
