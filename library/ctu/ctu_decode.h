// Decoding of the CTU answers the library keeps: the MAI calibration table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qorio.h"

namespace qorlib {

// The payload of a calibration response (12-byte header, then the table) into *pOut: rows of
// twelve (raw word, float) pairs from pair slot 46, whole pairs only, at most the rows the
// record holds. A payload shorter than the header leaves the record zero.
void CtuDecodeMaiT1Calibration(const uint8_t* pPayload, size_t Length, _MAI_T1_CALIBRATION* pOut);

}  // namespace qorlib
