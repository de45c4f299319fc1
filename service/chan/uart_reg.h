// The register protocol of a UART channel, spoken by both UART front ends (the kernel TTY
// bridge for mapped units, the SER family of the channel server for unmapped ones): the
// command TLPs, the checks and decoding of the unit's answers, the transmit-data TLPs, the
// meaning of event bytes and the MODE_1/MODE_2 capability checks. A front end hands in the
// channel's unit, DIB, receive slot and register lock, and the prefix of its own messages.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "chl_slot.h"
#include "vn_device.h"
#include "vn_dib.h"

// Register double-word offsets.
enum : uint8_t {
    UART_REG_CONTROL0 = 0,
    UART_REG_CONTROL1 = 1,
    UART_REG_STATUS = 2,
    UART_REG_FIFO_TRIGGER_LEVEL = 3,  // also the transmit window of versions 0..3
    UART_REG_CONTROL2 = 4,
};

constexpr uint32_t kUartControl0DefaultV0V1V2V3 = 0x3F030060;
constexpr uint32_t kUartControl0DefaultV4V5 = 0x03030060;
constexpr uint32_t kUartControl1Default = 0;
constexpr uint32_t kUartFifoTriggerLevelDefault = 0xBFBF;
constexpr uint8_t kUartTxDataTransactionID = 0x50;
// One TLP of transmit data: the register window holds 255 words, a data TLP what fits the
// 1500-byte limit of stream-out behind its 16-byte header.
constexpr size_t kUartTxMaxV0V1V2V3 = 1020;
constexpr size_t kUartTxMaxV4V5 = 1484;

// Controller generations; UART_GEN_NONE for a version this protocol does not know.
enum UartGen { UART_GEN_NONE, UART_GEN_V0, UART_GEN_V1V2V3, UART_GEN_V4V5 };
UartGen UartGenOf(uint8_t Version);
const char* UartGenName(UartGen Gen);  // "V0", "V1V2V3", "V4V5"

// One UART channel as a front end drives it. RegMutex guards the read-modify-write of the
// DIB's register copies, so that two concurrent sets of fields of one register both stay.
struct _UART_CHL {
    PVN_DEVICE VnPtr;
    PDIB DibPtr;
    PCHL_RX_SLOT SlotPtr;
    pthread_mutex_t* RegMutexPtr;
    const char* Prefix;  // e.g. "TTY (M:3), "; used by the answer checks
};

// Outcome of one read exchange.
enum UartResult { UART_OK, UART_TX_FAIL, UART_TIMEOUT, UART_NO_DATA, UART_INVALID };

// Builds a register-access TLP into pOut (16-byte header, then Words little-endian words
// when RW is 1); returns its length.
size_t UartBuildRegTlp(uint8_t* pOut, uint8_t ChlNumber, uint8_t RW, uint8_t Offset, uint8_t LengthInDW,
                       uint8_t AOLBE, const uint32_t* pWords);

// Writes; 1 when the TLP was handed to the unit. Init first stores its defaults into the DIB
// copies (under the register lock); InitV4V5 sends the trigger levels only after the first
// TLP went out.
int UartCmdInitV0(const _UART_CHL& c);
int UartCmdInitV1V2V3(const _UART_CHL& c);
int UartCmdInitV4V5(const _UART_CHL& c);
// The init of the channel's version; UART_GEN_NONE gives 0 without traffic.
int UartCmdInit(const _UART_CHL& c, UartGen Gen);
int UartCmdSetReg(const _UART_CHL& c, uint8_t Offset, uint32_t Value);

// Replaces the field Mask of register Offset in the DIB copy by Value << Shift, writes the
// register and, only when the write was handed over, keeps the new value in the copy. The
// whole step runs under the channel's register lock. 1 when handed over.
int UartSetRegField(const _UART_CHL& c, uint8_t Offset, uint32_t Mask, unsigned Shift, uint32_t Value);

// Read exchanges: lock the slot, send the read, wait up to 500 ms for the answer with the
// same TransactionID, Offset and LengthInDW (an answer that differs is dropped and reported
// with the decoder's invalid-Offset/LengthInDW message), decode. UartReadReg stores the
// value into the register's DIB copy too.
UartResult UartReadReg(const _UART_CHL& c, uint8_t Offset, uint32_t* pValue);
UartResult UartReadControllerInfo(const _UART_CHL& c, UartGen Gen);

// Decoders of an answer held in the slot (header and data, Length bytes); 1 valid.
int UartResponseGetReg(const _UART_CHL& c, const uint8_t* pRx, size_t Length, uint8_t Offset, uint32_t* pOut);
int UartResponseGetControllerInfo(const _UART_CHL& c, const uint8_t* pRx, size_t Length, UartGen Gen);

// The transmit-data TLP for n bytes (register-window write for versions 0..3, data TLP for
// 4, 5) into pOut (at least 16 + kUartTxMaxV4V5 bytes).
enum UartTxBuild { UART_TX_OK, UART_TX_BAD_VERSION, UART_TX_BAD_LENGTH };
UartTxBuild UartBuildTxData(uint8_t ChlNumber, uint8_t Version, const uint8_t* pData, size_t n, uint8_t* pOut,
                            size_t* pOutLength);

// The parts of one event TLP of a UART channel (E0..E3 the header's event bytes).
struct _UART_EVENT {
    bool HasMsr;
    uint8_t Msr;  // modem-status change bits
    bool HasLsr;
    uint8_t LsrFlags;
    uint16_t LsrCount;
    bool HasData;  // versions 0..3: the event carries received bytes
};
// 0 for an unsupported version.
int UartEventDecode(uint8_t Version, const uint8_t* pE, _UART_EVENT* pOut);

// The twenty requests of a UART front end (codes 1..20, the same for the kernel TTY driver
// and an SIO client): operation word as the messages spell it, the controller versions
// that have it, the register field it sets or gets and the payload or answer size.
enum UartReqKind { UART_REQ_OPEN, UART_REQ_CLOSE, UART_REQ_SET, UART_REQ_GET };
enum UartReqGate { UART_GATE_NONE, UART_GATE_V1, UART_GATE_V4, UART_GATE_V5 };
enum UartReqCheck { UART_CHECK_NONE, UART_CHECK_MODE_1, UART_CHECK_MODE_2 };
struct _UART_REQUEST {
    const char* Word;
    UartReqKind What;
    UartReqGate Versions;
    uint8_t Offset;
    unsigned Shift;
    uint32_t Mask;  // of the field: within the register for a set, after the shift for a get
    size_t Size;    // payload bytes of a set, answer bytes of a get
    UartReqCheck Validate;
};
constexpr uint16_t kUartFirstRequest = 1;
constexpr uint16_t kUartLastRequest = 20;
// Indexed by code - 1.
extern const _UART_REQUEST UartRequests[kUartLastRequest];
bool UartRequestVersionHas(UartReqGate Gate, uint8_t Version);
// A get's answer bytes from the register value (2 bytes big-endian or 1 byte).
size_t UartRequestGetAnswer(const _UART_REQUEST& q, uint32_t Reg, uint8_t* pOut);

// The 17-byte open record from the DIB's register copies (under the register lock).
constexpr size_t kUartOpenRecordLength = 17;
void UartOpenRecord(const _UART_CHL& c, uint8_t* pRecord);

// MODE_1 and MODE_2 checks against the DIB's capabilities, in their fixed order. nullptr when
// the value is allowed, otherwise the reason as a format with one %02x for the value (e.g.
// "MODE_1:x%02x invalid") or without any conversion ("no RS232 cap").
const char* UartCheckMode1(const _DIB_UART& u, uint8_t Mode1);
const char* UartCheckMode2(const _DIB_UART& u, uint8_t Mode2);
