#include "vn_configuration.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "ctu_codes.h"
#include "pem_console.h"
#include "qor_wire.h"

using namespace qor::ctu;

_CTU_CLIENT::~_CTU_CLIENT() {
    if (Sock >= 0) close(Sock);
}

namespace {

// Requests go out of one buffer of this size: header and payload.
constexpr size_t kCtuBuffSize = 1024;
constexpr int kCtuRxTimeoutSec = 2;
// A firmware update answers once the whole image is in the unit, and each programming step
// may take as long.
constexpr int kCtuFirmwareTimeoutSec = 82;
// Empty receive calls allowed while the rest of a packet is awaited.
constexpr int kCtuRxTryCount = 129;
// Packets that are not the awaited response (events, answers to earlier requests) skipped
// before the request is given up.
constexpr int kCtuForeignPacketMax = 64;
// The service refuses paths of 512 bytes or more.
constexpr size_t kFirmwarePathSize = 512;
constexpr size_t kConnectedRecordLength = 36;
constexpr size_t kConnectedRecordCtuPort = 28;

const char* const kStatusLine = "          CTU status : %s\n\n";
const char* const kBackToMainMenu =
    "d[#_#]b : VN will reboot and receive disconnect event in a while.\n          Back to main menu\n";

void _PrintCmd(void) {
    PemPrintf(">>----------------------------------<<\n");
    PemPrintf("    A : set mac address\n");
    PemPrintf("    B : set device name\n");
    PemPrintf("    C : set password\n");
    PemPrintf("    D : store UART setting to flash\n");
    PemPrintf("    E : store DIO setting to flash\n");
    PemPrintf("    F : update firmware\n");
    PemPrintf("\n");
    PemPrintf("    Q : quit\n");
    PemPrintf(">>----------------------------------<<\n\n");
}

// Looks the unit up among those this host connected; 1 with its CTU port. Every failure but
// "not in the list" is printed and sets *pReported.
int _CheckVnConnectedByHost(PMNG_CLIENT pClient, const uint8_t* pMac, int* pPort, int* pReported) {
    *pReported = 0;
    const int err = MngClientGetAllVnInfoConnectedByHost(pClient);
    _MNG_RESPONSE r{};
    // A request error is shown with the console's own text: the management status table has
    // no entry for the console's time-out and send codes.
    if (!MngClientCheckResponse(pClient, err, CMD_GET_ALL_VN_INFO_CONNECTED_BY_HOST, &r)) {
        *pReported = 1;
        return 0;
    }
    if (r.PayloadLength < kConnectedRecordLength) {
        PemPrintf("\nd[#_#]b : Please Connect to VN.\n");
        *pReported = 1;
        return 0;
    }
    for (size_t pos = 0; r.PayloadLength - pos >= kConnectedRecordLength; pos += kConnectedRecordLength) {
        const uint8_t* u = r.Payload + pos;
        if (memcmp(u, pMac, 6) == 0) {
            const uint32_t port = qor::GetBe32(u + kConnectedRecordCtuPort);
            *pPort = port <= 0xFFFF ? static_cast<int>(port) : 0;
            return 1;
        }
    }
    return 0;
}

void _CtuDisconnect(PCTU_CLIENT pCtu) {
    if (pCtu->Sock >= 0) close(pCtu->Sock);
    pCtu->Sock = -1;
}

bool _SetRxTimeout(PCTU_CLIENT pCtu, int Seconds) {
    const timeval tv{Seconds, 0};
    return setsockopt(pCtu->Sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv)) == 0;
}

int _CtuConnect(PCTU_CLIENT pCtu, int Port) {
    _CtuDisconnect(pCtu);
    if (Port <= 0) return 0;
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return 0;
    pCtu->Sock = sock;
    const int on = 1;
    if (!_SetRxTimeout(pCtu, kCtuRxTimeoutSec) ||
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        _CtuDisconnect(pCtu);
        return 0;
    }
    memset(&pCtu->ServerAddr, 0, sizeof(pCtu->ServerAddr));
    pCtu->ServerAddr.sin_family = AF_INET;
    pCtu->ServerAddr.sin_port = htons(static_cast<uint16_t>(Port));
    pCtu->ServerAddr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc;
    do {
        rc = connect(sock, reinterpret_cast<const sockaddr*>(&pCtu->ServerAddr), sizeof(pCtu->ServerAddr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        _CtuDisconnect(pCtu);
        return 0;
    }
    return 1;
}

// Drops whatever already waits on the socket (an answer that came after its request gave up),
// so that it is never taken for the next request's.
void _CtuDrain(PCTU_CLIENT pCtu) {
    uint8_t scratch[kCtuBuffSize];
    while (recv(pCtu->Sock, scratch, sizeof(scratch), MSG_DONTWAIT) > 0) {
    }
}

// Receives one packet and returns its code and status; its payload is read and dropped (no
// answer of this menu carries one we use). false when it did not arrive whole (printed).
bool _CtuReceive(PCTU_CLIENT pCtu, uint16_t* pCode, uint16_t* pStatus) {
    uint8_t head[kHeaderLength];
    const ssize_t n = recv(pCtu->Sock, head, sizeof(head), MSG_WAITALL);
    if (n != static_cast<ssize_t>(sizeof(head))) {
        PemPrintf("\nd[#_#]b : CTU rx fail (code:%d).\n\n", static_cast<int>(n));
        return false;
    }
    *pCode = qor::GetLe16(head + 4);
    *pStatus = qor::GetLe16(head + 6);
    uint32_t left = qor::GetLe32(head + 8);
    uint8_t scratch[kCtuBuffSize];
    for (int empty = 0; left > 0 && empty < kCtuRxTryCount;) {
        const size_t want = left < sizeof(scratch) ? left : sizeof(scratch);
        const ssize_t got = recv(pCtu->Sock, scratch, want, 0);
        if (got > 0) {
            left -= static_cast<uint32_t>(got);
        } else if (got == 0) {
            break;  // the service closed the connection: nothing more will come
        } else {
            ++empty;
        }
    }
    if (left > 0) {
        PemPrintf("\nd[#_#]b : CTU rx fail.\n");
        return false;
    }
    return true;
}

// Sends one command and waits for its response (code 0x8000 | Cmd); events and other answers
// that arrive first are skipped. true with the response's status; failures are printed.
bool _CtuRequest(PCTU_CLIENT pCtu, uint16_t Cmd, const uint8_t* pPayload, size_t Length, uint16_t* pStatus) {
    uint8_t buff[kCtuBuffSize];
    if (Length > sizeof(buff) - kHeaderLength) return false;
    buff[0] = kVersion;
    buff[1] = buff[2] = buff[3] = 0;
    qor::PutLe16(buff + 4, Cmd);
    qor::PutLe16(buff + 6, 0);
    qor::PutLe32(buff + 8, static_cast<uint32_t>(Length));
    if (Length > 0) memcpy(buff + kHeaderLength, pPayload, Length);
    _CtuDrain(pCtu);
    const size_t total = kHeaderLength + Length;
    const ssize_t sent = send(pCtu->Sock, buff, total, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(total)) {
        PemPrintf("\nd[#_#]b : CTU tx fail (code:%d).\n\n", static_cast<int>(sent));
        return false;
    }
    for (int i = 0; i < kCtuForeignPacketMax; ++i) {
        uint16_t code = 0;
        if (!_CtuReceive(pCtu, &code, pStatus)) return false;
        if (code == (kResponseBit | Cmd)) return true;
    }
    PemPrintf("\nd[#_#]b : CTU rx fail.\n");
    return false;
}

// One command with the common result lines; true when the unit answered success.
bool _CtuCommand(PCTU_CLIENT pCtu, uint16_t Cmd, const uint8_t* pPayload, size_t Length, const char* pOkLine,
                 const char* pFailLine) {
    uint16_t status = 0;
    if (!_CtuRequest(pCtu, Cmd, pPayload, Length, &status)) return false;
    if (status != 0) {
        PemPrintf("\n%s\n", pFailLine);
        PemPrintf(kStatusLine, StatusName(status));
        return false;
    }
    PemPrintf("\n%s", pOkLine);
    return true;
}

// Each entry returns 1 when the menu must end (the unit reboots).
int _SetMacAddress(PCTU_CLIENT pCtu) {
    uint8_t mac[6];
    if (!InputMacAddress(mac)) {
        PemPrintf("\nd[#_#]b : VN mac data invalid.\n");
        return 0;
    }
    if (!_CtuCommand(pCtu, CMD_SET_MAC_ADDRESS, mac, sizeof(mac), "d[#_#]b : Set VN mac address ok.\n",
                     "d[#_#]b : Set VN mac address fail."))
        return 0;
    PemPrintf("%s", kBackToMainMenu);
    return 1;
}

int _SetDeviceName(PCTU_CLIENT pCtu) {
    char name[65];
    const int n = InputDeviceName(name);
    if (n <= 0) {
        PemPrintf("\nd[#_#]b : VN device name data invalid.\n");
        return 0;
    }
    _CtuCommand(pCtu, CMD_SET_DEVICE_NAME, reinterpret_cast<const uint8_t*>(name), static_cast<size_t>(n),
                "d[#_#]b : Set VN device name ok.\n", "d[#_#]b : Set VN device name fail.");
    return 0;
}

int _SetPassword(PCTU_CLIENT pCtu) {
    const int setting = InputPasswordSetting();
    if (setting < 0) {
        PemPrintf("\nd[#_#]b : Password setting invalid.\n");
        return 0;
    }
    uint8_t payload[33];
    payload[0] = static_cast<uint8_t>(setting);
    int length = 0;
    if (setting == 1 && !InputPasswordData(payload + 1, &length)) {
        PemPrintf("\nd[#_#]b : Password data invalid.\n");
        return 0;
    }
    _CtuCommand(pCtu, CMD_SET_PASSWORD, payload, 1 + static_cast<size_t>(length),
                "d[#_#]b : Set VN password ok.\n", "d[#_#]b : Set VN password fail.");
    return 0;
}

int _StoreUartSettingToFlash(PCTU_CLIENT pCtu) {
    _CtuCommand(pCtu, CMD_STORE_UART_SETTING_TO_FLASH, nullptr, 0,
                "d[#_#]b : Store VN UART setting to flash ok.\n",
                "d[#_#]b : Store VN UART setting to flash fail.");
    return 0;
}

int _StoreDioSettingToFlash(PCTU_CLIENT pCtu) {
    _CtuCommand(pCtu, CMD_STORE_DIO_SETTING_TO_FLASH, nullptr, 0,
                "d[#_#]b : Store VN DIO setting to flash ok.\n",
                "d[#_#]b : Store VN DIO setting to flash fail.");
    return 0;
}

// The service opens the file from its own working directory ("/"): a relative path is made
// absolute here, against the console's, when it fits.
size_t _AbsolutePath(char* pPath, size_t Length) {
    char cwd[kFirmwarePathSize];
    if (pPath[0] == '/' || getcwd(cwd, sizeof(cwd)) == nullptr) return Length;
    const size_t cwdLength = strlen(cwd);
    if (cwdLength + 1 + Length >= kFirmwarePathSize) return Length;
    memmove(pPath + cwdLength + 1, pPath, Length + 1);
    memcpy(pPath, cwd, cwdLength);
    pPath[cwdLength] = '/';
    return cwdLength + 1 + Length;
}

// The download answer, then the unit's programming events; 1 once programming finished.
int _Download(PCTU_CLIENT pCtu, const char* pPath, size_t Length) {
    PemPrintf("\nd[#_#]b : Downloading ...");
    uint16_t status = 0;
    if (!_CtuRequest(pCtu, CMD_SET_FIRMWARE_FILE_AND_UPDATE, reinterpret_cast<const uint8_t*>(pPath), Length,
                     &status))
        return 0;
    if (status != kStatusFirmwareDownloadOk) {
        PemPrintf("\n\nd[#_#]b : Set firmware file and update fail.\n");
        PemPrintf(kStatusLine, StatusName(status));
        return 0;
    }
    PemPrintf("\nd[#_#]b : Download ok.\n");
    int progress = 0;
    for (;;) {
        uint16_t code = 0;
        if (!_CtuReceive(pCtu, &code, &status)) return 0;
        switch (code) {
            case EVENT_PROGRAMMING_OK:
                progress += 10;
                if (progress <= 90) PemPrintf("d[#_#]b : Programming %d%% ok.\n", progress);
                break;
            case EVENT_PROGRAMMING_FAIL:
                PemPrintf("d[#_#]b : Programming %d%% fail.\n\n", progress + 10);
                return 0;
            case EVENT_PROGRAMMING_FINISH:
                PemPrintf("d[#_#]b : Programming finish.\n");
                PemPrintf("%s", kBackToMainMenu);
                return 1;
            default:
                break;
        }
    }
}

int _UpdateFirmware(PCTU_CLIENT pCtu) {
    char path[kFirmwarePathSize];
    const int n = InputFirmwareFile(path, sizeof(path));
    if (n <= 0) {
        PemPrintf("\nd[#_#]b : Firmware file path invalid.\n");
        return 0;
    }
    const size_t length = _AbsolutePath(path, static_cast<size_t>(n));
    if (!_SetRxTimeout(pCtu, kCtuFirmwareTimeoutSec)) {
        PemPrintf("\nd[#_#]b : Set socket receive timeout fail.\n");
        return 0;
    }
    const int finished = _Download(pCtu, path, length);
    _SetRxTimeout(pCtu, kCtuRxTimeoutSec);
    return finished;
}

}  // namespace

void VnConfiguration(PMNG_CLIENT pClient) {
    uint8_t mac[6];
    if (!InputMacAddress(mac)) {
        PemPrintf("\nd[#_#]b : VN mac data invalid.\n");
        return;
    }
    int port = 0;
    int reported = 0;
    if (!_CheckVnConnectedByHost(pClient, mac, &port, &reported)) {
        if (!reported) PemPrintf("\nd[#_#]b : Please Connect to VN.\n");
        return;
    }
    _CTU_CLIENT ctu;
    if (!_CtuConnect(&ctu, port)) {
        PemPrintf("\nd[#_#]b : Connect VN CTU service fail.\n");
        return;
    }
    PemClearScreen();
    _PrintCmd();
    for (int done = 0; !done;) {
        PemPrintf("d[#_#]b >> CMD ? ");
        const int key = PemKeyRead();
        PemPrintf("\n");
        if (key < 0) break;
        switch (key) {
            case 'A':
            case 'a':
                done = _SetMacAddress(&ctu);
                break;
            case 'B':
            case 'b':
                done = _SetDeviceName(&ctu);
                break;
            case 'C':
            case 'c':
                done = _SetPassword(&ctu);
                break;
            case 'D':
            case 'd':
                done = _StoreUartSettingToFlash(&ctu);
                break;
            case 'E':
            case 'e':
                done = _StoreDioSettingToFlash(&ctu);
                break;
            case 'F':
            case 'f':
                done = _UpdateFirmware(&ctu);
                break;
            case '?':
                _PrintCmd();
                break;
            case 'Q':
            case 'q':
                done = 1;
                break;
            default:
                PemPrintf("\n");
                break;
        }
        if (PemInputEnded()) break;
    }
    _CtuDisconnect(&ctu);
}
