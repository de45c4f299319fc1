// Registry answers to the management queries: lists of unit records built into a caller's
// buffer. Each zeroes the buffer, writes whole records only (a record that would not fit is
// left out together with every record after it, so nothing is ever written past the buffer),
// sets *pReturnLength and returns the status.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vn_device.h"

constexpr size_t kMngBasicVnInfoLength = 28;
constexpr size_t kMngBasicVnInfoWithPortsLength = 36;

enum : uint16_t {
    MNG_STATUS_SUCCESS = 0,
    MNG_STATUS_PARAMETER_INVALID = 1,
    MNG_STATUS_NIC_NOT_FOUND = 16,
    MNG_STATUS_NIC_REFRESH_FAIL = 17,
    MNG_STATUS_NIC_TX_FAIL = 18,
    MNG_STATUS_VN_NOT_FOUND = 32,
};

// The TCP ports a connected unit offers to clients; 0 while it has no such server.
void VnMainGetTcpPorts(PVN_DEVICE pVn, uint32_t* pCtuTcpPort, uint32_t* pSioTcpPort);

uint16_t VnMainSearchByAllNic(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);
uint16_t VnMainSearchBySpecificNic(const uint8_t* pNicMac, uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);
uint16_t VnMainGetSpecificVnDetailInfo(const uint8_t* pVnMac, uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);
uint16_t VnMainUpdateSpecificVnDetailInfo(const uint8_t* pVnMac, uint8_t* pBuff, size_t BuffLength,
                                          size_t* pReturnLength);
uint16_t VnMainGetAllMappingInfoMappedByHost(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);
uint16_t VnMainGetAllVnInfoConnectedByHost(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);
uint16_t NicMainGetAllInfo(uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);

// One mapping info record of a unit (MAC, UART count, channel and minor per UART).
size_t VnMainBuildMappingInfo(PVN_DEVICE pVn, uint8_t* pBuff, size_t BuffLength);
