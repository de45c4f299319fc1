// Console output, key and token input, and the operator's input prompts (pem_utils.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Everything the console shows goes here (standard output; tests swap in a memory stream).
extern FILE* PemOut;
// Clears the operator's screen; runs "clear" by default (tests swap in a marker).
extern void (*PemClearScreenFn)(void);

void PemPrintf(const char* pFormat, ...) __attribute__((format(printf, 1, 2)));
void PemClearScreen(void);

// Token inputs (MAC, byte, password) are read into buffers of this size.
constexpr size_t kPemTokenBuffSize = 256;

// Next key from the operator (0..255), or -1 once standard input has ended.
int PemKeyRead(void);
// Forgets an ended input and a byte held back from it (when standard input is replaced).
void PemInputReset(void);
// 1 once standard input has ended (end of file, hang-up); every loop that waits for the
// operator gives up then.
int PemInputEnded(void);
// Reads one whitespace-delimited token and drops the rest of its line. Returns the token
// length (the token is NUL-terminated in pBuff), 0 when input ended before a token, -1 when
// the token did not fit (its bytes are read and dropped, pBuff holds its head).
int PemTokenRead(char* pBuff, size_t BuffSize);

// "%.2x:%.2x:%.2x:%.2x:%.2x:%.2x" of a MAC into pText (at least 18 bytes).
void PemMacText(const uint8_t* pMac, char* pText);
// Copies service text for printing: stops at a NUL or after MaxLength bytes, never writes more
// than TextSize bytes (terminator included) and shows control bytes as '.'.
void PemSafeText(const uint8_t* pSrc, size_t MaxLength, char* pText, size_t TextSize);

// Operator inputs. InputMacAddress returns 1 and the 6 bytes for exactly 12 hexadecimal digits.
int InputMacAddress(uint8_t* pMac);
// Each asks until y, Y, n or N; 1 for yes, 0 for no, -1 when input ended.
int InputDebugPrintfEnable(void);
int InputDebugLogEnable(void);
int InputDebugVnEnable(void);
int InputDebugManagementEnable(void);
int InputDebugCtuEnable(void);
int InputDebugSioEnable(void);
int InputDebugNlkEnable(void);
// Asks until two hexadecimal digits are typed; the byte, or -1 when input ended.
int InputPasswordRequest(void);
// 1 with 1..32 password bytes in pPwd (room for 32) and their count, else 0.
int InputPasswordData(uint8_t* pPwd, int* pLength);
// The configuration menu's inputs. InputDeviceName: one word of 1..64 characters into pName
// (room for 65, NUL-terminated); returns its length, 0 when refused.
int InputDeviceName(char* pName);
// Two hexadecimal digits; the byte when it is 0 or 1, -1 for anything else.
int InputPasswordSetting(void);
// One word naming a file on this host, 1..PathSize-1 characters into pPath; returns its
// length, 0 when refused.
int InputFirmwareFile(char* pPath, size_t PathSize);
