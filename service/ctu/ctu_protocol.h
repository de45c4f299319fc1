// The CTU protocol between a configuration client and a unit's CTU server: the 12-byte
// header (little-endian), the command, response and event codes, and the status codes.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kCtuHeaderLength = 12;
// The largest packet, header included, that the service sends.
constexpr size_t CTU_MSG_MAX_PAYLOAD = 2060;
// Receive buffer of one packet; a packet that does not fit closes the connection.
constexpr size_t kCtuRxBuffSize = 8192;
constexpr uint8_t kCtuVersion = 1;
constexpr uint16_t kCtuResponseBit = 0x8000;

enum : uint16_t {
    CMD_GET_MAC_ADDRESS = 1,
    CMD_SET_MAC_ADDRESS = 2,
    CMD_GET_DEVICE_NAME = 3,
    CMD_SET_DEVICE_NAME = 4,
    CMD_GET_LINK_STATUS = 5,
    CMD_SET_LINK_STATUS = 6,
    CMD_SET_FIRMWARE_FILE_AND_UPDATE = 7,
    CMD_SET_MODEL_NAME = 8,
    CMD_SET_PASSWORD = 9,
    CMD_STORE_UART_SETTING_TO_FLASH = 10,
    CMD_STORE_DIO_SETTING_TO_FLASH = 11,
    CMD_GET_MFAI_T0_CALIBRATION = 12,
    CMD_GET_MFAI_T1_CALIBRATION = 13,
    EVENT_PROGRAMMING_OK = 0x1001,
    EVENT_PROGRAMMING_FAIL = 0x1002,
    EVENT_PROGRAMMING_FINISH = 0x1003,
};

enum : uint16_t {
    CTU_STATUS_SUCCESS = 0,
    CTU_STATUS_FUNCTION_UNSUPPORT = 1,
    CTU_STATUS_LENGTH_INVALID = 2,
    CTU_STATUS_DATA_INVALID = 3,
    CTU_STATUS_CONTROLLER_VERSION_UNSUPPORT = 4,
    CTU_STATUS_ALLOC_MEMORY_FAIL = 5,
    CTU_STATUS_OBJECT_NOT_FOUND = 16,
    CTU_STATUS_TX_CMD_FAIL = 32,
    CTU_STATUS_RX_RESPONSE_TIMEOUT = 33,
    CTU_STATUS_RX_RESPONSE_DATA_FORMAT_INVALID = 34,
    CTU_STATUS_RX_RESPONSE_WITH_NO_DATA = 35,
    CTU_STATUS_UNSUPPORT_COMMAND = 48,
    CTU_STATUS_SET_PASSWORD_FAIL = 49,
    CTU_STATUS_NO_SUPPORTED_UART_VERSION_CHANNEL = 50,
    CTU_STATUS_NO_SUPPORTED_DIO_VERSION_CHANNEL = 51,
    CTU_STATUS_FIRMWARE_FILE_OPEN_FAIL = 64,
    CTU_STATUS_FIRMWARE_FILE_READ_FAIL = 65,
    CTU_STATUS_FIRMWARE_FILE_NO_CONTENT = 66,
    CTU_STATUS_FIRMWARE_MEMORY_MALLOC_FAIL = 67,
    CTU_STATUS_FIRMWARE_SIZE_INVALID = 68,
    CTU_STATUS_FIRMWARE_MODEL_NOT_MATCH = 69,
    CTU_STATUS_FIRMWARE_VN_TYPE_NOT_MATCH = 70,
    CTU_STATUS_FIRMWARE_CHECKSUM_NOT_MATCH = 71,
    CTU_STATUS_FIRMWARE_UNSUPPORT_DOWNGRADE = 72,
    CTU_STATUS_FIRMWARE_SET_TOTAL_LENGTH_FAIL = 73,
    CTU_STATUS_FIRMWARE_DOWNLOAD_OK = 74,
    CTU_STATUS_FIRMWARE_DOWNLOAD_FAIL = 75,
};

struct _CTU_HEADER {
    uint8_t Version;
    uint16_t CmdResponseEventData;
    uint16_t ResponseStatus;
    uint32_t Length;
};

// Field by field, little-endian; the three reserved bytes are written as zero.
void CtuHeaderEncode(const _CTU_HEADER& Hdr, uint8_t* pOut);
_CTU_HEADER CtuHeaderDecode(const uint8_t* pIn);

// The protocol's name of a code ("UNKNOW" for any other), as the packet dump prints it.
const char* CtuCodeName(uint16_t Code);
