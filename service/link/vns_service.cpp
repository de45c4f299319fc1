#include "vns_service.h"

#include "vn_dllp_search.h"
#include "vn_main.h"

_VNS_SERVICE VNsService;

namespace {

constexpr unsigned kSearchGapMs = 1000;
constexpr int kCyclesBetweenRemovals = 5;

void* _SearchThread(void* pArg) {
    _VNS_SERVICE* pService = static_cast<_VNS_SERVICE*>(pArg);
    int clearCount = 0;
    for (;;) {
        if (++clearCount > kCyclesBetweenRemovals) {
            VnMainDelAllWithoutMappingOrConnectedByHost();
            clearCount = 0;
        }
        VnDllpSearchAdvanceWithAllNic();
        if (!PemServiceWait(pService, kSearchGapMs)) break;
        VnDllpSearchDockWithAllNic();
        if (!PemServiceWait(pService, kSearchGapMs)) break;
    }
    return nullptr;
}

}  // namespace

int VNsServiceStart(_VNS_SERVICE* pService) { return PemServiceStart(pService, _SearchThread); }
void VNsServiceStop(_VNS_SERVICE* pService) { PemServiceStop(pService); }
