// Connecting, disconnecting, reconnecting and mapping units (operations of the registry).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vn_device.h"

enum : uint16_t {
    VN_STATUS_KEEP_ALIVE_FAIL = 33,
    VN_STATUS_CTU_SERVER_FAIL = 34,
    VN_STATUS_SIO_SERVER_FAIL = 35,
    VN_STATUS_MAPPING_ALREADY = 48,
    VN_STATUS_NOT_MAPPING = 49,
    VN_STATUS_NO_IO_FOR_MAPPING = 50,
    VN_STATUS_CREATE_NODE_FAIL = 51,
    VN_STATUS_DELETE_NODE_FAIL = 52,
    VN_STATUS_ALLOC_MINOR_FAIL = 53,
    VN_STATUS_CONNECTED_ALREADY = 64,
    VN_STATUS_CONNECT_TIMEOUT = 65,
    VN_STATUS_BUSY = 66,
    VN_STATUS_VERSION_UNSUPPORTED = 67,
    VN_STATUS_CONNECT_FAIL = 68,
    VN_STATUS_PASSWORD_INCORRECT = 69,
    VN_STATUS_DISCONNECTED_ALREADY = 70,
    VN_STATUS_DISCONNECT_TIMEOUT = 71,
    VN_STATUS_DISCONNECT_BUSY = 72,
    VN_STATUS_DISCONNECT_VERSION_UNSUPPORTED = 73,
    VN_STATUS_DISCONNECT_FAIL = 74,
    VN_STATUS_DISCONNECT_PASSWORD_INCORRECT = 75,
};

// The stored password form: reversed and right-aligned in 32 bytes (first byte at 31).
void VnPasswordToRaw(const uint8_t* pPassword, size_t Length, uint8_t* pPasswordRaw);
// Back to the client's order: from byte 31 downward until a zero byte; returns the length.
size_t VnPasswordFromRaw(const uint8_t* pPasswordRaw, uint8_t* pPassword);

uint16_t VnMainConnect(const uint8_t* pVnMac, const uint8_t* pPasswordRaw, uint32_t* pCtuTcpPort,
                       uint32_t* pSioTcpPort);
uint16_t VnMainDisconnect(const uint8_t* pVnMac, uint8_t DisconnectMode);
uint16_t VnMainReConnect(PVN_DEVICE pVn);
void VnMainDisconnectByRemoteVn(PVN_DEVICE pVn);
// Disconnects the unit with the given mode in a job thread of its own (counted, and refused
// from shutdown on), for callers that must not wait for the unit's reply themselves.
void VnMainDisconnectJob(PVN_DEVICE pVn, uint8_t DisconnectMode);
uint16_t VnMainMapping(const uint8_t* pVnMac, int NeedGetMappingInfo, uint8_t* pBuff, size_t BuffLength,
                       size_t* pReturnLength);
uint16_t VnMainUnMapping(const uint8_t* pVnMac);
// 1: refuses new unit-requested disconnect jobs and waits for the running ones (shutdown);
// 0: accepts them again (start-up).
void VnMainUnitJobsRefuse(int Refuse);
uint16_t VnMainGetVnPassword(const uint8_t* pVnMac, uint8_t* pBuff, size_t BuffLength, size_t* pReturnLength);
