// Info structure of a unit: the get-info thread that fetches it and the decoder of its DIBs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vn_device.h"

// Offset of the info structure in a received frame (after the 14-byte Ethernet header and
// the four DLLP bytes).
constexpr size_t kInfoStructureFrameOffset = 18;
constexpr size_t kInfoStructureHeaderLength = 28;

// Starts the get-info thread, which fetches the info structure at once and again on every
// trigger. 1 on success; 0 after undoing its own steps.
int VnGetInfoThreadCreate(PVN_DEVICE pVn);
// Asks for another pass without ever waiting for one in progress (a trigger during a pass
// makes the next pass follow at once); does nothing once the thread has ended.
void VnGetInfoThreadTrigger(PVN_DEVICE pVn);
// Ends and joins the thread (also when it already ended itself). Its trigger mutex and
// condition, and the decoded per-type records, stay until the record's last reference is
// dropped (VnGetInfoThreadRelease, then the record itself), because lookups still in
// progress may trigger or read them.
void VnGetInfoThreadDelete(PVN_DEVICE pVn);
void VnGetInfoThreadRelease(PVN_DEVICE pVn);

uint8_t VnGetChannelType(PVN_DEVICE pVn, uint8_t ChlNumber);
PDIB VnGetDibPointer(PVN_DEVICE pVn, uint8_t ChlNumber);

// Decodes an info structure of Length bytes into the unit record. Nothing is read past
// Length and nothing is written past the record's arrays: the DIB table keeps the DIBs that
// arrived whole (at most 64), and AvailableChls counts exactly those. Returns 0 when an
// allocation failed and decoding stopped, 1 otherwise.
int VnGetInfoDecode(PVN_DEVICE pVn, const uint8_t* pPayload, size_t Length);
