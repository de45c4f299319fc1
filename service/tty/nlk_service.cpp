#include "nlk_service.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <new>

#include "nlk_tty.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_thread.h"
#include "qor_wire.h"
#include "vn_unit_services.h"

_NLK_SERVICE NlkService = {0, -1, {}, {}, PTHREAD_MUTEX_INITIALIZER, -1, {}, {}, {}};
std::atomic<int> NlkServiceStarted{0};

namespace {

// Senders hold it shared for each send; stop holds it exclusively to close the socket, so a
// late worker never sends on a descriptor that was closed and reused.
pthread_rwlock_t gSockLock = PTHREAD_RWLOCK_INITIALIZER;

const char* const kRequestNames[] = {
    "TTY_CMD_OPEN",
    "TTY_CMD_CLOSE",
    "TTY_CMD_SET_DLL_DLM",
    "TTY_CMD_SET_LCR",
    "TTY_CMD_SET_FIFO_CTRL",
    "TTY_CMD_SET_MCR",
    "TTY_CMD_SET_EVENT_CTRL",
    "TTY_CMD_GET_MSR",
    "TTY_CMD_GET_MODE_1",
    "TTY_CMD_SET_MODE_1",
    "TTY_CMD_GET_MODE_2",
    "TTY_CMD_SET_MODE_2",
    "TTY_CMD_GET_ON_CHIP_HARDWARE_FLOW_CTRL",
    "TTY_CMD_SET_ON_CHIP_HARDWARE_FLOW_CTRL",
    "TTY_CMD_GET_TX_CURRENT_CREDIT",
    "TTY_CMD_GET_TX_FIFO_DATA_CNT",
    "TTY_CMD_GET_TX_TRIGGER_LEVEL",
    "TTY_CMD_SET_TX_TRIGGER_LEVEL",
    "TTY_CMD_GET_RX_TRIGGER_LEVEL",
    "TTY_CMD_SET_RX_TRIGGER_LEVEL",
};
const char* const kResponseNames[] = {
    "TTY_RESPONSE_OPEN",
    "TTY_RESPONSE_CLOSE",
    "TTY_RESPONSE_SET_DLL_DLM",
    "TTY_RESPONSE_SET_LCR",
    "TTY_RESPONSE_SET_FIFO_CTRL",
    "TTY_RESPONSE_SET_MCR",
    "TTY_RESPONSE_SET_EVENT_CTRL",
    "TTY_RESPONSE_GET_MSR",
    "TTY_RESPONSE_GET_MODE_1",
    "TTY_RESPONSE_SET_MODE_1",
    "TTY_RESPONSE_GET_MODE_2",
    "TTY_RESPONSE_SET_MODE_2",
    "TTY_RESPONSE_GET_ON_CHIP_HARDWARE_FLOW_CTRL",
    "TTY_RESPONSE_SET_ON_CHIP_HARDWARE_FLOW_CTRL",
    "TTY_RESPONSE_GET_TX_CURRENT_CREDIT",
    "TTY_RESPONSE_GET_TX_FIFO_DATA_CNT",
    "TTY_RESPONSE_GET_TX_TRIGGER_LEVEL",
    "TTY_RESPONSE_SET_TX_TRIGGER_LEVEL",
    "TTY_RESPONSE_GET_RX_TRIGGER_LEVEL",
    "TTY_RESPONSE_SET_RX_TRIGGER_LEVEL",
};

void _CloseFd(int* pFd) {
    if (*pFd >= 0) close(*pFd);
    *pFd = -1;
}

void _CloseSock(_NLK_SERVICE* s) {
    qor::WriteLock lock(&gSockLock);
    _CloseFd(&s->Sock);
}

int _CreateSocket(_NLK_SERVICE* s) {
    const int sock = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NlkProtocol);
    if (sock < 0) {
        // A host without the kernel driver: the bridge does not run, which is not an error.
        if (errno != EPROTONOSUPPORT) PemDbg(1, 1, "NLK, create socket fail, errno:%d\n", errno);
        return 0;
    }
    s->SrcAddr = {};
    s->SrcAddr.nl_family = AF_NETLINK;
    s->SrcAddr.nl_pid = static_cast<uint32_t>(getpid());
    s->SrcAddr.nl_groups = 0;
    if (bind(sock, reinterpret_cast<const sockaddr*>(&s->SrcAddr), sizeof(s->SrcAddr)) != 0) {
        PemDbg(1, 1, "NLK, bind fail, errno:%d\n", errno);
        close(sock);
        return 0;
    }
    const int group = NlkGroup;
    if (setsockopt(sock, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof(group)) != 0) {
        PemDbg(1, 1, "NLK, setsockopt fail, errno:%d\n", errno);
        close(sock);
        return 0;
    }
    {
        qor::MutexLock lock(&s->DestAddrMutex);
        s->DestAddr = {};
        s->DestAddr.nl_family = AF_NETLINK;
    }
    qor::WriteLock lock(&gSockLock);
    s->Sock = sock;
    return 1;
}

// One message from the socket: checked, traced and handed to the TTY bridge.
void _HandleRx(_NLK_SERVICE* s) {
    uint8_t* buff = s->RxBuff;
    struct sockaddr_nl from = {};
    struct iovec iov = {buff, sizeof(s->RxBuff)};
    struct msghdr msg = {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    const ssize_t rc = recvmsg(s->Sock, &msg, 0);
    if (rc < 0) {
        PemDbg(1, 1, "NLK, rx thd, recvmsg fail, RxReturn:%d, errno:%d\n", static_cast<int>(rc), errno);
        return;
    }
    if (msg.msg_namelen >= sizeof(from) && from.nl_family == AF_NETLINK) {
        qor::MutexLock lock(&s->DestAddrMutex);
        s->DestAddr = from;
    }
    // The NLK part is what the netlink header announces, but never more than arrived (a
    // truncated datagram or a header that claims more is cut to the received bytes).
    const size_t received = static_cast<size_t>(rc);
    int nlkLength = -1;
    if (received >= NLMSG_HDRLEN) {
        uint32_t nlmsgLen;
        memcpy(&nlmsgLen, buff, sizeof(nlmsgLen));  // host order, as netlink defines it
        nlkLength = static_cast<int>(std::min<size_t>(nlmsgLen, received)) - static_cast<int>(NLMSG_HDRLEN);
    }
    if (nlkLength < static_cast<int>(kNlkHeaderLength)) {
        PemDbg(1, 1, "NLK, rx thd, recvmsg fail, RxLength:%d\n", nlkLength);
        return;
    }
    const uint8_t* nlk = buff + NLMSG_HDRLEN;
    const size_t length = static_cast<size_t>(nlkLength);
    if (__atomic_load_n(&DbgNlkIpcProtocol, __ATOMIC_RELAXED)) NlkDump(nlk, length, true);
    if (nlk[2] != kNlkDeviceTypeTty) return;
    NlkTtyHandleFromKernel(nlk, length);
}

void* _RxThread(void* arg) {
    auto* s = static_cast<_NLK_SERVICE*>(arg);
    for (;;) {
        struct pollfd fds[2] = {{s->RxThreadExitFd, POLLIN, 0}, {s->Sock, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno != EINTR) PemDbg(1, 1, "NLK, rx thd, select fail, errno:%d\n", errno);
            continue;
        }
        if (fds[0].revents) break;
        if (fds[1].revents) _HandleRx(s);
    }
    return nullptr;
}

void _SignalExit(int fd) {
    const uint64_t one = 1;
    for (int i = 0; i < 3; ++i)
        if (write(fd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
}

}  // namespace

_NLK_HEADER NlkHeaderDecode(const uint8_t* p) {
    return {p[0], p[1], p[2], p[3], qor::GetLe16(p + 4), qor::GetLe16(p + 6), qor::GetLe32(p + 8)};
}

void NlkHeaderEncode(const _NLK_HEADER& h, uint8_t* p) {
    p[0] = h.Version;
    p[1] = h.Reserved;
    p[2] = h.DeviceType;
    p[3] = h.MinorNumber;
    qor::PutLe16(p + 4, h.CmdResponseEventData);
    qor::PutLe16(p + 6, h.ResponseStatus);
    qor::PutLe32(p + 8, h.Length);
}

const char* NlkCodeName(uint16_t Code) {
    if (Code >= kNlkFirstRequest && Code <= kNlkLastRequest) return kRequestNames[Code - 1];
    if (Code >= (kNlkResponseBit | kNlkFirstRequest) && Code <= (kNlkResponseBit | kNlkLastRequest))
        return kResponseNames[(Code & 0x7FFF) - 1];
    switch (Code) {
        case TTY_EVENT_MSR:
            return "TTY_EVENT_MSR";
        case TTY_EVENT_LSR:
            return "TTY_EVENT_LSR";
        case TTY_EVENT_DATA_SERVICE_TO_KERNEL:
            return "TTY_EVENT_DATA_SERVICE_TO_KERNEL";
        case TTY_DATA_KERNEL_TO_SERVICE:
            return "TTY_DATA_KERNEL_TO_SERVICE";
        case TTY_DATA_SERVICE_TO_KERNEL:
            return "TTY_DATA_SERVICE_TO_KERNEL";
        default:
            return "UNKNOW";
    }
}

void NlkDump(const uint8_t* p, size_t Length, bool Received) {
    if (Length < kNlkHeaderLength) return;
    const _NLK_HEADER h = NlkHeaderDecode(p);
    const char* line = Received ? "<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<<" : ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
    qor::MutexLock lock(&DbgLock);
    PemDbg(0, 0, "%s, Length:%d\n", line, static_cast<int>(Length));
    PemDbg(0, 0, "DeviceType           : %d\n", h.DeviceType);
    PemDbg(0, 0, "MinorNumber          : %d\n", h.MinorNumber);
    if (h.DeviceType == kNlkDeviceTypeTty)
        PemDbg(0, 0, "CmdResponseEventData : %s\n", NlkCodeName(h.CmdResponseEventData));
    PemDbg(0, 0, "ResponseStatus       : x%04x\n", h.ResponseStatus);
    PemDbg(0, 0, "Length               : x%08x, %d\n", h.Length, static_cast<int>(h.Length));
    // At most the bytes that are there, whatever the header claims.
    if (h.Length != 0) PemDumpBytes(p + kNlkHeaderLength, std::min<size_t>(h.Length & 0xFFFF, Length - kNlkHeaderLength));
    PemDbg(0, 0, "%s\n", line);
}

namespace {

// Sends the netlink message in buff (total bytes, the NLK message at NLMSG_HDRLEN, Length
// bytes of it) to the driver.
int _Send(uint8_t* buff, size_t total, size_t Length) {
    struct nlmsghdr nh = {};
    nh.nlmsg_len = static_cast<uint32_t>(total);
    nh.nlmsg_pid = NlkService.SrcAddr.nl_pid;
    memcpy(buff, &nh, sizeof(nh));  // netlink's own header is in host order
    struct sockaddr_nl dest;
    {
        qor::MutexLock lock(&NlkService.DestAddrMutex);
        dest = NlkService.DestAddr;
    }
    struct iovec iov = {buff, total};
    struct msghdr msg = {};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof(dest);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    int rc = -1;
    int err = EBADF;
    {
        qor::ReadLock lock(&gSockLock);
        if (NlkService.Sock >= 0) {
            rc = static_cast<int>(sendmsg(NlkService.Sock, &msg, 0));
            err = errno;
        }
    }
    if (rc < 0) PemDbg(1, 1, "NLK, tx, sending message to kernel fail, TxReturn:%d, errno:%d\n", rc, err);
    if (__atomic_load_n(&DbgNlkIpcProtocol, __ATOMIC_RELAXED) && Length >= 1)
        NlkDump(buff + NLMSG_HDRLEN, Length, false);
    return rc;
}

// A zeroed buffer for a netlink message carrying Length NLK bytes; null when too long (-1) or
// out of memory (-2), with its message.
std::unique_ptr<uint8_t[]> _Alloc(size_t Length, size_t* pTotal, int* pError) {
    if (Length > kNlkMaxMessage) {
        PemDbg(1, 1, "NLK, tx, TxLength too big, TxLength:%d\n", static_cast<int>(Length));
        *pError = -1;
        return nullptr;
    }
    *pTotal = NLMSG_ALIGN(Length + NLMSG_HDRLEN);
    std::unique_ptr<uint8_t[]> buff(new (std::nothrow) uint8_t[*pTotal]());
    if (!buff) {
        PemDbg(1, 1, "NLK, tx, malloc fail\n");
        *pError = -2;
    }
    return buff;
}

}  // namespace

int NlkTx(const uint8_t* pBuff, size_t Length) {
    size_t total = 0;
    int error = 0;
    std::unique_ptr<uint8_t[]> buff = _Alloc(Length, &total, &error);
    if (!buff) return error;
    if (Length) memcpy(buff.get() + NLMSG_HDRLEN, pBuff, Length);
    return _Send(buff.get(), total, Length);
}

int NlkTxMessage(_NLK_HEADER h, const uint8_t* p1, size_t n1, const uint8_t* p2, size_t n2) {
    const size_t Length = kNlkHeaderLength + n1 + n2;
    size_t total = 0;
    int error = 0;
    std::unique_ptr<uint8_t[]> buff = _Alloc(Length, &total, &error);
    if (!buff) return error;
    uint8_t* nlk = buff.get() + NLMSG_HDRLEN;
    h.Length = static_cast<uint32_t>(n1 + n2);
    NlkHeaderEncode(h, nlk);
    if (n1) memcpy(nlk + kNlkHeaderLength, p1, n1);
    if (n2) memcpy(nlk + kNlkHeaderLength + n1, p2, n2);
    return _Send(buff.get(), total, Length);
}

int NlkServiceStart(_NLK_SERVICE* s) {
    if (s->Start) return 1;
    s->RxThreadExitFd = -1;
    if (!_CreateSocket(s)) return 0;
    s->RxThreadExitFd = eventfd(0, EFD_CLOEXEC);
    if (s->RxThreadExitFd < 0) {
        _CloseSock(s);
        return 0;
    }
    if (qor::ThreadAttrInit(&s->RxThreadAttr) != 0) {
        _CloseFd(&s->RxThreadExitFd);
        _CloseSock(s);
        return 0;
    }
    if (qor::ThreadCreate(&s->RxThreadHd, &s->RxThreadAttr, _RxThread, s) != 0) {
        pthread_attr_destroy(&s->RxThreadAttr);
        _CloseFd(&s->RxThreadExitFd);
        _CloseSock(s);
        return 0;
    }
    s->Start = 1;
    NlkServiceStarted.store(1);
    return 1;
}

void NlkServiceStop(_NLK_SERVICE* s) {
    if (!s->Start) return;
    NlkServiceStarted.store(0);
    _SignalExit(s->RxThreadExitFd);
    pthread_join(s->RxThreadHd, nullptr);
    pthread_attr_destroy(&s->RxThreadAttr);
    _CloseFd(&s->RxThreadExitFd);
    _CloseSock(s);
    s->Start = 0;
}

void NlkServiceRegister() {
    VnUnitServices.TtyBridgeStarted = []() { return NlkServiceStarted.load(); };
}
