// The register transactions of the CTU commands on the control-unit channel (offsets 8 and
// 9), and the steps that send them and judge the unit's answer. Every builder is called with
// the object's slot mutex held and returns 1 when every packet it had to send went out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ctu_obj.h"

// Names a step in the log: "CTU (T:<Port>, C:0), <Words>[, <Step>], <outcome>".
struct _CTU_LOG {
    int Port;
    const char* Words;
};

// Which data writes of a set transaction are sent after one of them failed.
enum class CtuDataWrites {
    StopAtFail,    // the transaction ends at the first write that cannot be sent
    ThenExecute,   // the data writes end, the execute write is still sent and decides
    AllAttempted,  // every data write is attempted; the execute write decides
};

// Set transaction: 2 to offset 8, the header word and Words data words to offset 9, 1 to
// offset 8. pFailedWord (may be null) is called for every data write that failed.
int CtuCmdSendSetLocked(PCTU_OBJ pObj, const uint8_t Hdr[4], const uint8_t* pWords, size_t Words,
                        CtuDataWrites Policy, void (*pFailedWord)(size_t Index, const void* pCtx) = nullptr,
                        const void* pCtx = nullptr);

int CtuCmdGetMadAddress(PCTU_OBJ pObj);
int CtuCmdSetMadAddress(PCTU_OBJ pObj, const uint8_t* pMac);
int CtuCmdGetDeviceNameV0(PCTU_OBJ pObj);
int CtuCmdGetDeviceNameV1(PCTU_OBJ pObj);
int CtuCmdSetDeviceNameV0(PCTU_OBJ pObj, uint8_t Length, const uint8_t* pName20);
int CtuCmdSetDeviceNameV1(PCTU_OBJ pObj, uint8_t PaddedLength, const uint8_t* pName);
int CtuCmdGetLinkStatus(PCTU_OBJ pObj);
int CtuCmdSetLinkStatus(PCTU_OBJ pObj, uint8_t Value);
int CtuCmdSetFirmwareTotalLength(PCTU_OBJ pObj, uint32_t Size);
int CtuCmdSetFirmwareData(PCTU_OBJ pObj, const uint8_t* pBlock, size_t Length, bool IsLast, uint32_t Sum);
int CtuCmdSetModelName(PCTU_OBJ pObj, const uint8_t* pTwo);
int CtuCmdSetPassword(PCTU_OBJ pObj, uint8_t Setting, const uint8_t* pReversed32);
// One read of offset 9, sent and awaited; see CuRegReadFifoLocked.
int CtuCmdGetOffset9Data(PCTU_OBJ pObj, bool* pSent);

// Checks of the answer in the slot (1 when it is the expected kind; otherwise logged): a
// class-1 event (its code to *pCode), or an offset-9 read answer of one word (to Bytes4).
int CtuResponseForEvent(PCTU_OBJ pObj, uint8_t* pCode);
int CtuResponseForGetOffset9Data(PCTU_OBJ pObj, uint8_t* pBytes4);

// Waits (mutex held) for the class-1 completion event after an execute write. Returns 0 with
// the event code in *pCode, 33 (no answer in time) or 34 (the answer failed its check).
uint16_t CtuWaitEventLocked(PCTU_OBJ pObj, unsigned TimeoutMs, uint8_t* pCode);

// A set transaction as one step: send, wait, judge (code 1 success, 15 status 48, another
// code status 32). Step may be null.
uint16_t CtuStepSet(PCTU_OBJ pObj, const _CTU_LOG& Log, const char* Step, const uint8_t Hdr[4],
                    const uint8_t* pWords, size_t Words, CtuDataWrites Policy);
// A get transaction: the set-up step S1, then one read of offset 9 per word (S2).
uint16_t CtuStepGet(PCTU_OBJ pObj, const _CTU_LOG& Log, const char* Version, const uint8_t Hdr[4],
                    uint8_t* pWords, size_t Words);

void CtuLogStep(const _CTU_LOG& Log, const char* Step, const char* Outcome);
