#include "ctu_protocol.h"

#include "qor_wire.h"

void CtuHeaderEncode(const _CTU_HEADER& Hdr, uint8_t* pOut) {
    pOut[0] = Hdr.Version;
    pOut[1] = pOut[2] = pOut[3] = 0;
    qor::PutLe16(pOut + 4, Hdr.CmdResponseEventData);
    qor::PutLe16(pOut + 6, Hdr.ResponseStatus);
    qor::PutLe32(pOut + 8, Hdr.Length);
}

_CTU_HEADER CtuHeaderDecode(const uint8_t* pIn) {
    return {pIn[0], qor::GetLe16(pIn + 4), qor::GetLe16(pIn + 6), qor::GetLe32(pIn + 8)};
}

const char* CtuCodeName(uint16_t Code) {
    static const char* const kCommands[] = {
        "CMD_GET_MAC_ADDRESS",
        "CMD_SET_MAC_ADDRESS",
        "CMD_GET_DEVICE_NAME",
        "CMD_SET_DEVICE_NAME",
        "CMD_GET_LINK_STATUS",
        "CMD_SET_LINK_STATUS",
        "CMD_SET_FIRMWARE_FILE_AND_UPDATE",
        "CMD_SET_MODEL_NAME",
        "CMD_SET_PASSWORD",
        "CMD_STORE_UART_SETTING_TO_FLASH",
        "CMD_STORE_DIO_SETTING_TO_FLASH",
        "CMD_GET_MFAI_T0_CALIBRATION",
        "CMD_GET_MFAI_T1_CALIBRATION",
    };
    static const char* const kResponses[] = {
        "RESPONSE_GET_MAC_ADDRESS",
        "RESPONSE_SET_MAC_ADDRESS",
        "RESPONSE_GET_DEVICE_NAME",
        "RESPONSE_SET_DEVICE_NAME",
        "RESPONSE_GET_LINK_STATUS",
        "RESPONSE_SET_LINK_STATUS",
        "RESPONSE_SET_FIRMWARE_FILE_AND_UPDATE",
        "RESPONSE_SET_MODEL_NAME",
        "RESPONSE_SET_PASSWORD",
        "RESPONSE_STORE_UART_SETTING_TO_FLASH",
        "RESPONSE_STORE_DIO_SETTING_TO_FLASH",
        "RESPONSE_GET_MFAI_T0_CALIBRATION",
        "RESPONSE_GET_MFAI_T1_CALIBRATION",
    };
    static const char* const kEvents[] = {"EVENT_PROGRAMMING_OK", "EVENT_PROGRAMMING_FAIL",
                                          "EVENT_PROGRAMMING_FINISH"};
    if (Code >= 1 && Code <= 13) return kCommands[Code - 1];
    if (Code >= (kCtuResponseBit | 1) && Code <= (kCtuResponseBit | 13))
        return kResponses[(Code & 0x7FFF) - 1];
    if (Code >= EVENT_PROGRAMMING_OK && Code <= EVENT_PROGRAMMING_FINISH)
        return kEvents[Code - EVENT_PROGRAMMING_OK];
    return "UNKNOW";
}
