// Unit registry: VnList with its lookups. A lookup returns a counted reference, so a record
// stays valid for its user while the periodic removal unlinks it. Removing a unit unlinks it
// and stops its threads at once; its memory goes with the last reference.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "pem_ref.h"
#include "vn_device.h"

// Indices are one byte: the registry holds at most this many units at once.
constexpr int kVnMaxUnits = 255;

extern _DLIST VnList;
extern int VnAmount;
extern pthread_mutex_t VnListMutex;
extern pthread_mutex_t VnListMutexExtra;

void VnMainRelease(PVN_DEVICE pVn);
using VnRef = qor::Ref<_VN_DEVICE, VnMainRelease>;

// Creates and lists a record for a unit reached through pNic; when a record for the MAC
// already exists (another NIC's receive thread was first) that one is returned.
VnRef VnMainAdd(PNIC_DEVICE pNic, const uint8_t* pMac);
VnRef VnMainGetByMac(const uint8_t* pMac);
VnRef VnMainGetByIndex(uint8_t Index);
void VnMainDelAllWithoutMappingOrConnectedByHost();
void VnMainDelAll();
// Shutdown, before any registry is emptied (and after the NIC receive threads stopped): ends
// the threads of every listed unit (keep-alive and its jobs, get-info, servers) and waits for
// the unit-requested disconnects still running; new ones are refused from then on.
void VnMainStopAll();
void VnMainUpdateInfo(PVN_DEVICE pVn);

// A refresh removed pNic: units found through it that are neither mapped nor connected are
// dropped at once (the next search finds them again through a remaining NIC). Mapped or
// connected units keep the closed NIC record, whose sends fail, until a search answer through
// another NIC re-homes them (VnMainHandleSearchResponse).
void VnMainDelByNic(PNIC_DEVICE pNic);

// Search response (codes 5 and 7) from pMac on pNic.
void VnMainHandleSearchResponse(PNIC_DEVICE pNic, const uint8_t* pMac);

// Stores a DLLP reply frame (Ethernet header included) in the unit's reply slot and wakes
// the command waiting for it; while an exchange waits for one reply code, other replies are
// dropped. Frames longer than the slot are cut to its size.
void VnMainDeliverReply(PVN_DEVICE pVn, const uint8_t* pFrame, size_t Length);

// One DLLP command/response exchange of a unit (connect, disconnect, reconnect, get info
// structure) at a time. The waits for a reply release DllpCmdCompleteMutex, so the mutex alone
// would let a second exchange send meanwhile and take the first one's answer: the exchange
// holds the mutex and, until it ends, owns the reply slot.
class VnDllpExchange {
  public:
    // Takes the mutex, waits until no other exchange is in flight, empties the slot.
    // ExpectedCode: the reply code awaited (0 for any reply).
    VnDllpExchange(PVN_DEVICE pVn, uint8_t ExpectedCode);
    ~VnDllpExchange();
    VnDllpExchange(const VnDllpExchange&) = delete;
    VnDllpExchange& operator=(const VnDllpExchange&) = delete;
    // Waits up to TimeOutMs for a reply in the slot (or until *pStop is set); 0, or
    // ETIMEDOUT when the deadline passed.
    int WaitReply(unsigned TimeOutMs, const std::atomic<int>* pStop = nullptr);

  private:
    PVN_DEVICE pVn_;
};
