#include "vn_utils.h"

#include "pem_dbg.h"
#include "pem_lock.h"

int VnIndexActive[kVnIndexSlots] = {};
pthread_mutex_t VnIndexActiveMutex = PTHREAD_MUTEX_INITIALIZER;

int VnIndexAlloc() {
    qor::MutexLock lock(&VnIndexActiveMutex);
    int slot = 1;
    for (int step = 0; step < kVnIndexSlots; ++step) {
        if (!VnIndexActive[slot]) {
            VnIndexActive[slot] = 1;
            return slot;
        }
        slot = slot + 1 >= kVnIndexSlots ? 1 : slot + 1;
    }
    PemDbg(1, 1, "VN can't get available index\n");
    return -1;
}

void VnIndexFree(int Index) {
    const int slot = Index & 0xFF;
    if (slot == 0) return;
    qor::MutexLock lock(&VnIndexActiveMutex);
    VnIndexActive[slot] = 0;
}

void VnIndexFreeSlot(int Slot) {
    if (Slot <= 0 || Slot >= kVnIndexSlots) return;
    qor::MutexLock lock(&VnIndexActiveMutex);
    VnIndexActive[Slot] = 0;
}
