// Shared by the management benchmarks: the real daemon in the lab, management clients on
// 127.0.0.1:50000, a loopback TCP echo as the baseline, and command-line options.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "qor_daemon.h"
#include "qor_lab.h"
#include "qor_mng_client.h"

namespace qorbench {

using qortest::Clock;
using namespace std::chrono_literals;

inline double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// "--name value" from the command line, or the default.
inline long Option(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::strtol(argv[i + 1], nullptr, 10);
    return fallback;
}

[[noreturn]] inline void Die(const std::string& why) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
}

// Sends a whole request and reads exactly in.size() bytes back, waiting with poll() as the
// management client does; false on any failure.
inline bool Exchange(int fd, const std::vector<uint8_t>& out, std::vector<uint8_t>& in) {
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return false;
    size_t have = 0;
    while (have < in.size()) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (poll(&p, 1, 2000) != 1) return false;
        const ssize_t r = recv(fd, in.data() + have, in.size() - have, 0);
        if (r <= 0) return false;
        have += static_cast<size_t>(r);
    }
    return true;
}

// The daemon, started once its management port takes connections.
inline std::unique_ptr<qortest::DaemonProcess> StartService() {
    if (!qortest::InLab()) Die("run inside a lab: qorlab --veths 1 -- <benchmark>");
    auto daemon = std::make_unique<qortest::DaemonProcess>(QORSERVICE_PATH);
    if (!daemon->Start()) Die("qorservice did not start: " + daemon->Error());
    const auto deadline = Clock::now() + 5s;
    for (;;) {
        qortest::mng::Client c;
        if (c.Connect()) break;
        if (Clock::now() > deadline) Die("the management port never opened");
        std::this_thread::sleep_for(20ms);
    }
    return daemon;
}

inline qortest::mng::Client Connect() {
    qortest::mng::Client c;
    if (!c.Connect()) Die("management connect: " + c.Error());
    return c;
}

// Loopback TCP echo of the same shape as a management exchange: it reads `request` bytes and
// answers `answer` bytes, on one connection, in a thread of its own.
class TcpEcho {
  public:
    TcpEcho(size_t request, size_t answer) : request_(request), answer_(answer) {
        listen_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        if (bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            listen(listen_.get(), 1) != 0 ||
            getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
            Die("echo: cannot listen on loopback");
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { Serve(); });
        client_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connect(client_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            Die("echo: connect");
        const int on = 1;
        setsockopt(client_.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        fcntl(client_.get(), F_SETFL, fcntl(client_.get(), F_GETFL) | O_NONBLOCK);
    }
    ~TcpEcho() {
        client_.reset();
        thread_.join();
    }

    // One exchange; its round-trip time.
    Clock::duration RoundTrip() {
        std::vector<uint8_t> out(request_, 1), in(answer_);
        const auto t0 = Clock::now();
        if (!Exchange(client_.get(), out, in)) Die("echo: exchange failed");
        return Clock::now() - t0;
    }

  private:
    static bool ReadAll(int fd, uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t r = recv(fd, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    void Serve() {
        qortest::UniqueFd s(accept(listen_.get(), nullptr, nullptr));
        const int on = 1;
        setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        std::vector<uint8_t> in(request_), out(answer_, 2);
        while (ReadAll(s.get(), in.data(), in.size()))
            if (send(s.get(), out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
                break;
    }

    size_t request_, answer_;
    uint16_t port_ = 0;
    qortest::UniqueFd listen_, client_;
    std::thread thread_;
};

}  // namespace qorbench
