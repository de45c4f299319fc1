// The SER API of libqorio: the ser_* calls on a unit's UART channels through its SIO
// connection, and the SER part of the receive thread's parser (events and data to the
// channel's callbacks).
#include <string.h>

#include "qorio.h"
#include "ser_decode.h"
#include "sio_core.h"

using namespace qorlib;

namespace {

constexpr int kSerWriteMax = 1024;
// Statuses the library answers itself with the service's meaning.
constexpr unsigned int kStatusNotSupported = 4;

bool _ChannelOk(const uint8_t* pMac, int Chl) { return pMac && Chl >= 0 && Chl < kSioChannels; }

// One command with its payload; the status, and on status 0 the response's first byte in *pOut
// when asked for (a status-0 response without it gives VN_ERR_ANSWER_LENGTH).
unsigned int _SerRequest(SioExchange& x, int Chl, uint16_t Code, const uint8_t* pPayload, size_t Length,
                         uint8_t* pOut = nullptr) {
    const int rc = x.Request(kSioDeviceSer, static_cast<uint8_t>(Chl), Code, pPayload, Length);
    if (rc != 0) return static_cast<unsigned int>(rc);
    if (x.Response.Status != 0) return x.Response.Status;
    if (pOut) {
        if (x.Response.Length < 1) return VN_ERR_ANSWER_LENGTH;
        *pOut = x.Response.Payload[0];
    }
    return 0;
}

unsigned int _SerCommand(uint8_t* pMac, int Chl, uint16_t Code, const uint8_t* pPayload, size_t Length,
                         uint8_t* pOut = nullptr) {
    if (!_ChannelOk(pMac, Chl)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    return _SerRequest(x, Chl, Code, pPayload, Length, pOut);
}

unsigned int _SerSetByte(uint8_t* pMac, int Chl, uint16_t Code, int Value) {
    const uint8_t b = static_cast<uint8_t>(Value);
    return _SerCommand(pMac, Chl, Code, &b, 1);
}

unsigned int _SerGetByte(uint8_t* pMac, int Chl, uint16_t Code, uint8_t* pOut) {
    if (!pOut) return SIO_ERR_ARGUMENT;
    return _SerCommand(pMac, Chl, Code, nullptr, 0, pOut);
}

// LCR writes that keep the channel's stored LCR (the base of ser_set_break) in step.
unsigned int _SerSetLcr(uint8_t* pMac, int Chl, bool FromBreak, int Value) {
    if (!_ChannelOk(pMac, Chl)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    uint8_t* info = x.Channel(static_cast<uint8_t>(Chl)).SerInfo;
    uint8_t lcr = static_cast<uint8_t>(Value);
    if (FromBreak) lcr = Value == 1 ? (info[2] | 0x40) : Value == 0 ? (info[2] & ~0x40) : 0x00;
    const unsigned int rc = _SerRequest(x, Chl, SER_CMD_SET_LCR, &lcr, 1);
    if (rc == 0) info[2] = lcr;
    return rc;
}

}  // namespace

namespace qorlib {

void SerHandleFromService(_SIO_CONNECTION& c, const _SIO_HEADER& h, const uint8_t* pPayload, size_t Length) {
    size_t scratchSize = 0;
    uint8_t* scratch = SioCallbackScratch(c, &scratchSize);
    const _SER_DELIVERY d = SerDecodeFromService(h.CmdResponseEventData, pPayload, Length, scratch, scratchSize);
    _SIO_CHANNEL_BLOCK& b = SioChannel(c, h.ChannelNumber);
    const int chl = h.ChannelNumber;
    switch (d.What) {
        case _SER_DELIVERY::KindMsr:
            if (const ser_msr_event_callback fn = b.SerMsrEvent) fn(SioCallbackMac(c), chl, d.MsrValue);
            break;
        case _SER_DELIVERY::KindLsr:
            if (const ser_lsr_event_callback fn = b.SerLsrEvent) fn(SioCallbackMac(c), chl, d.Lsr[0], d.Lsr[1], d.Lsr[2]);
            break;
        case _SER_DELIVERY::KindData:
            if (const ser_data_event_callback fn = b.SerDataEvent) {
                fn(SioCallbackMac(c), chl, const_cast<uint8_t*>(d.Buff), static_cast<int>(d.Count));
            }
            if (const ser_data_callback fn = b.SerData) fn(SioCallbackMac(c), chl);
            break;
        case _SER_DELIVERY::KindNone:
            break;
    }
}

}  // namespace qorlib

namespace {

// The first registration of a kind stays; a null function is refused.
template <typename Fn>
unsigned int _SetCallback(uint8_t* pMac, int Chl, Fn fn, std::atomic<Fn> _SIO_CHANNEL_BLOCK::*pSlot) {
    if (!_ChannelOk(pMac, Chl) || !fn) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    Fn none = nullptr;
    (SioChannel(*c, static_cast<uint8_t>(Chl)).*pSlot).compare_exchange_strong(none, fn);
    return 0;
}

}  // namespace

extern "C" {

QORIO_API unsigned int ser_open(uint8_t* pMac, int Chl, uint8_t* pInfo) {
    if (!_ChannelOk(pMac, Chl) || !pInfo) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    const int rc = x.Request(kSioDeviceSer, static_cast<uint8_t>(Chl), SER_CMD_OPEN, nullptr, 0);
    if (rc != 0) return static_cast<unsigned int>(rc);
    uint8_t* info = x.Channel(static_cast<uint8_t>(Chl)).SerInfo;
    unsigned int result = x.Response.Status;
    if (result == 0 && !SerDecodeOpenRecord(x.Response.Payload, x.Response.Length, info)) {
        result = VN_ERR_ANSWER_LENGTH;
    }
    memcpy(pInfo, info, kSerInfoLength);
    return result;
}

QORIO_API unsigned int ser_close(uint8_t* pMac, int Chl) { return _SerCommand(pMac, Chl, SER_CMD_CLOSE, nullptr, 0); }

QORIO_API unsigned int ser_set_dll_dlm(uint8_t* pMac, int Chl, int Dll, int Dlm) {
    const uint8_t b[2] = {static_cast<uint8_t>(Dll), static_cast<uint8_t>(Dlm)};
    return _SerCommand(pMac, Chl, SER_CMD_SET_DLL_DLM, b, 2);
}

QORIO_API unsigned int ser_set_lcr(uint8_t* pMac, int Chl, int Lcr) { return _SerSetLcr(pMac, Chl, false, Lcr); }

QORIO_API unsigned int ser_set_break(uint8_t* pMac, int Chl, int On) { return _SerSetLcr(pMac, Chl, true, On); }

QORIO_API unsigned int ser_set_fifo_ctrl(uint8_t* pMac, int Chl, int Value) {
    return _SerSetByte(pMac, Chl, SER_CMD_SET_FIFO_CTRL, Value);
}

QORIO_API unsigned int ser_set_event_ctrl(uint8_t* pMac, int Chl, int Value) {
    if (!_ChannelOk(pMac, Chl)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    uint8_t msr = 0;
    const unsigned int rc = _SerRequest(x, Chl, SER_CMD_GET_MSR, nullptr, 0, &msr);
    if (rc != 0) return rc;
    uint8_t b = static_cast<uint8_t>(Value) | (msr & 0xF8);
    const uint8_t version = x.Channel(static_cast<uint8_t>(Chl)).SerInfo[0];
    if ((version == 4 || version == 5) && (b & 0x01)) b |= 0x04;
    return _SerRequest(x, Chl, SER_CMD_SET_EVENT_CTRL, &b, 1);
}

QORIO_API unsigned int ser_set_mcr(uint8_t* pMac, int Chl, int Value) {
    return _SerSetByte(pMac, Chl, SER_CMD_SET_MCR, Value);
}

QORIO_API unsigned int ser_set_power_io(uint8_t* pMac, int Chl, int Value) {
    return _SerSetByte(pMac, Chl, SER_CMD_SET_MODE_1, Value);
}

QORIO_API unsigned int ser_set_mode_ctrl(uint8_t* pMac, int Chl, int Value) {
    return _SerSetByte(pMac, Chl, SER_CMD_SET_MODE_2, Value);
}

QORIO_API unsigned int ser_get_mode_ctrl(uint8_t* pMac, int Chl, uint8_t* pOut) {
    return _SerGetByte(pMac, Chl, SER_CMD_GET_MODE_2, pOut);
}

QORIO_API unsigned int ser_get_msr(uint8_t* pMac, int Chl, uint8_t* pOut) {
    return _SerGetByte(pMac, Chl, SER_CMD_GET_MSR, pOut);
}

QORIO_API unsigned int ser_setting(uint8_t* pMac, int Chl, int Baud, int DataBits, int Parity, int StopBits,
                                   int Flow) {
    if (!_ChannelOk(pMac, Chl)) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    SioExchange x(c);
    uint8_t* info = x.Channel(static_cast<uint8_t>(Chl)).SerInfo;

    const bool known = Baud >= 0 && Baud < kSerBaudCount;
    const uint8_t dll[2] = {known ? SerBaudTable[Baud].Dll : uint8_t{0}, known ? SerBaudTable[Baud].Dlm : uint8_t{0}};
    unsigned int rc = _SerRequest(x, Chl, SER_CMD_SET_DLL_DLM, dll, 2);
    if (rc == SIO_ERR_SEND) return rc;
    info[1] = static_cast<uint8_t>(Baud);
    if (rc != 0) return rc;

    uint8_t lcr = DataBits >= 0 && DataBits <= 3 ? static_cast<uint8_t>(DataBits) : 0;
    // One stop bit more (LCR bit 2) for both 1 and 2: bit 3 is the parity enable.
    if (StopBits == 1 || StopBits == 2) lcr |= 0x04;
    static const uint8_t kParity[] = {0x00, 0x08, 0x18, 0x28, 0x38};
    if (Parity >= 1 && Parity <= 4) lcr |= kParity[Parity];
    rc = _SerRequest(x, Chl, SER_CMD_SET_LCR, &lcr, 1);
    if (rc == SIO_ERR_SEND) return rc;
    info[2] = lcr;
    if (rc != 0) return rc;

    const uint8_t version = info[0];
    uint8_t flow = 0;
    if (version == 4 || version == 5) {
        flow = Flow == 1 ? 0x0D : Flow == 2 ? 0x31 : 0x00;
        rc = _SerRequest(x, Chl, SER_CMD_SET_ON_CHIP_HARDWARE_FLOW_CTRL, &flow, 1);
    } else if (version == 2 || version == 3) {
        flow = Flow == 1 ? 0x21 : Flow == 2 ? 0x22 : 0x00;
        rc = _SerRequest(x, Chl, SER_CMD_SET_MCR, &flow, 1);
    } else {
        // Versions 0 and 1 have no flow control to set.
        return Flow == 1 || Flow == 2 ? kStatusNotSupported : 0;
    }
    if (rc == SIO_ERR_SEND) return rc;
    info[3] = flow;
    return rc;
}

QORIO_API unsigned int ser_write(uint8_t* pMac, int Chl, const uint8_t* pData, int Length) {
    if (!_ChannelOk(pMac, Chl)) return SIO_ERR_ARGUMENT;
    if (Length <= 0 || Length > kSerWriteMax) return SIO_ERR_DATA_LENGTH;
    if (!pData) return SIO_ERR_ARGUMENT;
    const PSIO_CONNECTION c = SioMainGetByMac(pMac);
    if (!c) return SIO_ERR_NO_CONNECTION;
    return static_cast<unsigned int>(SioSendData(c, kSioDeviceSer, static_cast<uint8_t>(Chl),
                                                 SER_DATA_LIBRARY_TO_SERVICE, pData, static_cast<size_t>(Length)));
}

QORIO_API unsigned int ser_get_on_chip_hw_flow_ctrl(uint8_t* pMac, int Chl, uint8_t* pOut) {
    if (!pOut) return SIO_ERR_ARGUMENT;
    uint8_t raw = 0;
    const unsigned int rc = _SerCommand(pMac, Chl, SER_CMD_GET_ON_CHIP_HARDWARE_FLOW_CTRL, nullptr, 0, &raw);
    if (rc != 0) return rc;
    switch (raw) {
        case 0x00: *pOut = 0; break;
        case 0x0D: *pOut = 1; break;
        case 0x31: *pOut = 2; break;
        case 0x3D: *pOut = 3; break;
        default: break;  // a value of no mode leaves *pOut as it was
    }
    return 0;
}

QORIO_API unsigned int ser_set_on_chip_hw_flow_ctrl(uint8_t* pMac, int Chl, int Mode) {
    static const uint8_t kMode[] = {0x00, 0x0D, 0x31, 0x3D};
    return _SerSetByte(pMac, Chl, SER_CMD_SET_ON_CHIP_HARDWARE_FLOW_CTRL, Mode >= 0 && Mode <= 3 ? kMode[Mode] : 0);
}

QORIO_API unsigned int ser_get_tx_trigger_level(uint8_t* pMac, int Chl, uint8_t* pOut) {
    return _SerGetByte(pMac, Chl, SER_CMD_GET_TX_TRIGGER_LEVEL, pOut);
}

QORIO_API unsigned int ser_set_tx_trigger_level(uint8_t* pMac, int Chl, int Level) {
    return _SerSetByte(pMac, Chl, SER_CMD_SET_TX_TRIGGER_LEVEL, Level);
}

QORIO_API unsigned int ser_get_rx_trigger_level(uint8_t* pMac, int Chl, uint8_t* pOut) {
    return _SerGetByte(pMac, Chl, SER_CMD_GET_RX_TRIGGER_LEVEL, pOut);
}

QORIO_API unsigned int ser_set_rx_trigger_level(uint8_t* pMac, int Chl, int Level) {
    return _SerSetByte(pMac, Chl, SER_CMD_SET_RX_TRIGGER_LEVEL, Level);
}

QORIO_API unsigned int ser_set_msr_event_callback(uint8_t* pMac, int Chl, ser_msr_event_callback fn) {
    return _SetCallback(pMac, Chl, fn, &_SIO_CHANNEL_BLOCK::SerMsrEvent);
}

QORIO_API unsigned int ser_set_lsr_event_callback(uint8_t* pMac, int Chl, ser_lsr_event_callback fn) {
    return _SetCallback(pMac, Chl, fn, &_SIO_CHANNEL_BLOCK::SerLsrEvent);
}

QORIO_API unsigned int ser_set_data_event_callback(uint8_t* pMac, int Chl, ser_data_event_callback fn) {
    return _SetCallback(pMac, Chl, fn, &_SIO_CHANNEL_BLOCK::SerDataEvent);
}

QORIO_API unsigned int ser_set_data_callback(uint8_t* pMac, int Chl, ser_data_callback fn) {
    return _SetCallback(pMac, Chl, fn, &_SIO_CHANNEL_BLOCK::SerData);
}

}  // extern "C"
