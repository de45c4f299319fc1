#include "cfg_record.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "cfg_check_dir.h"
#include "pem_dbg.h"

namespace {

bool _Exists(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0;
}

int _HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Removes every record of the unit in the directory: the canonical lower-case name and any
// other spelling (upper-case names restore the same unit, so they must go with it).
int _Del(const uint8_t* m, const char* dir, const char* what) {
    int found = 0, ok = 1;
    if (DIR* d = opendir(dir)) {
        while (const dirent* e = readdir(d)) {
            uint8_t mac[6];
            if (!CfgParseRecordName(e->d_name, mac) || memcmp(mac, m, 6) != 0) continue;
            ++found;
            const std::string path = std::string(dir) + "/" + e->d_name;
            if (unlink(path.c_str()) != 0) {
                PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), CFG, del %s config, del FAIL, errno:%d\n", m[3], m[4],
                       m[5], what, errno);
                ok = 0;
            }
        }
        closedir(d);
    }
    if (!found)
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), CFG, del %s config, not exist\n", m[3], m[4], m[5], what);
    return ok;
}

// Writes the 32 inverted password bytes one at a time; 0 at the first byte not written.
int _WritePassword(const uint8_t* m, const uint8_t* pPasswordRaw, bool isAdd) {
    char path[96];
    CfgRecordPath(path, sizeof(path), kCfgConnectDir, m);
    const bool existed = _Exists(path);
    FILE* f = fopen(path, "wb");
    if (!f) {
        if (!isAdd)
            PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), CFG, write password, open FAIL, errno:%d\n", m[3], m[4],
                   m[5], errno);
        else if (existed)
            PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), CFG, add connect config, open FAIL, errno:%d\n", m[3], m[4],
                   m[5], errno);
        else
            PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), CFG, add connect config, create FAIL, errno:%d\n", m[3],
                   m[4], m[5], errno);
        return 0;
    }
    int ok = 1;
    for (size_t i = 0; i < kCfgPasswordLength && ok; ++i)
        if (fputc(static_cast<uint8_t>(~pPasswordRaw[i]), f) == EOF) ok = 0;
    if (fclose(f) != 0) ok = 0;
    return ok;
}

}  // namespace

void CfgRecordPath(char* pOut, size_t Size, const char* pDir, const uint8_t* m) {
    snprintf(pOut, Size, "%s/%02x%02x%02x%02x%02x%02x", pDir, m[0], m[1], m[2], m[3], m[4], m[5]);
}

int CfgParseRecordName(const char* pName, uint8_t* pMac) {
    if (strlen(pName) != 12) return 0;
    for (int i = 0; i < 6; ++i) {
        const int hi = _HexDigit(pName[2 * i]), lo = _HexDigit(pName[2 * i + 1]);
        if (hi < 0 || lo < 0) return 0;
        pMac[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return 1;
}

int CfgMappingAdd(const uint8_t* m) {
    char path[96];
    CfgRecordPath(path, sizeof(path), kCfgMappingDir, m);
    if (_Exists(path)) return 1;
    FILE* f = fopen(path, "w");
    if (!f) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), CFG, add mapping config, create FAIL, errno:%d\n", m[3], m[4],
               m[5], errno);
        return 0;
    }
    fclose(f);
    return 1;
}

int CfgMappingDel(const uint8_t* pVnMac) {
    return _Del(pVnMac, kCfgMappingDir, "mapping");
}
int CfgConnectDel(const uint8_t* pVnMac) {
    return _Del(pVnMac, kCfgConnectDir, "connect");
}
int CfgConnectAdd(const uint8_t* pVnMac, const uint8_t* pPasswordRaw) {
    return _WritePassword(pVnMac, pPasswordRaw, true);
}
int CfgConnectWritePassword(const uint8_t* pVnMac, const uint8_t* pPasswordRaw) {
    return _WritePassword(pVnMac, pPasswordRaw, false);
}

int CfgConnectRead(const char* pPath, uint8_t* pPasswordRaw) {
    FILE* f = fopen(pPath, "rb");
    if (!f) return 0;
    uint8_t stored[kCfgPasswordLength];
    memset(stored, 0xFF, sizeof(stored));
    const size_t n = fread(stored, 1, sizeof(stored), f);
    (void)n;  // a short file leaves its missing bytes at 0xFF
    fclose(f);
    for (size_t i = 0; i < kCfgPasswordLength; ++i) pPasswordRaw[i] = static_cast<uint8_t>(~stored[i]);
    return 1;
}
