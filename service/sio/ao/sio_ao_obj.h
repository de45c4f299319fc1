// The AO family, and the analog-output command engine it shares with the UO and BAO families:
// channels whose channel-wide registers (TLP control, DAC calibration, DAC control, ...) come
// first and whose ports each own registers after them (docs/register-map.md). A get reads
// the register into its cache word; a set is a masked read-modify-write of the cached word,
// written without waiting. Every command of one channel runs under the object's RegMutex, so
// two requests changing different fields or ports of one register never lose an update. The
// register reads and writes themselves are the analog-input families' (sio_ai_obj.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_ai_obj.h"

extern _DLIST SioAoObjList;
extern int SioAoObjAmount;
extern pthread_mutex_t SioAoObjListMutex;

extern const _SIO_FAMILY SioAoFamily;

// Register map of an AO channel (word offsets): three channel-wide registers, then port p's
// three registers at 3 x (p + 1).
enum : uint8_t {
    AO_REG_TLP_CTRL = 0,
    AO_REG_DAC_CALIBRATION = 1,
    AO_REG_DAC_CTRL = 2,
    AO_PORT_UPDATE_RATE_CTRL = 0,
    AO_PORT_FIFO_CTRL = 1,
    AO_PORT_OUTPUT_CTRL = 2,
};

// Status codes of the analog output families beyond the common ones.
enum : uint16_t {
    AO_STATUS_NOT_SUPPORTED = 1,
    AO_STATUS_NO_PORT = 18,
    AO_STATUS_GAIN_ALL = 128,   // gain for all ports asked of a per-port channel
    AO_STATUS_GAIN_PORT = 129,  // per-port gain asked of an all-ports channel
    AO_STATUS_NO_FIFO = 130,
};
constexpr uint16_t AO_EVENT = 0x1001;
constexpr uint16_t AO_DATA_LIBRARY_TO_SERVICE = 0x2001;

// ---- The engine shared by AO, UO and BAO ----

enum class AoOp : uint8_t { Info, Get, Set, NotSupported };
enum class AoCheck : uint8_t {
    None,
    Bool,      // 0 or 1
    GainAll,   // the gain model, gain for all ports
    GainPort,  // the gain model, per-port gain
};

// One command of a family: a field of a channel-wide register or of a port's register.
struct _AO_CMD {
    uint16_t Code;
    const char* Name;  // "AO_CMD_GET_INFO", ...
    const char* Word;  // operation word of the messages
    AoOp Op;
    bool Port;  // P first in request and response; Reg is relative to the port's first register
    uint8_t Reg;
    uint32_t Mask;  // field bits in the register
    uint8_t Shift;
    uint8_t Size;  // value bytes in the request (set) or answer (get), big-endian
    AoCheck Check;
    uint8_t Below;   // gains: the family's own bound (0: none beyond the gain model)
    bool NeedsFifo;  // a channel without FIFO answers 130
};

struct _AO_FAMILY_DESC {
    const char* Tag;  // "AO  ", "UO  ", "BAO " (message prefixes)
    const _AO_CMD* Cmds;
    size_t CmdCount;
    bool (*Has)(PDIB pDib);
    uint8_t (*Ports)(PDIB pDib);
    uint32_t (*PortBase)(PDIB pDib, int Port);  // the port's first register
    // The cache word of the register at an absolute offset, or null when not cached.
    uint32_t* (*CacheAt)(PDIB pDib, uint32_t Offset);
    uint8_t (*Version)(PDIB pDib);
    uint8_t (*Gains)(PDIB pDib);  // SupportMaxProgramableGains
    bool (*HasFifo)(PDIB pDib);
    uint32_t (*InfoWords)(PDIB pDib);  // the controller info read, from offset 0
    uint8_t PortReads;                 // then this many single reads per port from its first register
    size_t (*InfoRecord)(PDIB pDib, uint8_t* pOut);
};

// Reads the controller info (and the per-port registers) into the cache; the caller holds the
// object's RegMutex and the unit's InfoLock shared. The status of the first failing step.
uint16_t SioAoFamilyReadAll(const _AO_FAMILY_DESC& D, PSIO_OBJ pObj, const char* Prefix);
int SioAoFamilyConnectRead(const _AO_FAMILY_DESC& D, const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib);
void SioAoFamilyHandle(const _AO_FAMILY_DESC& D, const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
const _AO_CMD* SioAoFamilyCommand(const _AO_FAMILY_DESC& D, uint16_t Code);
// The family's name of a code for the trace: commands, responses ("_CMD_" becomes
// "_RESPONSE_"), and the event and data codes named by the caller (null: not the family's).
const char* SioAoFamilyCodeName(const _AO_FAMILY_DESC& D, uint16_t Code, const char* Event, const char* Data);

// ---- The AO family ----
extern const _AO_FAMILY_DESC SioAoDesc;

int SioAoObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioAoObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioAoObjDelAll();
SioObjRef SioAoObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
int SioAoObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioAoHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioAoCodeName(uint16_t Code);
const char* SioAoCommandWord(uint16_t Code);
void SioAoHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
// Output data from the client: one DATA TLP of two bytes for the port; no response.
int SioAoDataTransmit(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
void SioAoEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

void SioAoObjRegister();
void SioAoObjUnregister();
