// Builders of the DLLP commands the service sends to one unit. Each returns 0 when the
// whole DLLP went out and 18 otherwise, after logging.
#pragma once

#include <cstdint>

#include "nic_main.h"
#include "vn_device.h"

constexpr int kDllpTxFailStatus = 18;

enum : uint8_t {
    DISCONNECT_MODE_CONNECT = 0,
    DISCONNECT_MODE_BY_CLIENT = 1,
    DISCONNECT_MODE_MAC_CHANGED = 2,
    DISCONNECT_MODE_BY_UNIT = 3,
};

// Fills pOut (room for 40 bytes) with the connect or disconnect DLLP for a unit in the given
// mode; returns its length (40 in advance mode, 4 in dock mode).
int VnDllpBuildConnect(uint8_t* pOut, uint8_t TypeInfo_Mode, uint8_t DisconnectMode, uint16_t HostSeqNumber,
                       const uint8_t* pPasswordRaw);

int VnDllpCmdGetInfoStructure(PNIC_DEVICE pNic, const uint8_t* pMac);
int VnDllpCmdKeepAlive(PNIC_DEVICE pNic, const uint8_t* pMac);
int VnDllpCmdConnect(PVN_DEVICE pVn, const uint8_t* pPasswordRaw);
int VnDllpCmdDisconnect(PVN_DEVICE pVn, uint8_t DisconnectMode);
int VnDllpAckToVN(PVN_DEVICE pVn, uint16_t SeqNumber);
