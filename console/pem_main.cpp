#include "pem_main.h"

#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "mng_connect.h"
#include "mng_rx.h"
#include "pem_console.h"
#include "pem_error.h"
#include "qor_wire.h"
#include "vn_configuration.h"
#include "vn_get_detail_info.h"

_MNG_CLIENT MngClient;

namespace {

constexpr const char* kProgramVersion = "1.0.8.0";
constexpr const char* kDashes = "-----------------------------------------";

void _Line(char c, size_t Width) {
    char line[128];
    if (Width > sizeof(line) - 1) Width = sizeof(line) - 1;
    memset(line, c, Width);
    line[Width] = '\0';
    PemPrintf("%s\n", line);
}

// A table header between two dashed lines of its own width.
void _TableHeader(const char* pHeader) {
    _Line('-', strlen(pHeader));
    PemPrintf("%s\n", pHeader);
    _Line('-', strlen(pHeader));
}

void _Waitting(void) {
    PemPrintf("\nd[#_#]b : Waitting ...");
}
void _VnMacInvalid(void) {
    PemPrintf("\nd[#_#]b : VN mac data invalid.\n");
}
void _ExtraLengthInvalid(void) {
    PemPrintf("\nd[#_#]b : Extra data length invalid.\n");
}

// The unit's MAC typed by the operator; false (the refusal printed) when it is not one.
bool _InputVnMac(uint8_t* pMac) {
    if (InputMacAddress(pMac)) return true;
    _VnMacInvalid();
    return false;
}

// Sends one command that carries a unit MAC and checks its answer.
bool _MacCommand(PMNG_CLIENT c, int (*send)(PMNG_CLIENT, const uint8_t*), uint16_t Cmd, const uint8_t* pMac,
                 _MNG_RESPONSE* pResponse) {
    _Waitting();
    return MngClientCheckResponse(c, send(c, pMac), Cmd, pResponse) != 0;
}

// A mapping answer carries at least the unit MAC; false (reported) otherwise.
bool _MappingAnswerValid(const _MNG_RESPONSE& r) {
    if (r.PayloadLength >= 6) return true;
    PemPrintf("\nd[#_#]b : Extra data length invalid, Length:%d\n\n", static_cast<int>(r.PayloadLength));
    return false;
}

// An answer that echoes the unit MAC: prints pOkText, or reports the length.
bool _MacEchoOk(const _MNG_RESPONSE& r, const char* pOkText) {
    if (r.PayloadLength != 6) {
        _ExtraLengthInvalid();
        return false;
    }
    PemPrintf("%s", pOkText);
    return true;
}

// MAC, password-request byte and, for byte 1, the password. 0 when the operator's input was
// refused (the message is printed) or ended.
int _InputConnect(uint8_t* pMac, uint8_t* pFlag, uint8_t* pPwd, int* pPwdLength) {
    if (!_InputVnMac(pMac)) return 0;
    const int flag = InputPasswordRequest();
    if (flag < 0) return 0;
    *pFlag = static_cast<uint8_t>(flag);
    *pPwdLength = 0;
    if (flag == 1 && !InputPasswordData(pPwd, pPwdLength)) {
        PemPrintf("\nd[#_#]b : Password data invalid.\n");
        return 0;
    }
    return 1;
}

void _ServiceInfo(PMNG_CLIENT c) {
    const int err = MngClientGetServiceInfo(c);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, CMD_GET_SERVICE_INFO, &r)) return;
    if (r.PayloadLength == 0) {
        PemPrintf("\nd[#_#]b : No data return.\n");
        return;
    }
    PemPrintServiceInfo(r.Payload, r.PayloadLength);
}

void _NicList(PMNG_CLIENT c, bool Refresh) {
    const uint16_t cmd = Refresh ? CMD_REFRESH_NIC : CMD_GET_ALL_NIC_INFO;
    const int err = Refresh ? MngClientRefreshNic(c) : MngClientGetAllNicInfo(c);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, cmd, &r)) return;
    if (r.PayloadLength < 8) {
        PemPrintf("\nd[#_#]b : No NIC found.\n");
        return;
    }
    PemClearScreen();
    PemPrintNicList(r.Payload, r.PayloadLength);
}

void _Search(PMNG_CLIENT c, bool SpecificNic) {
    uint8_t nic[6];
    if (SpecificNic && !InputMacAddress(nic)) {
        PemPrintf("\nd[#_#]b : NIC mac data invalid.\n");
        return;
    }
    _Waitting();
    const uint16_t cmd = SpecificNic ? CMD_SEARCY_BY_SPECIFIC_NIC : CMD_SEARCY_BY_ALL_NIC;
    const int err = SpecificNic ? MngClientSearchVnBySpecificNic(c, nic) : MngClientSearchVnByAllNic(c);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, cmd, &r)) return;
    if (r.PayloadLength < 28) {
        PemPrintf("\nd[#_#]b : No VN found.\n");
        return;
    }
    PemClearScreen();
    PemPrintVnList(r.Payload, r.PayloadLength, false);
}

void _Mapping(PMNG_CLIENT c) {
    uint8_t mac[6];
    _MNG_RESPONSE r{};
    if (!_InputVnMac(mac) || !_MacCommand(c, MngClientVnMapping, CMD_VN_MAPPING, mac, &r) || !_MappingAnswerValid(r))
        return;
    PemClearScreen();
    PemPrintMappingInfo(r.Payload, r.PayloadLength);
}

void _UnMapping(PMNG_CLIENT c) {
    uint8_t mac[6];
    _MNG_RESPONSE r{};
    if (_InputVnMac(mac) && _MacCommand(c, MngClientVnUnMapping, CMD_VN_UNMAPPING, mac, &r))
        _MacEchoOk(r, "\nd[#_#]b : UnMapping ok.\n");
}

void _AllMapping(PMNG_CLIENT c) {
    const int err = MngClientGetAllMappingInfoMappedByHost(c);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, CMD_GET_ALL_MAPPING_INFO_MAPPED_BY_HOST, &r)) return;
    if (r.PayloadLength < 6) {
        PemPrintf("\nd[#_#]b : No mapping info found.\n");
        return;
    }
    PemClearScreen();
    PemPrintMappingInfo(r.Payload, r.PayloadLength);
}

void _Connect(PMNG_CLIENT c) {
    uint8_t mac[6];
    uint8_t flag = 0;
    uint8_t pwd[32];
    int pwdLength = 0;
    if (!_InputConnect(mac, &flag, pwd, &pwdLength)) return;
    _Waitting();
    const int err = MngClientVnConnect(c, mac, flag, pwd, pwdLength);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, CMD_VN_CONNECT, &r)) return;
    if (r.PayloadLength == 14) {
        PemPrintf("\nd[#_#]b : Connect ok (CTU tcp port:%d, SIO tcp port:%d).\n\n",
                  static_cast<int>(qor::GetBe32(r.Payload + 6)),
                  static_cast<int>(qor::GetBe32(r.Payload + 10)));
    } else if (r.PayloadLength == 6) {
        PemPrintf("\nd[#_#]b : Connect ok.\n");
    } else {
        _ExtraLengthInvalid();
    }
}

void _Disconnect(PMNG_CLIENT c) {
    uint8_t mac[6];
    _MNG_RESPONSE r{};
    if (_InputVnMac(mac) && _MacCommand(c, MngClientVnDisconnect, CMD_VN_DISCONNECT, mac, &r))
        _MacEchoOk(r, "\nd[#_#]b : Disconnect ok.\n");
}

void _ConnectedUnits(PMNG_CLIENT c) {
    const int err = MngClientGetAllVnInfoConnectedByHost(c);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST, &r)) return;
    if (r.PayloadLength < 36) {
        PemPrintf("\nd[#_#]b : No VN found.\n");
        return;
    }
    PemClearScreen();
    PemPrintVnList(r.Payload, r.PayloadLength, true);
}

void _ClearRecords(PMNG_CLIENT c) {
    const int err = MngClientClearAllVnMappingAndConnectRecord(c);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, CMD_CLEAR_ALL_VN_MAPPING_CONNECT_RECORD, &r)) return;
    PemPrintf("\nd[#_#]b : Clear all VN mapping and connect record ok.\n");
}

void _DebugConfiguration(PMNG_CLIENT c) {
    int (*const kInputs[7])(void) = {InputDebugPrintfEnable,     InputDebugLogEnable, InputDebugVnEnable,
                                     InputDebugManagementEnable, InputDebugCtuEnable, InputDebugSioEnable,
                                     InputDebugNlkEnable};
    int value[7];
    for (int i = 0; i < 7; ++i) {
        value[i] = kInputs[i]();
        if (value[i] < 0) return;
    }
    const int err = MngClientSetDebugConfiguration(c, value[0], value[1], value[2], value[3], value[4],
                                                   value[5], value[6]);
    _MNG_RESPONSE r{};
    if (!MngClientCheckResponse(c, err, CMD_SET_DEBUG_CONFIG, &r)) return;
    PemPrintf("\nd[#_#]b : Set debug configuration ok.\n");
}

void _MappingAndConnect(PMNG_CLIENT c) {
    uint8_t mac[6];
    uint8_t flag = 0;
    uint8_t pwd[32];
    int pwdLength = 0;
    if (!_InputConnect(mac, &flag, pwd, &pwdLength)) return;
    _MNG_RESPONSE r{};
    if (!_MacCommand(c, MngClientVnMapping, CMD_VN_MAPPING, mac, &r) || !_MappingAnswerValid(r)) return;
    PemPrintf("\nd[#_#]b : Mapping ok.");
    _Waitting();
    const int err = MngClientVnConnect(c, mac, flag, pwd, pwdLength);
    if (!MngClientCheckResponse(c, err, CMD_VN_CONNECT, &r)) return;
    if (r.PayloadLength == 14 || r.PayloadLength == 6) {
        PemPrintf("\nd[#_#]b : Connect ok.\n");
    } else {
        _ExtraLengthInvalid();
    }
}

void _DisconnectAndUnMapping(PMNG_CLIENT c) {
    uint8_t mac[6];
    _MNG_RESPONSE r{};
    if (!_InputVnMac(mac) || !_MacCommand(c, MngClientVnDisconnect, CMD_VN_DISCONNECT, mac, &r) ||
        !_MacEchoOk(r, "\nd[#_#]b : Disconnect ok."))
        return;
    if (_MacCommand(c, MngClientVnUnMapping, CMD_VN_UNMAPPING, mac, &r)) _MacEchoOk(r, "\nd[#_#]b : Un-mapping ok.\n");
}

void _Stop(PMNG_CLIENT c) {
    MngRxThreadDelete(c);
    MngDisconnect(c);
    MngClientFree(c);
}

}  // namespace

void PemPrintMenu(void) {
    PemPrintf(">------------------------------------<\n");
    PemPrintf("    A : get service & driver info\n");
    PemPrintf("    B : get all NIC info\n");
    PemPrintf("    C : refresh NIC\n");
    PemPrintf("    D : search VN by all NIC\n");
    PemPrintf("    E : search VN by specific NIC\n");
    PemPrintf("    F : get specific VN detail info\n");
    PemPrintf("    G : VN TTY mapping\n");
    PemPrintf("    H : VN TTY un-mapping\n");
    PemPrintf("    I : get all TTY mapping info mapped by this host\n");
    PemPrintf("    J : VN connect\n");
    PemPrintf("    K : VN disconnect\n");
    PemPrintf("    L : get all VN info connected by this host\n");
    PemPrintf("    M : clear all VN mapping and connect record\n");
    PemPrintf("    N : VN configuration\n");
    PemPrintf("    Q : quit\n");
    PemPrintf(">------------------------------------<\n");
}

void PemPrintServiceInfo(const uint8_t* p, size_t Length) {
    // Two length-prefixed strings and the driver-started byte, each checked against Length.
    char service[256];
    char driver[256];
    if (Length == 0) return;
    size_t pos = 0;
    const size_t serviceLength = p[pos++];
    if (serviceLength > Length - pos) {
        PemPrintf("\nd[#_#]b : %s\n\n", PemErrorString(PEM_ERROR_SERVICE_VERSION));
        return;
    }
    PemSafeText(p + pos, serviceLength, service, sizeof(service));
    pos += serviceLength;
    size_t driverLength = 0;
    if (pos < Length) driverLength = p[pos++];
    if (driverLength > Length - pos) driverLength = Length - pos;
    PemSafeText(p + pos, driverLength, driver, sizeof(driver));
    pos += driverLength;
    const bool started = pos < Length && p[pos] == 1;
    PemClearScreen();
    PemPrintf("%s\n", kDashes);
    PemPrintf(" Program Version     : %s\n", kProgramVersion);
    PemPrintf(" Service Version     : %s\n", service);
    PemPrintf(" TTY Driver Version  : %s\n", driver);
    PemPrintf(" TTY Driver Startup  : %s\n", started ? "YES" : "NO");
    PemPrintf("%s\n", kDashes);
}

void PemPrintNicList(const uint8_t* p, size_t Length) {
    _TableHeader(" Index |         Mac         |  Name");
    size_t pos = 0;
    while (Length - pos >= 8) {
        const uint8_t index = p[pos];
        char mac[18];
        PemMacText(p + pos + 1, mac);
        const size_t nameLength = p[pos + 7];
        pos += 8;
        const size_t have = nameLength < Length - pos ? nameLength : Length - pos;
        char name[256];
        PemSafeText(p + pos, have, name, sizeof(name));
        PemPrintf("   %02d   ", index);
        PemPrintf("  %s   ", mac);
        PemPrintf("  %s\n", name);
        pos += have;
    }
}

void PemPrintVnList(const uint8_t* p, size_t Length, bool WithPorts) {
    const size_t recordLength = WithPorts ? 36 : 28;
    _TableHeader(WithPorts ? "        Mac         | CTU tp | SIO tp |Mapping| Minor V | Chls | Model Name"
                           : "        Mac         |  Link Status  | Mapping | Minor V | Chls | Model Name");
    for (size_t pos = 0; Length - pos >= recordLength; pos += recordLength) {
        const uint8_t* u = p + pos;
        char mac[18];
        char model[11];
        PemMacText(u, mac);
        PemSafeText(u + 6, 10, model, sizeof(model));
        const bool mapped = u[24] == 1;
        PemPrintf(" %s   ", mac);
        if (WithPorts) {
            const uint32_t ports[2] = {qor::GetBe32(u + 28), qor::GetBe32(u + 32)};
            for (uint32_t port : ports) {
                if (port == 0) {
                    PemPrintf(" NONE    ");
                } else {
                    PemPrintf(" %05u   ", port);
                }
            }
            PemPrintf("  %s   ", mapped ? "YES" : "NO ");
        } else {
            PemPrintf("   %s   ", u[17] == 1 ? "CONNECTED " : "DISCONNECT");
            PemPrintf("   %s    ", mapped ? "YES" : "NO ");
        }
        PemPrintf("   x%02x    ", u[27]);
        PemPrintf("  %02d   ", u[25]);
        PemPrintf("  %s\n", model);
    }
}

int PemPrintMappingInfo(const uint8_t* p, size_t Length) {
    int units = 0;
    size_t pos = 0;
    while (Length - pos >= 6) {
        char mac[18];
        PemMacText(p + pos, mac);
        pos += 6;
        size_t count = 0;
        if (pos < Length) count = p[pos++];
        if (units > 0) PemPrintf("\n");
        PemPrintf("MAC : %s\n", mac);
        _Line('=', 30);
        PemPrintf(" Chl |  Mapping\n");
        for (size_t i = 0; i < count && Length - pos >= 2; ++i, pos += 2) {
            const uint8_t chl = p[pos];
            const uint8_t minor = p[pos + 1];
            if (minor == 0xFF) {
                PemPrintf(" %02d     NONE\n", chl);  // the channel has no TTY
            } else {
                PemPrintf(" %02d     ttyVN%d\n", chl, minor);
            }
        }
        ++units;
    }
    return units;
}

int PemMenuDispatch(PMNG_CLIENT c, int Key) {
    switch (Key) {
        case 'A':
        case 'a':
            _ServiceInfo(c);
            break;
        case 'B':
        case 'b':
            _NicList(c, false);
            break;
        case 'C':
        case 'c':
            _NicList(c, true);
            break;
        case 'D':
        case 'd':
            _Search(c, false);
            break;
        case 'E':
        case 'e':
            _Search(c, true);
            break;
        case 'F':
        case 'f':
            VnGetDetailInfo(c);
            break;
        case 'G':
        case 'g':
            _Mapping(c);
            break;
        case 'H':
        case 'h':
            _UnMapping(c);
            break;
        case 'I':
        case 'i':
            _AllMapping(c);
            break;
        case 'J':
        case 'j':
            _Connect(c);
            break;
        case 'K':
        case 'k':
            _Disconnect(c);
            break;
        case 'L':
        case 'l':
            _ConnectedUnits(c);
            break;
        case 'M':
        case 'm':
            _ClearRecords(c);
            break;
        case 'N':
        case 'n':
            VnConfiguration(c);
            break;
        case '?':
            PemPrintMenu();
            break;
        case ',':
            _DebugConfiguration(c);
            break;
        case '.':
            _MappingAndConnect(c);
            break;
        case 0x1F:
            _DisconnectAndUnMapping(c);
            break;
        case 'Q':
        case 'q':
            return 0;
        default:
            PemPrintf("\n");
            break;
    }
    return 1;
}

int PemMain(void) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    // Writing to a closed terminal or pipe must end in an error, not a signal.
    signal(SIGPIPE, SIG_IGN);
    _MNG_CLIENT* c = &MngClient;
    int err = MngClientInit(c);
    if (err == PEM_ERROR_SUCCESS && !MngConnect(c, kMngTcpPort)) err = PEM_ERROR_CONNECT_SERVICE;
    if (err == PEM_ERROR_SUCCESS && !MngRxThreadCreate(c)) err = PEM_ERROR_CREATE_THREAD;
    if (err != PEM_ERROR_SUCCESS) {
        _Stop(c);
        PemClearScreen();
        PemPrintf("\nd[#_#]b : %s\n\n", PemErrorString(err));
        PemPrintf("d[#_#]b : Enter key to exit program.");
        PemKeyRead();
        PemPrintf("\n");
        return -1;
    }
    PemClearScreen();
    PemPrintMenu();
    for (;;) {
        PemPrintf("d[#_#]b > CMD ? ");
        const int key = PemKeyRead();
        PemPrintf("\n");
        if (key < 0 || !PemMenuDispatch(c, key) || PemInputEnded()) break;
    }
    _Stop(c);
    PemPrintf("d[#_#]b : Enter key to exit program.");
    PemKeyRead();
    PemPrintf("\n");
    return 0;
}
