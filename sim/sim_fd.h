// An owned file descriptor that closes itself.
#pragma once

#include <unistd.h>

#include <utility>

class SimFd {
  public:
    SimFd() = default;
    explicit SimFd(int fd) : fd_(fd) {}
    ~SimFd() { Reset(); }
    SimFd(const SimFd&) = delete;
    SimFd& operator=(const SimFd&) = delete;
    SimFd(SimFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    SimFd& operator=(SimFd&& o) noexcept {
        if (this != &o) {
            Reset();
            fd_ = std::exchange(o.fd_, -1);
        }
        return *this;
    }
    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};
