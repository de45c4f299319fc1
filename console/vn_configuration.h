// The unit configuration menu: the console opens the CTU port of a unit this host connected
// and sets its MAC address, device name and password, stores its UART and DIO settings in
// flash and updates its firmware.
#pragma once

#include <netinet/in.h>

#include "mng_client.h"

// The console's own connection to one unit's CTU port; the socket closes with the record.
struct _CTU_CLIENT {
    int Sock = -1;
    sockaddr_in ServerAddr{};

    _CTU_CLIENT() = default;
    _CTU_CLIENT(const _CTU_CLIENT&) = delete;
    _CTU_CLIENT& operator=(const _CTU_CLIENT&) = delete;
    ~_CTU_CLIENT();
};
using PCTU_CLIENT = _CTU_CLIENT*;

// Main-menu entry N: asks for the unit, shows the sub-menu until Q, a MAC change or a finished
// firmware update (the unit reboots then).
void VnConfiguration(PMNG_CLIENT pClient);
