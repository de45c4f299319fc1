#include "qor_tap.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

namespace qortest {

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
                 MacString(f.Source()).c_str(), MacString(f.Dest()).c_str(), f.Bytes.size(), f.DllpCode());
        out += line;
    }
    return out;
}

FrameTap::FrameTap(pid_t nsPid, const std::string& ifname) {
    RunInNetns(nsPid, [&]() {
        // ETH_P_ALL: taps for one protocol miss what a bridge port receives (the bridge takes
        // it first) and everything the interface sends.
        fd_.reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)));
        const int on = 1;
        struct sockaddr_ll addr {};
        addr.sll_family = AF_PACKET;
        addr.sll_protocol = htons(ETH_P_ALL);
        addr.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        if (!fd_ || setsockopt(fd_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof(on)) != 0 ||
            bind(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
            throw std::runtime_error("tap on " + ifname + ": " + strerror(errno));
    });
    thread_ = std::thread([this]() { Run(); });
}

void FrameTap::Stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
}

void FrameTap::Run() {
    std::vector<uint8_t> buff(65536);
    alignas(struct cmsghdr) char control[256];
    while (running_) {
        struct pollfd pfd {
            fd_.get(), POLLIN, 0
        };
        if (poll(&pfd, 1, 20) <= 0) continue;
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
        if (n < 14 || ((buff[12] << 8) | buff[13]) != kLinkEtherType) continue;
        TapFrame frame{RealNowNs(), from.sll_pkttype == PACKET_OUTGOING, {buff.begin(), buff.begin() + n}};
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                frame.RealNs = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        frames_.push_back(std::move(frame));
    }
}

std::vector<TapFrame> FrameTap::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

}  // namespace qortest
