// The control unit's registers as several front ends use them: one-word writes and reads
// of offsets 8, 9 and 11, the completion events that answer them, and the procedure that
// reads a calibration table from the unit's non-volatile memory. Every function here works
// on the receive slot of the caller's channel object (the CTU object, or an MAI object, which
// receives copies of the memory events), with the slot's mutex held by the caller.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chl_slot.h"
#include "vn_device.h"

enum : uint8_t { kCuOffsetControl = 8, kCuOffsetFifo = 9, kCuOffsetNvm = 11 };
enum : uint8_t { kCuEventClassCommand = 1, kCuEventClassNvm = 2 };
constexpr uint16_t kCuCalibrationHeaderAddress = 0xA000;
constexpr size_t kCuCalibrationHeaderLength = 12;
constexpr size_t kCuNvmBlockMax = 256;
constexpr int kCuNvmReadsMax = 31;

// What a completion wait expects: an EVENT of class Class on control-unit channel Chl.
struct _CU_EVENT_MATCH {
    uint8_t Chl;
    uint8_t Class;
};
bool CuMatchEvent(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length);

// One-word write (Type 0, RW 1, TransactionID 0, LengthInDW 1, AOLBE 0x0F); 1 when sent.
int CuRegWriteLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint8_t Offset, const uint8_t Word[4]);
// A write of Words words (the firmware data block); 1 when sent.
int CuRegWriteWordsLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint8_t Offset,
                          const uint8_t* pData, size_t Words);
// One read of offset 9, waited for (the answer must match channel, offset, TransactionID and
// LengthInDW). 1 when the answer is in the slot; 0 with *pSent telling a send failure from a
// missing answer.
int CuRegReadFifoLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, bool* pSent);

// One control-unit transaction (all its steps) at a time per unit, whichever channel object
// runs it: the CTU commands and the MAI calibration reads share the unit's item FIFO and
// memory registers, and a second set-up between another's steps would answer the wrong one.
// The same thread may take it again (CuNvmReadCalibration takes it itself).
class CuTransactionLock {
  public:
    explicit CuTransactionLock(PVN_DEVICE pVn);
    ~CuTransactionLock();
    CuTransactionLock(const CuTransactionLock&) = delete;
    CuTransactionLock& operator=(const CuTransactionLock&) = delete;

  private:
    pthread_mutex_t* m_;
};

// Outcome of a step, mapped by each front end to its status codes (the CTU and SIO codes for
// these outcomes are the same numbers).
enum : uint16_t {
    CU_STATUS_OK = 0,
    CU_STATUS_ALLOC_FAIL = 5,
    CU_STATUS_TX_FAIL = 32,
    CU_STATUS_TIMEOUT = 33,
    CU_STATUS_FORMAT_INVALID = 34,
    CU_STATUS_NO_DATA = 35,
    CU_STATUS_UNSUPPORTED = 48,
};

// Reads the calibration table of type CalType (0 or 1) for a multi-function AI channel: the
// 12-byte header at 0xA000, then the table from 0xA00C in reads of at most 256 bytes, at most
// 31 of them. On success *pOut holds the header bytes as read followed by the table. Log
// lines start with pPrefix (e.g. "CTU (T:50001, C:0), get MFAI T0 calibration"). Runs under
// the unit's CuTransactionLock.
uint16_t CuNvmReadCalibration(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, uint8_t Chl, uint8_t CalType,
                              std::vector<uint8_t>* pOut, const char* pPrefix);
