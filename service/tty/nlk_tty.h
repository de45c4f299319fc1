// Requests of the kernel TTY driver, and the events, received data and transmit data of
// mapped UART channels.
#pragma once

#include <cstddef>
#include <cstdint>

#include "nlk_tty_obj.h"
#include "vn_link_frame.h"

// A request handed to its worker thread, which owns and frees it.
struct _NLK_THREAD_CONTEXT {
    uint8_t* Buff;  // copy of the whole NLK message
    size_t Length;
};

// One NLK message of device type 1 (header and payload, Length bytes received), on the
// netlink receive thread: answered at once when no object serves the minor, transmit data
// sent on this thread, every request run by a detached worker of its own.
void NlkTtyHandleFromKernel(const uint8_t* pMessage, size_t Length);
// 1 when the transmit data of the message went to the unit.
int NlkTtyDataTransmit(const uint8_t* pMessage, size_t Length);

// The unit's receive path: an event TLP or a data TLP (header and data, Length bytes).
void NlkTtyEventHandle(PNLK_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);
void NlkTtyDataHandle(PNLK_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length);

// Sends one NLK message with status and payload; the result of NlkTx.
int NlkTtySend(uint8_t Minor, uint16_t Code, uint16_t Status, const uint8_t* pPayload, size_t Length);

// Waits up to TimeoutMs for the request workers still running; 1 when none is left.
int NlkTtyWaitWorkers(unsigned TimeoutMs);
