// The SIO protocol between a channel client and a unit's SIO server: the 12-byte header
// (little-endian), the device types, the code numbering shared by every family, the SER
// codes and the status codes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sio_codes.h"

constexpr size_t kSioHeaderLength = 12;
// The largest message, header included, that the protocol defines.
constexpr size_t SIO_MSG_MAX_PAYLOAD = 2060;
// Receive buffer of one message; an announced message that does not fit closes the connection.
constexpr size_t kSioRxBuffSize = 8192;
constexpr uint8_t kSioVersion = 1;
constexpr uint16_t kSioResponseBit = 0x8000;

// Device types: the DIB channel types of the families.
enum : uint8_t {
    SIO_DEVICE_SER = 1,
    SIO_DEVICE_PARALLEL = 2,
    SIO_DEVICE_DIO = 3,
    SIO_DEVICE_CNT = 4,
    SIO_DEVICE_AI = 5,
    SIO_DEVICE_AO = 6,
    SIO_DEVICE_UI = 7,
    SIO_DEVICE_UO = 8,
    SIO_DEVICE_BAO = 9,
    SIO_DEVICE_MAI = 10,
    SIO_DEVICE_TPS = 11,
};

enum : uint16_t {
    SIO_STATUS_SUCCESS = 0,
    SIO_STATUS_LENGTH_INVALID = 2,
    SIO_STATUS_DATA_INVALID = 3,
    SIO_STATUS_CONTROLLER_VERSION_UNSUPPORT = 4,
    SIO_STATUS_OBJECT_NOT_FOUND = 16,
    SIO_STATUS_TX_CMD_FAIL = 32,
    SIO_STATUS_RX_RESPONSE_TIMEOUT = 33,
    SIO_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID = 34,
    SIO_STATUS_RX_RESPONSE_WITH_NO_DATA = 35,
    SIO_STATUS_NO_CAPABILITY = 50,
};

// The SER codes are those every SIO client reads.
using enum qor::sio::SerCode;

struct _SIO_HEADER {
    uint8_t Version;
    uint8_t Reserved;
    uint8_t DeviceType;
    uint8_t ChannelNumber;
    uint16_t CmdResponseEventData;
    uint16_t ResponseStatus;
    uint32_t Length;
};

// Field by field, little-endian.
void SioHeaderEncode(const _SIO_HEADER& Hdr, uint8_t* pOut);
_SIO_HEADER SioHeaderDecode(const uint8_t* pIn);

// The SER family's name of a code ("UNKNOW" for any other), as the message dump prints it.
const char* SioSerCodeName(uint16_t Code);
