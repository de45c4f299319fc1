#include "sim_iface.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

static std::string _Errno(const std::string& what) {
    return what + ": " + strerror(errno);
}

std::unique_ptr<_SIM_IFACE> SimIfaceOpen(const std::string& Name, std::string* pError) {
    if (Name.empty() || Name.size() >= IFNAMSIZ) {
        if (pError) *pError = "interface name '" + Name + "' is not valid";
        return nullptr;
    }
    auto iface = std::make_unique<_SIM_IFACE>();
    iface->Name = Name;
    iface->IfIndex = static_cast<int>(if_nametoindex(Name.c_str()));
    if (iface->IfIndex == 0) {
        if (pError) *pError = _Errno("no interface '" + Name + "'");
        return nullptr;
    }
    iface->Sock.Reset(socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(kSimEtherType)));
    if (!iface->Sock.Valid()) {
        if (pError) *pError = _Errno("raw socket for " + Name);
        return nullptr;
    }
    // A host may send a long burst (transmit data from a TTY); the unit takes it all in
    // rather than losing frames to a small default queue. Best effort: needs CAP_NET_ADMIN.
    const int rcvbuf = 8 << 20;
    (void)setsockopt(iface->Sock.Get(), SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
    struct sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(kSimEtherType);
    sll.sll_ifindex = iface->IfIndex;
    if (bind(iface->Sock.Get(), reinterpret_cast<struct sockaddr*>(&sll), sizeof(sll)) != 0) {
        if (pError) *pError = _Errno("bind to " + Name);
        return nullptr;
    }
    struct packet_mreq mreq {};
    mreq.mr_ifindex = iface->IfIndex;
    mreq.mr_type = PACKET_MR_PROMISC;
    if (setsockopt(iface->Sock.Get(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) != 0) {
        if (pError) *pError = _Errno("promiscuous mode on " + Name);
        return nullptr;
    }
    struct ifreq ifr {};
    memcpy(ifr.ifr_name, Name.c_str(), Name.size() + 1);
    if (ioctl(iface->Sock.Get(), SIOCGIFHWADDR, &ifr) == 0) {
        for (size_t i = 0; i < 6; ++i) iface->Mac[i] = static_cast<uint8_t>(ifr.ifr_hwaddr.sa_data[i]);
    }
    return iface;
}

bool SimIfaceSend(_SIM_IFACE& Iface, const uint8_t* pFrame, size_t Length, std::string* pError) {
    if (!Iface.Sock.Valid()) {
        if (pError) *pError = "interface " + Iface.Name + " has no socket";
        return false;
    }
    struct sockaddr_ll sll {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(kSimEtherType);
    sll.sll_ifindex = Iface.IfIndex;
    sll.sll_halen = 6;
    for (size_t i = 0; i < 6 && i < Length; ++i) sll.sll_addr[i] = pFrame[i];
    ssize_t n;
    do {
        n = sendto(Iface.Sock.Get(), pFrame, Length, 0, reinterpret_cast<struct sockaddr*>(&sll),
                   sizeof(sll));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (pError) *pError = _Errno("send on " + Iface.Name);
        return false;
    }
    if (static_cast<size_t>(n) != Length) {
        if (pError) *pError = "short send on " + Iface.Name;
        return false;
    }
    return true;
}

SimRecv SimIfaceRecv(_SIM_IFACE& Iface, uint8_t* pBuf, size_t Capacity, size_t* pLength, bool* pTruncated,
                     uint8_t* pPktType, std::string* pError) {
    struct sockaddr_ll from {};
    socklen_t fromLength = sizeof(from);
    ssize_t n;
    do {
        n = recvfrom(Iface.Sock.Get(), pBuf, Capacity, MSG_TRUNC, reinterpret_cast<struct sockaddr*>(&from),
                     &fromLength);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return SimRecv::Again;
        if (pError) *pError = _Errno("receive on " + Iface.Name);
        return SimRecv::Error;
    }
    // With MSG_TRUNC the result is the real frame length, which may exceed the buffer.
    *pTruncated = static_cast<size_t>(n) > Capacity;
    *pLength = *pTruncated ? Capacity : static_cast<size_t>(n);
    *pPktType = from.sll_pkttype;
    return SimRecv::Frame;
}
