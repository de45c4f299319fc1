// The UI family (universal input channels): the analog-input engine of the AI family with the
// UI register map, commands and info record.
#pragma once

#include "sio_ai_obj.h"

extern _DLIST SioUiObjList;
extern int SioUiObjAmount;
extern pthread_mutex_t SioUiObjListMutex;

extern const _SIO_FAMILY SioUiFamily;
extern const _AI_FAMILY_DESC SioUiDesc;

// Register map (word offsets): four channel-wide registers, then three per port.
enum : uint8_t {
    UI_REG_TLP_CTRL = 0,
    UI_REG_ADC_CALIBRATION = 1,
    UI_REG_ADC_CTRL = 2,
    UI_REG_SAMPLE_RATE_CTRL = 3,
    UI_PORT_FIRST = 4,
    UI_PORT_WORDS = 3,
    UI_PORT_CTRL = 0,
    UI_PORT_UPPER_TRIGGER = 1,
    UI_PORT_LOWER_TRIGGER = 2,
};
constexpr uint8_t kUiInfoWords = 4;

int SioUiObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioUiObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioUiObjDelAll();
SioObjRef SioUiObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
int SioUiObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioUiHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioUiCodeName(uint16_t Code);
const char* SioUiCommandWord(uint16_t Code);
void SioUiHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
void SioUiDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioUiEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

void SioUiObjRegister();
void SioUiObjUnregister();
