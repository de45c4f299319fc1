// The SIO core of libqorio: the connection registry, the receive thread and its parser, the
// request/response exchange, sio_init/sio_free/sio_get_connection_status and the global
// callback trampolines.
#include "sio_core.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "pem_lock.h"
#include "pem_thread.h"
#include "qor_wire.h"
#include "ser_decode.h"

namespace qorlib {

namespace {

constexpr uint16_t kMngPort = 50000;
// The receive thread runs the application's callbacks, which may be code of another language
// (a ctypes callback needs far more than 16 KiB): it gets a stack of its own size.
constexpr size_t kSioRxStackSize = qor::kThreadStackSize > 262144 ? qor::kThreadStackSize : 262144;
// Reads of a message that return nothing before the receive thread gives up on it.
constexpr int kSioRxTryCount = 129;

}  // namespace

struct _SIO_CONNECTION {
    uint8_t VnMac[6] = {};
    uint16_t Port = 0;
    // One request (or multi-request step) at a time; also taken to renew the socket.
    std::mutex RequestMutex;
    // Whole messages go out one at a time; held while the socket is swapped.
    std::mutex SendMutex;
    std::atomic<int> Sock{-1};
    // Receive thread.
    pthread_t RxThreadHd{};
    pthread_attr_t RxThreadAttr{};
    int RxThreadExitFd = -1;
    std::atomic<bool> RxThreadStarted{false};  // written under RequestMutex, read by senders too
    std::unique_ptr<uint8_t[]> RxBuff;
    std::unique_ptr<uint8_t[]> Scratch;
    uint8_t CallbackMac[6] = {};
    // The waiting call, under ResponseMutex.
    pthread_mutex_t ResponseMutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t ResponseCond;
    bool CondReady = false;
    bool Waiting = false;
    bool Complete = false;
    uint8_t WaitDeviceType = 0;
    uint8_t WaitChl = 0;
    uint16_t WaitCode = 0;
    _SIO_RESPONSE* pWaitResponse = nullptr;
    bool RxDown = false;  // the receive thread lost the socket
    bool Freed = false;   // sio_free or the unit's loss: calls end with 80
    std::array<_SIO_CHANNEL_BLOCK, kSioChannels> Chl;

    // A connection still open when the registry goes (the program ends without sio_free)
    // stops its receive thread before anything it uses is destroyed.
    ~_SIO_CONNECTION() {
        if (RxThreadStarted) {
            const uint64_t one = 1;
            for (int i = 0; i < 3; ++i) {
                if (write(RxThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
            }
            pthread_join(RxThreadHd, nullptr);
            pthread_attr_destroy(&RxThreadAttr);
            close(RxThreadExitFd);
        }
        if (CondReady) pthread_cond_destroy(&ResponseCond);
        const int s = Sock.exchange(-1);
        if (s >= 0) close(s);
    }
};

namespace {

std::mutex SioListMutex;
std::vector<PSIO_CONNECTION> SioList;

// The connection whose receive thread this is (callbacks run there).
thread_local _SIO_CONNECTION* tRxConnection = nullptr;

enum class _RxResult { Done, Closed, Exit };

_RxResult _WaitReadable(_SIO_CONNECTION* c, int Sock) {
    for (;;) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(c->RxThreadExitFd, &set);
        if (Sock >= 0) FD_SET(Sock, &set);
        const int n = select(std::max(Sock, c->RxThreadExitFd) + 1, &set, nullptr, nullptr, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return _RxResult::Closed;
        }
        if (FD_ISSET(c->RxThreadExitFd, &set)) return _RxResult::Exit;
        if (Sock >= 0 && FD_ISSET(Sock, &set)) return _RxResult::Done;
    }
}

// Exactly Length bytes (a null pBuff drops them); gives up after 129 reads that bring nothing.
_RxResult _ReadExact(_SIO_CONNECTION* c, int Sock, uint8_t* pBuff, size_t Length) {
    uint8_t scratch[512];
    size_t done = 0;
    int failures = 0;
    while (done < Length) {
        const _RxResult w = _WaitReadable(c, Sock);
        if (w != _RxResult::Done) return w;
        size_t want = Length - done;
        uint8_t* dst = pBuff ? pBuff + done : scratch;
        if (!pBuff && want > sizeof(scratch)) want = sizeof(scratch);
        const ssize_t n = recv(Sock, dst, want, 0);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) return _RxResult::Closed;
        if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return _RxResult::Closed;
        if (++failures >= kSioRxTryCount) return _RxResult::Closed;
    }
    return _RxResult::Done;
}

// A response goes to the waiting call only when it is that call's: same device type, channel
// and code; anything else (a late or foreign response) is dropped.
void _CompleteRequest(_SIO_CONNECTION* c, const _SIO_HEADER& h, const uint8_t* pPayload, size_t Length) {
    qor::MutexLock lock(&c->ResponseMutex);
    if (!c->Waiting || c->Complete || h.Version != kSioVersion || h.DeviceType != c->WaitDeviceType ||
        h.ChannelNumber != c->WaitChl || h.CmdResponseEventData != c->WaitCode) {
        return;
    }
    _SIO_RESPONSE* r = c->pWaitResponse;
    r->Status = h.ResponseStatus;
    r->Length = std::min(Length, sizeof(r->Payload));
    memcpy(r->Payload, pPayload, r->Length);
    c->Complete = true;
    pthread_cond_broadcast(&c->ResponseCond);
}

void _SioDebugPacketFromService(_SIO_CONNECTION* c, const uint8_t* pMessage, size_t Stored) {
    const _SIO_HEADER h = SioHeaderGet(pMessage);
    const uint8_t* payload = pMessage + kSioHeaderLength;
    const size_t length = std::min<size_t>(h.Length, Stored - kSioHeaderLength);
    if (h.CmdResponseEventData & kSioResponseFlag) {
        _CompleteRequest(c, h, payload, length);
        return;
    }
    if (h.Version != kSioVersion || h.ChannelNumber >= kSioChannels) return;
    if (h.DeviceType == kSioDeviceSer) SerHandleFromService(*c, h, payload, length);
    if (h.DeviceType == kSioDeviceDio) DioHandleFromService(*c, h, payload, length);
    if (h.DeviceType == kSioDeviceAi || h.DeviceType == kSioDeviceMai) AnalogHandleFromService(*c, h, payload, length);
}

void* _SioRxThread(void* pArg) {
    auto* c = static_cast<_SIO_CONNECTION*>(pArg);
    tRxConnection = c;
    const int sock = c->Sock.load();
    uint8_t* buff = c->RxBuff.get();
    for (;;) {
        memset(buff, 0, kSioHeaderLength);
        _RxResult r = _ReadExact(c, sock, buff, kSioHeaderLength);
        if (r == _RxResult::Done) {
            const _SIO_HEADER h = SioHeaderGet(buff);
            // At most the buffer is kept; the rest is read and dropped so that the next
            // message starts where it should.
            const size_t room = kSioRxBuffSize - kSioHeaderLength;
            const size_t keep = std::min<size_t>(h.Length, room);
            r = _ReadExact(c, sock, buff + kSioHeaderLength, keep);
            if (r == _RxResult::Done && h.Length > keep) r = _ReadExact(c, sock, nullptr, h.Length - keep);
            if (r == _RxResult::Done) _SioDebugPacketFromService(c, buff, kSioHeaderLength + keep);
        }
        if (r == _RxResult::Exit) break;
        if (r == _RxResult::Closed) {
            // The service closed the connection (or the stream cannot be trusted): wake the
            // waiting call and wait only for the stop signal. The next call renews the socket.
            {
                qor::MutexLock lock(&c->ResponseMutex);
                c->RxDown = true;
                pthread_cond_broadcast(&c->ResponseCond);
            }
            _WaitReadable(c, -1);
            break;
        }
    }
    return nullptr;
}

bool _SioRxThreadCreate(_SIO_CONNECTION* c) {
    c->RxThreadExitFd = eventfd(0, EFD_CLOEXEC);
    if (c->RxThreadExitFd < 0) return false;
    bool ok = pthread_attr_init(&c->RxThreadAttr) == 0;
    if (ok && pthread_attr_setstacksize(&c->RxThreadAttr, kSioRxStackSize) != 0) {
        pthread_attr_destroy(&c->RxThreadAttr);
        ok = false;
    }
    if (ok && pthread_create(&c->RxThreadHd, &c->RxThreadAttr, _SioRxThread, c) != 0) {
        pthread_attr_destroy(&c->RxThreadAttr);
        ok = false;
    }
    if (!ok) {
        close(c->RxThreadExitFd);
        c->RxThreadExitFd = -1;
        return false;
    }
    c->RxThreadStarted = true;
    return true;
}

void SioRxThreadDelete(_SIO_CONNECTION* c) {
    if (!c->RxThreadStarted) return;
    const uint64_t one = 1;
    for (int i = 0; i < 3; ++i) {
        if (write(c->RxThreadExitFd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one))) break;
    }
    pthread_join(c->RxThreadHd, nullptr);
    pthread_attr_destroy(&c->RxThreadAttr);
    close(c->RxThreadExitFd);
    c->RxThreadExitFd = -1;
    c->RxThreadStarted = false;
}

// A blocking TCP connection to 127.0.0.1:Port. The unit's server re-listens only on its next
// 10 ms tick after its previous client left, so a refusal is retried for a second.
int SioConnect(uint16_t Port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(Port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (sock < 0) return -1;
        const int one = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (connect(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) return sock;
        const int err = errno;
        close(sock);
        if (err != ECONNREFUSED) return -1;
        usleep(10000);
    }
    return -1;
}

// Stops the receive thread and closes the socket; called with RequestMutex held.
void SioDisconnect(_SIO_CONNECTION* c) {
    const int s = c->Sock.load();
    if (s >= 0) shutdown(s, SHUT_RDWR);
    SioRxThreadDelete(c);
    std::lock_guard<std::mutex> sendLock(c->SendMutex);
    const int old = c->Sock.exchange(-1);
    if (old >= 0) close(old);
}

// A fresh socket and receive thread in place of the old ones; called with RequestMutex held.
bool _SioRenew(_SIO_CONNECTION* c) {
    SioDisconnect(c);
    {
        qor::MutexLock lock(&c->ResponseMutex);
        if (c->Freed) return false;
        c->RxDown = false;
    }
    const int sock = SioConnect(c->Port);
    if (sock < 0) return false;
    c->Sock = sock;
    if (_SioRxThreadCreate(c)) return true;
    std::lock_guard<std::mutex> sendLock(c->SendMutex);
    c->Sock = -1;
    close(sock);
    return false;
}

bool _Healthy(_SIO_CONNECTION* c) {
    qor::MutexLock lock(&c->ResponseMutex);
    return c->Sock.load() >= 0 && c->RxThreadStarted && !c->RxDown;
}

// The whole message on the socket, under SendMutex; false when it did not go out whole.
bool _SendWhole(_SIO_CONNECTION* c, const uint8_t* p, size_t Length) {
    std::lock_guard<std::mutex> sendLock(c->SendMutex);
    const int sock = c->Sock.load();
    if (sock < 0) return false;
    size_t done = 0;
    int failures = 0;
    while (done < Length) {
        const ssize_t n = send(sock, p + done, Length - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (++failures >= 3) {
            break;
        }
    }
    // A message cut short leaves the stream unusable: shut it so the next call renews it.
    if (done != Length) shutdown(sock, SHUT_RDWR);
    return done == Length;
}

std::vector<uint8_t> _Message(uint8_t DeviceType, uint8_t Chl, uint16_t Code, const uint8_t* pPayload,
                              size_t Length) {
    std::vector<uint8_t> m(kSioHeaderLength + Length);
    _SIO_HEADER h;
    h.DeviceType = DeviceType;
    h.ChannelNumber = Chl;
    h.CmdResponseEventData = Code;
    h.Length = static_cast<uint32_t>(Length);
    SioHeaderPut(h, m.data());
    if (Length > 0) memcpy(m.data() + kSioHeaderLength, pPayload, Length);
    return m;
}

void _Stop(const PSIO_CONNECTION& c) {
    {
        qor::MutexLock lock(&c->ResponseMutex);
        c->Freed = true;
        pthread_cond_broadcast(&c->ResponseCond);
    }
    std::lock_guard<std::mutex> request(c->RequestMutex);
    SioDisconnect(c.get());
}

PSIO_CONNECTION _Remove(const uint8_t* pMac) {
    std::lock_guard<std::mutex> lock(SioListMutex);
    const auto it = std::find_if(SioList.begin(), SioList.end(),
                                 [&](const PSIO_CONNECTION& c) { return memcmp(c->VnMac, pMac, 6) == 0; });
    if (it == SioList.end()) return nullptr;
    PSIO_CONNECTION c = *it;
    SioList.erase(it);
    return c;
}

}  // namespace

void SioHeaderPut(const _SIO_HEADER& h, uint8_t* p) {
    p[0] = h.Version;
    p[1] = 0;
    p[2] = h.DeviceType;
    p[3] = h.ChannelNumber;
    qor::PutLe16(p + 4, h.CmdResponseEventData);
    qor::PutLe16(p + 6, h.ResponseStatus);
    qor::PutLe32(p + 8, h.Length);
}

_SIO_HEADER SioHeaderGet(const uint8_t* p) {
    _SIO_HEADER h;
    h.Version = p[0];
    h.DeviceType = p[2];
    h.ChannelNumber = p[3];
    h.CmdResponseEventData = qor::GetLe16(p + 4);
    h.ResponseStatus = qor::GetLe16(p + 6);
    h.Length = qor::GetLe32(p + 8);
    return h;
}

PSIO_CONNECTION SioMainGetByMac(const uint8_t* pMac) {
    if (!pMac) return nullptr;
    std::lock_guard<std::mutex> lock(SioListMutex);
    for (const auto& c : SioList) {
        if (memcmp(c->VnMac, pMac, 6) == 0) return c;
    }
    return nullptr;
}

_SIO_CHANNEL_BLOCK& SioChannel(_SIO_CONNECTION& c, uint8_t Chl) { return c.Chl[Chl % kSioChannels]; }

uint8_t* SioCallbackScratch(_SIO_CONNECTION& c, size_t* pSize) {
    *pSize = kSerScratchSize;
    return c.Scratch.get();
}

uint8_t* SioCallbackMac(_SIO_CONNECTION& c) {
    memcpy(c.CallbackMac, c.VnMac, 6);
    return c.CallbackMac;
}

SioExchange::SioExchange(const PSIO_CONNECTION& c) : c_(c) { c_->RequestMutex.lock(); }
SioExchange::~SioExchange() { c_->RequestMutex.unlock(); }

_SIO_CHANNEL_BLOCK& SioExchange::Channel(uint8_t Chl) { return SioChannel(*c_, Chl); }

int SioExchange::Request(uint8_t DeviceType, uint8_t Chl, uint16_t Code, const uint8_t* pPayload, size_t Length) {
    _SIO_CONNECTION* c = c_.get();
    // Its answer could only be read by the thread that is busy running this callback.
    if (tRxConnection == c) return SIO_ERR_SEND;
    if (kSioHeaderLength + Length > kSioMaxMessage) return SIO_ERR_SEND;
    {
        qor::MutexLock lock(&c->ResponseMutex);
        if (c->Freed) return SIO_ERR_NO_CONNECTION;
    }
    if (!_Healthy(c) && !_SioRenew(c)) return SIO_ERR_SEND;
    const std::vector<uint8_t> m = _Message(DeviceType, Chl, Code, pPayload, Length);
    Response = _SIO_RESPONSE{};
    qor::MutexLock lock(&c->ResponseMutex);
    c->Waiting = true;
    c->Complete = false;
    c->WaitDeviceType = DeviceType;
    c->WaitChl = Chl;
    c->WaitCode = static_cast<uint16_t>(Code | kSioResponseFlag);
    c->pWaitResponse = &Response;
    // ResponseMutex is held from before the send, so the response cannot slip past the wait.
    if (!_SendWhole(c, m.data(), m.size())) {
        c->Waiting = false;
        return SIO_ERR_SEND;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kSioResponseTimeoutMs / 1000;
    int rc = 0;
    while (!c->Complete && !c->Freed && !c->RxDown && rc != ETIMEDOUT) {
        rc = pthread_cond_timedwait(&c->ResponseCond, &c->ResponseMutex, &deadline);
    }
    const bool complete = c->Complete, freed = c->Freed;
    c->Waiting = false;
    c->Complete = false;
    c->pWaitResponse = nullptr;
    lock.Unlock();
    if (complete) return 0;
    if (freed) return SIO_ERR_NO_CONNECTION;
    // No answer in time, or the connection went down: a fresh connection, so an answer that
    // still comes goes to the closed one and is never read as a later call's.
    _SioRenew(c);
    return SIO_ERR_TIMEOUT;
}

int SioSendData(const PSIO_CONNECTION& c, uint8_t DeviceType, uint8_t Chl, uint16_t Code, const uint8_t* pPayload,
                size_t Length) {
    if (kSioHeaderLength + Length > kSioMaxMessage) return SIO_ERR_SEND;
    {
        qor::MutexLock lock(&c->ResponseMutex);
        if (c->Freed) return SIO_ERR_NO_CONNECTION;
    }
    if (!_Healthy(c.get())) {
        if (tRxConnection == c.get()) return SIO_ERR_SEND;
        std::lock_guard<std::mutex> request(c->RequestMutex);
        if (!_Healthy(c.get()) && !_SioRenew(c.get())) return SIO_ERR_SEND;
    }
    const std::vector<uint8_t> m = _Message(DeviceType, Chl, Code, pPayload, Length);
    return _SendWhole(c.get(), m.data(), m.size()) ? 0 : SIO_ERR_SEND;
}

bool SioFreeForUnit(const uint8_t* pMac) {
    const PSIO_CONNECTION c = _Remove(pMac);
    if (!c) return false;
    _Stop(c);
    return true;
}

}  // namespace qorlib

using namespace qorlib;

namespace {

std::atomic<sio_generic_callback> gFunction{nullptr};
std::atomic<sio_io_callback> gIoFunction{nullptr};
std::atomic<ser_msr_event_callback> gSerMsrEventFunction{nullptr};
std::atomic<ser_lsr_event_callback> gSerLsrEventFunction{nullptr};
std::atomic<ser_data_event_callback> gSerDataEventFunction{nullptr};
std::atomic<ser_data_callback> gSerDataFunction{nullptr};

}  // namespace

extern "C" {

QORIO_API unsigned int sio_init(uint8_t* pMac, uint32_t Port) {
    if (!pMac) return SIO_ERR_ARGUMENT;
    if (Port == kMngPort) return SIO_ERR_MNG_PORT;
    if (Port == 0 || Port > 0xFFFF) return SIO_ERR_CONNECT;
    if (SioMainGetByMac(pMac)) return SIO_ERR_ALREADY_OPEN;
    PSIO_CONNECTION c(new (std::nothrow) _SIO_CONNECTION);
    if (!c) return SIO_ERR_NO_MEMORY;
    memcpy(c->VnMac, pMac, 6);
    c->Port = static_cast<uint16_t>(Port);
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0) return SIO_ERR_THREAD;
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    c->CondReady = pthread_cond_init(&c->ResponseCond, &attr) == 0;
    pthread_condattr_destroy(&attr);
    if (!c->CondReady) return SIO_ERR_THREAD;
    c->RxBuff.reset(new (std::nothrow) uint8_t[kSioRxBuffSize]());
    c->Scratch.reset(new (std::nothrow) uint8_t[kSerScratchSize]());
    if (!c->RxBuff || !c->Scratch) return SIO_ERR_NO_MEMORY;
    const int sock = SioConnect(c->Port);
    if (sock < 0) return SIO_ERR_CONNECT;
    c->Sock = sock;
    if (!_SioRxThreadCreate(c.get())) return SIO_ERR_THREAD;
    {
        std::lock_guard<std::mutex> lock(SioListMutex);
        const bool present = std::any_of(SioList.begin(), SioList.end(), [&](const PSIO_CONNECTION& e) {
            return memcmp(e->VnMac, pMac, 6) == 0;
        });
        if (!present) {
            SioList.push_back(c);
            return 0;
        }
    }
    // Another thread opened the unit meanwhile.
    _Stop(c);
    return SIO_ERR_ALREADY_OPEN;
}

QORIO_API unsigned int sio_free(uint8_t* pMac) {
    if (!pMac) return SIO_ERR_ARGUMENT;
    // From one of the connection's own callbacks its receive thread would have to join itself.
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    if (tRxConnection == c.get()) return SIO_ERR_ARGUMENT;
    return SioFreeForUnit(pMac) ? 0 : SIO_ERR_NO_CONNECTION;
}

QORIO_API unsigned int sio_get_connection_status(uint8_t* pMac) {
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    std::lock_guard<std::mutex> sendLock(c->SendMutex);  // the socket is not swapped meanwhile
    const int sock = c->Sock.load();
    if (sock < 0) return 0;
    tcp_info info{};
    socklen_t len = sizeof(info);
    if (getsockopt(sock, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return 0;
    return info.tcpi_state == TCP_ESTABLISHED ? 1 : 0;
}

QORIO_API void register_function(sio_generic_callback fn) { gFunction = fn; }
QORIO_API void function_needing_callback(void* p, int a, int b, int c, int d) {
    const sio_generic_callback fn = gFunction;
    if (fn) fn(p, a, b, c, d);
}
QORIO_API void io_register_function(sio_io_callback fn) { gIoFunction = fn; }
QORIO_API void io_function_needing_callback(void* p, int a, int b, int c, uint8_t d, uint8_t e) {
    const sio_io_callback fn = gIoFunction;
    if (fn) fn(p, a, b, c, d, e);
}
QORIO_API void ser_msr_event_register_function(ser_msr_event_callback fn) { gSerMsrEventFunction = fn; }
QORIO_API void ser_msr_event_function_needing_callback(uint8_t* mac, int channel, uint8_t msr) {
    const ser_msr_event_callback fn = gSerMsrEventFunction;
    if (fn) fn(mac, channel, msr);
}
QORIO_API void ser_lsr_event_register_function(ser_lsr_event_callback fn) { gSerLsrEventFunction = fn; }
QORIO_API void ser_lsr_event_function_needing_callback(uint8_t* mac, int channel, uint8_t flags, uint8_t high,
                                                       uint8_t low) {
    const ser_lsr_event_callback fn = gSerLsrEventFunction;
    if (fn) fn(mac, channel, flags, high, low);
}
QORIO_API void ser_data_event_register_function(ser_data_event_callback fn) { gSerDataEventFunction = fn; }
QORIO_API void ser_data_event_function_needing_callback(uint8_t* mac, int channel, uint8_t* data, int length) {
    const ser_data_event_callback fn = gSerDataEventFunction;
    if (fn) fn(mac, channel, data, length);
}
QORIO_API void ser_data_register_function(ser_data_callback fn) { gSerDataFunction = fn; }
QORIO_API void ser_data_function_needing_callback(uint8_t* mac, int channel) {
    const ser_data_callback fn = gSerDataFunction;
    if (fn) fn(mac, channel);
}

}  // extern "C"
