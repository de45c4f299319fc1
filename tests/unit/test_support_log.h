// Captures what the service's debug print writes to its log, in memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "pem_dbg.h"

class LogCapture {
public:
    LogCapture() {
        PemDbgBuffAlloc();
        fd_ = memfd_create("qorlog", MFD_CLOEXEC);
        PemDbgSwapLogNode(fd_);
    }
    ~LogCapture() {
        PemDbgSwapLogNode(-1);
        close(fd_);
        PemDbgBuffFree();
    }
    std::string Text() const {
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n;
        while ((n = pread(fd_, buf, sizeof(buf), off)) > 0) {
            out.append(buf, static_cast<size_t>(n));
            off += n;
        }
        return out;
    }

private:
    int fd_;
};
