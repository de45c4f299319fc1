#include "cfg_service.h"

#include <dirent.h>
#include <string.h>

#include <string>

#include "cfg_check_dir.h"
#include "cfg_record.h"
#include "pem_dbg.h"
#include "vn_connect.h"
#include "vn_main.h"
#include "vn_mng_query.h"

_CFG_SERVICE CfgService;

namespace {

constexpr int kPasses = 5;
constexpr unsigned kPassGapMs = 1000;

#define VN_FMT "VN  (:%.2x:%.2x:%.2x), "

// Calls fn(mac, name) for every entry named by 12 hexadecimal digits; 0 when the directory
// cannot be opened.
template <typename Fn>
int _ForEachRecord(const char* dir, Fn fn) {
    DIR* d = opendir(dir);
    if (!d) return 0;
    while (const dirent* e = readdir(d)) {
        uint8_t mac[6];
        if (CfgParseRecordName(e->d_name, mac)) fn(mac, e->d_name);
    }
    closedir(d);
    return 1;
}

void* _RestoreThread(void* pArg) {
    _CFG_SERVICE* pService = static_cast<_CFG_SERVICE*>(pArg);
    // All mapping passes run before the first connect pass: mapping is refused while a unit
    // is connected.
    for (int pass = 0; pass < kPasses; ++pass) {
        CfgMappingPass();
        if (!PemServiceWait(pService, kPassGapMs)) return nullptr;
    }
    for (int pass = 0; pass < kPasses; ++pass) {
        CfgConnectPass();
        if (!PemServiceWait(pService, kPassGapMs)) return nullptr;
    }
    return nullptr;
}

}  // namespace

void CfgMappingPass() {
    const int opened = _ForEachRecord(kCfgMappingDir, [](const uint8_t* mac, const char*) {
        VnRef u = VnMainGetByMac(mac);
        // A unit whose channels are not known yet is tried again next pass, like one the
        // search has not found yet.
        if (u && (u->IsMappingByHost || !u->Informed)) return;
        const bool known = static_cast<bool>(u);
        u.reset();
        const uint16_t status = VnMainMapping(mac, 0, nullptr, 0, nullptr);
        // An unknown unit may simply not have been found yet: tried again next pass.
        if (!known && status != 0 && status != MNG_STATUS_VN_NOT_FOUND)
            PemDbg(1, 1, VN_FMT "CFG, NEW, mapping FAIL, nStatus:x%02x\n\n", mac[3], mac[4], mac[5], status);
        else if (known && status != 0)
            PemDbg(1, 1, VN_FMT "CFG, EXIST, mapping FAIL, nStatus:x%02x\n\n", mac[3], mac[4], mac[5], status);
    });
    if (!opened) PemDbg(1, 1, "CFG, Startup mapping config, open dir fail\n");
}

void CfgConnectPass() {
    const int opened = _ForEachRecord(kCfgConnectDir, [](const uint8_t* mac, const char* name) {
        const std::string path = std::string(kCfgConnectDir) + "/" + name;
        uint8_t raw[kCfgPasswordLength];
        if (!CfgConnectRead(path.c_str(), raw)) {
            PemDbg(1, 1, VN_FMT "CFG, connect FAIL, can't open file\n\n", mac[3], mac[4], mac[5]);
            return;
        }
        VnRef u = VnMainGetByMac(mac);
        if (u && (u->IsConnectedByHost || !u->Informed)) return;
        const bool known = static_cast<bool>(u);
        u.reset();
        uint32_t ctu = 0, sio = 0;
        const uint16_t status = VnMainConnect(mac, raw, &ctu, &sio);
        if (!known && status != 0 && status != MNG_STATUS_VN_NOT_FOUND)
            PemDbg(1, 1, VN_FMT "CFG, NEW, connect FAIL, nStatus:x%02x\n\n", mac[3], mac[4], mac[5], status);
        else if (known && status != 0)
            PemDbg(1, 1, VN_FMT "CFG, EXIST, connect FAIL, nStatus:x%02x\n\n", mac[3], mac[4], mac[5], status);
    });
    if (!opened) PemDbg(1, 1, "CFG, Startup connect config, open dir fail\n");
}

int CfgServiceStart(_CFG_SERVICE* pService) { return PemServiceStart(pService, _RestoreThread); }
void CfgServiceStop(_CFG_SERVICE* pService) { PemServiceStop(pService); }
