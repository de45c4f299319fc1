// The MAI family (multi-function analog input channels): the analog-input engine of the AI
// family with the MAI register map, commands and info record, the type-0 and type-1 port
// commands, and the calibration tables read from the control unit's non-volatile memory.
#pragma once

#include "sio_ai_obj.h"

extern _DLIST SioMAiObjList;
extern int SioMAiObjAmount;
extern pthread_mutex_t SioMAiObjListMutex;

extern const _SIO_FAMILY SioMAiFamily;
extern const _AI_FAMILY_DESC SioMAiDesc;

// Register map (word offsets): two channel-wide registers, then four per port.
enum : uint8_t {
    MAI_REG_TLP_CTRL = 0,
    MAI_REG_ADC_CALIBRATION = 1,
    MAI_PORT_FIRST = 2,
    MAI_PORT_WORDS = 4,
    MAI_PORT_CTRL = 0,
    MAI_PORT_ADC_CTRL = 1,
    MAI_PORT_UPPER_TRIGGER = 2,
    MAI_PORT_LOWER_TRIGGER = 3,
};
constexpr uint8_t kMaiInfoWords = 2;

int SioMAiObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioMAiObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioMAiObjDelAll();
SioObjRef SioMAiObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
int SioMAiObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioMAiHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioMAiCodeName(uint16_t Code);
const char* SioMAiCommandWord(uint16_t Code);
void SioMAiHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
void SioMAiDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioMAiEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

void SioMAiObjRegister();
void SioMAiObjUnregister();
