// The channel-object pattern every SIO family follows, written once: the object with its
// receive slot, the family's registry (add, delete, delete-all, lookup by unit MAC and
// channel), the family entry that dispatches a client's message (outgoing data at once,
// each command in a detached worker), the handler frame that looks the object up again and
// sends the response, and the consumer that routes the unit's TLPs to the object. A family
// supplies only a _SIO_FAMILY: its codes, its handlers, its events and data.
//
// Objects are counted: the list holds one reference and every lookup another, so an object
// deleted at disconnect stays valid for a worker or a receive path still using it. An object
// keeps its unit record alive the same way.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "chl_slot.h"
#include "pem_list.h"
#include "pem_ref.h"
#include "sio_protocol.h"
#include "sio_server.h"
#include "vn_main.h"
#include "vn_tlp_stream.h"

struct _SIO_FAMILY;

struct _SIO_OBJ {
    _DLIST Entry;
    PVN_DEVICE VnPtr;
    PDIB DibPtr;  // the channel's DIB inside the unit record
    uint8_t DibChlNumber;
    uint8_t TransactionID;
    _CHL_RX_SLOT Slot;          // the unit's answers to this channel's reads
    pthread_mutex_t RegMutex;   // read-modify-write of the DIB's register copies
    const _SIO_FAMILY* Family;
    VnRef UnitRef;
    std::atomic<int> RefCount;
};
using PSIO_OBJ = _SIO_OBJ*;

void SioObjRelease(PSIO_OBJ pObj);
using SioObjRef = qor::Ref<_SIO_OBJ, SioObjRelease>;

// One command as its handler sees it.
struct _SIO_REQUEST {
    PSIO_OBJ Obj;
    int Port;  // the server's port, "T:%d" in messages
    uint8_t Channel;
    uint16_t Code;
    const char* Word;        // the operation word of the code
    uint32_t Length;         // as announced
    const uint8_t* Payload;  // Avail bytes of it arrived
    size_t Avail;
};

// A handler's result: the status and its payload. With status 0 the first Length bytes of
// Data go out; with any other status the first FailLength (families whose responses to a bank
// or port command start with its index also on failure).
struct _SIO_REPLY {
    uint16_t Status;
    size_t Length;
    size_t FailLength;
    uint8_t Data[SIO_MSG_MAX_PAYLOAD - kSioHeaderLength];
};

struct _SIO_FAMILY {
    uint8_t DeviceType;
    const char* Prefix;     // "SER (T:%d, C:%d), "
    const char* ObjPrefix;  // "SER (:%.2x:%.2x:%.2x, C:%d, %p), "
    _DLIST* List;
    pthread_mutex_t* ListMutex;
    int* Amount;
    const char* (*CodeName)(uint16_t Code);
    // The operation word of a command of the family; null for every other code.
    const char* (*CommandWord)(uint16_t Code);
    void (*Handle)(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
    // Outgoing data from the client (0 when the family has none), sent on the receive thread.
    uint16_t DataFromLibrary;
    int (*DataTransmit)(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
    // The unit's events and data TLPs for an object of the family (NIC receive thread).
    void (*Event)(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
    void (*Data)(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
};

// Families by device type, filled by each family's registration.
extern const _SIO_FAMILY* SioFamilies[12];

int SioObjAdd(const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib);
void SioObjDel(const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib);
void SioObjDelAll(const _SIO_FAMILY& F);
SioObjRef SioObjGetByVnMacAndDibChlNumber(const _SIO_FAMILY& F, const uint8_t* pMac, uint8_t ChlNumber);

// The family entry: object lookup (no object: status 16), outgoing data at once, a command
// in a detached worker, any other code dropped with a message.
void SioObjHandleFromLibrary(const _SIO_FAMILY& F, PSIO_CLIENT pClient, const uint8_t* pMessage,
                             size_t Length);

// The unit's receive path for a family: lookup with a reference for the consumer, the answer
// stored into the object's slot when a command waits for it, events and data to the family.
void* SioObjConsumerFind(const _SIO_FAMILY& F, PVN_DEVICE pVn, uint8_t ChlNumber);
void SioObjConsumerResponse(void* pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioObjConsumerEvent(void* pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioObjConsumerData(void* pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioObjConsumerRelease(void* pObj);

// An event or data message of an object's channel to the unit's client; the result of the send.
// *pPort: the port of the server it went to (0 when none), for the caller's messages.
int SioObjTx(PSIO_OBJ pObj, uint16_t Code, const struct iovec* pParts, int Parts, int* pPort);

// Command worker threads running now, and a wait of up to TimeoutMs for all to end (the
// shutdown waits before it frees what they use).
int SioWorkersRunning();
void SioWaitWorkers(unsigned TimeoutMs);
