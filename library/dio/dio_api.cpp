// The DIO API of libqorio: the dio_* calls on a unit's digital I/O channels through its SIO
// connection, the info record decoding and the dispatch of input-change events to the line
// callbacks (in line order) and then the bank callback.
#include <string.h>

#include <algorithm>

#include "dio_decode.h"
#include "qorio.h"
#include "sio_core.h"

using namespace qorlib;

namespace {

enum : uint16_t {
    DIO_CMD_GET_INFO = 1,
    DIO_CMD_GET_BANK_STATE = 2,
    DIO_CMD_GET_BANK_INPUT_INVERT_ENABLE = 4,
    DIO_CMD_SET_BANK_INPUT_INVERT_ENABLE = 5,
    DIO_CMD_SET_BANK_STATE = 6,
    DIO_CMD_GET_BANK_DIRECTION = 7,
    DIO_CMD_SET_BANK_DIRECTION = 8,
    DIO_CMD_GET_BANK_INPUT_EVENT_MODE = 9,
    DIO_CMD_SET_BANK_INPUT_EVENT_MODE = 10,
    DIO_CMD_GET_BANK_SAMPLING_CLOCK = 11,
    DIO_CMD_SET_BANK_SAMPLING_CLOCK = 12,
    DIO_CMD_GET_BANK_OUTPUT_PIN_CONFIG = 13,
    DIO_CMD_SET_BANK_OUTPUT_PIN_CONFIG = 14,
    DIO_CMD_GET_BANK_OUTPUT_INITIAL_VALUE = 15,
    DIO_CMD_SET_BANK_OUTPUT_INITIAL_VALUE = 16,
    DIO_CMD_GET_BANK_OUTPUT_SAFE_VALUE = 17,
    DIO_CMD_SET_BANK_OUTPUT_SAFE_VALUE = 18,
    DIO_CMD_GET_OUTPUT_SAFE_VALUE_TIMER = 19,
    DIO_CMD_SET_OUTPUT_SAFE_VALUE_TIMER = 20,
    DIO_CMD_GET_BANK_INPUT_LATCH_RISING_EDGE = 21,
    DIO_CMD_SET_BANK_INPUT_LATCH_RISING_EDGE = 22,
    DIO_CMD_GET_BANK_INPUT_LATCH_FALLING_EDGE = 23,
    DIO_CMD_SET_BANK_INPUT_LATCH_FALLING_EDGE = 24,
    DIO_CMD_SET_BANK_INPUT_COUNTER_RESET = 25,
    DIO_CMD_GET_BANK_INPUT_COUNTER_INC_RISING_EDGE = 26,
    DIO_CMD_SET_BANK_INPUT_COUNTER_INC_RISING_EDGE = 27,
    DIO_CMD_GET_BANK_INPUT_COUNTER_INC_FALLING_EDGE = 28,
    DIO_CMD_SET_BANK_INPUT_COUNTER_INC_FALLING_EDGE = 29,
    DIO_CMD_GET_BANK_IO_INPUT_COUNTER_VALUE = 30,
    DIO_EVENT_BANK_INPUT_DELTA_AND_VALUE = 0x1001,
};

bool _Ok(const uint8_t* pMac, int Chl) {
    return pMac && Chl >= 0 && Chl < kSioChannels;
}
bool _BankOk(int Bank) {
    return Bank >= 0 && Bank < kDioBanks;
}

uint32_t _Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void _PutBe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// One request; the status. On status 0 the response must hold at least Need bytes, starting
// with the bank byte sent when there is one (else VN_ERR_ANSWER_LENGTH).
unsigned int _Request(SioExchange& x, int Chl, uint16_t Code, const uint8_t* pPayload, size_t Length,
                      size_t Need, int Bank = -1) {
    const int rc = x.Request(kSioDeviceDio, static_cast<uint8_t>(Chl), Code, pPayload, Length);
    if (rc != 0) return static_cast<unsigned int>(rc);
    if (x.Response.Status != 0) return x.Response.Status;
    if (x.Response.Length < Need) return VN_ERR_ANSWER_LENGTH;
    if (Bank >= 0 && x.Response.Payload[0] != Bank) return VN_ERR_ANSWER_LENGTH;
    return 0;
}

// The info request; on success the channel's bank line counts are refreshed and *pRecord
// (when given) is filled.
unsigned int _GetInfo(SioExchange& x, int Chl, uint8_t* pRecord) {
    const unsigned int rc = _Request(x, Chl, DIO_CMD_GET_INFO, nullptr, 0, 8);
    if (rc != 0) return rc;
    uint8_t record[DIO_INFO_SIZE] = {};
    if (!DioDecodeInfo(x.Response.Payload, x.Response.Length, record)) return VN_ERR_ANSWER_LENGTH;
    _SIO_CHANNEL_BLOCK& b = x.Channel(static_cast<uint8_t>(Chl));
    for (int i = 0; i < kDioBanks; ++i) b.DioNumberOfIOs[i] = i < record[1] ? record[8 + 20 * i + 1] : 0;
    b.DioInfoKnown = true;
    if (pRecord) memcpy(pRecord, record, sizeof(record));
    return 0;
}

unsigned int _GetU32(uint8_t* pMac, int Chl, uint16_t Code, int Bank, uint32_t* pOut) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || !pOut) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const uint8_t b = static_cast<uint8_t>(Bank);
    const unsigned int rc = _Request(x, Chl, Code, &b, 1, 5, Bank);
    if (rc == 0) *pOut = _Be32(x.Response.Payload + 1);
    return rc;
}

unsigned int _SetU32(uint8_t* pMac, int Chl, uint16_t Code, int Bank, uint32_t Value) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    uint8_t p[5] = {static_cast<uint8_t>(Bank)};
    _PutBe32(p + 1, Value);
    return _Request(x, Chl, Code, p, sizeof(p), 1, Bank);
}

unsigned int _GetU8(uint8_t* pMac, int Chl, uint16_t Code, int Bank, uint8_t* pOut) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || !pOut) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const uint8_t b = static_cast<uint8_t>(Bank);
    const unsigned int rc = _Request(x, Chl, Code, &b, 1, 2, Bank);
    if (rc == 0) *pOut = x.Response.Payload[1];
    return rc;
}

// Byte values travel as they are: the service checks their range (status 3), so a value of
// the wrong range is refused there, never truncated into a valid one here.
unsigned int _SetU8(uint8_t* pMac, int Chl, uint16_t Code, int Bank, int Value) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || Value < 0 || Value > 255) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const uint8_t p[2] = {static_cast<uint8_t>(Bank), static_cast<uint8_t>(Value)};
    return _Request(x, Chl, Code, p, sizeof(p), 1, Bank);
}

// Checks that the channel is a DIO channel and that the bank's lines are all inputs, and
// makes sure the channel's callback slots exist. Called with the request lock held.
unsigned int _PrepareCallbacks(SioExchange& x, int Chl, int Bank, _DIO_CALLBACKS** ppSlots) {
    // A channel that answers the info request with a status or a malformed record is not a
    // DIO channel; a call that could not reach the service says so.
    const unsigned int info = _GetInfo(x, Chl, nullptr);
    if (info == SIO_ERR_SEND || info == SIO_ERR_TIMEOUT || info == SIO_ERR_NO_CONNECTION) return info;
    if (info != 0) return DIO_ERR_NOT_DIO;
    const uint8_t b = static_cast<uint8_t>(Bank);
    const unsigned int rc = _Request(x, Chl, DIO_CMD_GET_BANK_DIRECTION, &b, 1, 5, Bank);
    if (rc != 0) return rc;
    if (_Be32(x.Response.Payload + 1) != 0) return DIO_ERR_BANK_HAS_OUTPUTS;
    _SIO_CHANNEL_BLOCK& block = x.Channel(static_cast<uint8_t>(Chl));
    if (!block.Dio) {
        block.DioOwner = std::make_unique<_DIO_CALLBACKS>();
        block.Dio = block.DioOwner.get();
    }
    *ppSlots = block.Dio;
    return 0;
}

}  // namespace

namespace qorlib {

void DioHandleFromService(_SIO_CONNECTION& c, const _SIO_HEADER& h, const uint8_t* pPayload, size_t Length) {
    if (h.CmdResponseEventData != DIO_EVENT_BANK_INPUT_DELTA_AND_VALUE || Length < 9) return;
    const int bank = pPayload[0];
    if (bank >= kDioBanks) return;
    const uint32_t changed = _Be32(pPayload + 1);
    const uint32_t states = _Be32(pPayload + 5);
    _SIO_CHANNEL_BLOCK& b = SioChannel(c, h.ChannelNumber);
    _DIO_CALLBACKS* slots = b.Dio;
    if (!slots) return;
    const int lines = std::min<int>(b.DioNumberOfIOs[bank], kDioLines);
    for (int line = 0; line < lines; ++line) {
        if (const dio_io_event_callback fn = slots->Line[bank][line]) {
            fn(SioCallbackMac(c), h.ChannelNumber, bank, line, static_cast<uint8_t>(changed >> line & 1),
               static_cast<uint8_t>(states >> line & 1));
        }
    }
    if (const dio_bank_event_callback fn = slots->Bank[bank])
        fn(SioCallbackMac(c), h.ChannelNumber, bank, changed, states);
}

}  // namespace qorlib

extern "C" {

QORIO_API unsigned int dio_get_info(uint8_t* pMac, int Chl, uint8_t* pInfo) {
    if (!_Ok(pMac, Chl) || !pInfo) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    return _GetInfo(x, Chl, pInfo);
}

QORIO_API unsigned int dio_get_bank_state(uint8_t* pMac, int Chl, int Bank, uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_STATE, Bank, pValue);
}

QORIO_API unsigned int dio_set_bank_state(uint8_t* pMac, int Chl, int Bank, uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_STATE, Bank, Value);
}

QORIO_API unsigned int dio_set_io_state(uint8_t* pMac, int Chl, int Bank, int Line, int Value) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || Line < 0 || Line >= kDioLines) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    // The read, change and write run as one step: no other call of this application on the
    // unit comes between them.
    SioExchange x(c);
    _SIO_CHANNEL_BLOCK& b = x.Channel(static_cast<uint8_t>(Chl));
    if (!b.DioInfoKnown) {
        const unsigned int rc = _GetInfo(x, Chl, nullptr);
        if (rc != 0) return rc;
    }
    if (Line >= b.DioNumberOfIOs[Bank]) return DIO_ERR_NO_SUCH_LINE;
    uint8_t p[5] = {static_cast<uint8_t>(Bank)};
    unsigned int rc = _Request(x, Chl, DIO_CMD_GET_BANK_STATE, p, 1, 5, Bank);
    if (rc != 0) return rc;
    uint32_t state = _Be32(x.Response.Payload + 1);
    const uint32_t bit = uint32_t{1} << Line;
    state = (Value & 1) ? (state | bit) : (state & ~bit);
    _PutBe32(p + 1, state);
    return _Request(x, Chl, DIO_CMD_SET_BANK_STATE, p, sizeof(p), 1, Bank);
}

QORIO_API unsigned int dio_get_bank_input_invert(uint8_t* pMac, int Chl, int Bank, uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_INPUT_INVERT_ENABLE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_input_invert(uint8_t* pMac, int Chl, int Bank, uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_INPUT_INVERT_ENABLE, Bank, Value);
}
QORIO_API unsigned int dio_get_bank_direction(uint8_t* pMac, int Chl, int Bank, uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_DIRECTION, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_direction(uint8_t* pMac, int Chl, int Bank, uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_DIRECTION, Bank, Value);
}
QORIO_API unsigned int dio_get_bank_input_event_mode(uint8_t* pMac, int Chl, int Bank, uint8_t* pMode) {
    return _GetU8(pMac, Chl, DIO_CMD_GET_BANK_INPUT_EVENT_MODE, Bank, pMode);
}
QORIO_API unsigned int dio_set_bank_input_event_mode(uint8_t* pMac, int Chl, int Bank, int Mode) {
    return _SetU8(pMac, Chl, DIO_CMD_SET_BANK_INPUT_EVENT_MODE, Bank, Mode);
}
QORIO_API unsigned int dio_get_bank_sampling_clock(uint8_t* pMac, int Chl, int Bank, uint8_t* pClock) {
    return _GetU8(pMac, Chl, DIO_CMD_GET_BANK_SAMPLING_CLOCK, Bank, pClock);
}
QORIO_API unsigned int dio_set_bank_sampling_clock(uint8_t* pMac, int Chl, int Bank, int Clock) {
    return _SetU8(pMac, Chl, DIO_CMD_SET_BANK_SAMPLING_CLOCK, Bank, Clock);
}
QORIO_API unsigned int dio_get_bank_output_pin_config(uint8_t* pMac, int Chl, int Bank, uint8_t* pConfig) {
    return _GetU8(pMac, Chl, DIO_CMD_GET_BANK_OUTPUT_PIN_CONFIG, Bank, pConfig);
}
QORIO_API unsigned int dio_set_bank_output_pin_config(uint8_t* pMac, int Chl, int Bank, int Config) {
    return _SetU8(pMac, Chl, DIO_CMD_SET_BANK_OUTPUT_PIN_CONFIG, Bank, Config);
}
QORIO_API unsigned int dio_get_bank_output_initial_value(uint8_t* pMac, int Chl, int Bank, uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_OUTPUT_INITIAL_VALUE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_output_initial_value(uint8_t* pMac, int Chl, int Bank, uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_OUTPUT_INITIAL_VALUE, Bank, Value);
}
QORIO_API unsigned int dio_get_bank_output_safe_value(uint8_t* pMac, int Chl, int Bank, uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_OUTPUT_SAFE_VALUE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_output_safe_value(uint8_t* pMac, int Chl, int Bank, uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_OUTPUT_SAFE_VALUE, Bank, Value);
}

QORIO_API unsigned int dio_get_output_safe_value_timer(uint8_t* pMac, int Chl, uint8_t* pEnable,
                                                       uint8_t* pTimer) {
    if (!_Ok(pMac, Chl) || !pEnable || !pTimer) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const unsigned int rc = _Request(x, Chl, DIO_CMD_GET_OUTPUT_SAFE_VALUE_TIMER, nullptr, 0, 2);
    if (rc == 0) {
        *pEnable = x.Response.Payload[0];
        *pTimer = x.Response.Payload[1];
    }
    return rc;
}

QORIO_API unsigned int dio_set_output_safe_value_timer(uint8_t* pMac, int Chl, int Enable, int Timer) {
    if (!_Ok(pMac, Chl) || Enable < 0 || Enable > 255 || Timer < 0 || Timer > 255) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const uint8_t p[2] = {static_cast<uint8_t>(Enable), static_cast<uint8_t>(Timer)};
    return _Request(x, Chl, DIO_CMD_SET_OUTPUT_SAFE_VALUE_TIMER, p, sizeof(p), 0);
}

QORIO_API unsigned int dio_get_bank_input_latch_rising_edge(uint8_t* pMac, int Chl, int Bank,
                                                            uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_INPUT_LATCH_RISING_EDGE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_input_latch_rising_edge(uint8_t* pMac, int Chl, int Bank,
                                                            uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_INPUT_LATCH_RISING_EDGE, Bank, Value);
}
QORIO_API unsigned int dio_get_bank_input_latch_falling_edge(uint8_t* pMac, int Chl, int Bank,
                                                             uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_INPUT_LATCH_FALLING_EDGE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_input_latch_falling_edge(uint8_t* pMac, int Chl, int Bank,
                                                             uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_INPUT_LATCH_FALLING_EDGE, Bank, Value);
}
QORIO_API unsigned int dio_set_bank_input_counter_reset(uint8_t* pMac, int Chl, int Bank, uint32_t Lines) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_INPUT_COUNTER_RESET, Bank, Lines);
}
QORIO_API unsigned int dio_get_bank_input_counter_increment_rising_edge(uint8_t* pMac, int Chl, int Bank,
                                                                        uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_INPUT_COUNTER_INC_RISING_EDGE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_input_counter_increment_rising_edge(uint8_t* pMac, int Chl, int Bank,
                                                                        uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_INPUT_COUNTER_INC_RISING_EDGE, Bank, Value);
}
QORIO_API unsigned int dio_get_bank_input_counter_increment_falling_edge(uint8_t* pMac, int Chl, int Bank,
                                                                         uint32_t* pValue) {
    return _GetU32(pMac, Chl, DIO_CMD_GET_BANK_INPUT_COUNTER_INC_FALLING_EDGE, Bank, pValue);
}
QORIO_API unsigned int dio_set_bank_input_counter_increment_falling_edge(uint8_t* pMac, int Chl, int Bank,
                                                                         uint32_t Value) {
    return _SetU32(pMac, Chl, DIO_CMD_SET_BANK_INPUT_COUNTER_INC_FALLING_EDGE, Bank, Value);
}

QORIO_API unsigned int dio_get_bank_io_input_counter_value(uint8_t* pMac, int Chl, int Bank, int Line,
                                                           uint32_t* pValue) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || Line < 0 || Line >= kDioLines || !pValue)
        return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const uint8_t p[2] = {static_cast<uint8_t>(Bank), static_cast<uint8_t>(Line)};
    const unsigned int rc = _Request(x, Chl, DIO_CMD_GET_BANK_IO_INPUT_COUNTER_VALUE, p, sizeof(p), 6, Bank);
    if (rc != 0) return rc;
    if (x.Response.Payload[1] != Line) return VN_ERR_ANSWER_LENGTH;
    *pValue = _Be32(x.Response.Payload + 2);
    return 0;
}

QORIO_API unsigned int dio_set_io_event_callback(uint8_t* pMac, int Chl, int Bank, int Line,
                                                 dio_io_event_callback fn) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || Line < 0 || Line >= kDioLines || !fn) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    _DIO_CALLBACKS* slots = nullptr;
    const unsigned int rc = _PrepareCallbacks(x, Chl, Bank, &slots);
    if (rc != 0) return rc;
    dio_io_event_callback none = nullptr;
    slots->Line[Bank][Line].compare_exchange_strong(none, fn);
    return 0;
}

QORIO_API unsigned int dio_set_bank_event_callback(uint8_t* pMac, int Chl, int Bank,
                                                   dio_bank_event_callback fn) {
    if (!_Ok(pMac, Chl) || !_BankOk(Bank) || !fn) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    _DIO_CALLBACKS* slots = nullptr;
    const unsigned int rc = _PrepareCallbacks(x, Chl, Bank, &slots);
    if (rc != 0) return rc;
    dio_bank_event_callback none = nullptr;
    slots->Bank[Bank].compare_exchange_strong(none, fn);
    return 0;
}

}  // extern "C"
