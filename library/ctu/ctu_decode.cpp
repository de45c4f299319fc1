#include "ctu_decode.h"

#include <string.h>

#include "qor_wire.h"

namespace qorlib {

void CtuDecodeMaiT1Calibration(const uint8_t* pPayload, size_t Length, _MAI_T1_CALIBRATION* pOut) {
    constexpr size_t kHeader = 12, kRow = 96, kPair = 8, kPairsPerRow = 12;
    memset(pOut, 0, sizeof(*pOut));
    if (Length < kHeader) return;
    memcpy(pOut->Header, pPayload, kHeader);
    const uint8_t* table = pPayload + kHeader;
    const size_t tableLength = Length - kHeader;
    pOut->TableLength = static_cast<uint32_t>(tableLength);
    uint32_t rows = 0;
    for (size_t r = 0; r < VN_MAI_CAL_MAX_ROWS && r * kRow < tableLength; ++r) {
        for (size_t k = 0; k < kPairsPerRow && r * kRow + (k + 1) * kPair <= tableLength; ++k) {
            const uint8_t* q = table + r * kRow + k * kPair;
            _MAI_CALIBRATION_PAIR* pair = &pOut->Pair[VN_MAI_CAL_FIRST_SLOT + kPairsPerRow * r + k];
            memcpy(&pair->Raw, q, 4);  // as received
            const uint32_t bits = qor::GetLe32(q + 4);
            memcpy(&pair->Value, &bits, 4);
        }
        rows = static_cast<uint32_t>(r + 1);
    }
    pOut->Rows = rows;
}

}  // namespace qorlib
