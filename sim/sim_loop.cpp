#include "sim_loop.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <list>
#include <vector>

#include "sim_control.h"

namespace {

constexpr size_t kControlLineMax = 4096;
constexpr size_t kControlClientsMax = 64;
constexpr size_t kFramesPerWakeup = 64;  // fairness between busy interfaces

struct ControlClient {
    SimFd Fd;
    std::string In;
    std::string Out;
    bool CloseAfterFlush = false;
};

bool FillAddr(const std::string& path, struct sockaddr_un* addr, std::string* err) {
    if (path.empty() || path.size() >= sizeof(addr->sun_path)) {
        *err = "control socket path must be 1.." + std::to_string(sizeof(addr->sun_path) - 1) + " bytes";
        return false;
    }
    *addr = {};
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Writes what a client has pending; false when the client is gone.
bool Flush(ControlClient& c) {
    while (!c.Out.empty()) {
        const ssize_t n = send(c.Fd.Get(), c.Out.data(), c.Out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        c.Out.erase(0, static_cast<size_t>(n));
    }
    return true;
}

// Reads from a client and runs every complete line; false when the client is done.
bool Serve(_SIM_CONTEXT& Ctx, ControlClient& c) {
    char buf[1024];
    const ssize_t n = recv(c.Fd.Get(), buf, sizeof(buf), MSG_DONTWAIT);
    if (n < 0) return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
    if (n == 0) return false;
    c.In.append(buf, static_cast<size_t>(n));
    size_t nl;
    while (!c.CloseAfterFlush && (nl = c.In.find('\n')) != std::string::npos) {
        std::string line = c.In.substr(0, nl);
        c.In.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() > kControlLineMax) {
            c.Out += "error line too long\n";
            c.CloseAfterFlush = true;
            break;
        }
        const std::string answer = SimControlExecute(Ctx, line);
        if (Ctx.Verbose) SimLog(Ctx, "control: " + line + " => " + answer);
        c.Out += answer + "\n";
        if (Ctx.QuitRequested) break;
    }
    if (!c.CloseAfterFlush && c.In.size() > kControlLineMax) {
        c.Out += "error line too long\n";
        c.CloseAfterFlush = true;
    }
    return true;
}

void DrainIface(_SIM_CONTEXT& Ctx, _SIM_IFACE& iface, std::vector<uint8_t>& buf) {
    for (size_t i = 0; i < kFramesPerWakeup; ++i) {
        size_t length = 0;
        bool truncated = false;
        uint8_t pktType = 0;
        std::string err;
        const SimRecv r = SimIfaceRecv(iface, buf.data(), buf.size(), &length, &truncated, &pktType, &err);
        if (r == SimRecv::Again) return;
        if (r == SimRecv::Error) {
            // ENETDOWN and the like: the interface went down; keep the socket for when it returns.
            if (Ctx.Verbose) SimLog(Ctx, err);
            return;
        }
        if (truncated) {
            ++iface.RxDropped;
            if (Ctx.Verbose) SimLog(Ctx, "rx " + iface.Name + " frame longer than 8192 bytes dropped");
            continue;
        }
        SimFrameReceive(Ctx, iface, buf.data(), length, pktType);
    }
}

}  // namespace

SimFd SimControlListen(const std::string& Path, std::string* pError) {
    struct sockaddr_un addr {};
    if (!FillAddr(Path, &addr, pError)) return SimFd();
    SimFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) {
        *pError = std::string("control socket: ") + strerror(errno);
        return SimFd();
    }
    if (bind(fd.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (errno != EADDRINUSE) {
            *pError = "bind " + Path + ": " + strerror(errno);
            return SimFd();
        }
        // Someone listening there still? Then it is not ours to take.
        SimFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (probe.Valid() &&
            connect(probe.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) {
            *pError = Path + " is in use by another process";
            return SimFd();
        }
        // Only a socket file is ours to replace; anything else at that path stays.
        struct stat st {};
        if (lstat(Path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            *pError = Path + " exists and is not a socket";
            return SimFd();
        }
        unlink(Path.c_str());
        if (bind(fd.Get(), reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) {
            *pError = "bind " + Path + ": " + strerror(errno);
            return SimFd();
        }
    }
    if (listen(fd.Get(), 16) != 0) {
        *pError = "listen " + Path + ": " + strerror(errno);
        unlink(Path.c_str());
        return SimFd();
    }
    return fd;
}

int SimLoopRun(_SIM_CONTEXT& Ctx, SimFd ControlListen) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigset_t old;
    if (sigprocmask(SIG_BLOCK, &mask, &old) != 0) {
        std::fprintf(stderr, "qorsim: sigprocmask: %s\n", strerror(errno));
        return 1;
    }
    SimFd sigFd(signalfd(-1, &mask, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!sigFd.Valid()) {
        std::fprintf(stderr, "qorsim: signalfd: %s\n", strerror(errno));
        sigprocmask(SIG_SETMASK, &old, nullptr);
        return 1;
    }
    std::list<ControlClient> clients;
    std::vector<uint8_t> rxBuf(kSimMaxFrame);
    int status = 0;
    bool stop = false;
    while (!stop && !Ctx.QuitRequested) {
        std::vector<struct pollfd> fds;
        fds.push_back({sigFd.Get(), POLLIN, 0});
        const size_t ctlAt = fds.size();
        if (ControlListen.Valid() && clients.size() < kControlClientsMax)
            fds.push_back({ControlListen.Get(), POLLIN, 0});
        const size_t ifaceAt = fds.size();
        std::vector<_SIM_IFACE*> ifaces;
        for (auto& i : Ctx.Ifaces) {
            if (!i->Sock.Valid()) continue;
            fds.push_back({i->Sock.Get(), POLLIN, 0});
            ifaces.push_back(i.get());
        }
        const size_t clientAt = fds.size();
        for (auto& c : clients)
            fds.push_back({c.Fd.Get(), static_cast<short>(POLLIN | (c.Out.empty() ? 0 : POLLOUT)), 0});

        int timeout = -1;
        const int64_t due = Ctx.Timers.NextDue();
        if (due >= 0) timeout = static_cast<int>(std::clamp<int64_t>(due - Ctx.Now(), 0, 60000));
        const int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "qorsim: poll: %s\n", strerror(errno));
            status = 1;
            break;
        }
        Ctx.Timers.RunDue(Ctx.Now());
        if (n <= 0) continue;

        if (fds[0].revents & POLLIN) {
            struct signalfd_siginfo si {};
            if (read(sigFd.Get(), &si, sizeof(si)) == static_cast<ssize_t>(sizeof(si))) {
                if (Ctx.Verbose)
                    SimLog(Ctx,
                           std::string("signal ") + strsignal(static_cast<int>(si.ssi_signo)) + ", stopping");
                stop = true;
            }
        }
        for (size_t k = 0; k < ifaces.size(); ++k) {
            const short re = fds[ifaceAt + k].revents;
            if (re & POLLIN) DrainIface(Ctx, *ifaces[k], rxBuf);
            if (re & POLLERR) {
                // Collect the pending error so poll does not report it forever.
                int err = 0;
                socklen_t len = sizeof(err);
                getsockopt(ifaces[k]->Sock.Get(), SOL_SOCKET, SO_ERROR, &err, &len);
                if (Ctx.Verbose) SimLog(Ctx, "rx " + ifaces[k]->Name + ": " + strerror(err));
            }
        }
        // Clients first (their fds are indexed by position), then new connections.
        size_t k = clientAt;
        for (auto it = clients.begin(); it != clients.end(); ++k) {
            const short re = fds[k].revents;
            bool keep = true;
            if (re & (POLLIN | POLLHUP | POLLERR)) keep = Serve(Ctx, *it);
            if (keep) keep = Flush(*it);
            if (keep && it->CloseAfterFlush && it->Out.empty()) keep = false;
            it = keep ? std::next(it) : clients.erase(it);
        }
        if (ctlAt < ifaceAt && (fds[ctlAt].revents & POLLIN)) {
            const int cfd = accept4(ControlListen.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (cfd >= 0) {
                clients.emplace_back();
                clients.back().Fd.Reset(cfd);
            }
        }
    }
    // Let the last answers ("ok bye") reach their readers; the sockets are non-blocking, so
    // a client that does not read loses them rather than holding up the exit.
    for (auto& c : clients) Flush(c);
    clients.clear();
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return status;
}
