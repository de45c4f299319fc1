// The UO family (universal output channels): the analog-output engine of the AO family with
// the UO register map, commands and info record.
#pragma once

#include "sio_ao_obj.h"

extern _DLIST SioUoObjList;
extern int SioUoObjAmount;
extern pthread_mutex_t SioUoObjListMutex;

extern const _SIO_FAMILY SioUoFamily;
extern const _AO_FAMILY_DESC SioUoDesc;

// Register map (word offsets): four channel-wide words (the controller info read), then two
// registers per port at its Offset = 4 + 2p.
enum : uint8_t {
    UO_REG_TLP_CTRL = 0,
    UO_REG_DAC_CALIBRATION = 1,
    UO_REG_DAC_CTRL = 2,
    UO_PORT_FIRST = 4,
    UO_PORT_WORDS = 2,
    UO_PORT_CTRL = 0,
    UO_PORT_OUTPUT_DATA = 1,
};
constexpr uint8_t kUoInfoWords = 4;

int SioUoObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioUoObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioUoObjDelAll();
SioObjRef SioUoObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
int SioUoObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioUoHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioUoCodeName(uint16_t Code);
const char* SioUoCommandWord(uint16_t Code);
void SioUoHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);

void SioUoObjRegister();
void SioUoObjUnregister();
