// The SER family entry and its twenty command handlers, each run in a detached worker by the
// handler frame of sio_obj: checks in the order payload length, controller version, value,
// then the unit exchange of the UART register protocol.
#include <stdio.h>
#include <string.h>

#include "pem_dbg.h"
#include "qor_wire.h"
#include "sio_ser_obj.h"

namespace {

// A message of a handler: the prefix with port and channel, the operation word, the rest.
#define SER_LOG(r, fmt, ...) \
    PemDbg(1, 1, "SER (T:%d, C:%d), %s, " fmt, (r).Port, (r).Channel, (r).Word __VA_OPT__(, ) __VA_ARGS__)

uint16_t _ReadStatus(const _SIO_REQUEST& r, UartResult res, const char* Step) {
    switch (res) {
        case UART_OK:
            return SIO_STATUS_SUCCESS;
        case UART_TX_FAIL:
            SER_LOG(r, "tx cmd fail%s\n", Step);
            return SIO_STATUS_TX_CMD_FAIL;
        case UART_TIMEOUT:
            SER_LOG(r, "rx response wait timeout%s\n", Step);
            return SIO_STATUS_RX_RESPONSE_TIMEOUT;
        case UART_NO_DATA:
            SER_LOG(r, "rx response no data%s\n", Step);
            return SIO_STATUS_RX_RESPONSE_WITH_NO_DATA;
        default:  // reported by the answer check
            return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
}

uint16_t _Open(const _SIO_REQUEST& r, const _UART_CHL& c, UartGen gen, _SIO_REPLY* pReply) {
    if (!UartCmdInit(c, gen)) {
        SER_LOG(r, "init cmd fail, %s\n", UartGenName(gen));
        return SIO_STATUS_TX_CMD_FAIL;
    }
    uint32_t status = 0;
    const uint16_t s = _ReadStatus(r, UartReadReg(c, UART_REG_STATUS, &status), ", 2");
    if (s != SIO_STATUS_SUCCESS) return s;
    UartOpenRecord(c, pReply->Data);
    pReply->Length = kUartOpenRecordLength;
    return SIO_STATUS_SUCCESS;
}

uint16_t _Close(const _SIO_REQUEST& r, const _UART_CHL& c, UartGen gen) {
    if (!UartCmdInit(c, gen)) {
        SER_LOG(r, "init cmd fail, %s\n", UartGenName(gen));
        return SIO_STATUS_TX_CMD_FAIL;
    }
    return SIO_STATUS_SUCCESS;
}

// The value checks of MODE_1 and MODE_2 against the channel's capabilities.
uint16_t _CheckValue(const _SIO_REQUEST& r, const _UART_REQUEST& q, const _DIB_UART& u, uint8_t value) {
    const char* why = q.Validate == UART_CHECK_MODE_1   ? UartCheckMode1(u, value)
                      : q.Validate == UART_CHECK_MODE_2 ? UartCheckMode2(u, value)
                                                        : nullptr;
    if (!why) return SIO_STATUS_SUCCESS;
    char format[128];
    snprintf(format, sizeof(format), "SER (T:%%d, C:%%d), %s, %s\n", r.Word, why);
    if (strstr(why, "%02x")) {
        PemDbg(1, 1, format, r.Port, r.Channel, value);
        return SIO_STATUS_DATA_INVALID;
    }
    PemDbg(1, 1, format, r.Port, r.Channel);
    return SIO_STATUS_NO_CAPABILITY;
}

uint16_t _Handle(const _SIO_REQUEST& r, _SIO_REPLY* pReply) {
    const _UART_REQUEST& q = UartRequests[r.Code - 1];
    const uint8_t version = r.Obj->DibPtr->Uart.Version;
    const UartGen gen = UartGenOf(version);
    char prefix[40];
    snprintf(prefix, sizeof(prefix), "SER (T:%d, C:%d), ", r.Port, r.Channel);
    const _UART_CHL c = SioSerObjChl(r.Obj, prefix);
    // The announced payload must be the command's size and must have arrived whole.
    const size_t size = q.What == UART_REQ_SET ? q.Size : 0;
    if (q.What != UART_REQ_GET && (r.Length != size || r.Length > r.Avail)) {
        SER_LOG(r, "invalid data length\n");
        return SIO_STATUS_LENGTH_INVALID;
    }
    const bool versionOk = q.What == UART_REQ_OPEN || q.What == UART_REQ_CLOSE
                               ? gen != UART_GEN_NONE
                               : UartRequestVersionHas(q.Versions, version);
    if (!versionOk) {
        SER_LOG(r, "version (x%02x) not support\n", version);
        return SIO_STATUS_CONTROLLER_VERSION_UNSUPPORT;
    }
    switch (q.What) {
        case UART_REQ_OPEN:
            return _Open(r, c, gen, pReply);
        case UART_REQ_CLOSE:
            return _Close(r, c, gen);
        case UART_REQ_SET: {
            const uint32_t value = q.Size == 2 ? qor::GetLe16(r.Payload) : r.Payload[0];
            const uint16_t s = _CheckValue(r, q, r.Obj->DibPtr->Uart, r.Payload[0]);
            if (s != SIO_STATUS_SUCCESS) return s;
            if (!UartSetRegField(c, q.Offset, q.Mask, q.Shift, value)) {
                SER_LOG(r, "tx cmd fail\n");
                return SIO_STATUS_TX_CMD_FAIL;
            }
            return SIO_STATUS_SUCCESS;
        }
        case UART_REQ_GET: {
            uint32_t reg = 0;
            const uint16_t s = _ReadStatus(r, UartReadReg(c, q.Offset, &reg), "");
            if (s != SIO_STATUS_SUCCESS) return s;
            pReply->Length = UartRequestGetAnswer(q, reg, pReply->Data);
            return SIO_STATUS_SUCCESS;
        }
    }
    return SIO_STATUS_DATA_INVALID;
}

}  // namespace

const char* SioSerCommandWord(uint16_t Code) {
    return Code >= kUartFirstRequest && Code <= kUartLastRequest ? UartRequests[Code - 1].Word : nullptr;
}

void SioSerHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    pReply->Length = 0;
    pReply->Status = _Handle(Req, pReply);
}

void SioSerHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioSerFamily, pClient, pMessage, Length);
}
