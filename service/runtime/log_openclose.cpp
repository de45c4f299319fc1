#include <fcntl.h>
#include <unistd.h>

#include "pem_dbg.h"

int LogNode = -1;

int LogOpen() {
    LogClose();
    // Each start begins an empty log.
    const int fd = open(kLogFilePath, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_APPEND, 0644);
    if (fd < 0) return 0;
    const int old = PemDbgSwapLogNode(fd);
    if (old >= 0) close(old);
    return 1;
}

void LogClose() {
    const int fd = PemDbgSwapLogNode(-1);
    if (fd >= 0) close(fd);
}
