// Socket plumbing the test clients share (each keeps its own codec): deadlines in poll's
// milliseconds, errno texts, and sending a whole buffer, or a buffer in pieces, on a
// non-blocking socket.
#pragma once

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "qor_lab.h"

namespace qortest {

// Milliseconds until `deadline`, 0 once it passed.
inline int MsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

inline std::string ErrnoText(const std::string& what) {
    return what + ": " + strerror(errno);
}

// Sends every byte on the non-blocking socket, waiting up to 5 s for the peer to take them.
// Returns the reason of a failure, or an empty text.
inline std::string SendAll(int fd, std::span<const uint8_t> bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (Clock::now() >= deadline) return "send: the service takes no more bytes";
            pollfd pfd{fd, POLLOUT, 0};
            poll(&pfd, 1, 50);
        } else {
            return ErrnoText("send");
        }
    }
    return {};
}

// Sends `bytes` through `sendRaw` in the given piece sizes with a pause after each, then the
// rest; false as soon as one piece fails.
inline bool SendInPieces(std::span<const uint8_t> bytes, const std::vector<size_t>& pieces, Clock::duration pause,
                         const std::function<bool(std::span<const uint8_t>)>& sendRaw) {
    size_t at = 0;
    for (size_t n : pieces) {
        n = std::min(n, bytes.size() - at);
        if (!sendRaw(bytes.subspan(at, n))) return false;
        at += n;
        std::this_thread::sleep_for(pause);
    }
    return sendRaw(bytes.subspan(at));
}

}  // namespace qortest
