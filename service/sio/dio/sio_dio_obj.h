// The DIO family: digital I/O channels whose banks share 32-bit registers, each bank owning
// the bits IoMask (from IoShiftBits on). A bank-relative request of the client becomes a
// masked read-modify-write of a whole register, based on the register copies cached in the
// channel's _DIB_DIO. Every command of one channel runs under the object's RegMutex, so two
// requests changing different banks of one register never lose an update.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_obj.h"

extern _DLIST SioDioObjList;
extern int SioDioObjAmount;
extern pthread_mutex_t SioDioObjListMutex;

extern const _SIO_FAMILY SioDioFamily;

// Register map of a DIO channel (word offsets).
enum : uint8_t {
    DIO_REG_INPUT = 0,
    DIO_REG_INPUT_DELTA = 1,
    DIO_REG_INPUT_INVERT_ENABLE = 2,
    DIO_REG_OUTPUT_WRITE_ENABLE = 3,
    DIO_REG_OUTPUT = 4,
    DIO_REG_DIRECTION_CTRL = 5,
    DIO_REG_OUTPUT_INITIAL_VALUE = 6,
    DIO_REG_OUTPUT_SAFE_VALUE = 7,
    DIO_REG_OUTPUT_SAFE_VALUE_TIMER = 8,
    DIO_REG_INPUT_LATCH_POSITIVE_EDGE = 9,
    DIO_REG_INPUT_LATCH_NEGATIVE_EDGE = 10,
    DIO_REG_INPUT_COUNTER_RESET = 11,
    DIO_REG_INPUT_COUNTER_INC_POSITIVE_EDGE = 12,
    DIO_REG_INPUT_COUNTER_INC_NEGATIVE_EDGE = 13,
    // Bank b's control register follows the channel-wide registers (docs/register-map.md).
    DIO_REG_BANK_CTRL_FIRST = 14,
    DIO_REG_INPUT_COUNTER_FIRST = 64,
};
// The controller info block: registers 2.. in one read.
constexpr uint8_t kDioInfoWordsV0V1 = 4;
constexpr uint8_t kDioInfoWordsV2 = 12;
// Input counters exist for the lines of the 32-bit I/O word only.
constexpr uint32_t kDioLines = 32;

// Status codes of the family beyond the common ones.
enum : uint16_t {
    DIO_STATUS_NO_BANK = 17,
    DIO_STATUS_NO_LINE = 19,
    DIO_STATUS_NO_INPUT_LINES = 112,
    DIO_STATUS_NO_OUTPUT_LINES = 113,
    DIO_STATUS_WHOLE_DIRECTION_MIXED = 114,
    DIO_STATUS_OUTPUT_ONLY = 115,
    DIO_STATUS_INPUT_ONLY = 116,
    DIO_STATUS_DIRECTION_CAP_INVALID = 117,
};

enum : uint16_t {
    DIO_CMD_GET_INFO = 1,
    DIO_CMD_GET_BANK_STATE,
    DIO_CMD_GET_BANK_STATE_DELTA,
    DIO_CMD_GET_BANK_INPUT_INVERT_ENABLE,
    DIO_CMD_SET_BANK_INPUT_INVERT_ENABLE,
    DIO_CMD_SET_BANK_STATE,
    DIO_CMD_GET_BANK_DIRECTION,
    DIO_CMD_SET_BANK_DIRECTION,
    DIO_CMD_GET_BANK_INPUT_EVENT_MODE,
    DIO_CMD_SET_BANK_INPUT_EVENT_MODE,
    DIO_CMD_GET_BANK_SAMPLING_CLOCK,
    DIO_CMD_SET_BANK_SAMPLING_CLOCK,
    DIO_CMD_GET_BANK_OUTPUT_PIN_CONFIG,
    DIO_CMD_SET_BANK_OUTPUT_PIN_CONFIG,
    DIO_CMD_GET_BANK_OUTPUT_INITIAL_VALUE,
    DIO_CMD_SET_BANK_OUTPUT_INITIAL_VALUE,
    DIO_CMD_GET_BANK_OUTPUT_SAFE_VALUE,
    DIO_CMD_SET_BANK_OUTPUT_SAFE_VALUE,
    DIO_CMD_GET_OUTPUT_SAFE_VALUE_TIMER,
    DIO_CMD_SET_OUTPUT_SAFE_VALUE_TIMER,
    DIO_CMD_GET_BANK_INPUT_LATCH_RISING_EDGE,
    DIO_CMD_SET_BANK_INPUT_LATCH_RISING_EDGE,
    DIO_CMD_GET_BANK_INPUT_LATCH_FALLING_EDGE,
    DIO_CMD_SET_BANK_INPUT_LATCH_FALLING_EDGE,
    DIO_CMD_SET_BANK_INPUT_COUNTER_RESET,
    DIO_CMD_GET_BANK_INPUT_COUNTER_INC_RISING_EDGE,
    DIO_CMD_SET_BANK_INPUT_COUNTER_INC_RISING_EDGE,
    DIO_CMD_GET_BANK_INPUT_COUNTER_INC_FALLING_EDGE,
    DIO_CMD_SET_BANK_INPUT_COUNTER_INC_FALLING_EDGE,
    DIO_CMD_GET_BANK_IO_INPUT_COUNTER_VALUE,
    DIO_EVENT_BANK_INPUT_DELTA_AND_VALUE = 0x1001,
};
constexpr uint16_t kDioLastCommand = DIO_CMD_GET_BANK_IO_INPUT_COUNTER_VALUE;

int SioDioObjAdd(PVN_DEVICE pVn, PDIB pDib);
void SioDioObjDel(PVN_DEVICE pVn, PDIB pDib);
void SioDioObjDelAll();
SioObjRef SioDioObjGetByVnMacAndDibChlNumber(const uint8_t* pMac, uint8_t ChlNumber);
// The connect-time read: bank offsets, the controller info block and every bank's control
// register into the cache, and every bank's IoDirection. 1 on success. The caller holds the
// unit's InfoLock shared.
int SioDioObjGetControllerAndBankInfo(PVN_DEVICE pVn, PDIB pDib);

// The controller info block and every bank control register read into the cache, IoDirection
// of every bank computed from it; 1 on success. Prefix starts the answer checks' messages.
int SioDioObjReadControllerAndBanks(PSIO_OBJ pObj, const char* Prefix);

// Outcome of one register read of a worker.
enum DioResult { DIO_OK, DIO_TX_FAIL, DIO_TIMEOUT, DIO_NO_DATA, DIO_INVALID };

// One register read (LengthInDW words from Offset) under the object's slot: the answer must
// be a CMD of the channel with TransactionID 0; its Offset and LengthInDW are then checked
// (a wrong one is DIO_INVALID, logged as "<Prefix><Name> response, invalid ..."). The words
// land in pWords.
DioResult SioDioCmdRead(PSIO_OBJ pObj, uint8_t Offset, uint8_t LengthInDW, uint8_t Aolbe, const char* Prefix,
                        const char* Name, uint32_t* pWords);
// One register write, sent without waiting (the link's acknowledgement is the confirmation);
// 1 when VnTlpStreamOut took it.
int SioDioCmdWrite(PSIO_OBJ pObj, uint8_t Offset, uint32_t Value);
// The name of the register in answer-check messages ("input reg", "bank ctrl reg", ...).
const char* SioDioRegName(uint8_t Offset);

// Family entry, handlers and the unit's input events.
void SioDioHandleFromLibrary(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length);
const char* SioDioCodeName(uint16_t Code);
const char* SioDioCommandWord(uint16_t Code);
void SioDioHandle(const _SIO_REQUEST& Req, _SIO_REPLY* pReply);
void SioDioEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

// The DIB type's channel family, TLP consumer and SIO entry.
void SioDioObjRegister();
void SioDioObjUnregister();
