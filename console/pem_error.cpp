#include "pem_error.h"

const char* PemErrorString(int code) {
    switch (code) {
        case PEM_ERROR_SUCCESS:
            return "Success.";
        case PEM_ERROR_ALLOC_MEMORY:
            return "Alloc memory fail.";
        case PEM_ERROR_CREATE_THREAD:
            return "Create thread fail.";
        case PEM_ERROR_CONNECT_SERVICE:
            return "Connect to service fail.";
        case PEM_ERROR_SOCKET_TX:
            return "Socket transmit data fail.";
        case PEM_ERROR_SOCKET_RX:
            return "Socket receive data fail.";
        case PEM_ERROR_SOCKET_RX_TIMEOUT:
            return "Socket receive data timeout.";
        case PEM_ERROR_SERVICE_VERSION:
            return "Get service version string fail.";
        default:
            return "Unknow error code.";
    }
}
