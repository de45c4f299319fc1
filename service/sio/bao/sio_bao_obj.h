// The BAO family (bipolar analog output channels): the analog-output engine of the AO family
// with the BAO register map, commands and info record.
#pragma once

#include "sio_ao_obj.h"

extern _DLIST SioBAoObjList;
extern int SioBAoObjAmount;
extern pthread_mutex_t SioBAoObjListMutex;

extern const _SIO_FAMILY SioBAoFamily;
extern const _AO_FAMILY_DESC SioBAoDesc;

// Register map (word offsets): four channel-wide registers, then port p's output control at 4 + p.
enum : uint8_t {
    BAO_REG_TLP_CTRL = 0,
    BAO_REG_DAC_CALIBRATION = 1,
    BAO_REG_DAC_CTRL = 2,
    BAO_REG_GROUP_CTRL = 3,
    BAO_PORT_FIRST = 4,
};

int SioBAoObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioBAoObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioBAoObjDelAll();
SioObjRef SioBAoObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
int SioBAoObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioBAoHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioBAoCodeName(uint16_t Code);
const char* SioBAoCommandWord(uint16_t Code);
void SioBAoHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);

void SioBAoObjRegister();
void SioBAoObjUnregister();
