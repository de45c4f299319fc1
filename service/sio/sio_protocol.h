// The SIO protocol between a channel client and a unit's SIO server: the 12-byte header
// (little-endian), the device types, the code numbering shared by every family, the SER
// codes and the status codes.
#pragma once

#include <cstddef>
#include <cstdint>

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

enum : uint16_t {
    SER_CMD_OPEN = 0x0001,
    SER_CMD_CLOSE = 0x0002,
    SER_CMD_SET_DLL_DLM = 0x0003,
    SER_CMD_SET_LCR = 0x0004,
    SER_CMD_SET_FIFO_CTRL = 0x0005,
    SER_CMD_SET_MCR = 0x0006,
    SER_CMD_SET_EVENT_CTRL = 0x0007,
    SER_CMD_GET_MSR = 0x0008,
    SER_CMD_GET_MODE_1 = 0x0009,
    SER_CMD_SET_MODE_1 = 0x000A,
    SER_CMD_GET_MODE_2 = 0x000B,
    SER_CMD_SET_MODE_2 = 0x000C,
    SER_CMD_GET_ON_CHIP_HARDWARE_FLOW_CTRL = 0x000D,
    SER_CMD_SET_ON_CHIP_HARDWARE_FLOW_CTRL = 0x000E,
    SER_CMD_GET_TX_CURRENT_CREDIT = 0x000F,
    SER_CMD_GET_TX_FIFO_DATA_CNT = 0x0010,
    SER_CMD_GET_TX_TRIGGER_LEVEL = 0x0011,
    SER_CMD_SET_TX_TRIGGER_LEVEL = 0x0012,
    SER_CMD_GET_RX_TRIGGER_LEVEL = 0x0013,
    SER_CMD_SET_RX_TRIGGER_LEVEL = 0x0014,
    SER_EVENT_MSR = 0x1001,
    SER_EVENT_LSR = 0x1002,
    SER_EVENT_DATA_SERVICE_TO_LIBRARY = 0x1004,
    SER_DATA_LIBRARY_TO_SERVICE = 0x2001,
    SER_DATA_SERVICE_TO_LIBRARY = 0x2002,
};

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
