// Mapping and connect records on disk: one file per unit, named by its MAC.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vn_device.h"

constexpr size_t kCfgPasswordLength = 32;

// "<dir>/<12 lower-case hex digits>"
void CfgRecordPath(char* pOut, size_t Size, const char* pDir, const uint8_t* pMac);
// Parses a record name of exactly 12 hexadecimal digits (either case); 0 for any other name.
int CfgParseRecordName(const char* pName, uint8_t* pMac);

int CfgMappingAdd(PVN_DEVICE pVn);
int CfgMappingDel(PVN_DEVICE pVn);
int CfgConnectAdd(PVN_DEVICE pVn);
int CfgConnectWritePassword(PVN_DEVICE pVn);
int CfgConnectDel(PVN_DEVICE pVn);
// Reads a connect record into PasswordRaw: missing bytes of a short file count as 0xFF
// before inversion. 0 when the file cannot be opened.
int CfgConnectRead(const char* pPath, uint8_t* pPasswordRaw);
