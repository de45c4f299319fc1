// Decoding of what the service sends on a unit's SIO connection for UART (SER) channels: the
// open record and the events and received data. Pure functions over the payload bytes that
// arrived, so the fuzz target runs them on arbitrary input.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_codes.h"

namespace qorlib {

using enum qor::sio::SerCode;

constexpr size_t kSerInfoLength = 11;
constexpr size_t kSerOpenRecordLength = 17;
constexpr int kSerBaudCount = 18;

// (DLM, DLL) of a baud-rate index 0..17.
struct _SER_BAUD {
    uint8_t Dlm;
    uint8_t Dll;
};
extern const _SER_BAUD SerBaudTable[kSerBaudCount];

// The index of a (DLL, DLM) pair in the baud table, or -1.
int SerBaudIndex(uint8_t Dll, uint8_t Dlm);

// Fills the 11-byte SerInfo from a 17-byte open record; false (Info untouched) when fewer
// bytes arrived. A DLL/DLM pair outside the table leaves Info[1] as it was.
bool SerDecodeOpenRecord(const uint8_t* pPayload, size_t Length, uint8_t* pInfo);

// What one event or data message carries for the application's callbacks.
struct _SER_DELIVERY {
    enum Kind { KindNone, KindMsr, KindLsr, KindData } What = KindNone;
    uint8_t MsrValue = 0;
    uint8_t Lsr[3] = {};
    const uint8_t* Buff = nullptr;  // data for the data-event callback
    size_t Count = 0;               // data bytes delivered
};

// Room the data decoding needs: received bytes as (byte, status) pairs.
constexpr size_t kSerScratchSize = 2 * 16384;

// Decodes an event or a data message (code, payload bytes that arrived). Versions 0..3 send
// SER_EVENT_DATA_SERVICE_TO_LIBRARY with the bytes as they are: Buff points at them and Count
// is their number. Versions 4, 5 send SER_DATA_SERVICE_TO_LIBRARY with the unit's flag byte
// first: Buff (in pScratch) holds (byte, status) pairs, status 0x08 for flag 0 and 0x00 for
// flag 1, and Count is the number of data bytes (the pairs take 2 * Count bytes); another flag
// delivers nothing (Count 0). A payload shorter than its kind needs gives None.
_SER_DELIVERY SerDecodeFromService(uint16_t Code, const uint8_t* pPayload, size_t Length, uint8_t* pScratch,
                                   size_t ScratchSize);

}  // namespace qorlib
