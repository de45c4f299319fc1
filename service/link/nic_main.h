// NIC layer: one record per usable network interface, with its raw link socket, transmit
// buffer and receive thread.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pem_list.h"
#include "pem_ref.h"

constexpr uint16_t kLinkEtherType = 0xD41F;
constexpr size_t kNicBuffSize = 8192;
// Receive queue asked for each raw socket: room for bursts of unit TLPs the receive thread has
// not read yet.
constexpr int kNicRxQueueBytes = 4 * 1024 * 1024;
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

// A unit's NIC: read by every thread that sends to the unit, without a lock, and replaced
// when the unit is re-homed after a refresh removed its NIC. A reader may still be sending
// through the record it read, so the slot keeps a reference to every record it ever held
// until the slot itself goes (a closed NIC record is small; removals are rare).
class NicSlot {
  public:
    PNIC_DEVICE get() const { return p_.load(std::memory_order_acquire); }
    PNIC_DEVICE operator->() const { return get(); }
    explicit operator bool() const { return get() != nullptr; }
    // Makes pNic the current NIC. Callers serialise Set (the registry does it under VnListMutex).
    void Set(NicRef pNic) {
        p_.store(pNic.get(), std::memory_order_release);
        held_.push_back(std::move(pNic));
    }

  private:
    std::atomic<PNIC_DEVICE> p_{nullptr};
    std::vector<NicRef> held_;
};

extern _DLIST NicList;
extern int NicAmount;
extern pthread_mutex_t NicListMutex;

// Interface names that never get a record.
bool NicMainIsExcludedName(const char* pName);

int NicMainRefreshList();
void NicMainDelAll();
// Stops the receive thread of every listed NIC; the records stay listed and can still send.
// The shutdown calls it before the registries those threads read are emptied.
void NicMainStopAll();
// Creates the record of one named interface (whatever the exclusion list says) unless it
// exists; the record, or none when it could not be created.
NicRef NicMainAddInterface(const char* pName);
NicRef NicMainGetByInterfaceName(const char* pName);
NicRef NicMainGetByIndex(int Index);
NicRef NicMainGetByMac(const uint8_t* pMac);
// A new reference to a record the caller already holds one on.
NicRef NicMainAddRef(PNIC_DEVICE pNic);
// True while the record is listed and its socket open (a refresh has not removed it).
bool NicMainIsOpen(PNIC_DEVICE pNic);

// Sends one frame; the payload bytes sent (frame length - 14), 0 for rejected arguments,
// negative when the send failed.
int NicTx(PNIC_DEVICE pNic, const uint8_t* pDestMac, const uint8_t* TxBuff, int TxLength);

// Receive thread of one NIC record.
void* NicRxThread(void* pArg);
// Handles one received frame (the receive thread's dispatch), exposed for tests.
void NicRxHandleFrame(PNIC_DEVICE pNic, const uint8_t* pFrame, size_t Length);
