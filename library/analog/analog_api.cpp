// The AI, AO and MAI APIs of libqorio: their calls through the unit's SIO connection, the
// decoding of their data and events into the channel's callbacks, and for MAI the conversion
// of trigger values and samples with the port's calibration pair.
#include <math.h>
#include <string.h>

#include <memory>

#include "analog_decode.h"
#include "qorio.h"
#include "sio_core.h"

using namespace qorlib;

namespace {

constexpr uint16_t kEvent = 0x1001;
constexpr uint16_t kData = 0x2001;
constexpr int kAnalogPorts = 32;

bool _Ok(const uint8_t* pMac, int Chl) {
    return pMac && Chl >= 0 && Chl < kSioChannels;
}
bool _PortOk(int Port, int Max = kAnalogPorts) {
    return Port >= 0 && Port < Max;
}
bool _ByteOk(int v) {
    return v >= 0 && v <= 255;
}

void _PutBe(uint8_t* p, uint32_t v, int Bytes) {
    for (int i = 0; i < Bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * (Bytes - 1 - i)));
}
uint32_t _GetBe(const uint8_t* p, int Bytes) {
    uint32_t v = 0;
    for (int i = 0; i < Bytes; ++i) v = v << 8 | p[i];
    return v;
}

// One request; the status. On status 0 the response must hold Need bytes, starting with the
// port sent when there is one.
unsigned int _Request(SioExchange& x, uint8_t Dev, int Chl, uint16_t Code, const uint8_t* pPayload,
                      size_t Length, size_t Need, int Port = -1) {
    const int rc = x.Request(Dev, static_cast<uint8_t>(Chl), Code, pPayload, Length);
    if (rc != 0) return static_cast<unsigned int>(rc);
    if (x.Response.Status != 0) return x.Response.Status;
    if (x.Response.Length < Need) return VN_ERR_ANSWER_LENGTH;
    if (Port >= 0 && x.Response.Payload[0] != Port) return VN_ERR_ANSWER_LENGTH;
    return 0;
}

// A channel-wide get (Bytes of value, most significant first) or set.
unsigned int _Get(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Bytes, uint32_t* pOut) {
    if (!_Ok(pMac, Chl)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const unsigned int rc = _Request(x, Dev, Chl, Code, nullptr, 0, static_cast<size_t>(Bytes));
    if (rc == 0) *pOut = _GetBe(x.Response.Payload, Bytes);
    return rc;
}

unsigned int _Set(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Bytes, uint32_t Value) {
    if (!_Ok(pMac, Chl)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    uint8_t p[4];
    _PutBe(p, Value, Bytes);
    return _Request(x, Dev, Chl, Code, p, static_cast<size_t>(Bytes), 0);
}

unsigned int _GetByte(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, uint8_t* pOut) {
    if (!pOut) return SIO_ERR_ARGUMENT;
    uint32_t v = 0;
    const unsigned int rc = _Get(Dev, pMac, Chl, Code, 1, &v);
    if (rc == 0) *pOut = static_cast<uint8_t>(v);
    return rc;
}

unsigned int _GetWord(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, uint16_t* pOut) {
    if (!pOut) return SIO_ERR_ARGUMENT;
    uint32_t v = 0;
    const unsigned int rc = _Get(Dev, pMac, Chl, Code, 2, &v);
    if (rc == 0) *pOut = static_cast<uint16_t>(v);
    return rc;
}

unsigned int _SetByte(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Value) {
    if (!_ByteOk(Value)) return SIO_ERR_ARGUMENT;
    return _Set(Dev, pMac, Chl, Code, 1, static_cast<uint32_t>(Value));
}

// A port get (P, then Bytes of value) or set (P, then Bytes of value).
unsigned int _PortGet(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Port, int Bytes, uint32_t* pOut,
                      int MaxPort = kAnalogPorts) {
    if (!_Ok(pMac, Chl) || !_PortOk(Port, MaxPort)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const uint8_t p = static_cast<uint8_t>(Port);
    const unsigned int rc = _Request(x, Dev, Chl, Code, &p, 1, 1 + static_cast<size_t>(Bytes), Port);
    if (rc == 0) *pOut = _GetBe(x.Response.Payload + 1, Bytes);
    return rc;
}

unsigned int _PortSetIn(SioExchange& x, uint8_t Dev, int Chl, uint16_t Code, int Port, int Bytes,
                        uint32_t Value) {
    uint8_t p[5] = {static_cast<uint8_t>(Port)};
    _PutBe(p + 1, Value, Bytes);
    return _Request(x, Dev, Chl, Code, p, 1 + static_cast<size_t>(Bytes), 1, Port);
}

unsigned int _PortSet(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Port, int Bytes, uint32_t Value,
                      int MaxPort = kAnalogPorts) {
    if (!_Ok(pMac, Chl) || !_PortOk(Port, MaxPort)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    return _PortSetIn(x, Dev, Chl, Code, Port, Bytes, Value);
}

unsigned int _PortGetByte(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Port, uint8_t* pOut,
                          int MaxPort = kAnalogPorts) {
    if (!pOut) return SIO_ERR_ARGUMENT;
    uint32_t v = 0;
    const unsigned int rc = _PortGet(Dev, pMac, Chl, Code, Port, 1, &v, MaxPort);
    if (rc == 0) *pOut = static_cast<uint8_t>(v);
    return rc;
}

unsigned int _PortSetByte(uint8_t Dev, uint8_t* pMac, int Chl, uint16_t Code, int Port, int Value,
                          int MaxPort = kAnalogPorts) {
    if (!_ByteOk(Value)) return SIO_ERR_ARGUMENT;
    return _PortSet(Dev, pMac, Chl, Code, Port, 1, static_cast<uint32_t>(Value), MaxPort);
}

// An info request decoded into Record (of the family's size).
unsigned int _Info(SioExchange& x, uint8_t Dev, int Chl, bool (*Decode)(const uint8_t*, size_t, uint8_t*),
                   uint8_t* pRecord) {
    const unsigned int rc = _Request(x, Dev, Chl, 1, nullptr, 0, 0);
    if (rc != 0) return rc;
    return Decode(x.Response.Payload, x.Response.Length, pRecord) ? 0 : VN_ERR_ANSWER_LENGTH;
}

template <typename Fn>
unsigned int _SetCallback(uint8_t* pMac, int Chl, Fn fn, std::atomic<Fn> _SIO_CHANNEL_BLOCK::*pSlot) {
    if (!_Ok(pMac, Chl) || !fn) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    Fn none = nullptr;
    (SioChannel(*c, static_cast<uint8_t>(Chl)).*pSlot).compare_exchange_strong(none, fn);
    return 0;
}

// ---- MAI: the channel's conversion parameters and its calibration table ----

// Reads the channel's info and keeps its conversion parameters; the record in *pRecord when
// given. Runs with the request lock held.
unsigned int _MaiRefresh(SioExchange& x, int Chl, uint8_t* pRecord) {
    uint8_t record[kMaiInfoSize];
    const unsigned int rc = _Info(x, kSioDeviceMai, Chl, MaiDecodeInfo, record);
    if (rc != 0) return rc;
    _SIO_CHANNEL_BLOCK& b = x.Channel(static_cast<uint8_t>(Chl));
    {
        std::lock_guard<std::mutex> lock(b.MaiLock);
        MaiParamsFromRecord(record, &b.Mai);
    }
    if (pRecord) memcpy(pRecord, record, kMaiInfoSize);
    return 0;
}

// Loads the unit's type-1 calibration table into the channel once: through the application's
// configuration connection to the unit, or a short one of the library's own when there is none.
unsigned int _MaiLoadCalibration(SioExchange& x, uint8_t* pMac, int Chl) {
    _SIO_CHANNEL_BLOCK& b = x.Channel(static_cast<uint8_t>(Chl));
    {
        std::lock_guard<std::mutex> lock(b.MaiLock);
        if (b.Mai.CalibrationLoaded) return 0;
    }
    auto table = std::make_unique<_MAI_T1_CALIBRATION>();
    int rc = CtuClientGetMaiT1Calibration(pMac, table.get());
    if (rc == VN_ERR_CTU_NO_CONNECTION && ctu_connect(pMac) == 0) {
        rc = CtuClientGetMaiT1Calibration(pMac, table.get());
        ctu_disconnect(pMac);
    }
    if (rc != 0 || table->Rows == 0) return MAI_ERR_CALIBRATION;
    std::lock_guard<std::mutex> lock(b.MaiLock);
    MaiParamsSetCalibration(*table, &b.Mai);
    return 0;
}

unsigned int _MaiSetTrigger(uint8_t* pMac, int Chl, uint16_t Code, int Port, double Value) {
    if (!_Ok(pMac, Chl) || !_PortOk(Port, kMaiPorts)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    unsigned int rc = _MaiRefresh(x, Chl, nullptr);
    if (rc != 0) return rc;
    _SIO_CHANNEL_BLOCK& b = x.Channel(static_cast<uint8_t>(Chl));
    int32_t raw = 0;
    {
        std::lock_guard<std::mutex> lock(b.MaiLock);
        rc = MaiValueToRaw(b.Mai, Port, Value, &raw);
    }
    if (rc == MAI_ERR_CALIBRATION) {
        rc = _MaiLoadCalibration(x, pMac, Chl);
        if (rc != 0) return rc;
        std::lock_guard<std::mutex> lock(b.MaiLock);
        rc = MaiValueToRaw(b.Mai, Port, Value, &raw);
    }
    if (rc != 0) return rc;
    // The three high bytes of the code, most significant first, then a zero byte.
    const uint32_t u = static_cast<uint32_t>(raw);
    const uint8_t p[5] = {static_cast<uint8_t>(Port), static_cast<uint8_t>(u >> 24),
                          static_cast<uint8_t>(u >> 16), static_cast<uint8_t>(u >> 8), 0};
    return _Request(x, kSioDeviceMai, Chl, Code, p, sizeof(p), 1, Port);
}

// A port setting that changes how samples convert: the channel's parameters are read again.
unsigned int _MaiSetPortSetting(uint8_t* pMac, int Chl, uint16_t Code, int Port, int Value) {
    if (!_Ok(pMac, Chl) || !_PortOk(Port, kMaiPorts) || !_ByteOk(Value)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const unsigned int rc = _PortSetIn(x, kSioDeviceMai, Chl, Code, Port, 1, static_cast<uint32_t>(Value));
    if (rc == 0) _MaiRefresh(x, Chl, nullptr);
    return rc;
}

template <typename Fn>
unsigned int _MaiSetCallback(uint8_t* pMac, int Chl, Fn fn, std::atomic<Fn> _SIO_CHANNEL_BLOCK::*pSlot) {
    if (!_Ok(pMac, Chl) || !fn) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    unsigned int rc = _MaiRefresh(x, Chl, nullptr);
    if (rc != 0) return rc;
    rc = _MaiLoadCalibration(x, pMac, Chl);
    if (rc != 0) return rc;
    Fn none = nullptr;
    (x.Channel(static_cast<uint8_t>(Chl)).*pSlot).compare_exchange_strong(none, fn);
    return 0;
}

}  // namespace

namespace qorlib {

void AnalogHandleFromService(_SIO_CONNECTION& c, const _SIO_HEADER& h, const uint8_t* p, size_t Length) {
    _SIO_CHANNEL_BLOCK& b = SioChannel(c, h.ChannelNumber);
    const int chl = h.ChannelNumber;
    if (h.DeviceType == kSioDeviceAi) {
        if (h.CmdResponseEventData == kEvent && Length >= 4) {
            if (const ai_event_callback fn = b.AiEvent)
                fn(SioCallbackMac(c), chl, p[0], p[1], static_cast<uint16_t>(p[2] << 8 | p[3]));
        } else if (h.CmdResponseEventData == kData && Length >= 3) {
            if (const ai_data_callback fn = b.AiData)
                fn(SioCallbackMac(c), chl, p[0], static_cast<uint16_t>(p[1] << 8 | p[2]));
        }
        return;
    }
    // MAI: event P, event byte, one sample; data: the port (the packet's flag), then samples.
    if (h.CmdResponseEventData == kEvent) {
        const mai_event_callback fn = b.MaiEvent;
        if (!fn || Length < 2) return;
        double value = NAN;
        {
            std::lock_guard<std::mutex> lock(b.MaiLock);
            // A 24-bit sample does not fit the unit's four event bytes: the event is still
            // passed on, with no value.
            const size_t width = MaiSampleWidth(b.Mai);
            if (Length >= 2 + width) value = MaiSampleToValue(b.Mai, p[0], p + 2, width);
        }
        fn(SioCallbackMac(c), chl, p[0], p[1], value);
    } else if (h.CmdResponseEventData == kData) {
        const mai_data_callback fn = b.MaiData;
        if (!fn || Length < 1) return;
        size_t width = 0;
        {
            std::lock_guard<std::mutex> lock(b.MaiLock);
            width = MaiSampleWidth(b.Mai);
        }
        for (size_t at = 1; at + width <= Length; at += width) {
            double value = NAN;
            {
                std::lock_guard<std::mutex> lock(b.MaiLock);
                value = MaiSampleToValue(b.Mai, p[0], p + at, width);
            }
            fn(SioCallbackMac(c), chl, p[0], value);
        }
    }
}

}  // namespace qorlib

extern "C" {

// ---- AI ----

QORIO_API unsigned int ai_get_ai_info(uint8_t* pMac, int Chl, uint8_t* pInfo) {
    if (!_Ok(pMac, Chl) || !pInfo) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    return _Info(x, kSioDeviceAi, Chl, AiDecodeInfo, pInfo);
}
QORIO_API unsigned int ai_get_sample_enable(uint8_t* m, int c, uint8_t* v) {
    return _GetByte(kSioDeviceAi, m, c, 2, v);
}
QORIO_API unsigned int ai_set_sample_enable(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceAi, m, c, 3, v);
}
QORIO_API unsigned int ai_get_data_enable(uint8_t* m, int c, uint8_t* v) {
    return _GetByte(kSioDeviceAi, m, c, 4, v);
}
QORIO_API unsigned int ai_set_data_enable(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceAi, m, c, 5, v);
}
QORIO_API unsigned int ai_get_event_enable(uint8_t* m, int c, uint8_t* v) {
    return _GetByte(kSioDeviceAi, m, c, 6, v);
}
QORIO_API unsigned int ai_set_event_enable(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceAi, m, c, 7, v);
}
QORIO_API unsigned int ai_get_ports_enable(uint8_t* m, int c, uint16_t* v) {
    return _GetWord(kSioDeviceAi, m, c, 8, v);
}
QORIO_API unsigned int ai_set_ports_enable(uint8_t* m, int c, uint16_t v) {
    return _Set(kSioDeviceAi, m, c, 9, 2, v);
}
QORIO_API unsigned int ai_get_all_gain_control(uint8_t* m, int c, uint8_t* v) {
    return _GetByte(kSioDeviceAi, m, c, 12, v);
}
QORIO_API unsigned int ai_set_all_gain_control(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceAi, m, c, 13, v);
}
QORIO_API unsigned int ai_get_port_sample_rate_divider(uint8_t* m, int c, int p, uint32_t* v) {
    if (!v) return SIO_ERR_ARGUMENT;
    return _PortGet(kSioDeviceAi, m, c, 14, p, 4, v);
}
QORIO_API unsigned int ai_set_port_sample_rate_divider(uint8_t* m, int c, int p, uint32_t v) {
    return _PortSet(kSioDeviceAi, m, c, 15, p, 4, v);
}
QORIO_API unsigned int ai_get_port_gain_control(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceAi, m, c, 18, p, v);
}
QORIO_API unsigned int ai_set_port_gain_control(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceAi, m, c, 19, p, v);
}
QORIO_API unsigned int ai_get_port_logging_mode(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceAi, m, c, 20, p, v);
}
QORIO_API unsigned int ai_set_port_logging_mode(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceAi, m, c, 21, p, v);
}
QORIO_API unsigned int ai_get_port_trigger_mode(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceAi, m, c, 22, p, v);
}
QORIO_API unsigned int ai_set_port_trigger_mode(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceAi, m, c, 23, p, v);
}
QORIO_API unsigned int ai_get_port_upper_trigger_value(uint8_t* m, int c, int p, uint16_t* v) {
    if (!v) return SIO_ERR_ARGUMENT;
    uint32_t w = 0;
    const unsigned int rc = _PortGet(kSioDeviceAi, m, c, 24, p, 2, &w);
    if (rc == 0) *v = static_cast<uint16_t>(w);
    return rc;
}
QORIO_API unsigned int ai_set_port_upper_trigger_value(uint8_t* m, int c, int p, uint16_t v) {
    return _PortSet(kSioDeviceAi, m, c, 25, p, 2, v);
}
QORIO_API unsigned int ai_get_port_lower_trigger_value(uint8_t* m, int c, int p, uint16_t* v) {
    if (!v) return SIO_ERR_ARGUMENT;
    uint32_t w = 0;
    const unsigned int rc = _PortGet(kSioDeviceAi, m, c, 26, p, 2, &w);
    if (rc == 0) *v = static_cast<uint16_t>(w);
    return rc;
}
QORIO_API unsigned int ai_set_port_lower_trigger_value(uint8_t* m, int c, int p, uint16_t v) {
    return _PortSet(kSioDeviceAi, m, c, 27, p, 2, v);
}
QORIO_API unsigned int ai_get_port_fifo_trigger_value(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceAi, m, c, 28, p, v);
}
QORIO_API unsigned int ai_set_port_fifo_trigger_value(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceAi, m, c, 29, p, v);
}
QORIO_API unsigned int ai_set_event_callback(uint8_t* m, int c, ai_event_callback fn) {
    return _SetCallback(m, c, fn, &_SIO_CHANNEL_BLOCK::AiEvent);
}
QORIO_API unsigned int ai_set_data_callback(uint8_t* m, int c, ai_data_callback fn) {
    return _SetCallback(m, c, fn, &_SIO_CHANNEL_BLOCK::AiData);
}

// Global slots for callers that cannot pass their own functions: each trampoline calls the
// function last stored by its setter, and does nothing before one was stored.
namespace {
std::atomic<ai_event_callback> gAiEventFunction{nullptr};
std::atomic<ai_data_callback> gAiDataFunction{nullptr};
}  // namespace
QORIO_API void ai_register_function(ai_event_callback fn) {
    gAiEventFunction = fn;
}
QORIO_API void ai_event_trigger_function_needing_callback(uint8_t* mac, int c, uint8_t e0, uint8_t e1,
                                                          uint16_t v) {
    if (const ai_event_callback fn = gAiEventFunction) fn(mac, c, e0, e1, v);
}
QORIO_API void ai_data_register_function(ai_data_callback fn) {
    gAiDataFunction = fn;
}
QORIO_API void ai_data_function_needing_callback(uint8_t* mac, int c, uint8_t flag, uint16_t sample) {
    if (const ai_data_callback fn = gAiDataFunction) fn(mac, c, flag, sample);
}

// ---- AO ----

QORIO_API unsigned int ao_get_ao_info(uint8_t* pMac, int Chl, uint8_t* pInfo) {
    if (!_Ok(pMac, Chl) || !pInfo) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    return _Info(x, kSioDeviceAo, Chl, AoDecodeInfo, pInfo);
}
QORIO_API unsigned int ao_set_ports_enable(uint8_t* m, int c, uint16_t v) {
    return _Set(kSioDeviceAo, m, c, 7, 2, v);
}
QORIO_API unsigned int ao_get_port_gain_control(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceAo, m, c, 20, p, v);
}
QORIO_API unsigned int ao_set_port_gain_control(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceAo, m, c, 21, p, v);
}
QORIO_API unsigned int ao_set_port_update_rate_divider(uint8_t* m, int c, int p, uint32_t v) {
    return _PortSet(kSioDeviceAo, m, c, 17, p, 4, v);
}
QORIO_API unsigned int ao_set_data(uint8_t* pMac, int Chl, int Port, uint16_t Value) {
    if (!_Ok(pMac, Chl) || !_PortOk(Port)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    const uint8_t p[3] = {static_cast<uint8_t>(Port), static_cast<uint8_t>(Value >> 8),
                          static_cast<uint8_t>(Value)};
    return static_cast<unsigned int>(
        SioSendData(c, kSioDeviceAo, static_cast<uint8_t>(Chl), kData, p, sizeof(p)));
}

// ---- MAI ----

QORIO_API unsigned int mai_get_info(uint8_t* pMac, int Chl, uint8_t* pInfo) {
    if (!_Ok(pMac, Chl) || !pInfo) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    return _MaiRefresh(x, Chl, pInfo);
}
QORIO_API unsigned int mai_set_sample_enable(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceMai, m, c, 3, v);
}
QORIO_API unsigned int mai_set_data_enable(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceMai, m, c, 5, v);
}
QORIO_API unsigned int mai_set_event_enable(uint8_t* m, int c, int v) {
    return _SetByte(kSioDeviceMai, m, c, 7, v);
}
QORIO_API unsigned int mai_get_ports_enable(uint8_t* m, int c, uint16_t* v) {
    return _GetWord(kSioDeviceMai, m, c, 8, v);
}
QORIO_API unsigned int mai_set_ports_enable(uint8_t* m, int c, uint16_t v) {
    return _Set(kSioDeviceMai, m, c, 9, 2, v);
}
QORIO_API unsigned int mai_set_calibration_value(uint8_t* m, int c, uint16_t v) {
    return _Set(kSioDeviceMai, m, c, 11, 2, v);
}
QORIO_API unsigned int mai_get_port_ai_mode(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceMai, m, c, 12, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_port_ai_mode(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 13, p, v);
}
QORIO_API unsigned int mai_get_logging_mode(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceMai, m, c, 14, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_logging_mode(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceMai, m, c, 15, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_get_port_trigger_mode(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceMai, m, c, 16, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_port_trigger_mode(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceMai, m, c, 17, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_port_upper_trigger_value(uint8_t* m, int c, int p, double v) {
    return _MaiSetTrigger(m, c, 19, p, v);
}
QORIO_API unsigned int mai_set_port_lower_trigger_value(uint8_t* m, int c, int p, double v) {
    return _MaiSetTrigger(m, c, 21, p, v);
}
QORIO_API unsigned int mai_set_type0_input_type(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 0x102, p, v);
}
QORIO_API unsigned int mai_set_type0_input_select(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 0x104, p, v);
}
QORIO_API unsigned int mai_set_type0_pullup_resistor(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceMai, m, c, 0x106, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_type0_gain(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 0x108, p, v);
}
QORIO_API unsigned int mai_set_type0_filter(uint8_t* m, int c, int p, uint16_t v) {
    return _PortSet(kSioDeviceMai, m, c, 0x10A, p, 2, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_type1_input_type(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 0x202, p, v);
}
QORIO_API unsigned int mai_set_type1_input_select(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 0x204, p, v);
}
QORIO_API unsigned int mai_get_type1_pga_enable(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceMai, m, c, 0x205, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_type1_pga_enable(uint8_t* m, int c, int p, int v) {
    return _PortSetByte(kSioDeviceMai, m, c, 0x206, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_get_type1_gain(uint8_t* m, int c, int p, uint8_t* v) {
    return _PortGetByte(kSioDeviceMai, m, c, 0x207, p, v, kMaiPorts);
}
QORIO_API unsigned int mai_set_type1_gain(uint8_t* m, int c, int p, int v) {
    return _MaiSetPortSetting(m, c, 0x208, p, v);
}
QORIO_API unsigned int mai_set_event_callback(uint8_t* m, int c, mai_event_callback fn) {
    return _MaiSetCallback(m, c, fn, &_SIO_CHANNEL_BLOCK::MaiEvent);
}
QORIO_API unsigned int mai_set_data_callback(uint8_t* m, int c, mai_data_callback fn) {
    return _MaiSetCallback(m, c, fn, &_SIO_CHANNEL_BLOCK::MaiData);
}

}  // extern "C"
