// Decoding of the DIO info response into the 648-byte record applications receive. A pure
// function over the payload bytes that arrived.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qorlib {

// Fills Record (648 bytes, zeroed first): the header, then one 20-byte entry per bank the
// response holds whole (at most 32; NumberOfBanks is lowered to that count). False when the
// 8-byte header did not arrive.
bool DioDecodeInfo(const uint8_t* pPayload, size_t Length, uint8_t* pRecord);

}  // namespace qorlib
