#include "qor_tap.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace qortest {

bool TapFrame::Outgoing() const {
    return PacketType == PACKET_OUTGOING;
}

int64_t RealNowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string Describe(const std::vector<TapFrame>& frames) {
    std::string out;
    for (const TapFrame& f : frames) {
        char line[160];
        snprintf(line, sizeof(line), "%lld.%06lld %s %s -> %s %zuB cmd %d\n",
                 static_cast<long long>(f.RealNs / 1000000000),
                 static_cast<long long>(f.RealNs % 1000000000 / 1000), f.Outgoing() ? "out" : "in ",
                 MacString(f.Source()).c_str(), MacString(f.Dest()).c_str(), f.Bytes.size(),
                 f.IsDllp() ? f.DllpCode() : -1);
        out += line;
    }
    return out;
}

FrameTap::FrameTap(pid_t nsPid, const std::string& ifname, uint16_t etherType) {
    auto open = [&]() {
        // ETH_P_ALL: taps for one protocol miss what a bridge port receives (the bridge takes
        // it first) and everything the interface sends.
        fd_.reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
        if (!fd_) throw std::runtime_error(std::string("packet socket: ") + strerror(errno));
        const int on = 1;
        if (setsockopt(fd_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0)
            throw std::runtime_error(std::string("SO_TIMESTAMPNS: ") + strerror(errno));
        const unsigned index = if_nametoindex(ifname.c_str());
        if (index == 0) throw std::runtime_error("no interface " + ifname);
        struct sockaddr_ll addr {};
        addr.sll_family = AF_PACKET;
        addr.sll_protocol = htons(ETH_P_ALL);
        addr.sll_ifindex = static_cast<int>(index);
        if (bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            throw std::runtime_error("bind tap to " + ifname + ": " + strerror(errno));
    };
    etherType_ = etherType;
    if (nsPid > 0)
        RunInNetns(nsPid, open);
    else
        open();
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
    thread_ = std::thread([this]() { Run(); });
}

FrameTap::~FrameTap() {
    Stop();
    if (stopFd_ >= 0) close(stopFd_);
}

void FrameTap::Stop() {
    if (!running_.exchange(false)) return;
    const uint64_t one = 1;
    if (write(stopFd_, &one, sizeof(one)) != sizeof(one)) {
        // The thread also polls with a time-out, so it ends anyway.
    }
    if (thread_.joinable()) thread_.join();
}

void FrameTap::Run() {
    std::vector<uint8_t> buff(65536);
    alignas(struct cmsghdr) char control[256];
    while (running_) {
        struct pollfd pfds[2] = {{fd_.get(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
        const int ready = poll(pfds, 2, 200);
        if (ready <= 0) continue;
        if (pfds[1].revents) break;
        struct sockaddr_ll from {};
        struct iovec iov {
            buff.data(), buff.size()
        };
        struct msghdr msg {};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        const ssize_t n = recvmsg(fd_.get(), &msg, MSG_DONTWAIT);
        if (n < 14 || ((buff[12] << 8) | buff[13]) != etherType_) continue;
        TapFrame frame;
        frame.PacketType = from.sll_pkttype;
        frame.Bytes.assign(buff.begin(), buff.begin() + n);
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                frame.RealNs = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        if (frame.RealNs == 0) frame.RealNs = RealNowNs();
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(frame));
    }
}

std::vector<TapFrame> FrameTap::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

}  // namespace qortest
