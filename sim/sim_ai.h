// The analog input channel models (AI, DIB type 5; UI, type 7; MAI, type 10): a register
// file with the channel-wide registers first and each port's block right after them, in port
// order (docs/register-map.md), sample DATA streams at a chosen rate and events, each sent
// only while the TLP control register (offset 0) enables it:
//
//   bit 0 sample enable and bit 1 data enable   `ai-stream` sends DATA TLPs
//   bit 2 event enable                          `ai-event` sends an EVENT TLP
//
// A stream's TLP k carries k as a little-endian 32-bit number in its first four bytes, then
// bytes counting up from k, so a receiver can tell a lost or damaged sample packet. Its Flag
// is the lowest enabled port (bits 31..16 of the TLP control register), 0 when none is.
// Written values stay as written (the host's register copies must match them).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim_channel.h"

struct _SIM_AI_STATE : _SIM_CHANNEL_STATE {
    uint8_t Type = 0;          // DIB type
    uint8_t Ports = 0;         // from the DIB
    uint64_t StreamId = 0;     // the running stream (0 when none)
    uint64_t StreamCount = 0;  // TLPs the stream sends in all
    uint64_t StreamSent = 0;
    uint64_t StreamHeld = 0;  // TLPs not sent because sampling or data was disabled
    unsigned StreamRate = 0;  // TLPs per second
    size_t StreamBytes = 0;
    int64_t StreamStartMs = 0;
    uint64_t Events = 0;
};

// Register offsets of the maps: the first port block and its size.
struct _SIM_AI_MAP {
    uint8_t PortFirst;
    uint8_t PortWords;
};
_SIM_AI_MAP SimAiMap(uint8_t DibType);

extern const _SIM_CHANNEL_MODEL kSimAiModel;
extern const _SIM_CHANNEL_MODEL kSimUiModel;
extern const _SIM_CHANNEL_MODEL kSimMaiModel;
