#include "ser_decode.h"

#include <string.h>

namespace qorlib {

const _SER_BAUD SerBaudTable[kSerBaudCount] = {
    {0x48, 0x00}, {0x30, 0x00}, {0x20, 0xBA}, {0x1A, 0xC4}, {0x18, 0x00}, {0x0C, 0x00},
    {0x06, 0x00}, {0x03, 0x00}, {0x01, 0x80}, {0x00, 0xC0}, {0x00, 0x60}, {0x00, 0x30},
    {0x00, 0x18}, {0x00, 0x10}, {0x00, 0x08}, {0x00, 0x04}, {0x00, 0x02}, {0x00, 0x01},
};

int SerBaudIndex(uint8_t Dll, uint8_t Dlm) {
    for (int i = 0; i < kSerBaudCount; ++i) {
        if (SerBaudTable[i].Dll == Dll && SerBaudTable[i].Dlm == Dlm) return i;
    }
    return -1;
}

bool SerDecodeOpenRecord(const uint8_t* p, size_t Length, uint8_t* pInfo) {
    if (!p || Length < kSerOpenRecordLength) return false;
    // Record bytes 0, 3, 5, 6, 7, 8, 13, 14, 15, 16 are SerInfo bytes 0, 2..10; the record's
    // FIFO_CTRL, Tx credit and Tx FIFO count are not kept.
    static const uint8_t kFrom[] = {0, 3, 5, 6, 7, 8, 13, 14, 15, 16};
    static const uint8_t kTo[] = {0, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    for (size_t i = 0; i < sizeof(kFrom); ++i) pInfo[kTo[i]] = p[kFrom[i]];
    const int baud = SerBaudIndex(p[1], p[2]);
    if (baud >= 0) pInfo[1] = static_cast<uint8_t>(baud);
    return true;
}

_SER_DELIVERY SerDecodeFromService(uint16_t Code, const uint8_t* p, size_t Length, uint8_t* pScratch,
                                   size_t ScratchSize) {
    _SER_DELIVERY d;
    switch (Code) {
        case SER_EVENT_MSR:
            if (Length < 1) break;
            d.What = _SER_DELIVERY::KindMsr;
            d.MsrValue = p[0];
            break;
        case SER_EVENT_LSR:
            if (Length < 3) break;
            d.What = _SER_DELIVERY::KindLsr;
            memcpy(d.Lsr, p, 3);
            break;
        case SER_EVENT_DATA_SERVICE_TO_LIBRARY:
            d.What = _SER_DELIVERY::KindData;
            d.Buff = p;
            d.Count = Length;
            break;
        case SER_DATA_SERVICE_TO_LIBRARY: {
            if (Length < 1) break;
            d.What = _SER_DELIVERY::KindData;
            d.Buff = pScratch;
            const uint8_t flag = p[0];
            if (flag != 0 && flag != 1) break;  // nothing delivered
            size_t n = Length - 1;
            if (2 * n > ScratchSize) n = ScratchSize / 2;
            const uint8_t status = flag == 0 ? 0x08 : 0x00;
            for (size_t i = 0; i < n; ++i) {
                pScratch[2 * i] = p[1 + i];
                pScratch[2 * i + 1] = status;
            }
            d.Count = n;
            break;
        }
        default:
            break;
    }
    return d;
}

}  // namespace qorlib
