// TTY objects: one per UART channel of a connected unit that this host maps, found by minor
// number. Objects are counted: the list holds one reference and every lookup another, so an
// object deleted at disconnect stays valid for a request or a receive path still using it,
// and is freed with the last reference. An object keeps its unit record alive the same way.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "chl_slot.h"
#include "pem_list.h"
#include "pem_ref.h"
#include "uart_reg.h"
#include "vn_main.h"

struct _NLK_OBJ {
    _DLIST Entry;
    uint8_t MinorNumber;  // 255 once released
    PVN_DEVICE VnPtr;
    PDIB DibPtr;  // the channel's DIB inside the unit record
    uint8_t TransactionID;
    _CHL_RX_SLOT Slot;         // the unit's answers to this channel's reads
    pthread_mutex_t RegMutex;  // read-modify-write of the DIB's register copies
    char Prefix[16];            // "TTY (M:%d), "
    VnRef UnitRef;
    std::atomic<int> RefCount;
};
using PNLK_OBJ = _NLK_OBJ*;

void NlkTtyObjRelease(PNLK_OBJ pObj);
using NlkTtyObjRef = qor::Ref<_NLK_OBJ, NlkTtyObjRelease>;

extern _DLIST NlkTtyObjList;
extern int NlkTtyObjAmount;
extern pthread_mutex_t NlkTtyObjListMutex;

int NlkTtyObjAdd(uint8_t Minor, PVN_DEVICE pVn, PDIB pDib);
void NlkTtyObjDel(uint8_t Minor);
void NlkTtyObjDelAll();
NlkTtyObjRef NlkTtyObjGetByMinorNumer(uint8_t Minor);
// Reads the controller registers of the DIB's channel into its register copies.
int NlkTtyObjGetControllerInfo(PVN_DEVICE pVn, PDIB pDib);

// The object's channel as the UART register protocol takes it.
_UART_CHL NlkTtyObjChl(PNLK_OBJ pObj);

// Makes connect and mapping create, read and delete TTY objects, and routes the answers,
// events and data of mapped UART channels to them.
void NlkTtyObjRegister();
void NlkTtyObjUnregister();
