// The TPS family entry and its two commands: the info record from the DIB (no unit traffic)
// and one sensor's reading, read from its register and passed on as read.
#include <string.h>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "qor_wire.h"
#include "sio_tps_obj.h"

namespace {

#define TPS_LOG(r, fmt, ...) \
    PemDbg(1, 1, "TPS (T:%d, C:%d), %s, " fmt, (r).Port, (r).Channel, (r).Word __VA_OPT__(, ) __VA_ARGS__)

bool _Match(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length) {
    const auto* req = static_cast<const _TLP_HEADER*>(pCtx);
    return Length >= kTlpHeaderLength && pTlp->Type == TLP_TYPE_CMD && pTlp->ChlNumber == req->ChlNumber &&
           pTlp->TransactionID == (req->TransactionID & 0x1F);
}

// Reads the sensor register at Offset: the read step of the SIO frame, with the answer's
// Offset and LengthInDW checked (an answer to another register is 34).
uint16_t _ReadSensor(const _SIO_REQUEST& r, uint8_t Offset, uint32_t* pValue) {
    PSIO_OBJ o = r.Obj;
    _TLP_HEADER req{};
    req.ChlNumber = o->DibChlNumber;
    req.Type = TLP_TYPE_CMD;
    req.TransactionID = o->TransactionID;
    req.Offset = Offset;
    req.LengthInDW = 1;
    req.AOLBE = 0x1F;
    ChlSlotLock slot(&o->Slot);
    if (!ChlSlotExchangeLocked(o->VnPtr, &o->Slot, &req, sizeof(req), nullptr, nullptr)) {
        TPS_LOG(r, "tx cmd fail\n");
        return SIO_STATUS_TX_CMD_FAIL;
    }
    if (!ChlSlotWaitLocked(&o->Slot, _Match, &req)) {
        TPS_LOG(r, "rx response wait timeout\n");
        return SIO_STATUS_RX_RESPONSE_TIMEOUT;
    }
    const size_t n = o->Slot.RxLength;
    if (n == 0) {
        TPS_LOG(r, "rx response no data\n");
        return SIO_STATUS_RX_RESPONSE_WITH_NO_DATA;
    }
    _TLP_HEADER h;
    memcpy(&h, o->Slot.RxBuff, sizeof(h));
    if (h.Offset != Offset) {
        TPS_LOG(r, "get sensor reg response, invalid Offset:x%02x\n", h.Offset);
        return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
    if (h.LengthInDW != 1 || n < kTlpHeaderLength + 4) {
        TPS_LOG(r, "get sensor reg response, invalid LengthInDW:x%02x\n", h.LengthInDW);
        return SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID;
    }
    *pValue = qor::GetLe32(o->Slot.RxBuff + kTlpHeaderLength);
    return SIO_STATUS_SUCCESS;
}

uint16_t _Handle(const _SIO_REQUEST& r, _SIO_REPLY* p) {
    const size_t size = r.Code == TPS_CMD_GET_INFO ? 0 : 1;
    if (r.Length != size || r.Length > r.Avail) {
        TPS_LOG(r, "invalid data length\n");
        return SIO_STATUS_LENGTH_INVALID;
    }
    uint8_t offset = 0;
    {
        qor::ReadLock info(&r.Obj->VnPtr->InfoLock);
        qor::MutexLock reg(&r.Obj->RegMutex);
        const _DIB_TPS* t = r.Obj->DibPtr->TpsPtr.get();
        if (!t) {
            TPS_LOG(r, "can't get DIB\n");
            return SIO_STATUS_OBJECT_NOT_FOUND;
        }
        if (r.Code == TPS_CMD_GET_INFO) {
            p->Data[0] = t->Version;
            p->Data[1] = t->NumberOfSensors;
            p->Data[2] = t->Resolution;
            memcpy(p->Data + 3, t->LsbUnit, 4);
            p->Length = 7;
            return SIO_STATUS_SUCCESS;
        }
        // The sensor's response starts with P, also on failure.
        const uint8_t sensor = r.Payload[0];
        p->Data[0] = sensor;
        p->Length = 1;
        p->FailLength = 1;
        if (sensor >= t->NumberOfSensors || sensor >= kDibMaxPorts) {
            TPS_LOG(r, "can't get sensor (I:x%02x)\n", sensor);
            return TPS_STATUS_NO_SENSOR;
        }
        offset = t->Port[sensor].Offset;
    }
    uint32_t reading = 0;
    const uint16_t s = _ReadSensor(r, offset, &reading);
    if (s != SIO_STATUS_SUCCESS) return s;
    {
        qor::ReadLock info(&r.Obj->VnPtr->InfoLock);
        qor::MutexLock reg(&r.Obj->RegMutex);
        if (_DIB_TPS* t = r.Obj->DibPtr->TpsPtr.get()) t->Port[p->Data[0]].SensorReg = reading;
    }
    qor::PutBe32(p->Data + 1, reading);
    p->Length = 5;
    return SIO_STATUS_SUCCESS;
}

}  // namespace

const char* SioTpsCommandWord(uint16_t Code) {
    switch (Code) {
        case TPS_CMD_GET_INFO:
            return "get info";
        case TPS_CMD_GET_SENSOR_DATA:
            return "get sensor data";
        default:
            return nullptr;
    }
}

const char* SioTpsCodeName(uint16_t Code) {
    switch (Code) {
        case TPS_CMD_GET_INFO:
            return "TPS_CMD_GET_INFO";
        case TPS_CMD_GET_SENSOR_DATA:
            return "TPS_CMD_GET_SENSOR_DATA";
        case kSioResponseBit | TPS_CMD_GET_INFO:
            return "TPS_RESPONSE_GET_INFO";
        case kSioResponseBit | TPS_CMD_GET_SENSOR_DATA:
            return "TPS_RESPONSE_GET_SENSOR_DATA";
        default:
            return "UNKNOW";
    }
}

void SioTpsHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply) {
    pReply->Length = 0;
    pReply->FailLength = 0;
    pReply->Status = _Handle(Req, pReply);
}

void SioTpsHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    SioObjHandleFromLibrary(SioTpsFamily, pClient, pMessage, Length);
}
