// The UART channel model: a 16550-style controller behind five registers (Control0, Control1,
// Status, FifoTriggerLevel, Control2), the transmit path of its controller version and the
// line events and received data a unit sends on its own.
//
//   versions 0..3  transmit data is a register write into the window at offset 3 (the bytes of
//                  the last word told by AOLBE); the unit echoes that write back (a CMD with
//                  Offset 3, which a host must not take for a register answer); received data
//                  travels in events (E0 bit 6, E2 and E1 bit 2 the length in words)
//   versions 4, 5  transmit and received data are DATA TLPs (Flag, LengthInByte); offset 3 is
//                  the trigger-level register; version 5 reports the Tx credit (Status bits
//                  19..8) and the Tx FIFO data count (bits 31..20)
//   other          a plain register file (a host refuses such controllers)
//
// What the host transmits is kept for the test to read (`keep`, the default), sent straight
// back as received data (`loopback`), or only counted (`sink`). Every transmitted byte goes into
// a running FNV-1a hash, so a benchmark can check a long stream without keeping it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim_channel.h"

// Bytes a channel keeps for the test to read; more are counted as dropped.
constexpr size_t kSimUartKeepMax = 65536;

enum class SimUartMode { Keep, Loopback, Sink };

struct _SIM_UART_STATE : _SIM_CHANNEL_STATE {
    uint8_t Version = 0;      // the DIB's Info byte, as a host takes it
    uint16_t TxBuffSize = 0;  // from the DIB; the version-5 credit when the FIFO is empty
    SimUartMode Mode = SimUartMode::Keep;
    bool Echo = false;  // echo transmit-window writes (versions 0..3 start with it on)
    std::vector<uint8_t> Kept;
    uint64_t TxBytes = 0;  // every byte the host transmitted
    uint64_t TxTlps = 0;
    uint64_t TxErrors = 0;   // malformed transmit TLPs (no words, odd byte enables, cut short)
    uint64_t TxDropped = 0;  // kept bytes beyond kSimUartKeepMax
    uint64_t Hash = 0xcbf29ce484222325ull;
    uint64_t RxBytes = 0;  // received data sent to the host (padding included)
};

extern const _SIM_CHANNEL_MODEL kSimUartModel;

// FNV-1a (64 bit) of Bytes continued from Hash; the benchmark computes the same.
uint64_t SimUartHash(uint64_t Hash, const uint8_t* pBytes, size_t Length);

// Bytes a transmit-window write carries: whole words but the last, whose byte enables
// (AOLBE bits 3..0: 0x01, 0x03, 0x07, 0x0F) say how many of its bytes count. -1 for enables
// of another form or no words.
int SimUartWindowBytes(uint8_t LengthInDW, uint8_t Aolbe);

// The event bytes of a line-status event with the host-side flags (0x01, 0x02, 0x04, 0x08) and
// count of the version's encoding; false when the version cannot carry them.
bool SimUartLsrEvent(uint8_t Version, uint8_t Flags, unsigned Count, uint8_t pEvent[4]);
