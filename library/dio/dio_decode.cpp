#include "dio_decode.h"

#include <string.h>

namespace qorlib {

namespace {

uint32_t _Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void _PutHost32(uint8_t* p, uint32_t v) {
    memcpy(p, &v, 4);
}

}  // namespace

bool DioDecodeInfo(const uint8_t* p, size_t Length, uint8_t* pRecord) {
    constexpr size_t kRecord = 648, kHeader = 8, kBankIn = 18, kBankOut = 20, kBanks = 32;
    memset(pRecord, 0, kRecord);
    if (Length < kHeader) return false;
    size_t banks = p[1];
    if (banks > kBanks) banks = kBanks;
    if (banks > (Length - kHeader) / kBankIn) banks = (Length - kHeader) / kBankIn;
    pRecord[0] = p[0];
    pRecord[1] = static_cast<uint8_t>(banks);
    pRecord[2] = p[2];
    pRecord[3] = p[3];
    _PutHost32(pRecord + 4, _Be32(p + 4));
    for (size_t i = 0; i < banks; ++i) {
        const uint8_t* in = p + kHeader + kBankIn * i;
        uint8_t* out = pRecord + kHeader + kBankOut * i;
        memcpy(out, in, 7);
        _PutHost32(out + 8, _Be32(in + 7));
        _PutHost32(out + 12, _Be32(in + 11));
        out[16] = in[15];
        out[17] = in[16];
        out[18] = in[17];
    }
    return true;
}

}  // namespace qorlib
