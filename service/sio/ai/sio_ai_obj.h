// The AI family, and the analog-input command engine it shares with the UI and MAI families:
// channels whose channel-wide registers (TLP control, calibration, ADC control) come first and
// whose ports each own a block of registers right after them (docs/register-map.md). A
// client's request on one field becomes a read of the register (cached whole) or a masked
// read-modify-write of the cached word, written without waiting. Every command of one
// channel runs under the object's RegMutex, so two requests changing different fields or
// ports of one register never lose an update.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_obj.h"

extern _DLIST SioAiObjList;
extern int SioAiObjAmount;
extern pthread_mutex_t SioAiObjListMutex;

extern const _SIO_FAMILY SioAiFamily;

// Register map of an AI channel (word offsets): three channel-wide registers, then a block of
// five registers per port.
enum : uint8_t {
    AI_REG_TLP_CTRL = 0,
    AI_REG_ADC_CALIBRATION = 1,
    AI_REG_ADC_CTRL = 2,
    AI_PORT_FIRST = 3,
    AI_PORT_WORDS = 5,
    AI_PORT_SAMPLE_RATE_CTRL = 0,
    AI_PORT_SAMPLING_CTRL = 1,
    AI_PORT_UPPER_TRIGGER = 2,
    AI_PORT_LOWER_TRIGGER = 3,
    AI_PORT_FIFO_TRIGGER_LEVEL = 4,
};
constexpr uint8_t kAiInfoWords = 5;

// Status codes of the analog input families beyond the common ones.
enum : uint16_t {
    AI_STATUS_NO_PORT = 18,
    AI_STATUS_GAIN_MODEL = 128,
    MAI_STATUS_TYPE_MISMATCH = 131,
};
constexpr uint16_t AI_EVENT = 0x1001;
constexpr uint16_t AI_DATA_SERVICE_TO_LIBRARY = 0x2001;

// ---- The engine shared by AI, UI and MAI ----

enum class AiOp : uint8_t { Info, Get, Set, Calibration };
enum class AiCheck : uint8_t {
    None,
    Bool,       // 0 or 1
    Max,        // at most Limit
    Below,      // below Limit
    TriggerAi,  // bits 7..5 clear
    GainAll,    // the AI gain model, all-ports gain
    GainPort,   // the AI gain model, per-port gain
};

// One command of a family: a field of a channel-wide register or of a port's register.
struct _AI_CMD {
    uint16_t Code;
    const char* Name;  // "AI_CMD_GET_INFO", ...
    const char* Word;  // operation word of the messages
    AiOp Op;
    bool Port;  // P first in request and response; Reg is relative to the port's Offset
    uint8_t Reg;
    uint32_t Mask;  // field bits in the register
    uint8_t Shift;
    uint8_t Size;  // value bytes in the request (set) or answer (get), big-endian
    AiCheck Check;
    uint32_t Limit;
    uint8_t Aolbe;    // of the read
    uint8_t MaiType;  // 0xFF: any channel; 0 or 1: MAI channels of that type only
};

// What the engine needs of a family.
struct _AI_FAMILY_DESC {
    const char* Tag;  // "AI  ", "UI  ", "MAI " (message prefixes)
    const _AI_CMD* Cmds;
    size_t CmdCount;
    // Channel data of the DIB; false when the DIB has no record of the family's type.
    bool (*Has)(PDIB pDib);
    uint8_t (*Ports)(PDIB pDib);
    uint8_t (*PortOffset)(PDIB pDib, int Port);
    // The cache word of a register (channel-wide when Port < 0), or null when not cached.
    uint32_t* (*Cache)(PDIB pDib, int Port, uint8_t Reg);
    uint8_t (*Version)(PDIB pDib);
    uint8_t (*Gains)(PDIB pDib);    // SupportMaxProgramableGains
    uint8_t (*MaiType)(PDIB pDib);  // 0xFF for non-MAI families
    uint8_t InfoWords;              // the controller info read
    const uint8_t* PortRegs;        // the per-port reads of the info, port-relative offsets
    size_t PortRegCount;
    const uint8_t* PortAolbe;  // AOLBE of each of those reads
    const char* (*RegName)(uint8_t Reg, bool Port);
    // The info record after the reads; its length.
    size_t (*InfoRecord)(PDIB pDib, uint8_t* pOut);
    // The calibration command (MAI); may be null.
    uint16_t (*Calibration)(const _SIO_REQUEST& Req, const _AI_CMD& Cmd, _SIO_REPLY* pReply);
};

enum AiResult { AI_OK, AI_TX_FAIL, AI_TIMEOUT, AI_NO_DATA, AI_INVALID };

// One register read of LengthInDW words under the object's slot; the answer's Offset and
// LengthInDW are checked ("<Prefix><Name> response, invalid Offset:x%02x").
AiResult SioAiCmdRead(PSIO_OBJ pObj, uint8_t Offset, uint8_t LengthInDW, uint8_t Aolbe, const char* Prefix,
                      const char* Name, uint32_t* pWords);
// One register write (LengthInDW 1, AOLBE 0x1F), not waited for; 1 when sent.
int SioAiCmdWrite(PSIO_OBJ pObj, uint8_t Offset, uint32_t Value);
// The status of a failed read step.
uint16_t SioAiReadStatus(AiResult Res);

// What every analog command family (AI, UI, MAI, AO, UO, BAO) shares.
// A command's log line: "<Tag>(T:<port>, C:<channel>), <command word>, ...".
#define SIO_ANALOG_LOG(pre, r, fmt, ...)                                   \
    PemDbg(1, 1, "%s(T:%d, C:%d), %s, " fmt, (pre), (r).Port, (r).Channel, \
           (r).Word __VA_OPT__(, ) __VA_ARGS__)
// The status of a read step, logging a failed send, a time-out or an empty answer (a refused
// answer was logged by the read itself).
uint16_t SioAnalogStepStatus(const char* Tag, const _SIO_REQUEST& Req, AiResult Res);
// Big-endian payload fields of 1..4 bytes.
uint32_t SioAnalogGetBe(const uint8_t* p, uint8_t Size);
void SioAnalogPutBe(uint8_t* p, uint8_t Size, uint32_t Value);
// The first checks of every analog command, in this order, made while holding the unit's
// InfoLock and the channel's RegMutex: a port command's response starts with its port byte
// (also on failure); the DIB must be there (16); Length must be exactly the command's, the
// port byte and SetSize bytes (2); a port command's port must exist (18). SIO_STATUS_SUCCESS
// to go on.
uint16_t SioAnalogCommandHead(const char* Tag, const _SIO_REQUEST& Req, _SIO_REPLY* pReply, bool HasDib,
                              bool Port, size_t SetSize, int Ports);
// The gain model of the analog families: SupportMaxProgramableGains (Gains) bit 7 set means
// per-port gain only; the controller version fixes the bits of the highest gain and the
// gains there are (FamilyBelow, when not 0, bounds them further). All: the command sets the
// gain of every port, refused with AllStatus on a per-port model; otherwise a per-port set,
// refused with PortStatus and PortMessage on a whole-channel model.
uint16_t SioAnalogCheckGain(const char* Tag, const _SIO_REQUEST& Req, uint8_t Gains, uint8_t Version,
                            bool All, uint32_t FamilyBelow, uint16_t AllStatus, uint16_t PortStatus,
                            const char* PortMessage, uint32_t Value);

// Fills every port's Offset from the family's map, reads the controller info and every
// port's registers into the cache. Object's RegMutex taken here; the caller holds the unit's
// InfoLock shared. The status of the first failing step.
uint16_t SioAiFamilyReadAll(const _AI_FAMILY_DESC& D, PSIO_OBJ pObj, const char* Prefix);
// The connect-time read of a family's object: 1 on success.
int SioAiFamilyConnectRead(const _AI_FAMILY_DESC& D, const _SIO_FAMILY& F, PVN_DEVICE pVn, PDIB pDib);
// A command of the family (the handler frame's Handle).
void SioAiFamilyHandle(const _AI_FAMILY_DESC& D, const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
const _AI_CMD* SioAiFamilyCommand(const _AI_FAMILY_DESC& D, uint16_t Code);
// Data and events of the family's channels, forwarded unchanged (AI way).
void SioAiFamilyForwardData(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length, const char* Tag);
void SioAiFamilyForwardEvent(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length, const char* Tag);
// A response name from a command name: "_CMD_" becomes "_RESPONSE_" (static storage).
const char* SioAiResponseName(const _AI_FAMILY_DESC& D, uint16_t Code);

// ---- The AI family ----
extern const _AI_FAMILY_DESC SioAiDesc;

int SioAiObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioAiObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioAiObjDelAll();
SioObjRef SioAiObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
int SioAiObjGetControllerAndPortInfo(PVN_DEVICE pVn, PDIB pDib);

void SioAiHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioAiCodeName(uint16_t Code);
const char* SioAiCommandWord(uint16_t Code);
void SioAiHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
void SioAiDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
void SioAiEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

void SioAiObjRegister();
void SioAiObjUnregister();
