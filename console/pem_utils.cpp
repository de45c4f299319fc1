#include "pem_utils.h"  // PemGetche, from common/

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "pem_console.h"

FILE* PemOut = stdout;

static void _ClearScreenShell(void) {
    // The shell's result does not matter: a terminal without "clear" just keeps its text.
    if (system("clear") == -1) return;
}
void (*PemClearScreenFn)(void) = _ClearScreenShell;

void PemPrintf(const char* pFormat, ...) {
    va_list args;
    va_start(args, pFormat);
    vfprintf(PemOut, pFormat, args);
    va_end(args);
}

void PemClearScreen(void) {
    fflush(PemOut);
    PemClearScreenFn();
}

// A byte read while checking for the end of input, handed out by the next read.
static int PemPushback = -1;
static int PemEnded = 0;

int PemInputEnded(void) {
    return PemEnded;
}

void PemInputReset(void) {
    PemEnded = 0;
    PemPushback = -1;
}

// PemGetche answers 0 both for a typed NUL and for a failed read; only a look at the input
// tells them apart. A NUL typed on a terminal leaves nothing pending, an ended input reports
// hang-up or reads nothing.
static bool _InputHasEnded(void) {
    struct pollfd pfd {};
    pfd.fd = STDIN_FILENO;
    pfd.events = POLLIN;
    const int n = poll(&pfd, 1, 0);
    if (n < 0) return errno != EINTR;
    if (n == 0) return false;
    if (pfd.revents & (POLLERR | POLLNVAL)) return true;
    if (pfd.revents & POLLIN) {
        unsigned char byte = 0;
        const ssize_t r = read(STDIN_FILENO, &byte, 1);
        if (r == 1) {
            PemPushback = byte;
            return false;
        }
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) return false;
        return true;
    }
    return (pfd.revents & POLLHUP) != 0;
}

int PemKeyRead(void) {
    fflush(PemOut);
    if (PemPushback >= 0) {
        const int key = PemPushback;
        PemPushback = -1;
        return key;
    }
    if (PemEnded) return -1;
    const int key = PemGetche();
    if (key == 0 && _InputHasEnded()) {
        PemEnded = 1;
        return -1;
    }
    // A typed NUL followed by more input: the NUL is this key, the byte read while looking waits.
    return key;
}

// Bytes for tokens are read one at a time straight from the descriptor, so that no stdio
// buffer swallows keys that PemGetche should see later.
static int _ReadByte(void) {
    if (PemPushback >= 0) {
        const int b = PemPushback;
        PemPushback = -1;
        return b;
    }
    if (PemEnded) return -1;
    for (;;) {
        unsigned char byte = 0;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        PemEnded = 1;
        return -1;
    }
}

static bool _IsSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

int PemTokenRead(char* pBuff, size_t BuffSize) {
    fflush(PemOut);
    if (BuffSize == 0) return -1;
    pBuff[0] = '\0';
    int c;
    do {
        c = _ReadByte();
        if (c < 0) return 0;
    } while (_IsSpace(c));
    size_t n = 0;
    bool tooLong = false;
    while (c >= 0 && !_IsSpace(c)) {
        if (n + 1 < BuffSize) {
            pBuff[n++] = static_cast<char>(c);
        } else {
            tooLong = true;
        }
        c = _ReadByte();
    }
    pBuff[n] = '\0';
    // One answer per line: whatever follows the token on its line is not kept for the next prompt.
    while (c >= 0 && c != '\n') c = _ReadByte();
    if (tooLong) return -1;
    return static_cast<int>(n);
}

void PemMacText(const uint8_t* pMac, char* pText) {
    snprintf(pText, 18, "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x", pMac[0], pMac[1], pMac[2], pMac[3], pMac[4],
             pMac[5]);
}

void PemSafeText(const uint8_t* pSrc, size_t MaxLength, char* pText, size_t TextSize) {
    if (TextSize == 0) return;
    size_t n = 0;
    while (n < MaxLength && n + 1 < TextSize && pSrc[n] != 0) {
        const uint8_t b = pSrc[n];
        pText[n] = (b < 0x20 || b == 0x7F) ? '.' : static_cast<char>(b);
        ++n;
    }
    pText[n] = '\0';
}

static int _HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Parses exactly Count bytes of hexadecimal digit pairs; 1 on success.
static int _ParseHex(const char* pText, int Length, uint8_t* pOut, int Count) {
    if (Length != Count * 2) return 0;
    for (int i = 0; i < Count; ++i) {
        const int hi = _HexValue(static_cast<unsigned char>(pText[2 * i]));
        const int lo = _HexValue(static_cast<unsigned char>(pText[2 * i + 1]));
        if (hi < 0 || lo < 0) return 0;
        pOut[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return 1;
}

int InputMacAddress(uint8_t* pMac) {
    PemPrintf("d[#_#]b : mac (e.g. x0012f3a4b5c6)    ? x");
    char buff[kPemTokenBuffSize];
    const int n = PemTokenRead(buff, sizeof(buff));
    uint8_t mac[6];
    if (n <= 0 || !_ParseHex(buff, n, mac, 6)) return 0;
    memcpy(pMac, mac, 6);
    return 1;
}

static int _InputYesNo(const char* pPrompt) {
    for (;;) {
        PemPrintf("%s", pPrompt);
        const int key = PemKeyRead();
        if (key < 0) {
            PemPrintf("\n");
            return -1;
        }
        if (key == 'y' || key == 'Y' || key == 'n' || key == 'N') {
            PemPrintf("%c\n", key);
            return (key == 'y' || key == 'Y') ? 1 : 0;
        }
        PemPrintf("\n");
    }
}

int InputDebugPrintfEnable(void) {
    return _InputYesNo("d[#_#]b : printf enable (y/n)         ? ");
}
int InputDebugLogEnable(void) {
    return _InputYesNo("d[#_#]b : log enable (y/n)            ? ");
}
int InputDebugVnEnable(void) {
    return _InputYesNo("d[#_#]b : VN IPC enable (y/n)         ? ");
}
int InputDebugManagementEnable(void) {
    return _InputYesNo("d[#_#]b : management IPC enable (y/n) ? ");
}
int InputDebugCtuEnable(void) {
    return _InputYesNo("d[#_#]b : CTU IPC enable (y/n)        ? ");
}
int InputDebugSioEnable(void) {
    return _InputYesNo("d[#_#]b : SIO IPC enable (y/n)        ? ");
}
int InputDebugNlkEnable(void) {
    return _InputYesNo("d[#_#]b : NLK IPC enable (y/n)        ? ");
}

int InputPasswordRequest(void) {
    PemPrintf("d[#_#]b : 0x00->NO, 0x01->YES\n");
    for (;;) {
        PemPrintf("d[#_#]b : password request (1 byte)   ? x");
        char buff[kPemTokenBuffSize];
        const int n = PemTokenRead(buff, sizeof(buff));
        if (n == 0 && PemInputEnded()) return -1;
        uint8_t value = 0;
        if (n > 0 && _ParseHex(buff, n, &value, 1)) return value;
    }
}

int InputPasswordData(uint8_t* pPwd, int* pLength) {
    PemPrintf("d[#_#]b : password (max 32 byte)      ? ");
    char buff[kPemTokenBuffSize];
    const int n = PemTokenRead(buff, sizeof(buff));
    if (n <= 0 || n > 32) return 0;
    memcpy(pPwd, buff, static_cast<size_t>(n));
    *pLength = n;
    return 1;
}

int InputDeviceName(char* pName) {
    PemPrintf("d[#_#]b : ControlUnit Version 0, maximum 20 byte\n");
    PemPrintf("d[#_#]b : ControlUnit Version 1, maximum 64 byte\n");
    PemPrintf("d[#_#]b : device name                 ? ");
    char buff[kPemTokenBuffSize];
    const int n = PemTokenRead(buff, sizeof(buff));
    if (n <= 0 || n > 64) return 0;
    memcpy(pName, buff, static_cast<size_t>(n) + 1);
    return n;
}

int InputPasswordSetting(void) {
    PemPrintf("d[#_#]b : 0x00->disable, 0x01->enable\n");
    PemPrintf("d[#_#]b : password setting (1 byte)   ? x");
    char buff[kPemTokenBuffSize];
    const int n = PemTokenRead(buff, sizeof(buff));
    uint8_t value = 0;
    if (n <= 0 || !_ParseHex(buff, n, &value, 1) || value > 1) return -1;
    return value;
}

int InputFirmwareFile(char* pPath, size_t PathSize) {
    PemPrintf("d[#_#]b : firmware file (include path)? ");
    const int n = PemTokenRead(pPath, PathSize);
    return n > 0 ? n : 0;
}
