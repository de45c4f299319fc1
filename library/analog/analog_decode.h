// Decoding of the AI, AO and MAI info responses into the records applications receive, and
// the MAI conversions between engineering values and the unit's raw codes. Pure functions
// over the bytes that arrived, so the unit tests and the fuzz target run them directly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_core.h"

namespace qorlib {

constexpr size_t kAiInfoSize = 656;
constexpr size_t kAoInfoSize = 396;
constexpr size_t kMaiInfoSize = 536;

// Each fills its record (zeroed first) from the response; port entries only for ports the
// response holds whole (at most 32 for AI and AO, 16 for MAI; the port count field is lowered
// to that number). False when the fixed part did not arrive.
bool AiDecodeInfo(const uint8_t* pPayload, size_t Length, uint8_t* pRecord);
bool AoDecodeInfo(const uint8_t* pPayload, size_t Length, uint8_t* pRecord);
bool MaiDecodeInfo(const uint8_t* pPayload, size_t Length, uint8_t* pRecord);

// Vref from its four raw bytes, least significant first: (w & 0xFFFFFF) x 10^-(w >> 24).
double MaiDecodeVref(const uint8_t* pRaw);

// The conversion parameters of a decoded MAI record (calibration left as it is).
void MaiParamsFromRecord(const uint8_t* pRecord, _MAI_PARAMS* pParams);

// Fills the calibration pairs of every port from a type-1 table: port p uses row p.
void MaiParamsSetCalibration(const _MAI_T1_CALIBRATION& Table, _MAI_PARAMS* pParams);

// The calibration pair of a value for an input type and input channel select, or -1 when the
// value lies outside every interval (or the input type has none).
int MaiPairIndex(uint8_t InputType, uint8_t InputSelect, double Value);

// True when a conversion on this port needs the unit's calibration table.
bool MaiNeedsCalibration(const _MAI_PARAMS& Params, int Port);

// Value to raw code: 0 with *pRaw set; MAI_ERR_INPUT_TYPE for a port whose input type (or MAI
// mode) has no conversion; MAI_ERR_CALIBRATION when the pair it needs is not loaded.
unsigned int MaiValueToRaw(const _MAI_PARAMS& Params, int Port, double Value, int32_t* pRaw);

// A sample (Width 2 or 3 bytes, least significant first) to its value; NaN when the port has
// no conversion or the sample falls outside every calibration interval.
double MaiSampleToValue(const _MAI_PARAMS& Params, int Port, const uint8_t* pSample, size_t Width);

// Bytes of one sample for the channel's resolution.
inline size_t MaiSampleWidth(const _MAI_PARAMS& Params) {
    return Params.Resolution > 16 ? 3 : 2;
}

}  // namespace qorlib
