#include "sio_protocol.h"

#include "qor_wire.h"

void SioHeaderEncode(const _SIO_HEADER& Hdr, uint8_t* pOut) {
    pOut[0] = Hdr.Version;
    pOut[1] = Hdr.Reserved;
    pOut[2] = Hdr.DeviceType;
    pOut[3] = Hdr.ChannelNumber;
    qor::PutLe16(pOut + 4, Hdr.CmdResponseEventData);
    qor::PutLe16(pOut + 6, Hdr.ResponseStatus);
    qor::PutLe32(pOut + 8, Hdr.Length);
}

_SIO_HEADER SioHeaderDecode(const uint8_t* pIn) {
    return {
        pIn[0], pIn[1], pIn[2], pIn[3], qor::GetLe16(pIn + 4), qor::GetLe16(pIn + 6), qor::GetLe32(pIn + 8)};
}

const char* SioSerCodeName(uint16_t Code) {
    static const char* const kCommands[] = {
        "SER_CMD_OPEN",
        "SER_CMD_CLOSE",
        "SER_CMD_SET_DLL_DLM",
        "SER_CMD_SET_LCR",
        "SER_CMD_SET_FIFO_CTRL",
        "SER_CMD_SET_MCR",
        "SER_CMD_SET_EVENT_CTRL",
        "SER_CMD_GET_MSR",
        "SER_CMD_GET_MODE_1",
        "SER_CMD_SET_MODE_1",
        "SER_CMD_GET_MODE_2",
        "SER_CMD_SET_MODE_2",
        "SER_CMD_GET_ON_CHIP_HARDWARE_FLOW_CTRL",
        "SER_CMD_SET_ON_CHIP_HARDWARE_FLOW_CTRL",
        "SER_CMD_GET_TX_CURRENT_CREDIT",
        "SER_CMD_GET_TX_FIFO_DATA_CNT",
        "SER_CMD_GET_TX_TRIGGER_LEVEL",
        "SER_CMD_SET_TX_TRIGGER_LEVEL",
        "SER_CMD_GET_RX_TRIGGER_LEVEL",
        "SER_CMD_SET_RX_TRIGGER_LEVEL",
    };
    static const char* const kResponses[] = {
        "SER_RESPONSE_OPEN",
        "SER_RESPONSE_CLOSE",
        "SER_RESPONSE_SET_DLL_DLM",
        "SER_RESPONSE_SET_LCR",
        "SER_RESPONSE_SET_FIFO_CTRL",
        "SER_RESPONSE_SET_MCR",
        "SER_RESPONSE_SET_EVENT_CTRL",
        "SER_RESPONSE_GET_MSR",
        "SER_RESPONSE_GET_MODE_1",
        "SER_RESPONSE_SET_MODE_1",
        "SER_RESPONSE_GET_MODE_2",
        "SER_RESPONSE_SET_MODE_2",
        "SER_RESPONSE_GET_ON_CHIP_HARDWARE_FLOW_CTRL",
        "SER_RESPONSE_SET_ON_CHIP_HARDWARE_FLOW_CTRL",
        "SER_RESPONSE_GET_TX_CURRENT_CREDIT",
        "SER_RESPONSE_GET_TX_FIFO_DATA_CNT",
        "SER_RESPONSE_GET_TX_TRIGGER_LEVEL",
        "SER_RESPONSE_SET_TX_TRIGGER_LEVEL",
        "SER_RESPONSE_GET_RX_TRIGGER_LEVEL",
        "SER_RESPONSE_SET_RX_TRIGGER_LEVEL",
    };
    if (Code >= SER_CMD_OPEN && Code <= SER_CMD_SET_RX_TRIGGER_LEVEL) return kCommands[Code - 1];
    if (Code >= (kSioResponseBit | SER_CMD_OPEN) && Code <= (kSioResponseBit | SER_CMD_SET_RX_TRIGGER_LEVEL))
        return kResponses[(Code & 0x7FFF) - 1];
    switch (Code) {
        case SER_EVENT_MSR:
            return "SER_EVENT_MSR";
        case SER_EVENT_LSR:
            return "SER_EVENT_LSR";
        case SER_EVENT_DATA_SERVICE_TO_LIBRARY:
            return "SER_EVENT_DATA_SERVICE_TO_LIBRARY";
        case SER_DATA_LIBRARY_TO_SERVICE:
            return "SER_DATA_LIBRARY_TO_SERVICE";
        case SER_DATA_SERVICE_TO_LIBRARY:
            return "SER_DATA_SERVICE_TO_LIBRARY";
        default:
            return "UNKNOW";
    }
}
