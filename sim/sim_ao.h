// The analog output channel models (AO, DIB type 6; UO, type 8; BAO, type 9): register files
// with the channel-wide registers first and the ports' registers after them (AO port p at
// 3 x (p + 1), UO port p at 4 + 2p, BAO port p at 4 + p; docs/register-map.md). Written values
// stay as written. An AO channel also takes output data: a DATA TLP with RW 1 whose Flag is
// the port and whose two bytes are the value (most significant first), kept per port; and it
// raises events (`ao-event`) only while bit 1 of its TLP control register enables them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "sim_channel.h"

struct _SIM_AO_STATE : _SIM_CHANNEL_STATE {
    uint8_t Type = 0;                   // DIB type
    uint8_t Ports = 0;                  // from the DIB
    std::array<uint16_t, 16> Output{};  // the last value per port (AO)
    uint64_t Writes = 0;                // output data TLPs taken
    uint64_t Refused = 0;               // output data TLPs of a bad form or port
    uint64_t Events = 0;
};

extern const _SIM_CHANNEL_MODEL kSimAoModel;
extern const _SIM_CHANNEL_MODEL kSimUoModel;
extern const _SIM_CHANNEL_MODEL kSimBaoModel;
