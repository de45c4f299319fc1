"""Result codes of libqorio as Python exceptions.

The same number means different things in the management, configuration and channel calls (32
is "no answer data" for a management call and "not sent" for a channel call), so every call
names the table its codes come from and the exception carries the code with its name.
"""

ERR_MISSING_CALL = -1  # the loaded library does not export the call

_MNG = {
    1: "PARAMETER_INVALID", 7: "VN_ERR_REGISTRY_MUTEX", 32: "VN_NOT_FOUND", 64: "CONNECTED_ALREADY",
    65: "CONNECT_TIMEOUT", 69: "PASSWORD_INCORRECT", 76: "VN_ERR_NOT_CONNECTED_BY_HOST", 80: "VN_ERR_CTU_CLOSE",
    81: "VN_ERR_SERVICE_INFO", 82: "VN_ERR_VERSION", 83: "VN_ERR_ANSWER_CODE", 84: "VN_ERR_ANSWER_LENGTH",
    99: "VN_ERR_SEND", 101: "VN_ERR_TIMEOUT", 102: "VN_ERR_NO_MEMORY", 103: "VN_ERR_THREAD",
    104: "VN_ERR_NOT_CONNECTED",
}

_SIO = {
    1: "SIO_ERR_NO_MEMORY", 2: "INVALID_PAYLOAD_LENGTH", 3: "INVALID_VALUE", 4: "UNSUPPORTED_BY_VERSION",
    16: "NO_SUCH_CHANNEL", 17: "NO_SUCH_BANK", 19: "NO_SUCH_LINE", 32: "SIO_ERR_SEND",
    33: "UNIT_DID_NOT_ANSWER", 35: "NO_ANSWER", 50: "NO_CAPABILITY", 80: "SIO_ERR_NO_CONNECTION",
    81: "SIO_ERR_CONNECT", 85: "SIO_ERR_ALREADY_OPEN", 86: "MAI_ERR_CALIBRATION", 87: "MAI_ERR_INPUT_TYPE",
    98: "SIO_ERR_ARGUMENT", 99: "SIO_ERR_DATA_LENGTH", 101: "SIO_ERR_TIMEOUT", 103: "SIO_ERR_THREAD",
    112: "DIO_ERR_BANK_HAS_OUTPUTS", 113: "DIO_ERR_NO_OUTPUTS", 0xFFFFFFFF: "DIO_ERR_NOT_DIO",
}

TABLES = {"mng": _MNG, "sio": _SIO}


def code_name(code, table):
    if code == ERR_MISSING_CALL:
        return "MISSING_CALL"
    return TABLES[table].get(code, "STATUS_%d" % code)


class QorioError(Exception):
    """A libqorio call returned a non-zero result: `code`, its `name` and the C `call`."""

    def __init__(self, code, call, table="sio"):
        self.code = code
        self.name = code_name(code, table)
        self.call = call
        super().__init__("%s returned %d (%s)" % (call, code, self.name))


def check(code, call, table="sio"):
    if code != 0:
        raise QorioError(code, call, table)
