#include "vn_dllp_search.h"

#include <unistd.h>

#include <algorithm>
#include <vector>

#include "nic_main.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_link_frame.h"

namespace {

constexpr int kMaxSearchedNicIndex = 254;
constexpr unsigned kNicGapUs = 50 * 1000;
const uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// References to the NICs to search, by ascending index; taken under NicListMutex and used
// without it, so a refresh meanwhile cannot free a record being sent on.
std::vector<NicRef> _NicsToSearch() {
    std::vector<NicRef> nics;
    qor::MutexLock lock(&NicListMutex);
    for (PDLIST p = NicList.Flink; p != &NicList; p = p->Flink) {
        PNIC_DEVICE pNic = reinterpret_cast<PNIC_DEVICE>(p);
        if (pNic->Index >= 0 && pNic->Index <= kMaxSearchedNicIndex) nics.push_back(NicMainAddRef(pNic));
    }
    std::sort(nics.begin(), nics.end(), [](const NicRef& a, const NicRef& b) { return a->Index < b->Index; });
    return nics;
}

int _SearchAll(uint8_t code, const char* pMessage) {
    const uint8_t dllp[4] = {kPacketTypeDllp, code, 0, 0};
    const std::vector<NicRef> nics = _NicsToSearch();
    for (size_t i = 0; i < nics.size(); ++i) {
        if (i > 0) usleep(kNicGapUs);
        const int nReturn = NicTx(nics[i].get(), kBroadcast, dllp, sizeof(dllp));
        if (nReturn < static_cast<int>(sizeof(dllp))) PemDbg(1, 1, pMessage, nics[i]->InterfaceName, nReturn);
    }
    return 0;
}

}  // namespace

int VnDllpSearchAdvanceWithAllNic() {
    return _SearchAll(DLLP_CMD_ADVANCE_SEARCH, "VN advance search with %s fail, nReturn :%d\n");
}

int VnDllpSearchDockWithAllNic() { return _SearchAll(DLLP_CMD_DOCK_SEARCH, "VN dock search with %s fail, nReturn :%d\n"); }
