// libqorio's decoders of what the service answers: unit lists (with and without ports), the
// detail record, NIC and mapping lists, the MAI calibration table, and the UART channels' open
// record, events and received data, the DIO, AI, AO and MAI info records and MAI samples, each
// given arbitrary bytes as the payload. The records are heap blocks of their exact size, so a
// write past one is caught; the counts must never claim more entries than the record holds.
#include <stdlib.h>
#include <string.h>

#include <cstddef>
#include <cstdint>

#include "analog_decode.h"
#include "ctu_decode.h"
#include "dio_decode.h"
#include "mng_decode.h"
#include "ser_decode.h"

using namespace qorlib;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static auto* units = static_cast<_VN_UNIT_LIST*>(malloc(sizeof(_VN_UNIT_LIST)));
    static auto* unit = static_cast<_VN_UNIT_RECORD*>(malloc(sizeof(_VN_UNIT_RECORD)));
    static auto* nics = static_cast<_VN_NIC_LIST*>(malloc(sizeof(_VN_NIC_LIST)));
    static auto* mappings = static_cast<_VN_MAPPING_LIST*>(malloc(sizeof(_VN_MAPPING_LIST)));
    static auto* calibration = static_cast<_MAI_T1_CALIBRATION*>(malloc(sizeof(_MAI_T1_CALIBRATION)));
    if (size < 1) return 0;
    // The payload is a copy of its own size, so a read past it is caught too.
    const size_t length = size - 1;
    uint8_t* payload = static_cast<uint8_t*>(malloc(length ? length : 1));
    memcpy(payload, data + 1, length);
    if (data[0] >= 0xF0) {
        // The channel families' info records (exact-size heap blocks) and, for MAI, the
        // conversion parameters taken from the record and a sample converted with them.
        static const size_t kSizes[] = {648, kAiInfoSize, kAoInfoSize, kMaiInfoSize};
        const int kind = data[0] & 3;
        uint8_t* record = static_cast<uint8_t*>(malloc(kSizes[kind]));
        if (kind == 0) DioDecodeInfo(payload, length, record);
        if (kind == 1) AiDecodeInfo(payload, length, record);
        if (kind == 2) AoDecodeInfo(payload, length, record);
        if (kind == 3 && MaiDecodeInfo(payload, length, record)) {
            static _MAI_PARAMS params;
            MaiParamsFromRecord(record, &params);
            params.CalibrationLoaded = true;
            const size_t width = MaiSampleWidth(params);
            if (length >= width) {
                volatile double v = MaiSampleToValue(params, payload[0] & 0x0F, payload, width);
                (void)v;
            }
        }
        free(record);
        free(payload);
        return 0;
    }
    const _MNG_RESPONSE r{{1, 0x8000, 0, static_cast<uint32_t>(length)}, payload, length};
    switch (data[0] % 8) {
        case 0:
        case 1:
            MngDecodeUnitList(r, data[0] % 8 ? 36 : 28, units);
            if (units->Count > VN_MAX_UNITS) abort();
            break;
        case 2:
            MngDecodeDetail(r, unit);
            for (const auto& c : unit->Chl) {
                if (c.DioNumberOfBanks > VN_MAX_DIO_BANKS || c.StrDeviceNameLength > VN_STRING_NAME_SIZE)
                    abort();
            }
            break;
        case 3:
            MngDecodeNicList(r, nics);
            if (nics->Count > VN_MAX_NICS) abort();
            break;
        case 4:
            MngDecodeMappingList(r, mappings);
            if (mappings->Count > VN_MAX_MAPPINGS) abort();
            for (uint32_t i = 0; i < mappings->Count; ++i) {
                if (mappings->Mapping[i].NumberOfUarts > VN_MAX_MAPPING_PAIRS) abort();
            }
            break;
        case 6: {
            uint8_t* info = static_cast<uint8_t*>(malloc(kSerInfoLength));
            SerDecodeOpenRecord(payload, length, info);
            free(info);
            break;
        }
        case 7: {
            static const uint16_t kCodes[] = {SER_EVENT_MSR, SER_EVENT_LSR, SER_EVENT_DATA_SERVICE_TO_LIBRARY,
                                              SER_DATA_SERVICE_TO_LIBRARY};
            static auto* scratch = static_cast<uint8_t*>(malloc(kSerScratchSize));
            const _SER_DELIVERY d =
                SerDecodeFromService(kCodes[(data[0] >> 3) % 4], payload, length, scratch, kSerScratchSize);
            // What a callback would be given must lie inside the payload or the scratch area.
            const uint8_t* end = d.Buff == scratch ? scratch + kSerScratchSize : payload + length;
            const size_t bytes = d.Buff == scratch ? 2 * d.Count : d.Count;
            if (d.Buff && d.Buff + bytes > end) abort();
            volatile uint8_t sink = 0;
            for (size_t i = 0; i < bytes; ++i) sink = sink ^ d.Buff[i];
            break;
        }
        default:
            CtuDecodeMaiT1Calibration(payload, length, calibration);
            if (calibration->Rows > VN_MAI_CAL_MAX_ROWS) abort();
            break;
    }
    free(payload);
    return 0;
}
