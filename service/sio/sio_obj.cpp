#include "sio_obj.h"

#include <errno.h>
#include <poll.h>
#include <string.h>

#include <memory>
#include <new>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_worker.h"

namespace {

// Workers still running; the shutdown waits for them.
PemWorkerGroup gWorkers;

#define SIO_OBJ_ARGS(m, c, p) (m)[3], (m)[4], (m)[5], static_cast<int>(c), static_cast<const void*>(p)

PSIO_OBJ _FromEntry(_DLIST* p) {
    return reinterpret_cast<PSIO_OBJ>(p);
}

// Under the family's list mutex.
PSIO_OBJ _FindLocked(const _SIO_FAMILY& F, const uint8_t* pMac, uint8_t Chl) {
    for (_DLIST* p = F.List->Flink; p != F.List; p = p->Flink) {
        PSIO_OBJ o = _FromEntry(p);
        if (o->DibChlNumber == Chl && memcmp(o->VnPtr->Mac, pMac, 6) == 0) return o;
    }
    return nullptr;
}

void _Free(PSIO_OBJ o) {
    pthread_mutex_destroy(&o->RegMutex);
    ChlSlotFree(&o->Slot);
    o->UnitRef.reset();
    delete o;
}

// Removes the object from its list (mutex held); the caller drops the list's reference.
void _UnlinkLocked(const _SIO_FAMILY& F, PSIO_OBJ o) {
    PemListRemoveEntry(&o->Entry);
    --*F.Amount;
}

void _LogDel(const _SIO_FAMILY& F, PSIO_OBJ o) {
    char format[96];
    snprintf(format, sizeof(format), "%sdel\n", F.ObjPrefix);
    PemDbg(0, 0, format, SIO_OBJ_ARGS(o->VnPtr->Mac, o->DibChlNumber, o));
}

// What a worker owns: the request, the server that keeps its client alive, and the client's
// generation the response must reach.
struct _SIO_THREAD_CONTEXT {
    PSIO_CLIENT ClientPtr;
    std::shared_ptr<_SIO_SERVER> Server;
    VnRef Unit;  // the client's unit record stays valid while the command runs
    uint32_t Generation;
    const _SIO_FAMILY* Family;
    std::unique_ptr<uint8_t[]> Buff;  // the whole message
    size_t Length;
    _SIO_REPLY Reply;
    ~_SIO_THREAD_CONTEXT() {
        if (ClientPtr) ClientPtr->Workers.fetch_sub(1);
    }
};

// Waits until the client may start another worker; false when the client is being stopped
// meanwhile (its receive thread's stop request is pending).
bool _WaitWorkerRoom(PSIO_CLIENT pClient) {
    while (pClient->Workers.load() >= kSioClientMaxWorkers) {
        struct pollfd pfd = {pClient->ThreadExitFd, POLLIN, 0};
        if (poll(&pfd, 1, 1) > 0) return false;
    }
    return true;
}

void _Respond(_SIO_THREAD_CONTEXT& ctx, const _SIO_HEADER& req, const char* Word) {
    const _SIO_REPLY& r = ctx.Reply;
    const size_t n = r.Status == SIO_STATUS_SUCCESS ? r.Length : r.FailLength;
    const _SIO_HEADER h = {kSioVersion,
                           0,
                           ctx.Family->DeviceType,
                           req.ChannelNumber,
                           static_cast<uint16_t>(req.CmdResponseEventData + kSioResponseBit),
                           r.Status,
                           static_cast<uint32_t>(n)};
    const struct iovec part = {const_cast<uint8_t*>(r.Data), n};
    const int rc = SioClientTxMsg(ctx.ClientPtr, &ctx.Generation, h, &part, n ? 1 : 0);
    if (rc < 0) {
        char format[128];
        snprintf(format, sizeof(format), "%s%s, ClientTx fail, TxReturn:%%d\n", ctx.Family->Prefix, Word);
        PemDbg(1, 1, format, ctx.ClientPtr->ServerTcpPort, req.ChannelNumber, rc);
    }
}

// The handler frame: look the object up again, let the family's handler check and perform
// the command, send the response.
void* _Worker(void* pArg) {
    std::unique_ptr<_SIO_THREAD_CONTEXT> ctx(static_cast<_SIO_THREAD_CONTEXT*>(pArg));
    const _SIO_FAMILY& F = *ctx->Family;
    const uint8_t* msg = ctx->Buff.get();
    const _SIO_HEADER h = SioHeaderDecode(msg);
    const char* word = F.CommandWord(h.CmdResponseEventData);
    const int port = ctx->ClientPtr->ServerTcpPort;
    ctx->Reply.Status = SIO_STATUS_SUCCESS;
    ctx->Reply.Length = 0;
    ctx->Reply.FailLength = 0;
    SioObjRef o = SioObjGetByVnMacAndDibChlNumber(F, ctx->ClientPtr->VnDevicePtr->Mac, h.ChannelNumber);
    if (!o) {
        char format[96];
        snprintf(format, sizeof(format), "%s%s, can't get obj\n", F.Prefix, word);
        PemDbg(1, 1, format, port, h.ChannelNumber);
        ctx->Reply.Status = SIO_STATUS_OBJECT_NOT_FOUND;
    } else {
        const _SIO_REQUEST req = {o.get(), port,     h.ChannelNumber,        h.CmdResponseEventData,
                                  word,    h.Length, msg + kSioHeaderLength, ctx->Length - kSioHeaderLength};
        F.Handle(req, &ctx->Reply);
    }
    _Respond(*ctx, h, word);
    ctx.reset();
    return nullptr;
}

}  // namespace

void SioObjRelease(PSIO_OBJ pObj) {
    if (pObj->RefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) _Free(pObj);
}

int SioObjAdd(const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib) {
    const uint8_t* m = pVn->Mac;
    qor::MutexLock lock(F.ListMutex);
    char format[96];
    if (PSIO_OBJ old = _FindLocked(F, m, pDib->ChlNumber)) {
        snprintf(format, sizeof(format), "%sadd fail, already exist\n", F.ObjPrefix);
        PemDbg(1, 1, format, SIO_OBJ_ARGS(m, pDib->ChlNumber, old));
        return 0;
    }
    PSIO_OBJ o = new (std::nothrow) _SIO_OBJ{};
    if (!o) return 0;
    PemListInit(&o->Entry);
    o->VnPtr = pVn;
    o->DibPtr = pDib;
    o->DibChlNumber = pDib->ChlNumber;
    o->TransactionID = 0;
    o->Family = &F;
    if (!ChlSlotInit(&o->Slot)) {
        delete o;
        return 0;
    }
    if (pthread_mutex_init(&o->RegMutex, nullptr) != 0) {
        ChlSlotFree(&o->Slot);
        delete o;
        return 0;
    }
    pVn->RefCount.fetch_add(1, std::memory_order_relaxed);
    o->UnitRef = VnRef(pVn);
    o->RefCount.store(1);  // the list's
    PemListInsertTail(F.List, &o->Entry);
    ++*F.Amount;
    snprintf(format, sizeof(format), "%sadd\n", F.ObjPrefix);
    PemDbg(0, 0, format, SIO_OBJ_ARGS(m, o->DibChlNumber, o));
    return 1;
}

void SioObjDel(const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib) {
    PSIO_OBJ o;
    {
        qor::MutexLock lock(F.ListMutex);
        o = _FindLocked(F, pVn->Mac, pDib->ChlNumber);
        if (!o) return;
        _UnlinkLocked(F, o);
    }
    _LogDel(F, o);
    SioObjRelease(o);
}

void SioObjDelAll(const _SIO_FAMILY& F) {
    for (;;) {
        PSIO_OBJ o;
        {
            qor::MutexLock lock(F.ListMutex);
            if (PemListEmpty(F.List)) return;
            o = _FromEntry(F.List->Flink);
            _UnlinkLocked(F, o);
        }
        _LogDel(F, o);
        SioObjRelease(o);
    }
}

SioObjRef SioObjGetByVnMacAndDibChlNumber(const _SIO_FAMILY& F, const uint8_t* pMac, uint8_t ChlNumber) {
    qor::MutexLock lock(F.ListMutex);
    PSIO_OBJ o = _FindLocked(F, pMac, ChlNumber);
    if (!o) return SioObjRef();
    o->RefCount.fetch_add(1, std::memory_order_relaxed);
    return SioObjRef(o);
}

void SioObjHandleFromLibrary(const _SIO_FAMILY& F, PSIO_CLIENT pClient, const uint8_t* pMessage,
                             size_t Length) {
    if (Length < kSioHeaderLength) return;
    const _SIO_HEADER h = SioHeaderDecode(pMessage);
    const int port = pClient->ServerTcpPort;
    const uint8_t chl = h.ChannelNumber;
    char format[128];
    SioObjRef o = SioObjGetByVnMacAndDibChlNumber(F, pClient->VnDevicePtr->Mac, chl);
    if (!o) {
        snprintf(format, sizeof(format), "%scan't get obj\n", F.Prefix);
        PemDbg(1, 1, format, port, chl);
        SioClientReplyNoObject(pClient, pMessage);
        return;
    }
    if (F.DataFromLibrary != 0 && h.CmdResponseEventData == F.DataFromLibrary) {
        if (F.DataTransmit(pClient, pMessage, Length) != 1) {
            snprintf(format, sizeof(format), "%stx data fail\n", F.Prefix);
            PemDbg(1, 1, format, port, chl);
        }
        return;
    }
    const char* word = F.CommandWord(h.CmdResponseEventData);
    if (!word) {
        snprintf(format, sizeof(format), "%sunsupport packet type from library\n", F.Prefix);
        PemDbg(1, 1, format, port, chl);
        return;
    }
    if (!_WaitWorkerRoom(pClient)) return;
    std::unique_ptr<_SIO_THREAD_CONTEXT> ctx(new (std::nothrow) _SIO_THREAD_CONTEXT{});
    if (!ctx) {
        snprintf(format, sizeof(format), "%s%s, malloc fail 1, errno:%%d\n", F.Prefix, word);
        PemDbg(1, 1, format, port, chl, errno);
        return;
    }
    ctx->Buff.reset(new (std::nothrow) uint8_t[Length]);
    if (!ctx->Buff) {
        snprintf(format, sizeof(format), "%s%s, malloc fail 2, errno:%%d\n", F.Prefix, word);
        PemDbg(1, 1, format, port, chl, errno);
        return;
    }
    memcpy(ctx->Buff.get(), pMessage, Length);
    ctx->Length = Length;
    pClient->Workers.fetch_add(1);
    ctx->ClientPtr = pClient;
    ctx->Server = SioServerGet(pClient->VnDevicePtr);
    pClient->VnDevicePtr->RefCount.fetch_add(1, std::memory_order_relaxed);
    ctx->Unit = VnRef(pClient->VnDevicePtr);
    ctx->Generation = pClient->Generation;
    ctx->Family = &F;
    if (PemWorkerRun(&gWorkers, _Worker, ctx.get()) != 0) {
        snprintf(format, sizeof(format), "%s%s, create thread fail\n", F.Prefix, word);
        PemDbg(1, 1, format, port, chl);
        return;
    }
    ctx.release();
}

void* SioObjConsumerFind(const _SIO_FAMILY& F, PVN_DEVICE pVn, uint8_t ChlNumber) {
    SioObjRef o = SioObjGetByVnMacAndDibChlNumber(F, pVn->Mac, ChlNumber);
    // Only the object of this very unit record (a unit found again under the same MAC is
    // another record).
    if (!o || o->VnPtr != pVn) return nullptr;
    PSIO_OBJ raw = o.get();
    raw->RefCount.fetch_add(1, std::memory_order_relaxed);
    return raw;  // o's reference goes; the one just taken is the consumer's
}

void SioObjConsumerResponse(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    PSIO_OBJ o = static_cast<PSIO_OBJ>(pObj);
    if (!ChlSlotStore(&o->Slot, pTlp, Length) && DbgSioIpcProtocol) {
        char format[160];
        snprintf(format, sizeof(format),
                 "%sanswer dropped, no command waits for it, Offset:%%d, LengthInDW:%%d\n",
                 o->Family->ObjPrefix);
        PemDbg(0, 0, format, SIO_OBJ_ARGS(o->VnPtr->Mac, o->DibChlNumber, o), pTlp->Offset, pTlp->LengthInDW);
    }
}

void SioObjConsumerEvent(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    PSIO_OBJ o = static_cast<PSIO_OBJ>(pObj);
    if (o->Family->Event) o->Family->Event(o, pTlp, Length);
}

void SioObjConsumerData(void* pObj, const _TLP_HEADER* pTlp, size_t Length) {
    PSIO_OBJ o = static_cast<PSIO_OBJ>(pObj);
    if (o->Family->Data) o->Family->Data(o, pTlp, Length);
}

void SioObjConsumerRelease(void* pObj) {
    SioObjRelease(static_cast<PSIO_OBJ>(pObj));
}

int SioObjTx(PSIO_OBJ pObj, uint16_t Code, const struct iovec* pParts, int Parts, int* pPort) {
    uint32_t n = 0;
    for (int i = 0; i < Parts; ++i) n += static_cast<uint32_t>(pParts[i].iov_len);
    const _SIO_HEADER h = {kSioVersion, 0, pObj->Family->DeviceType, pObj->DibChlNumber, Code, 0, n};
    return SioClientTxToUnit(pObj->VnPtr, h, pParts, Parts, pPort);
}

int SioWorkersRunning() {
    return gWorkers.Running.load();
}

void SioWaitWorkers(unsigned TimeoutMs) {
    PemWorkerWait(&gWorkers, TimeoutMs);
}
