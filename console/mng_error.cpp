#include "mng_error.h"

const char* MngErrorString(unsigned int status) {
    switch (status) {
        case 0:
            return "Success.";
        case 1:
            return "Parameter invalid.";
        case 16:
            return "NIC not found.";
        case 17:
            return "NIC refresh fail.";
        case 18:
            return "NIC transmit data fail.";
        case 32:
            return "VN not found.";
        case 33:
            return "Start keep alive service fail.";
        case 34:
            return "Start Control Unit service fail.";
        case 35:
            return "Start KAMOR I/O service fail.";
        case 48:
            return "VN mapping already.";
        case 49:
            return "VN not mapping.";
        case 50:
            return "No available IO for mapping.";
        case 51:
            return "Create TTY device node fail.";
        case 52:
            return "Delete TTY device node fail.";
        case 53:
            return "Alloc TTY minor number fail.";
        case 64:
            return "Connected already.";
        case 65:
            return "Connect timeout.";
        case 66:
            return "Is busy.";
        case 67:
            return "Un-support verion for connection.";
        case 68:
            return "Connect fail.";
        case 69:
            return "Password is incorrect.";
        case 70:
            return "Disconnected already.";
        case 71:
            return "Disconnect timeout.";
        case 72:
            return "Is busy.";
        case 73:
            return "Un-support verion for disconnection.";
        case 74:
            return "Disconnect fail.";
        case 75:
            return "Password is incorrect.";
        default:
            return "Unknow error code.";
    }
}
