#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "pem_dbg.h"

pthread_mutex_t DbgLock = PTHREAD_MUTEX_INITIALIZER;
int DbgVnProtocol = 0;
int DbgMngIpcProtocol = 0;
int DbgCtuIpcProtocol = 0;
int DbgSioIpcProtocol = 0;
int DbgNlkIpcProtocol = 0;
int PrintfEnable = 0;
int LogEnable = 0;
char* LogBuff = nullptr;
int PemPrintFd = STDOUT_FILENO;

namespace {
// Serialises the use of the one shared formatting buffer and the output it feeds.
std::mutex gPrintMutex;

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w <= 0) return;
        p += w;
        n -= static_cast<size_t>(w);
    }
}
}  // namespace

int PemDbgSwapLogNode(int fd) {
    std::lock_guard<std::mutex> lock(gPrintMutex);
    return __atomic_exchange_n(&LogNode, fd, __ATOMIC_ACQ_REL);
}

int PemDbgBuffAlloc() {
    std::lock_guard<std::mutex> lock(gPrintMutex);
    if (!LogBuff) LogBuff = static_cast<char*>(calloc(kLogBuffSize, 1));
    return LogBuff ? 1 : 0;
}

void PemDbgBuffFree() {
    std::lock_guard<std::mutex> lock(gPrintMutex);
    free(LogBuff);
    LogBuff = nullptr;
}

void PemDbg(int ForcePrint, int ForceLog, const char* pStr, ...) {
    const bool print = ForcePrint || __atomic_load_n(&PrintfEnable, __ATOMIC_RELAXED);
    const bool log = ForceLog || __atomic_load_n(&LogEnable, __ATOMIC_RELAXED);
    if (!print && !log) return;
    std::lock_guard<std::mutex> lock(gPrintMutex);
    if (!LogBuff) return;
    memset(LogBuff, 0, kLogBuffSize);
    va_list args;
    va_start(args, pStr);
    vsnprintf(LogBuff, kLogBuffSize, pStr, args);
    va_end(args);
    const size_t length = strlen(LogBuff);
    if (print && PemPrintFd >= 0) WriteAll(PemPrintFd, LogBuff, length);
    if (log) LogTx(LogBuff, length);
}

const char* PemCtime(char* pBuff, size_t Size) {
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(pBuff, Size, "%a %b %e %H:%M:%S %Y\n", &local);
    return pBuff;
}
