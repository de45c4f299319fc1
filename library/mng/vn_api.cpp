// The vn_* application interface over the mng_* layer: initialisation and shutdown, versions,
// and the per-unit disconnect callbacks.
#include <string.h>

#include <atomic>
#include <memory>
#include <new>
#include <vector>

#include "mng_client.h"
#include "pem_lock.h"
#include "qorio.h"
#include "sio_core.h"

using namespace qorlib;

namespace {

constexpr const char* kLibraryVersion = "20190808";

// Disconnect-callback registry: one entry per unit MAC, kept for the library's life.
struct _VN_CONNECT {
    uint8_t VnMac[6];
    uint8_t Enable;
    vn_disconnect_callback Callback;
};
pthread_mutex_t VnConnectListMutex = PTHREAD_MUTEX_INITIALIZER;
std::vector<_VN_CONNECT> VnConnectList;

std::atomic<vn_disconnect_callback> gManagementFunction{nullptr};
pthread_mutex_t gInitMutex = PTHREAD_MUTEX_INITIALIZER;
std::atomic<int> gInitialised{0};

void VnConnectAdd(const uint8_t* pMac, vn_disconnect_callback Callback) {
    qor::MutexLock lock(&VnConnectListMutex);
    for (const auto& e : VnConnectList) {
        if (memcmp(e.VnMac, pMac, 6) == 0) return;  // the first registration stays
    }
    _VN_CONNECT e{};
    memcpy(e.VnMac, pMac, 6);
    e.Enable = 1;
    e.Callback = Callback;
    VnConnectList.push_back(e);
}

// Copies the MAC's entry out (the callback is called without the lock); false if none.
bool VnGetConnectByMac(const uint8_t* pMac, _VN_CONNECT* pOut) {
    qor::MutexLock lock(&VnConnectListMutex);
    for (const auto& e : VnConnectList) {
        if (memcmp(e.VnMac, pMac, 6) == 0) {
            *pOut = e;
            return true;
        }
    }
    return false;
}

// 0 when the unit is among the units this host has connected, else 76.
int _ConnectedByThisHost(const uint8_t* pMac) {
    if (!MngClient().IsConnect) return VN_ERR_NOT_CONNECTED_BY_HOST;
    std::unique_ptr<_VN_UNIT_LIST> list(new (std::nothrow) _VN_UNIT_LIST);
    if (!list || mng_vn_get_all_vn_info_connected_by_host(list.get()) != 0) return VN_ERR_NOT_CONNECTED_BY_HOST;
    for (uint32_t i = 0; i < list->Count; ++i) {
        if (memcmp(list->Unit[i].VnMac, pMac, 6) == 0) return 0;
    }
    return VN_ERR_NOT_CONNECTED_BY_HOST;
}

void _CopyString(char* pDst, size_t Size, const char* pSrc) {
    memset(pDst, 0, Size);
    const size_t n = strnlen(pSrc, Size - 1);
    memcpy(pDst, pSrc, n);
}

}  // namespace

namespace qorlib {

void VnConnectHandleDisconnect(const uint8_t* pMac) {
    // The unit's SIO server went with it: its connection and receive thread are closed.
    SioFreeForUnit(pMac);
    _VN_CONNECT e{};
    if (!VnGetConnectByMac(pMac, &e) || e.Enable != 1 || !e.Callback) return;
    // The application gets its own copy of the MAC, never the receive buffer.
    uint8_t mac[6];
    memcpy(mac, pMac, sizeof(mac));
    e.Callback(mac);
}

}  // namespace qorlib

extern "C" {

QORIO_API int mng_lib_init(void) {
    qor::MutexLock lock(&gInitMutex);
    if (gInitialised) return 0;
    const int rc = MngClientStart();
    if (rc != 0) return rc;
    gInitialised = 1;
    return 0;
}

QORIO_API int mng_lib_free(void) {
    // From a disconnect callback the receive thread would have to join itself: refused.
    if (MngClientOnReceiveThread()) return 0;
    qor::MutexLock lock(&gInitMutex);
    if (!gInitialised) return 0;
    MngClientStop();
    {
        qor::MutexLock listLock(&VnConnectListMutex);
        VnConnectList.clear();
    }
    gInitialised = 0;
    return 0;
}

QORIO_API int vn_lib_init(void) { return mng_lib_init(); }
QORIO_API int vn_lib_free(void) { return mng_lib_free(); }

QORIO_API int vn_get_version(_VN_VERSION* pVersion) {
    if (!pVersion) return 1;
    const _LIB_VERSIONS v = MngClientVersions();
    memset(pVersion, 0, sizeof(*pVersion));
    _CopyString(pVersion->ServiceVersion, sizeof(pVersion->ServiceVersion), v.ServiceVersion);
    _CopyString(pVersion->LibraryVersion, sizeof(pVersion->LibraryVersion), kLibraryVersion);
    _CopyString(pVersion->TtyDriverVersion, sizeof(pVersion->TtyDriverVersion), v.TtyDriverVersion);
    pVersion->TtyDriverStarted = v.TtyDriverStarted;
    return 0;
}

QORIO_API int vn_get_version_info(void) { return MngClientFetchVersions(); }

QORIO_API int vn_get_service_connection_status(void) { return mng_check_connection(); }

QORIO_API int vn_get_all_nic_info(_VN_NIC_LIST* pList) { return mng_get_all_nic_info(pList); }

// The service's NIC list as it stands; the service is not asked to rebuild it.
QORIO_API int vn_refresh_nic(_VN_NIC_LIST* pList) { return mng_get_all_nic_info(pList); }

QORIO_API int vn_search_vn(_VN_UNIT_LIST* pList) { return mng_search_all_vn(pList); }

QORIO_API int vn_update_specific_vn_detail_info(uint8_t* pMac) {
    return mng_update_specific_vn_detail_info(pMac);
}

QORIO_API int vn_get_specific_vn_detail_info(uint8_t* pMac, _VN_UNIT_RECORD* pUnit) {
    if (!pMac || !pUnit) return 1;
    const int rc = mng_update_specific_vn_detail_info(pMac);
    if (rc != 0) return rc;
    return mng_get_specific_vn_detail_info(pMac, pUnit);
}

QORIO_API int vn_mapping(uint8_t* pMac) { return mng_vn_mapping(pMac); }
QORIO_API int vn_unmapping(uint8_t* pMac) { return mng_vn_unmapping(pMac); }

QORIO_API int vn_get_all_vn_mapping_info(_VN_MAPPING_LIST* pList) { return mng_vn_get_all_vn_mapping_info(pList); }

QORIO_API int vn_connect(uint8_t* pMac, uint32_t* pSioPort, uint32_t* pCtuPort, int PwdFlag, const uint8_t* pPwd,
                         int PwdLength) {
    if (!pMac) return 1;
    // An unknown unit is refused by the detail step; no connect command goes out.
    std::unique_ptr<_VN_UNIT_RECORD> scratch(new (std::nothrow) _VN_UNIT_RECORD);
    if (!scratch) return VN_ERR_NO_MEMORY;
    const int rc = mng_get_specific_vn_detail_info(pMac, scratch.get());
    if (rc != 0) return rc;
    return mng_vn_connect(pMac, pSioPort, pCtuPort, PwdFlag, pPwd, PwdLength);
}

QORIO_API int vn_disconnect(uint8_t* pMac) {
    const int rc = mng_vn_disconnect(pMac);
    if (rc == 0) {
        // Its servers are gone with the connection.
        CtuClientCloseForUnit(pMac);
        SioFreeForUnit(pMac);
    }
    return rc;
}

QORIO_API int vn_get_all_vn_info_connected_by_host(_VN_UNIT_LIST* pList) {
    return mng_vn_get_all_vn_info_connected_by_host(pList);
}

QORIO_API int vn_get_password(uint8_t* pMac, uint8_t* pPwd, int* pLength) {
    if (!pMac || !pPwd || !pLength) return 1;
    const int rc = _ConnectedByThisHost(pMac);
    if (rc != 0) return rc;
    return mng_get_password(pMac, pPwd, pLength);
}

QORIO_API int vn_set_disconnet_event_callback(uint8_t* pMac, vn_disconnect_callback Callback) {
    if (!pMac) return 1;
    const int rc = _ConnectedByThisHost(pMac);
    if (rc != 0) return rc;
    VnConnectAdd(pMac, Callback);
    return 0;
}

QORIO_API void management_register_function(vn_disconnect_callback fn) { gManagementFunction = fn; }

QORIO_API void management_function_needing_callback(uint8_t* pMac) {
    const vn_disconnect_callback fn = gManagementFunction;
    if (fn) fn(pMac);
}

}  // extern "C"
