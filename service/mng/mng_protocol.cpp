#include "mng_protocol.h"

#include "qor_wire.h"

void MngHeaderEncode(const _MNG_HEADER& h, uint8_t* p) {
    p[0] = h.Version;
    p[1] = p[2] = p[3] = 0;
    qor::PutLe16(p + 4, h.CmdResponseEvent);
    qor::PutLe16(p + 6, h.ResponseStatus);
    qor::PutLe32(p + 8, h.Length);
}

_MNG_HEADER MngHeaderDecode(const uint8_t* p) {
    _MNG_HEADER h;
    h.Version = p[0];
    h.CmdResponseEvent = qor::GetLe16(p + 4);
    h.ResponseStatus = qor::GetLe16(p + 6);
    h.Length = qor::GetLe32(p + 8);
    return h;
}

const char* MngCodeName(uint16_t code) {
    static const char* const kCommands[] = {
        nullptr,
        "CMD_GET_SERVICE_INFO",
        "CMD_SET_DEBUG_CONFIG",
        "CMD_GET_ALL_NIC_INFO",
        "CMD_REFRESH_NIC",
        "CMD_SEARCY_BY_ALL_NIC",
        "CMD_SEARCY_BY_SPECIFIC_NIC",
        "CMD_GET_SPECIFIC_VN_INFO",
        "CMD_VN_MAPPING",
        "CMD_VN_UNMAPPING",
        "CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST",
        "CMD_VN_CONNECT",
        "CMD_VN_DISCONNECT",
        "CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST",
        "CMD_UPDATE_SPECIFIC_VN_DETAIL_INFO",
        "CMD_GET_VN_PASSWORD",
        "CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD",
    };
    static const char* const kResponses[] = {
        nullptr,
        "RESPONSE_GET_SERVICE_INFO",
        "RESPONSE_SET_DEBUG_CONFIG",
        "RESPONSE_GET_ALL_NIC_INFO",
        "RESPONSE_REFRESH_NIC",
        "RESPONSE_SEARCY_BY_ALL_NIC",
        "RESPONSE_SEARCY_BY_SPECIFIC_NIC",
        "RESPONSE_GET_SPECIFIC_VN_INFO",
        "RESPONSE_VN_MAPPING",
        "RESPONSE_VN_UNMAPPING",
        "RESPONSE_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST",
        "RESPONSE_VN_CONNECT",
        "RESPONSE_VN_DISCONNECT",
        "RESPONSE_GET_ALL_VN_INFO_CONNECTED_BY_HOST",
        "RESPONSE_UPDATE_SPECIFIC_VN_DETAIL_INFO",
        "RESPONSE_GET_VN_PASSWORD",
        "RESPONSE_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD",
    };
    if (code == EVENT_VN_DISCONNECT) return "EVENT_VN_DISCONNECT";
    if (code >= 1 && code <= 16) return kCommands[code];
    if ((code & MNG_RESPONSE_BIT) && (code & 0x7FFF) >= 1 && (code & 0x7FFF) <= 16) return kResponses[code & 0x7FFF];
    return "UNKNOW";
}

const char* MngStatusText(uint16_t status) {
    switch (status) {
        case 0: return "Success.";
        case 1: return "Parameter invalid.";
        case 16: return "NIC not found.";
        case 17: return "NIC refresh fail.";
        case 18: return "NIC transmit data fail.";
        case 32: return "VN not found.";
        case 33: return "Start keep alive service fail.";
        case 34: return "Start Control Unit service fail.";
        case 35: return "Start KAMOR I/O service fail.";
        case 48: return "VN mapping already.";
        case 49: return "VN not mapping.";
        case 50: return "No available IO for mapping.";
        case 51: return "Create TTY device node fail.";
        case 52: return "Delete TTY device node fail.";
        case 53: return "Alloc TTY minor number fail.";
        case 64: return "Connected already.";
        case 65: return "Connect timeout.";
        case 66: return "Is busy.";
        case 67: return "Un-support verion for connection.";
        case 68: return "Connect fail.";
        case 69: return "Password is incorrect.";
        case 70: return "Disconnected already.";
        case 71: return "Disconnect timeout.";
        case 72: return "Is busy.";
        case 73: return "Un-support verion for disconnection.";
        case 74: return "Disconnect fail.";
        case 75: return "Password is incorrect.";
        default: return "Unknow error code.";
    }
}
