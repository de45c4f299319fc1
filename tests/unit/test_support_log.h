// Captures what the service's debug print writes to its log, in memory.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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
        std::string out(static_cast<size_t>(lseek(fd_, 0, SEEK_END)), '\0');
        out.resize(static_cast<size_t>(std::max<ssize_t>(0, pread(fd_, out.data(), out.size(), 0))));
        return out;
    }

  private:
    int fd_;
};
