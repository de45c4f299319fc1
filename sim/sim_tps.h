// The TPS channel model: sensor p's reading in register 2 + p (after the TLP control and ADC
// calibration registers, docs/register-map.md). Every sensor starts at 25.0 degrees in
// sixteenths plus p, and `tps MAC CHL SENSOR VALUE` sets a reading.
#pragma once

#include <cstdint>

#include "sim_channel.h"

struct _SIM_TPS_STATE : _SIM_CHANNEL_STATE {
    uint8_t Sensors = 0;  // from the DIB, at most 16
};

constexpr uint8_t kSimTpsSensorReg = 2;
constexpr uint32_t kSimTpsDefaultReading = 25 * 16;

extern const _SIM_CHANNEL_MODEL kSimTpsModel;
