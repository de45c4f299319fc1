// The receive slot of a channel object (TTY, CTU and SIO objects alike) and the one way a
// command exchanges a TLP with its channel: the command sends, the NIC receive thread stores
// the unit's answer in the slot and wakes it. An answer counts only when the waiting command's
// matcher accepts it; anything else (an answer that arrives after its command gave up, an
// answer to another request) is dropped, so a late answer is never taken for the next command.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "vn_device.h"
#include "vn_link_frame.h"

constexpr size_t kChlRxBuffSize = 8192;
// How long a command waits for its channel's answer.
constexpr unsigned kChlAnswerTimeoutMs = 500;

// Decides whether a received TLP (header and data, Length bytes) is the answer the waiting
// command expects; pCtx is the command's own description of that answer.
using ChlAnswerMatch = bool (*)(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length);

struct _CHL_RX_SLOT {
    // One exchange with the channel at a time; paired with the condition. A command holds it
    // from before its send until it has read the answer (the wait releases it).
    pthread_mutex_t TlpCmdCompleteMutex;
    pthread_cond_t TlpCmdCompleteCond;
    alignas(_TLP_HEADER) uint8_t RxBuff[kChlRxBuffSize];
    size_t RxLength;  // 0 while no answer is stored
    // Set while a command waits; the receive thread stores only what Match accepts.
    ChlAnswerMatch Match;
    const void* MatchCtx;
};
using PCHL_RX_SLOT = _CHL_RX_SLOT*;

// Mutex and condition (the condition on the monotonic-independent wall clock that
// PemSetTimeout uses); 1 on success.
int ChlSlotInit(PCHL_RX_SLOT pSlot);
void ChlSlotFree(PCHL_RX_SLOT pSlot);

// Receive side (NIC receive thread): stores the TLP when a command waits and its matcher
// accepts it, and wakes that command. Returns 1 when stored, 0 when dropped (nobody waits,
// the answer is not the one awaited, or it does not fit the slot); the caller logs drops.
int ChlSlotStore(PCHL_RX_SLOT pSlot, const _TLP_HEADER* pTlp, size_t Length);

// The matcher of a register read: same channel, CMD type, TransactionID, Offset and
// LengthInDW as the request pointed to by pCtx (a const _TLP_HEADER*).
bool ChlMatchCmdAnswer(const void* pCtx, const _TLP_HEADER* pTlp, size_t Length);

// Command side. With the slot's mutex held by the caller (ChlSlotLock): clears the slot, arms
// Match, sends the TLP (header and data, ReqLength bytes) with VnTlpStreamOut and, when Match
// is non-null, waits up to TimeoutMs for a matching answer. Returns 1 when the TLP went out
// and (if awaited) its answer is in RxBuff/RxLength; 0 when the send failed or the deadline
// passed. Without a matcher it only sends (writes that the unit does not answer).
int ChlSlotExchangeLocked(PVN_DEVICE pVn, PCHL_RX_SLOT pSlot, const _TLP_HEADER* pReq, size_t ReqLength,
                          ChlAnswerMatch Match, const void* pMatchCtx, unsigned TimeoutMs = kChlAnswerTimeoutMs);
// Waits for a further matching answer after an exchange (a command answered in several
// steps, e.g. a completion event after a write); mutex held. 1 when one arrived.
int ChlSlotWaitLocked(PCHL_RX_SLOT pSlot, ChlAnswerMatch Match, const void* pMatchCtx,
                      unsigned TimeoutMs = kChlAnswerTimeoutMs);

// Scoped hold of the slot's mutex for one exchange or a sequence of them.
class ChlSlotLock {
  public:
    explicit ChlSlotLock(PCHL_RX_SLOT pSlot) : slot_(pSlot) { pthread_mutex_lock(&slot_->TlpCmdCompleteMutex); }
    ~ChlSlotLock() { pthread_mutex_unlock(&slot_->TlpCmdCompleteMutex); }
    ChlSlotLock(const ChlSlotLock&) = delete;
    ChlSlotLock& operator=(const ChlSlotLock&) = delete;

  private:
    PCHL_RX_SLOT slot_;
};
