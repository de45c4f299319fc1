// The management protocol: 12-byte little-endian header, command/response/event codes,
// status codes and the names used by the packet dump.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kMngHeaderLength = 12;
constexpr size_t kMngBuffSize = 8192;
constexpr size_t kMngWarnSize = 1500;
constexpr uint8_t kMngVersion = 1;
constexpr uint16_t kMngTcpPort = 50000;

enum : uint16_t {
    CMD_GET_SERVICE_INFO = 1,
    CMD_SET_DEBUG_CONFIG = 2,
    CMD_GET_ALL_NIC_INFO = 3,
    CMD_REFRESH_NIC = 4,
    CMD_SEARCY_BY_ALL_NIC = 5,
    CMD_SEARCY_BY_SPECIFIC_NIC = 6,
    CMD_GET_SPECIFIC_VN_INFO = 7,
    CMD_VN_MAPPING = 8,
    CMD_VN_UNMAPPING = 9,
    CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST = 10,
    CMD_VN_CONNECT = 11,
    CMD_VN_DISCONNECT = 12,
    CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST = 13,
    CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO = 14,
    CMD_GET_VN_PASSWORD = 15,
    CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD = 16,
    MNG_RESPONSE_BIT = 0x8000,
    EVENT_VN_DISCONNECT = 0x1001,
};

struct _MNG_HEADER {
    uint8_t Version;
    uint16_t CmdResponseEvent;
    uint16_t ResponseStatus;
    uint32_t Length;
};

void MngHeaderEncode(const _MNG_HEADER& h, uint8_t* p);
_MNG_HEADER MngHeaderDecode(const uint8_t* p);

// Protocol name of a command, response or event code; "UNKNOW" for others.
const char* MngCodeName(uint16_t code);
// The clients' text for a status code; "Unknow error code." for others.
const char* MngStatusText(uint16_t status);

constexpr const char* kMngServiceVersion = "1.0.15.0";
constexpr const char* kMngTtyDriverVersion = "1.0.4.0";
