// One raw link socket per network interface, shared by every unit played on it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sim_fd.h"
#include "sim_wire.h"

struct _SIM_IFACE {
    std::string Name;
    int IfIndex = 0;
    SimMac Mac{};
    SimFd Sock;  // invalid for interfaces that tests fake
    uint64_t RxFrames = 0;
    uint64_t TxFrames = 0;
    uint64_t TxErrors = 0;
    uint64_t RxDropped = 0;  // frames that could not be decoded or were cut by the buffer
};

// Opens an AF_PACKET socket for EtherType 0xD41F bound to the interface, non-blocking, with
// promiscuous membership: the units have MAC addresses of their own, which the interface's
// address filter would otherwise drop. Nullptr and a message when it cannot.
std::unique_ptr<_SIM_IFACE> SimIfaceOpen(const std::string& Name, std::string* pError);

// Sends one whole frame; false and a message when it did not go out complete.
bool SimIfaceSend(_SIM_IFACE& Iface, const uint8_t* pFrame, size_t Length, std::string* pError);

enum class SimRecv { Frame, Again, Error };
// Reads one frame into pBuf. *pLength is the received length (capped at Capacity), *pTruncated
// tells that the frame was longer than the buffer, *pPktType is the kernel's packet class
// (PACKET_OUTGOING for frames this host sent).
SimRecv SimIfaceRecv(_SIM_IFACE& Iface, uint8_t* pBuf, size_t Capacity, size_t* pLength, bool* pTruncated,
                     uint8_t* pPktType, std::string* pError);
