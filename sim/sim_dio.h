// The DIO channel model: a register file with the DIO map (docs/register-map.md) and the
// behaviour a host sees through it.
//
//   0 input state       set by the `dio-in` command; a change raises an input event (the
//                       changed lines little-endian in the event bytes, then two data words:
//                       the input state and 0) and updates the delta register 1, the latches 9
//                       and 10 and the counters 64 + n of lines whose edge counting (12, 13) is on
//   3 output write enable   which bits the next write of the output register 4 changes
//   4 output state      a write changes only the enabled bits
//   11 counter reset    a write zeroes the counters of its set bits and is not stored
//   14 + b              bank b's control register; the rest plain read/write words
#pragma once

#include <cstdint>

#include "sim_channel.h"

struct _SIM_DIO_STATE : _SIM_CHANNEL_STATE {
    uint8_t Version = 0;
    uint64_t Events = 0;  // input events sent
};

extern const _SIM_CHANNEL_MODEL kSimDioModel;
