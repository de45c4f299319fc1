// Mapping and connect records on disk: one file per unit, named by its MAC.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t kCfgPasswordLength = 32;

// "<dir>/<12 lower-case hex digits>"
void CfgRecordPath(char* pOut, size_t Size, const char* pDir, const uint8_t* pMac);
// Parses a record name of exactly 12 hexadecimal digits (either case); 0 for any other name.
int CfgParseRecordName(const char* pName, uint8_t* pMac);

// A unit's records, named by its MAC; the connect record holds the stored (raw) password.
int CfgMappingAdd(const uint8_t* pVnMac);
int CfgMappingDel(const uint8_t* pVnMac);
int CfgConnectAdd(const uint8_t* pVnMac, const uint8_t* pPasswordRaw);
int CfgConnectWritePassword(const uint8_t* pVnMac, const uint8_t* pPasswordRaw);
int CfgConnectDel(const uint8_t* pVnMac);
// Reads a connect record into PasswordRaw: missing bytes of a short file count as 0xFF
// before inversion. 0 when the file cannot be opened.
int CfgConnectRead(const char* pPath, uint8_t* pPasswordRaw);
