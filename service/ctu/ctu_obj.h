// CTU channel objects: one per control-unit channel (DIB type 0) of a connected unit, in
// CtuObjList. Each carries the receive slot through which its commands get the unit's
// answers; the link receive path reaches it through the control-unit TLP consumer.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "chl_slot.h"
#include "pem_list.h"
#include "pem_ref.h"
#include "vn_device.h"

struct _CTU_CLIENT;

struct _CTU_OBJ {
    _DLIST Entry;
    PVN_DEVICE VnPtr;
    PDIB DibPtr;
    _CTU_CLIENT* CtuClientPtr;  // unused: events go to the client of the unit's running server
    uint8_t DibChlNumber;
    uint8_t TransactionID;
    _CHL_RX_SLOT Slot;
    // The answer the last command stopped waiting for (under the unit's CuTransactionLock):
    // completion events carry
    // no transaction tag, so it is waited for once more before the channel is let go.
    uint8_t Owed;
    // The list's reference and one per lookup in progress; freed with the last.
    std::atomic<int> RefCount;
};
using PCTU_OBJ = _CTU_OBJ*;

enum : uint8_t { CTU_OWED_NONE = 0, CTU_OWED_EVENT = 1, CTU_OWED_NVM_EVENT = 2, CTU_OWED_READ = 9 };
// How long a command keeps the channel after an answer did not come in time.
constexpr unsigned kCtuLateAnswerMs = 500;

void CtuObjRelease(PCTU_OBJ pObj);
using CtuObjRef = qor::Ref<_CTU_OBJ, CtuObjRelease>;

int CtuObjAdd(PVN_DEVICE pVn, PDIB pDib);
void CtuObjDel(PVN_DEVICE pVn, PDIB pDib);
void CtuObjDelAll();
CtuObjRef CtuObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);

// Turns a programming event of the unit (codes 5, 6, 7) into a CTU event for the client.
void CtuEventHandle(PCTU_OBJ pObj, uint8_t EventCode);

// The control-unit entries of the channel-family and TLP-consumer tables.
extern const struct _VN_CHANNEL_FAMILY CtuChannelFamily;
extern const struct _VN_TLP_CONSUMER CtuTlpConsumer;
