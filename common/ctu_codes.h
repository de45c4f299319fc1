// The configuration (CTU) protocol's codes and status names, as every client of a unit's CTU
// port reads them: command codes, the response bit, the programming events and the name of
// each status code the service answers with.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qor::ctu {

constexpr size_t kHeaderLength = 12;
constexpr uint8_t kVersion = 1;
constexpr uint16_t kResponseBit = 0x8000;

enum CtuCode : uint16_t {
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

// The status codes of a response.
enum CtuStatus : uint16_t {
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

// The status that reports a firmware image accepted by the unit.
constexpr uint16_t kStatusFirmwareDownloadOk = CTU_STATUS_FIRMWARE_DOWNLOAD_OK;

// The name of a status code as clients print it; "UNKNOW" for a code the protocol lacks.
inline const char* StatusName(unsigned int Status) {
    switch (Status) {
        case 0:
            return "SUCCESS";
        case 1:
            return "FUNCTION_UNSUPPORT";
        case 2:
            return "LENGTH_INVALID";
        case 3:
            return "DATA_INVALID";
        case 4:
            return "CONTROLLER_VERSION_UNSUPPORT";
        case 5:
            return "ALLOC_MEMORY_FAIL";
        case 16:
            return "OBJECT_NOT_FOUND";
        case 32:
            return "TX_CMD_FAIL";
        case 33:
            return "RX_RESPONSE_TIMEOUT";
        case 34:
            return "RX_RESPONSE_DATA_FORMAT_INVALID";
        case 35:
            return "RX_RESPONSE_WITH_NO_DATA";
        case 48:
            return "UNSUPPORT_COMMAND";
        case 49:
            return "SET_PASSWORD_FAIL";
        case 50:
            return "NO_SUPPORTED_UART_VERSION_CHANNEL";
        case 51:
            return "NO_SUPPORTED_DIO_VERSION_CHANNEL";
        case 64:
            return "FIRMWARE_FILE_OPEN_FAIL";
        case 65:
            return "FIRMWARE_FILE_READ_FAIL";
        case 66:
            return "FIRMWARE_FILE_NO_CONTENT";
        case 67:
            return "FIRMWARE_MEMORY_MALLOC_FAIL";
        case 68:
            return "FIRMWARE_SIZE_INVALID";
        case 69:
            return "FIRMWARE_MODEL_NOT_MATCH";
        case 70:
            return "FIRMWARE_VN_TYPE_NOT_MATCH";
        case 71:
            return "FIRMWARE_CHECKSUM_NOT_MATCH";
        case 72:
            return "FIRMWARE_UNSUPPORT_DOWNGRADE";
        case 73:
            return "FIRMWARE_SET_TOTAL_LENGTH_FAIL";
        case 74:
            return "FIRMWARE_DOWNLOAD_OK";
        case 75:
            return "FIRMWARE_DOWNLOAD_FAIL";
        default:
            return "UNKNOW";
    }
}

}  // namespace qor::ctu
