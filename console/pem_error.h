// The console's own error codes (start-up and request failures) and their texts.
#pragma once

enum : int {
    PEM_ERROR_SUCCESS = 0,
    PEM_ERROR_ALLOC_MEMORY = 1,
    PEM_ERROR_CREATE_THREAD = 2,
    PEM_ERROR_CONNECT_SERVICE = 3,
    PEM_ERROR_SOCKET_TX = 4,
    PEM_ERROR_SOCKET_RX = 5,
    PEM_ERROR_SOCKET_RX_TIMEOUT = 6,
    PEM_ERROR_SERVICE_VERSION = 7,
};

// Text shown to the operator for a console error code; "Unknow error code." for others.
const char* PemErrorString(int code);
