// The SER family: the UART channels of a connected unit that this host does not map, served
// to the unit's SIO client with the UART register protocol of chan/uart_reg.h (the same
// TLPs, checks and register lock as the TTY bridge; only the messages and replies differ).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_obj.h"
#include "uart_reg.h"

extern _DLIST SioSerObjList;
extern int SioSerObjAmount;
extern pthread_mutex_t SioSerObjListMutex;

extern const _SIO_FAMILY SioSerFamily;

int SioSerObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioSerObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioSerObjDelAll();
SioObjRef SioSerObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
// Reads the controller registers of the DIB's channel into its register copies; 1 on success.
int SioSerObjGetControllerInfo(PVN_DEVICE pVn, PDIB pDib);

// The object's channel as the UART register protocol takes it; Prefix for its answer checks.
_UART_CHL SioSerObjChl(PSIO_OBJ pObj, const char* Prefix);

// Family entry, handlers and the unit's traffic.
void SioSerHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioSerCommandWord(uint16_t Code);
void SioSerHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
int SioSerDataTransmit(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
void SioSerEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioSerDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

// Makes connect create, read and delete SER objects for unmapped units, and routes the
// answers, events and data of their UART channels to them.
void SioSerObjRegister();
void SioSerObjUnregister();
