// The reliable TLP stream to and from a unit: numbering, retransmission list, ACK/NAK, and
// the receive path that acknowledges, rebuilds and dispatches each TLP.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pem_list.h"
#include "vn_device.h"
#include "vn_link_frame.h"

struct _TLP_RETRANSMIT_PACKET {
    _DLIST Entry;
    uint16_t SeqNumber;
    uint8_t Type;
    uint8_t RW;
    uint8_t ChlNumber;
    uint8_t Data[kTlpMaxOutLength];  // the _TLP_HEADER and data as the channel module gave them
    uint32_t DataLength;
};
using PTLP_RETRANSMIT_PACKET = _TLP_RETRANSMIT_PACKET*;

// The list never holds more than one sequence space of records: beyond that a kept copy
// could no longer be told apart from a newer TLP with the same number, so the oldest record
// gives way to the newest.
constexpr unsigned kTlpRetransmissionListMax = 1024;

// Buffers of the TLP path, one set per thread, allocated on the thread's first use and kept
// until it ends. They are not on the stack: the NIC receive threads run on 16 KiB stacks, and
// the channel handlers they call need that room. Rebuilt is used by the receive path, which
// may call a handler that sends (Frame); Frame and Kept by the sending and resending paths.
struct _TLP_SCRATCH {
    alignas(_TLP_HEADER) uint8_t Rebuilt[kTlpRebuiltBuffSize];
    uint8_t Frame[kTlpFrameBuffSize];
    _TLP_RETRANSMIT_PACKET Kept;
};
// The calling thread's set; null (after a log line) when it could not be allocated.
_TLP_SCRATCH* VnTlpScratch();

int VnTlpQueueInit(PVN_DEVICE pVn);  // list and mutex; 1 on success
int VnTlpQueueAddPacketToRetransmissionList(PVN_DEVICE pVn, const uint8_t* pBuff, size_t Length,
                                            uint16_t SeqNumber, uint8_t Type, uint8_t RW, uint8_t ChlNumber);
int VnTlpQueueDelPacketInRetransmissionList(PVN_DEVICE pVn, uint16_t SeqNumber);
// Copies the oldest record with this number into *pOut; 0 when none.
int VnTlpQueueGetPacketInRetransmissionList(PVN_DEVICE pVn, uint16_t SeqNumber, _TLP_RETRANSMIT_PACKET* pOut);
void VnTlpQueueFreeRetransmissionList(PVN_DEVICE pVn);
unsigned VnTlpQueueAmount(PVN_DEVICE pVn);

int VnTlpStreamOut(PVN_DEVICE pVn, const uint8_t* pBuff, int Length);
int VnTlpStreamOutRetransmission(PVN_DEVICE pVn, uint16_t SeqNumber);
void VnTlpStreamIn(PVN_DEVICE pVn, const uint8_t* pBuff, int Length);
void VnDllpAckFromVN(PVN_DEVICE pVn, uint16_t SeqNumber);
void VnDllpNakFromVN(PVN_DEVICE pVn, uint16_t SeqNumber);

// Data length of a received EVENT, given by the type of the DIB in slot ChlNumber and the
// event bytes; LinkLength is the received TLP's length. Logs the types it cannot size.
size_t VnTlpEventDataLength(PVN_DEVICE pVn, const _TLP_HEADER* pHdr, size_t LinkLength);
// Runs the unit-requested disconnect (control channel event 7) in a job thread of its own:
// it waits for the unit's reply, which only the NIC receive thread can deliver.
void VnMainDisconnectByUnitEventJob(PVN_DEVICE pVn);

// The consumers of received TLPs of one channel type, filled in by the family that serves
// the type. `Find` returns the family's object for (unit, channel) or null, holding a
// reference that `Release` gives back once the TLP is handled (so an object deleted meanwhile
// stays valid until then); `Response` stores the rebuilt TLP (header and data, Length bytes)
// in the object's response slot and wakes the waiting command; `Data` and `Event` are the
// family's handlers.
struct _VN_TLP_CONSUMER {
    void* (*Find)(PVN_DEVICE pVn, uint8_t ChlNumber);
    void (*Response)(void* pObj, const _TLP_HEADER* pTlp, size_t Length);
    void (*Data)(void* pObj, const _TLP_HEADER* pTlp, size_t Length);
    void (*Event)(void* pObj, const _TLP_HEADER* pTlp, size_t Length);
    void (*Release)(void* pObj) = nullptr;  // null when the family's objects are not counted
};
constexpr int kVnTlpConsumerTypes = 12;
// Indexed by channel type 0..11; the UART entry serves unmapped units, the TTY entry mapped ones.
extern const _VN_TLP_CONSUMER* VnTlpConsumers[kVnTlpConsumerTypes];
extern const _VN_TLP_CONSUMER* VnTlpConsumerTty;
