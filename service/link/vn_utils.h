#pragma once

#include <pthread.h>

constexpr int kVnIndexSlots = 512;

extern int VnIndexActive[kVnIndexSlots];
extern pthread_mutex_t VnIndexActiveMutex;

// Lowest free index 1..511, or -1 when every slot is taken.
int VnIndexAlloc();
// Frees the slot of the index's low byte; 0 is ignored.
void VnIndexFree(int Index);
// Frees exactly the slot VnIndexAlloc returned (also one above 255).
void VnIndexFreeSlot(int Slot);
