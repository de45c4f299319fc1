// The TPS family: temperature sensor channels with up to 16 sensors, one register per sensor
// read on request. Sensor p's register follows the channel-wide registers (TLP control, ADC
// calibration) at offset 2 + p (docs/register-map.md).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_obj.h"

extern _DLIST SioTpsObjList;
extern int SioTpsObjAmount;
extern pthread_mutex_t SioTpsObjListMutex;

extern const _SIO_FAMILY SioTpsFamily;

constexpr uint8_t kTpsRegSensorFirst = 2;

enum : uint16_t {
    TPS_CMD_GET_INFO = 1,
    TPS_CMD_GET_SENSOR_DATA = 2,
    TPS_STATUS_NO_SENSOR = 18,
};

int SioTpsObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioTpsObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioTpsObjDelAll();
SioObjRef SioTpsObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
// At connect: fills every sensor's Offset from the register map (no unit traffic); 1. The
// caller holds the unit's InfoLock shared.
int SioTpsObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioTpsHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioTpsCodeName(uint16_t Code);
const char* SioTpsCommandWord(uint16_t Code);
void SioTpsHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);

void SioTpsObjRegister();
void SioTpsObjUnregister();
