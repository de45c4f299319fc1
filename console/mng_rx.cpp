#include "mng_rx.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "pem_console.h"
#include "pem_thread.h"

namespace {

enum class _RxResult { Done, Closed, Exit };

// Waits until the socket has data or the exit eventfd is set.
_RxResult _WaitReadable(PMNG_CLIENT pClient) {
    for (;;) {
        struct pollfd pfd[2] = {{pClient->RxThreadExitFd, POLLIN, 0}, {pClient->Sock, POLLIN, 0}};
        const int n = poll(pfd, 2, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            return _RxResult::Closed;
        }
        if (pfd[0].revents) return _RxResult::Exit;
        if (pfd[1].revents) return _RxResult::Done;
    }
}

// Reads exactly Length bytes; a null pBuff drops them. Gives up after 1025 failed reads.
_RxResult _ReadExact(PMNG_CLIENT pClient, uint8_t* pBuff, size_t Length) {
    uint8_t scratch[512];
    size_t done = 0;
    int failures = 0;
    while (done < Length) {
        const _RxResult w = _WaitReadable(pClient);
        if (w != _RxResult::Done) return w;
        size_t want = Length - done;
        uint8_t* dst = pBuff ? pBuff + done : scratch;
        if (!pBuff && want > sizeof(scratch)) want = sizeof(scratch);
        const ssize_t n = recv(pClient->Sock, dst, want, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return _RxResult::Closed;  // the service closed the connection
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return _RxResult::Closed;
        if (++failures >= kMngTryCount) return _RxResult::Closed;
    }
    return _RxResult::Done;
}

void _HandleEvent(const uint8_t* pPacket, size_t Stored) {
    const _MNG_HEADER h = MngHeaderGet(pPacket);
    if (h.CmdResponseEvent == EVENT_VN_DISCONNECT && h.Length == 6 && Stored >= kMngHeaderLength + 6) {
        const uint8_t* m = pPacket + kMngHeaderLength;
        PemClearScreen();
        PemPrintf("\nd[#_#]b : ##### Receive VN (%.2x:%.2x:%.2x:%.2x:%.2x:%.2x) disconnect event. #####\n\n",
                  m[0], m[1], m[2], m[3], m[4], m[5]);
        fflush(PemOut);
    }
}

void* _Thread(void* pArg) {
    auto* pClient = static_cast<PMNG_CLIENT>(pArg);
    uint8_t* packet = pClient->RxPacket.get();
    for (;;) {
        _RxResult r = _ReadExact(pClient, packet, kMngHeaderLength);
        if (r != _RxResult::Done) break;
        const _MNG_HEADER h = MngHeaderGet(packet);
        // Whatever the header claims, at most the buffer is kept; the rest is read and dropped so
        // the next packet starts where it should.
        const size_t room = kMngBuffSize - kMngHeaderLength;
        const size_t keep = h.Length < room ? h.Length : room;
        r = _ReadExact(pClient, packet + kMngHeaderLength, keep);
        if (r == _RxResult::Done && h.Length > keep) r = _ReadExact(pClient, nullptr, h.Length - keep);
        if (r != _RxResult::Done) break;
        const size_t stored = kMngHeaderLength + keep;
        if (h.CmdResponseEvent & MNG_RESPONSE_FLAG) {
            MngClientCompleteCmd(pClient, packet, stored);
        } else if (h.CmdResponseEvent & MNG_EVENT_FLAG) {
            _HandleEvent(packet, stored);
        }
    }
    pClient->IsConnect = 0;
    return nullptr;
}

}  // namespace

int MngRxThreadCreate(PMNG_CLIENT pClient) {
    pClient->RxThreadExitFd = eventfd(0, EFD_CLOEXEC);
    if (pClient->RxThreadExitFd < 0) return 0;
    const bool attrReady = qor::ThreadAttrInit(&pClient->RxThreadAttr) == 0;
    if (!attrReady || pthread_create(&pClient->RxThreadHd, &pClient->RxThreadAttr, _Thread, pClient) != 0) {
        if (attrReady) pthread_attr_destroy(&pClient->RxThreadAttr);
        close(pClient->RxThreadExitFd);
        pClient->RxThreadExitFd = -1;
        return 0;
    }
    pClient->RxThreadRunning = true;
    return 1;
}

void MngRxThreadDelete(PMNG_CLIENT pClient) {
    if (!pClient->RxThreadRunning) return;
    const uint64_t one = 1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (write(pClient->RxThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
    }
    pthread_join(pClient->RxThreadHd, nullptr);
    pthread_attr_destroy(&pClient->RxThreadAttr);
    close(pClient->RxThreadExitFd);
    pClient->RxThreadExitFd = -1;
    pClient->RxThreadRunning = false;
}
