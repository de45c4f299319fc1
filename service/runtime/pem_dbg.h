// The service's debug print, its log file, the run-time debug switches and the
// protocol-dump helpers.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

constexpr size_t kLogBuffSize = 8192;
constexpr const char* kLogFilePath = "/var/log/qorservice.log";

extern pthread_mutex_t DbgLock;
extern int DbgVnProtocol;
extern int DbgMngIpcProtocol;
extern int DbgCtuIpcProtocol;
extern int DbgSioIpcProtocol;
extern int DbgNlkIpcProtocol;
extern int PrintfEnable;
extern int LogEnable;
extern int LogNode;     // descriptor of the open log file, -1 when none
extern char* LogBuff;   // kLogBuffSize bytes while the service runs, null otherwise

// Descriptor that the printed copy of a message goes to; -1 once the daemon has closed
// its standard output, so that a descriptor reused for a socket or file is never written.
extern int PemPrintFd;

// Formats one message and prints and/or logs it whole. Safe from every thread at once.
void PemDbg(int ForcePrint, int ForceLog, const char* pStr, ...) __attribute__((format(printf, 3, 4)));

// The local time as ctime prints it, line end included (log lines end with it).
const char* PemCtime(char* pBuff, size_t Size);

int LogOpen();
void LogClose();
int LogTx(const char* pStr, size_t Length);

// Replaces the log descriptor under the print lock, so that no message is being written to
// the old descriptor when the caller closes it; returns the old one (-1 for none).
int PemDbgSwapLogNode(int fd);

// Allocates and frees LogBuff under the print lock, so that a concurrent PemDbg never
// formats into a buffer that is being released.
int PemDbgBuffAlloc();
void PemDbgBuffFree();

// Protocol dumps: the caller holds DbgLock around the whole dump so two never interleave.
void PemDumpTxLine(size_t Length, int IsRetransmission);
void PemDumpRxLine(size_t Length);
void PemDumpBytes(const uint8_t* p, size_t Length);   // between two "****" lines, 16 per line
