// Unit registry: VnList with its lookups. A lookup returns a counted reference, so a record
// stays valid for its user while the periodic removal unlinks it.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "pem_ref.h"
#include "vn_device.h"

extern _DLIST VnList;
extern int VnAmount;
extern pthread_mutex_t VnListMutex;
extern pthread_mutex_t VnListMutexExtra;

void VnMainRelease(PVN_DEVICE pVn);
using VnRef = qor::Ref<_VN_DEVICE, VnMainRelease>;

VnRef VnMainGetByMac(const uint8_t* pMac);
void VnMainDelAll();

// Stores a DLLP reply frame (Ethernet header included) in the unit's reply slot and wakes
// the command waiting for it. Frames longer than the slot are cut to its size.
void VnMainDeliverReply(PVN_DEVICE pVn, const uint8_t* pFrame, size_t Length);
