#include "nlk_tty.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

#include "nlk_service.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_worker.h"
#include "qor_wire.h"
#include "vn_tlp_stream.h"

namespace {

// Workers still running; shutdown waits for them so none outlives the bridge.
PemWorkerGroup gWorkers;

// The request table and the open record are the UART register module's, shared with the
// SER family; only the dispatch-failure messages spell open differently.
const char* _DispatchWord(uint16_t Code) {
    return Code == 1 ? "oepn" : UartRequests[Code - 1].Word;
}
constexpr size_t kOpenRecordLength = kUartOpenRecordLength;

void _Reply(uint8_t Minor, uint16_t Code, const char* Word, bool Ok, const uint8_t* pPayload, size_t Length) {
    const int rc = NlkTtySend(Minor, static_cast<uint16_t>(Code + kNlkResponseBit), Ok ? 0 : 1,
                              Ok ? pPayload : nullptr, Ok ? Length : 0);
    if (rc < 0) PemDbg(1, 1, "TTY (M:%d), %s, NlkTx fail, TxReturn:%d\n", Minor, Word, rc);
}

// A read's failure in the handler's words; UART_INVALID was reported by the answer check.
void _ReportRead(uint8_t Minor, const char* Word, UartResult r, const char* Step) {
    const char* what = r == UART_TX_FAIL   ? "tx cmd fail"
                       : r == UART_TIMEOUT ? "rx response wait timeout"
                       : r == UART_NO_DATA ? "rx response no data"
                                           : nullptr;
    if (what) PemDbg(1, 1, "TTY (M:%d), %s, %s%s\n", Minor, Word, what, Step);
}

// The channel's controller version. A fresh info structure of the unit may be decoded into
// the DIB meanwhile, under the unit's info lock.
uint8_t _Version(PNLK_OBJ o) {
    qor::ReadLock info(&o->VnPtr->InfoLock);
    return o->DibPtr->Uart.Version;
}

bool _Open(PNLK_OBJ o, uint8_t Minor, uint8_t* pRecord) {
    const _UART_CHL c = NlkTtyObjChl(o);
    const UartGen gen = UartGenOf(_Version(o));
    if (gen == UART_GEN_NONE) return false;
    if (!UartCmdInit(c, gen)) {
        PemDbg(1, 1, "TTY (M:%d), open, init cmd fail, %s\n", Minor, UartGenName(gen));
        return false;
    }
    uint32_t status = 0;
    const UartResult r = UartReadReg(c, UART_REG_STATUS, &status);
    if (r != UART_OK) {
        _ReportRead(Minor, "open", r, ", 2");
        return false;
    }
    UartOpenRecord(c, pRecord);
    return true;
}

void _Close(PNLK_OBJ o, uint8_t Minor) {
    const UartGen gen = UartGenOf(_Version(o));
    if (gen != UART_GEN_NONE && !UartCmdInit(NlkTtyObjChl(o), gen))
        PemDbg(1, 1, "TTY (M:%d), close, init cmd fail, %s\n", Minor, UartGenName(gen));
}

// The common frame of every request: look the object up again, check the payload, then the
// version, run the unit operation, reply.
void _Handle(const uint8_t* pMsg, size_t Length) {
    const _NLK_HEADER h = NlkHeaderDecode(pMsg);
    const uint8_t minor = h.MinorNumber;
    const _UART_REQUEST& q = UartRequests[h.CmdResponseEventData - 1];
    NlkTtyObjRef o = NlkTtyObjGetByMinorNumer(minor);
    if (!o) {
        PemDbg(1, 1, "TTY (M:%d), %s, can't get obj\n", minor, q.Word);
        _Reply(minor, h.CmdResponseEventData, q.Word, false, nullptr, 0);
        return;
    }
    const uint8_t version = _Version(o.get());
    const uint8_t* payload = pMsg + kNlkHeaderLength;
    const size_t avail = Length - kNlkHeaderLength;
    uint8_t out[kOpenRecordLength] = {};
    size_t outLength = 0;
    bool ok = false;
    switch (q.What) {
        case UART_REQ_OPEN:
            ok = _Open(o.get(), minor, out);
            outLength = kOpenRecordLength;
            break;
        case UART_REQ_CLOSE:
            _Close(o.get(), minor);
            ok = true;
            break;
        case UART_REQ_SET: {
            // The announced length must be the field's size and must have arrived whole.
            if (h.Length != q.Size || h.Length > avail) {
                PemDbg(1, 1, "TTY (M:%d), %s, invalid data length\n", minor, q.Word);
                break;
            }
            if (!UartRequestVersionHas(q.Versions, version)) {
                PemDbg(1, 1, "TTY (M:%d), %s, version (x%02x) not support\n", minor, q.Word, version);
                break;
            }
            const uint32_t value = q.Size == 2 ? qor::GetLe16(payload) : payload[0];
            const char* why = nullptr;
            if (q.Validate != UART_CHECK_NONE) {
                qor::ReadLock info(&o->VnPtr->InfoLock);  // the capabilities, as for the version
                const _DIB_UART& u = o->DibPtr->Uart;
                why = q.Validate == UART_CHECK_MODE_1 ? UartCheckMode1(u, payload[0])
                                                      : UartCheckMode2(u, payload[0]);
            }
            if (why) {
                char format[96];
                snprintf(format, sizeof(format), "TTY (M:%%d), %s, %s\n", q.Word, why);
                if (strstr(why, "%02x"))
                    PemDbg(1, 1, format, minor, payload[0]);
                else
                    PemDbg(1, 1, format, minor);
                break;
            }
            ok = UartSetRegField(NlkTtyObjChl(o.get()), q.Offset, q.Mask, q.Shift, value) == 1;
            if (!ok) PemDbg(1, 1, "TTY (M:%d), %s, tx cmd fail\n", minor, q.Word);
            break;
        }
        case UART_REQ_GET: {
            if (!UartRequestVersionHas(q.Versions, version)) {
                PemDbg(1, 1, "TTY (M:%d), %s, version (x%02x) not support\n", minor, q.Word, version);
                break;
            }
            uint32_t reg = 0;
            const UartResult r = UartReadReg(NlkTtyObjChl(o.get()), q.Offset, &reg);
            if (r != UART_OK) {
                _ReportRead(minor, q.Word, r, "");
                break;
            }
            outLength = UartRequestGetAnswer(q, reg, out);
            ok = true;
            break;
        }
    }
    _Reply(minor, h.CmdResponseEventData, q.Word, ok, out, outLength);
}

void* _Worker(void* arg) {
    std::unique_ptr<_NLK_THREAD_CONTEXT> ctx(static_cast<_NLK_THREAD_CONTEXT*>(arg));
    std::unique_ptr<uint8_t[]> buff(ctx->Buff);
    _Handle(buff.get(), ctx->Length);
    return nullptr;
}

// Transmit data of one message for the object's channel.
int _DataTransmit(PNLK_OBJ o, const uint8_t* pMsg, size_t Length) {
    const _NLK_HEADER h = NlkHeaderDecode(pMsg);
    const uint8_t minor = h.MinorNumber;
    const uint8_t version = _Version(o);
    const UartGen gen = UartGenOf(version);
    if (gen == UART_GEN_NONE) {
        PemDbg(1, 1, "TTY (M:%d), TX DATA, unsupport version:x%02x\n", minor, version);
        return 0;
    }
    // Not on the netlink receive thread's small stack, nor in thread-local storage (which
    // every thread of the process would carry on its stack): one heap buffer per sending
    // thread, kept for its next message.
    thread_local std::unique_ptr<uint8_t[]> buffer;
    if (!buffer) buffer.reset(new (std::nothrow) uint8_t[kTlpHeaderLength + kUartTxMaxV4V5]);
    if (!buffer) return 0;
    uint8_t* tlp = buffer.get();
    size_t tlpLength = 0;
    const size_t avail = Length - kNlkHeaderLength;
    // A Length beyond the bytes that arrived is refused like one beyond a TLP's room.
    if (h.Length > avail || UartBuildTxData(o->DibPtr->ChlNumber, version, pMsg + kNlkHeaderLength, h.Length,
                                            tlp, &tlpLength) != UART_TX_OK) {
        PemDbg(1, 1, "TTY (M:%d), TX DATA %s, invalid data length\n", minor,
               gen == UART_GEN_V4V5 ? "V4V5" : "V0V1V2V3");
        return 0;
    }
    return VnTlpStreamOut(o->VnPtr, tlp, static_cast<int>(tlpLength)) ? 1 : 0;
}

}  // namespace

int NlkTtySend(uint8_t Minor, uint16_t Code, uint16_t Status, const uint8_t* pPayload, size_t Length) {
    return NlkTxMessage({kNlkVersion, 0, kNlkDeviceTypeTty, Minor, Code, Status, 0}, pPayload, Length);
}

void NlkTtyHandleFromKernel(const uint8_t* pMessage, size_t Length) {
    if (!pMessage || Length < kNlkHeaderLength) return;
    Length = std::min(Length, kNlkMaxMessage);
    const _NLK_HEADER h = NlkHeaderDecode(pMessage);
    const uint8_t minor = h.MinorNumber;
    const uint16_t code = h.CmdResponseEventData;
    NlkTtyObjRef o = NlkTtyObjGetByMinorNumer(minor);
    if (!o) {
        PemDbg(1, 1, "TTY (M:%d), can't get obj\n", minor);
        uint8_t reply[kNlkHeaderLength];
        NlkHeaderEncode(
            {kNlkVersion, 0, h.DeviceType, minor, static_cast<uint16_t>(code + kNlkResponseBit), 1, 0},
            reply);
        NlkTx(reply, sizeof(reply));
        return;
    }
    if (code == TTY_DATA_KERNEL_TO_SERVICE) {
        if (_DataTransmit(o.get(), pMessage, Length) != 1) PemDbg(1, 1, "TTY (M:%d), tx data fail\n", minor);
        return;
    }
    if (code < kNlkFirstRequest || code > kNlkLastRequest) {
        PemDbg(1, 1, "TTY (M:%d), unsupport packet type from kernel\n", minor);
        return;
    }
    const char* word = _DispatchWord(code);
    std::unique_ptr<_NLK_THREAD_CONTEXT> ctx(new (std::nothrow) _NLK_THREAD_CONTEXT{});
    if (!ctx) {
        PemDbg(1, 1, "TTY (M:%d), %s, malloc fail 1, errno:%d\n", minor, word, errno);
        return;
    }
    std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[Length]);
    if (!copy) {
        PemDbg(1, 1, "TTY (M:%d), %s, malloc fail 2, errno:%d\n", minor, word, errno);
        return;
    }
    memcpy(copy.get(), pMessage, Length);
    ctx->Buff = copy.get();
    ctx->Length = Length;
    const int rc = PemWorkerRun(&gWorkers, _Worker, ctx.get());
    if (rc != 0) {
        PemDbg(1, 1, "TTY (M:%d), %s, create thread fail, errno:%d\n", minor, word, rc);
        return;
    }
    copy.release();
    ctx.release();
}

int NlkTtyDataTransmit(const uint8_t* pMessage, size_t Length) {
    if (!pMessage || Length < kNlkHeaderLength) return 0;
    Length = std::min(Length, kNlkMaxMessage);
    const uint8_t minor = pMessage[3];
    NlkTtyObjRef o = NlkTtyObjGetByMinorNumer(minor);
    if (!o) {
        PemDbg(1, 1, "TTY (M:%d), TX DATA, can't get obj\n", minor);
        return 0;
    }
    return _DataTransmit(o.get(), pMessage, Length);
}

void NlkTtyEventHandle(PNLK_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    const uint8_t minor = pObj->MinorNumber;
    const uint8_t version = pObj->DibPtr->Uart.Version;
    _UART_EVENT e;
    if (!UartEventDecode(version, pTlp->Event, &e)) {
        PemDbg(1, 1, "TTY (M:%d), EVENT, unsupport version:x%02x\n", minor, version);
        return;
    }
    if (e.HasMsr) {
        const int rc = NlkTtySend(minor, TTY_EVENT_MSR, 0, &e.Msr, 1);
        if (rc < 0) PemDbg(1, 1, "TTY (M:%d), MSR EVENT, NlkTx fail, TxReturn:%d\n", minor, rc);
    }
    if (e.HasLsr) {
        const uint8_t lsr[3] = {e.LsrFlags, static_cast<uint8_t>(e.LsrCount >> 8),
                                static_cast<uint8_t>(e.LsrCount)};
        const int rc = NlkTtySend(minor, TTY_EVENT_LSR, 0, lsr, sizeof(lsr));
        if (rc < 0)
            PemDbg(1, 1, "TTY (M:%d), LSR EVENT %s, NlkTx fail, TxReturn:%d\n", minor,
                   UartGenName(UartGenOf(version)), rc);
    }
    if (e.HasData) {
        const size_t n =
            std::min<size_t>(TlpGetExtraDataLength(pTlp), Length - std::min(Length, kTlpHeaderLength));
        const int rc = NlkTtySend(minor, TTY_EVENT_DATA_SERVICE_TO_KERNEL, 0, TlpData(pTlp), n);
        if (rc < 0) PemDbg(1, 1, "TTY (M:%d), DATA EVENT V0V1V2V3, NlkTx fail, TxReturn:%d\n", minor, rc);
    }
}

void NlkTtyDataHandle(PNLK_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    const uint8_t minor = pObj->MinorNumber;
    const size_t n = TlpGetExtraDataLength(pTlp);
    if (n >= kNlkMaxPayload - 4) {
        PemDbg(1, 1, "TTY (M:%d), RX DATA, Flag:x%02x, DataLength:%d, too BIG !!!\n", minor, pTlp->Flag,
               static_cast<int>(n));
        return;
    }
    // The flag byte, then the data; never more than the TLP holds.
    const size_t have = std::min(n, Length - std::min(Length, kTlpHeaderLength));
    const uint8_t flag = pTlp->Flag;
    const int rc = NlkTxMessage({kNlkVersion, 0, kNlkDeviceTypeTty, minor, TTY_DATA_SERVICE_TO_KERNEL, 0, 0},
                                &flag, 1, TlpData(pTlp), have);
    if (rc < 0) PemDbg(1, 1, "TTY (M:%d), RX DATA, Client Tx fail, TxReturn:%d\n", minor, rc);
}

int NlkTtyWaitWorkers(unsigned TimeoutMs) {
    return PemWorkerWait(&gWorkers, TimeoutMs);
}
