// What connecting a unit sets up besides the link: one channel family per DIB type (its
// objects and controller-information read), the unit's configuration and channel servers,
// and the management event for a lost unit. Each family or server fills its entry when it
// exists; an empty entry means the unit gets nothing of that kind.
#pragma once

#include <cstdint>

#include "vn_device.h"

struct _VN_CHANNEL_FAMILY {
    int IsCtu;          // control-unit objects: created first, served by the CTU server
    int SioWhenMapped;  // its objects are served by the SIO server (UARTs of mapped units are not)
    int SioWhenUnmapped;
    int (*Add)(PVN_DEVICE pVn, PDIB pDib, int Mapped);
    void (*Del)(PVN_DEVICE pVn, PDIB pDib, int Mapped);
    int (*GetControllerInfo)(PVN_DEVICE pVn, PDIB pDib, int Mapped);
    int Reads;                    // how many times the controller information is read
    const char* InfoFailMessage;  // e.g. "get DIO controller & bank info fail"
    const char* InfoFailMessageMapped;
};

struct _VN_UNIT_SERVICES {
    const _VN_CHANNEL_FAMILY* Families[12];  // by DIB type 0..11
    // UART channels of a unit this host maps are the TTY bridge's, not Families[1]'s.
    const _VN_CHANNEL_FAMILY* TtyFamily;
    int (*CtuServerStart)(PVN_DEVICE pVn, uint32_t* pCtuTcpPort);
    void (*CtuServerStop)(PVN_DEVICE pVn);
    int (*SioServerStart)(PVN_DEVICE pVn, uint32_t CtuTcpPort);
    void (*SioServerStop)(PVN_DEVICE pVn);
    // Ports of a unit's running servers (0 when a server does not run).
    void (*GetTcpPorts)(PVN_DEVICE pVn, uint32_t* pCtuTcpPort, uint32_t* pSioTcpPort);
    // The port of a unit's running SIO server (0 when none).
    uint32_t (*SioGetTcpPort)(PVN_DEVICE pVn);
    // Tells every management client that the unit was lost.
    void (*DisconnectEvent)(PVN_DEVICE pVn);
    // Minors and device nodes of a mapped unit's UART channels, kept by the TTY bridge.
    // Without them a mapping fails as if no minor were free.
    int (*TtyMinorAlloc)(PVN_DEVICE pVn, uint8_t ChlNumber);  // -1 when all are in use
    void (*TtyMinorFree)(int Minor);
    int (*TtyNodeCreate)(int Minor, int* pErrno);  // 0 on success
    int (*TtyNodeDelete)(int Minor, int* pErrno);
    // 1 while the netlink bridge to the kernel TTY driver runs.
    int (*TtyBridgeStarted)();
};

extern _VN_UNIT_SERVICES VnUnitServices;
