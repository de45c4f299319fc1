// NIC layer: one record per usable network interface, with its raw link socket, transmit
// buffer and receive thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pem_list.h"
#include "pem_ref.h"

constexpr uint16_t kLinkEtherType = 0xD41F;
constexpr size_t kNicBuffSize = 8192;
constexpr size_t kEthHeaderLength = 14;
constexpr size_t kNicMaxPayload = kNicBuffSize - kEthHeaderLength;  // 8178

struct _NIC_DEVICE {
    _DLIST Entry;
    int Sock;
    int Index;
    char InterfaceName[64];
    uint8_t Mac[6];
    uint8_t* TxBuff;
    uint8_t* RxBuff;
    pthread_mutex_t TxMutex;
    int RxThreadExitFd;
    pthread_t RxThreadHd;
    pthread_attr_t RxThreadAttr;
    // References held by NicList (one) and by lookups and unit records. The socket is closed
    // when the record leaves the list; the memory goes with the last reference.
    std::atomic<int> RefCount;
    // Creation steps done, so that a failed creation or a free undoes exactly those.
    int TxMutexInit;
    int RxThreadAttrInit;
    int RxThreadRunning;
};
using PNIC_DEVICE = _NIC_DEVICE*;

void NicMainRelease(PNIC_DEVICE pNic);
using NicRef = qor::Ref<_NIC_DEVICE, NicMainRelease>;

extern _DLIST NicList;
extern int NicAmount;
extern pthread_mutex_t NicListMutex;

// Interface names that never get a record.
bool NicMainIsExcludedName(const char* pName);

int NicMainRefreshList();
void NicMainDelAll();
// Creates the record of one named interface (whatever the exclusion list says) unless it
// exists; the record, or none when it could not be created.
NicRef NicMainAddInterface(const char* pName);
NicRef NicMainGetByInterfaceName(const char* pName);
NicRef NicMainGetByIndex(int Index);
NicRef NicMainGetByMac(const uint8_t* pMac);
// A new reference to a record the caller already holds one on.
NicRef NicMainAddRef(PNIC_DEVICE pNic);

// Sends one frame; the payload bytes sent (frame length - 14), 0 for rejected arguments,
// negative when the send failed.
int NicTx(PNIC_DEVICE pNic, const uint8_t* pDestMac, const uint8_t* TxBuff, int TxLength);

// Receive thread of one NIC record.
void* NicRxThread(void* pArg);
// Handles one received frame (the receive thread's dispatch), exposed for tests.
void NicRxHandleFrame(PNIC_DEVICE pNic, const uint8_t* pFrame, size_t Length);
