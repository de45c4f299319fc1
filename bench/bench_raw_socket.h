// A raw packet socket of one EtherType on one interface: the baselines' echo and the taps
// that count frames.
#pragma once

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>

#include "qor_lab.h"

namespace qorbench {

struct RawSocket {
    qortest::UniqueFd Fd;
    int IfIndex = 0;
    qortest::Mac Own{};
    uint16_t EtherType = 0;

    bool Open(const std::string& ifname, uint16_t etherType, int rcvbuf = 0) {
        EtherType = etherType;
        Fd.reset(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(etherType)));
        if (!Fd) return false;
        if (rcvbuf > 0) setsockopt(Fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
        // ioctl rather than sysfs: /sys shows the service side's interfaces only.
        struct ifreq ifr {};
        snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", ifname.c_str());
        if (ioctl(Fd.get(), SIOCGIFINDEX, &ifr) != 0) return false;
        IfIndex = ifr.ifr_ifindex;
        if (ioctl(Fd.get(), SIOCGIFHWADDR, &ifr) != 0) return false;
        memcpy(Own.data(), ifr.ifr_hwaddr.sa_data, 6);
        struct sockaddr_ll addr {};
        addr.sll_family = AF_PACKET;
        addr.sll_protocol = htons(etherType);
        addr.sll_ifindex = IfIndex;
        return bind(Fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    bool Send(const qortest::Mac& dest, uint8_t* frame, size_t length) {
        memcpy(frame, dest.data(), 6);
        memcpy(frame + 6, Own.data(), 6);
        frame[12] = static_cast<uint8_t>(EtherType >> 8);
        frame[13] = static_cast<uint8_t>(EtherType & 0xFF);
        struct sockaddr_ll addr {};
        addr.sll_family = AF_PACKET;
        addr.sll_ifindex = IfIndex;
        addr.sll_halen = 6;
        memcpy(addr.sll_addr, dest.data(), 6);
        return sendto(Fd.get(), frame, length, 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
               static_cast<ssize_t>(length);
    }
    // Next frame (outgoing ones only when asked); its length, or -1 after timeoutMs.
    ssize_t Recv(uint8_t* buff, size_t size, int timeoutMs, bool outgoing = false, int* pktType = nullptr) {
        for (;;) {
            struct pollfd pfd {
                Fd.get(), POLLIN, 0
            };
            if (poll(&pfd, 1, timeoutMs) <= 0) return -1;
            struct sockaddr_ll from {};
            socklen_t len = sizeof(from);
            const ssize_t n = recvfrom(Fd.get(), buff, size, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n <= 0) continue;
            if (pktType) *pktType = from.sll_pkttype;
            if (outgoing || from.sll_pkttype != PACKET_OUTGOING) return n;
        }
    }
    // Frames the kernel dropped for want of buffer since the last call.
    unsigned Drops() {
        struct tpacket_stats st {};
        socklen_t len = sizeof(st);
        return getsockopt(Fd.get(), SOL_PACKET, PACKET_STATISTICS, &st, &len) == 0 ? st.tp_drops : 0;
    }
};

}  // namespace qorbench
