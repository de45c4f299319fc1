#include <errno.h>
#include <unistd.h>

#include "pem_dbg.h"

int LogTx(const char* pStr, size_t Length) {
    const int fd = __atomic_load_n(&LogNode, __ATOMIC_ACQUIRE);
    if (fd < 0) return 0;
    size_t done = 0;
    while (done < Length) {
        const ssize_t w = write(fd, pStr + done, Length - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 0;
        done += static_cast<size_t>(w);
    }
    // write(2) leaves the bytes in the file for every reader once it returns; there is no
    // user-space buffer to flush.
    return 1;
}
