#include "vn_connect.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <new>

#include "cfg_record.h"
#include "pem_dbg.h"
#include "pem_lock.h"
#include "pem_thread.h"
#include "pem_utils.h"
#include "vn_dllp_cmd.h"
#include "vn_keep_alive.h"
#include "vn_link_frame.h"
#include "vn_main.h"
#include "vn_mng_query.h"
#include "vn_tlp_stream.h"
#include "vn_unit_services.h"

_VN_UNIT_SERVICES VnUnitServices = {};

namespace {

#define VN_FMT "VN  (:%.2x:%.2x:%.2x), "
#define VN_ARGS(m) (m)[3], (m)[4], (m)[5]

constexpr unsigned kDllpReplyTimeoutMs = 200;
constexpr unsigned kInfoWaitMs = 500;

// Unit-requested disconnects run in detached threads; the shutdown waits for them (they use
// the registry) and refuses new ones.
pthread_mutex_t gUnitJobsMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gUnitJobsCond = PTHREAD_COND_INITIALIZER;
int gUnitJobs = 0;
int gUnitJobsRefused = 0;

// A record the search has just created (again, after the periodic removal) knows neither its
// mode nor its channels until its first info pass: a connect or mapping waits for that pass,
// at most kInfoWaitMs, and otherwise treats the unit as not found. Informed is set inside a
// get-info exchange, whose end wakes DllpCmdCompleteCond.
bool _WaitInformed(PVN_DEVICE pVn) {
    if (pVn->Informed) return true;
    VnMainUpdateInfo(pVn);  // the first pass may have timed out already
    struct timespec deadline;
    PemSetTimeout(&deadline, kInfoWaitMs);
    qor::MutexLock lock(&pVn->DllpCmdCompleteMutex);
    int rc = 0;
    while (!pVn->Informed && rc != ETIMEDOUT)
        rc = pthread_cond_timedwait(&pVn->DllpCmdCompleteCond, &pVn->DllpCmdCompleteMutex, &deadline);
    return pVn->Informed != 0;
}

enum class Exchange { kReply, kSendFail, kTimeout, kEmpty };

// One connect-type exchange with the unit. Only a connect response (code 3 for dock mode, 11
// for advance mode) answers it: the reply slot drops a late reply to an earlier command (an
// info structure, say), whose bytes would otherwise read as a return code. On a reply, frame
// bytes 16 and 17 are returned.
Exchange _Exchange(PVN_DEVICE pVn, int (*send)(PVN_DEVICE, const void*), const void* arg, uint8_t* pB16,
                   uint8_t* pB17) {
    VnDllpExchange exchange(
        pVn, pVn->TypeInfo_Mode == 1 ? DLLP_CMD_ADVANCE_CONNECT_RESPONSE : DLLP_CMD_DOCK_CONNECT_RESPONSE);
    if (send(pVn, arg) != 0) return Exchange::kSendFail;
    const int rc = exchange.WaitReply(kDllpReplyTimeoutMs);
    if (pVn->RxLength == 0) return rc == ETIMEDOUT ? Exchange::kTimeout : Exchange::kEmpty;
    if (pVn->RxLength < 18) return Exchange::kEmpty;  // too short to carry a return code
    *pB16 = pVn->RxBuff[16];
    *pB17 = pVn->RxBuff[17];
    return Exchange::kReply;
}

int _SendConnect(PVN_DEVICE pVn, const void* pPasswordRaw) {
    return VnDllpCmdConnect(pVn, static_cast<const uint8_t*>(pPasswordRaw));
}
int _SendDisconnect(PVN_DEVICE pVn, const void* pMode) {
    return VnDllpCmdDisconnect(pVn, *static_cast<const uint8_t*>(pMode));
}

uint16_t _ConnectStatusOf(uint8_t returnCode) {
    switch (returnCode) {
        case 1:
            return VN_STATUS_BUSY;
        case 2:
            return VN_STATUS_VERSION_UNSUPPORTED;
        case 4:
            return VN_STATUS_PASSWORD_INCORRECT;
        default:
            return VN_STATUS_CONNECT_FAIL;
    }
}

uint16_t _DisconnectStatusOf(uint8_t returnCode) {
    switch (returnCode) {
        case 0:
            return 0;
        case 1:
            return VN_STATUS_DISCONNECT_BUSY;
        case 2:
            return VN_STATUS_DISCONNECT_VERSION_UNSUPPORTED;
        case 4:
            return VN_STATUS_DISCONNECT_PASSWORD_INCORRECT;
        default:
            return VN_STATUS_DISCONNECT_FAIL;
    }
}

uint16_t _DeviceSeq(uint8_t b16, uint8_t b17) {
    return static_cast<uint16_t>(((b16 & 3) << 8) | b17);
}

void _SetDeviceSeq(PVN_DEVICE pVn, uint16_t deviceSeq) {
    qor::MutexLock lock(&pVn->DeviceSeqNumberMutex);
    pVn->DeviceSeqNumberRx = static_cast<uint16_t>(deviceSeq - 1);
    pVn->DeviceSeqNumberTx = static_cast<uint16_t>(deviceSeq - 1);
}

const _VN_CHANNEL_FAMILY* _Family(const _DIB& dib, int mapped) {
    if (dib.Type == DIB_TYPE_UART && mapped) return VnUnitServices.TtyFamily;
    return dib.Type < 12 ? VnUnitServices.Families[dib.Type] : nullptr;
}

int _Channels(PVN_DEVICE pVn) {
    return std::min<int>(pVn->AvailableChls, kVnMaxChannels);
}

// Deletes the objects of every channel (CTU objects included); InfoLock held shared.
void _DeleteObjectsLocked(PVN_DEVICE pVn) {
    const int mapped = pVn->IsMappingByHost;
    for (int i = 0; i < _Channels(pVn); ++i) {
        const _VN_CHANNEL_FAMILY* f = _Family(pVn->DibArray[i], mapped);
        if (f && f->Del) f->Del(pVn, &pVn->DibArray[i], mapped);
    }
}

void _DeleteObjects(PVN_DEVICE pVn) {
    qor::ReadLock info(&pVn->InfoLock);
    _DeleteObjectsLocked(pVn);
}

// Creates the CTU objects first, then the other channels' objects. On a failure every object
// created here is deleted again and 0 is returned.
int _CreateObjects(PVN_DEVICE pVn, bool* pNeedCtu, bool* pNeedSio) {
    const int mapped = pVn->IsMappingByHost;
    qor::ReadLock info(&pVn->InfoLock);
    const int channels = _Channels(pVn);
    *pNeedCtu = *pNeedSio = false;
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < channels; ++i) {
            _DIB& dib = pVn->DibArray[i];
            const _VN_CHANNEL_FAMILY* f = _Family(dib, mapped);
            if (!f || !f->Add || (pass == 0) != (f->IsCtu != 0)) continue;
            if (!f->Add(pVn, &dib, mapped)) {
                _DeleteObjectsLocked(pVn);
                return 0;
            }
            if (f->IsCtu) *pNeedCtu = true;
            if (mapped ? f->SioWhenMapped : f->SioWhenUnmapped) *pNeedSio = true;
        }
    }
    return 1;
}

void _ReadControllerInfo(PVN_DEVICE pVn) {
    const int mapped = pVn->IsMappingByHost;
    qor::ReadLock info(&pVn->InfoLock);
    for (int i = 0; i < _Channels(pVn); ++i) {
        _DIB& dib = pVn->DibArray[i];
        const _VN_CHANNEL_FAMILY* f = _Family(dib, mapped);
        if (!f || !f->GetControllerInfo) continue;
        for (int n = 0; n < std::max(1, f->Reads); ++n)
            if (!f->GetControllerInfo(pVn, &dib, mapped))
                PemDbg(1, 1, VN_FMT "%s\n", VN_ARGS(pVn->Mac),
                       mapped && f->InfoFailMessageMapped ? f->InfoFailMessageMapped : f->InfoFailMessage);
    }
}

void _StopServers(PVN_DEVICE pVn) {
    if (VnUnitServices.SioServerStop) VnUnitServices.SioServerStop(pVn);
    if (VnUnitServices.CtuServerStop) VnUnitServices.CtuServerStop(pVn);
}

void _ClearLink(PVN_DEVICE pVn) {
    qor::WriteLock info(&pVn->InfoLock);
    pVn->LinkStatus = 0;
    memset(pVn->ConnectedHostMac, 0, sizeof(pVn->ConnectedHostMac));
    pVn->IsConnectedByHost = 0;
}

uint16_t _VnConnect(PVN_DEVICE pVn, const uint8_t* pPasswordRaw) {
    const uint8_t* m = pVn->Mac;
    bool needCtu = false, needSio = false;
    if (!_CreateObjects(pVn, &needCtu, &needSio)) return VN_STATUS_CONNECT_FAIL;
    bool keepAliveCreated = false, ctuStarted = false, sioStarted = false;
    auto fail = [&](uint16_t status) {
        if (sioStarted && VnUnitServices.SioServerStop) VnUnitServices.SioServerStop(pVn);
        if (ctuStarted && VnUnitServices.CtuServerStop) VnUnitServices.CtuServerStop(pVn);
        if (keepAliveCreated) VnKeepAliveThreadDelete(pVn);
        _DeleteObjects(pVn);
        pVn->IsConnectedByHost = 0;
        return status;
    };
    uint8_t b16 = 0, b17 = 0;
    switch (_Exchange(pVn, _SendConnect, pPasswordRaw, &b16, &b17)) {
        case Exchange::kSendFail:
            return fail(MNG_STATUS_NIC_TX_FAIL);
        case Exchange::kTimeout:
            PemDbg(0, 0, VN_FMT "connect, wait rx timeout\n", VN_ARGS(m));
            return fail(VN_STATUS_CONNECT_TIMEOUT);
        case Exchange::kEmpty:
            return fail(VN_STATUS_CONNECT_TIMEOUT);
        case Exchange::kReply:
            break;
    }
    const uint8_t returnCode = b16 >> 2;
    if (returnCode != 0) {
        PemDbg(0, 0, VN_FMT "connect fail, ReturnCode:x%02x\n", VN_ARGS(m), returnCode);
        return fail(_ConnectStatusOf(returnCode));
    }
    const uint16_t deviceSeq = _DeviceSeq(b16, b17);
    pVn->IsConnectedByHost = 1;
    {
        qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
        pVn->DllpKeepAliveCnt = 0;
        pVn->DllpKeepAliveCntReset = 0;
    }
    pVn->DllpKeepAliveTryReConnectCnt = 0;
    {
        qor::WriteLock info(&pVn->InfoLock);
        pVn->LinkStatus = 1;
        memcpy(pVn->ConnectedHostMac, pVn->NicPtr->Mac, 6);
    }
    const bool wasRunning = pVn->DllpKeepAliveThreadRunning != 0;
    if (!VnKeepAliveThreadCreate(pVn)) {
        PemDbg(1, 1, VN_FMT "create keep alive thd fail\n", VN_ARGS(m));
        return fail(VN_STATUS_KEEP_ALIVE_FAIL);
    }
    keepAliveCreated = !wasRunning;
    _SetDeviceSeq(pVn, deviceSeq);
    _ReadControllerInfo(pVn);
    uint32_t ctuPort = 0;
    if (needCtu && VnUnitServices.CtuServerStart) {
        if (VnUnitServices.CtuServerStart(pVn, &ctuPort) != 1) {
            PemDbg(1, 1, VN_FMT "create CTU server fail\n", VN_ARGS(m));
            return fail(VN_STATUS_CTU_SERVER_FAIL);
        }
        ctuStarted = true;
    }
    if (needSio && ctuPort != 0 && VnUnitServices.SioServerStart) {
        if (VnUnitServices.SioServerStart(pVn, ctuPort) != 1) {
            PemDbg(1, 1, VN_FMT "create SIO server fail\n", VN_ARGS(m));
            return fail(VN_STATUS_SIO_SERVER_FAIL);
        }
        sioStarted = true;
    }
    PemDbg(0, 0, VN_FMT "connect ok, DeviceSeqNumber:x%02x%02x, %d\n", VN_ARGS(m), b16, b17, deviceSeq);
    return 0;
}

// Host side of a disconnect; keepAlive false after a loss, when the keep-alive thread and
// its counters are left to the keep-alive path.
void _Teardown(PVN_DEVICE pVn, bool keepAlive) {
    _StopServers(pVn);
    if (keepAlive) VnKeepAliveThreadDelete(pVn);
    _DeleteObjects(pVn);
    _ClearLink(pVn);
    if (keepAlive) {
        {
            qor::MutexLock lock(&pVn->DllpKeepAliveCntMutex);
            pVn->DllpKeepAliveCnt = 0;
            pVn->DllpKeepAliveCntReset = 0;
        }
        pVn->DllpKeepAliveTryReConnectCnt = 0;
    }
}

// pArg: the unit's MAC followed by the disconnect mode.
void* _DisconnectByUnitJob(void* pArg) {
    {
        std::unique_ptr<uint8_t[]> mac(static_cast<uint8_t*>(pArg));
        VnMainDisconnect(mac.get(), mac[6]);
    }
    qor::MutexLock lock(&gUnitJobsMutex);
    --gUnitJobs;
    pthread_cond_broadcast(&gUnitJobsCond);
    return nullptr;
}

}  // namespace

void VnPasswordToRaw(const uint8_t* pPassword, size_t Length, uint8_t* pPasswordRaw) {
    memset(pPasswordRaw, 0, 32);
    Length = std::min<size_t>(Length, 32);
    for (size_t i = 0; i < Length; ++i) pPasswordRaw[31 - i] = pPassword[i];
}

size_t VnPasswordFromRaw(const uint8_t* pPasswordRaw, uint8_t* pPassword) {
    size_t n = 0;
    while (n < 32 && pPasswordRaw[31 - n] != 0) {
        pPassword[n] = pPasswordRaw[31 - n];
        ++n;
    }
    return n;
}

uint16_t VnMainConnect(const uint8_t* pVnMac, const uint8_t* pPasswordRaw, uint32_t* pCtuTcpPort,
                       uint32_t* pSioTcpPort) {
    qor::MutexLock extra(&VnListMutexExtra);
    *pCtuTcpPort = 0;
    *pSioTcpPort = 0;
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    if (u->IsConnectedByHost) {
        VnMainGetTcpPorts(u.get(), pCtuTcpPort, pSioTcpPort);
        return VN_STATUS_CONNECTED_ALREADY;
    }
    if (!_WaitInformed(u.get())) return MNG_STATUS_VN_NOT_FOUND;
    uint8_t zero[32] = {};
    const uint8_t* password = pPasswordRaw ? pPasswordRaw : zero;
    const uint16_t status = _VnConnect(u.get(), password);
    if (status != 0) return status;
    memcpy(u->PasswordRaw, password, 32);
    CfgConnectAdd(u->Mac, u->PasswordRaw);
    VnMainGetTcpPorts(u.get(), pCtuTcpPort, pSioTcpPort);
    char now[64];
    PemDbg(1, 1, VN_FMT "connect ok, CTU_TcpPort:%d, SIO_TcpPort:%d , %s", VN_ARGS(u->Mac),
           static_cast<int>(*pCtuTcpPort), static_cast<int>(*pSioTcpPort), PemCtime(now, sizeof(now)));
    return 0;
}

uint16_t VnMainDisconnect(const uint8_t* pVnMac, uint8_t DisconnectMode) {
    // Serialised with connect, mapping and the other disconnects: two requests for one unit
    // must not both pass the state checks below.
    qor::MutexLock extra(&VnListMutexExtra);
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    if (!u->IsConnectedByHost) return VN_STATUS_DISCONNECTED_ALREADY;
    uint8_t b16 = 0, b17 = 0;
    switch (_Exchange(u.get(), _SendDisconnect, &DisconnectMode, &b16, &b17)) {
        case Exchange::kSendFail:
            return MNG_STATUS_NIC_TX_FAIL;
        case Exchange::kTimeout:
            PemDbg(1, 1, VN_FMT "disconnect, wait rx timeout\n", VN_ARGS(u->Mac));
            return VN_STATUS_DISCONNECT_TIMEOUT;
        case Exchange::kEmpty:
            return VN_STATUS_DISCONNECT_TIMEOUT;
        case Exchange::kReply:
            break;
    }
    const uint16_t status = _DisconnectStatusOf(b16 >> 2);
    // The unit answered: the host side is torn down whatever it said.
    _Teardown(u.get(), true);
    if (status == 0) {
        CfgConnectDel(u->Mac);
        char now[64];
        PemDbg(1, 1, VN_FMT "disconnect ok , %s", VN_ARGS(u->Mac), PemCtime(now, sizeof(now)));
    }
    return status;
}

uint16_t VnMainReConnect(PVN_DEVICE pVn) {
    const uint8_t* m = pVn->Mac;
    uint8_t b16 = 0, b17 = 0;
    switch (_Exchange(pVn, _SendConnect, pVn->PasswordRaw, &b16, &b17)) {
        case Exchange::kSendFail:
            return MNG_STATUS_NIC_TX_FAIL;
        case Exchange::kTimeout:
            PemDbg(0, 0, VN_FMT "reconnect, wait rx timeout\n", VN_ARGS(m));
            return VN_STATUS_CONNECT_TIMEOUT;
        case Exchange::kEmpty:
            return VN_STATUS_CONNECT_TIMEOUT;
        case Exchange::kReply:
            break;
    }
    const uint8_t returnCode = b16 >> 2;
    if (returnCode != 0) {
        PemDbg(0, 0, VN_FMT "reconnect fail, ReturnCode:x%02x\n", VN_ARGS(m), returnCode);
        return _ConnectStatusOf(returnCode);
    }
    const uint16_t deviceSeq = _DeviceSeq(b16, b17);
    pVn->IsConnectedByHost = 1;
    {
        qor::WriteLock info(&pVn->InfoLock);
        pVn->LinkStatus = 1;
    }
    _SetDeviceSeq(pVn, deviceSeq);
    PemDbg(0, 0, VN_FMT "reconnect ok, DeviceSeqNumber:x%02x%02x, %d\n", VN_ARGS(m), b16, b17, deviceSeq);
    return 0;
}

void VnMainDisconnectByRemoteVn(PVN_DEVICE pVn) {
    _Teardown(pVn, false);
}

void VnMainDisconnectByUnitEventJob(PVN_DEVICE pVn) {
    VnMainDisconnectJob(pVn, DISCONNECT_MODE_BY_UNIT);
}

void VnMainDisconnectJob(PVN_DEVICE pVn, uint8_t DisconnectMode) {
    std::unique_ptr<uint8_t[]> mac(new (std::nothrow) uint8_t[7]);
    if (!mac) return;
    memcpy(mac.get(), pVn->Mac, 6);
    mac[6] = DisconnectMode;
    pthread_attr_t attr;
    if (qor::ThreadAttrInit(&attr) != 0) return;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    qor::MutexLock lock(&gUnitJobsMutex);
    pthread_t thread;
    if (!gUnitJobsRefused && pthread_create(&thread, &attr, _DisconnectByUnitJob, mac.get()) == 0) {
        mac.release();
        ++gUnitJobs;
    }
    pthread_attr_destroy(&attr);
}

void VnMainUnitJobsRefuse(int Refuse) {
    qor::MutexLock lock(&gUnitJobsMutex);
    gUnitJobsRefused = Refuse;
    while (Refuse && gUnitJobs > 0) pthread_cond_wait(&gUnitJobsCond, &gUnitJobsMutex);
}

namespace {

// Removes the nodes and minors of every UART slot that holds one. 0 when a node could not
// be removed (its minor and slot are still released).
int _ReleaseUartMinors(PVN_DEVICE pVn) {
    qor::WriteLock info(&pVn->InfoLock);
    int ok = 1;
    for (_DIB& dib : pVn->DibArray) {
        const int minor = dib.Uart.TtyMinorNumber;
        if (minor < 0) continue;
        int nErrno = 0;
        const int rc = VnUnitServices.TtyNodeDelete ? VnUnitServices.TtyNodeDelete(minor, &nErrno) : 0;
        if (rc != 0 && nErrno != ENOENT) {
            PemDbg(1, 1, VN_FMT "delete ttyVN%d fail, nReturn:%d, errno:%d\n", VN_ARGS(pVn->Mac), minor, rc,
                   nErrno);
            ok = 0;
        }
        if (VnUnitServices.TtyMinorFree) VnUnitServices.TtyMinorFree(minor);
        dib.Uart.TtyMinorNumber = -1;
    }
    return ok;
}

uint16_t _VnMapping(PVN_DEVICE pVn) {
    const uint8_t* m = pVn->Mac;
    qor::WriteLock info(&pVn->InfoLock);
    const int channels = _Channels(pVn);
    bool anyUart = false;
    for (int i = 0; i < channels; ++i) anyUart |= pVn->DibArray[i].Type == DIB_TYPE_UART;
    uint16_t status = 0;
    if (!anyUart) status = VN_STATUS_NO_IO_FOR_MAPPING;
    for (int i = 0; status == 0 && i < channels; ++i) {
        _DIB& dib = pVn->DibArray[i];
        if (dib.Type != DIB_TYPE_UART) continue;
        const int minor =
            VnUnitServices.TtyMinorAlloc ? VnUnitServices.TtyMinorAlloc(pVn, dib.ChlNumber) : -1;
        if (minor < 0) {
            PemDbg(1, 1, VN_FMT "alloc TTY minor fail\n", VN_ARGS(m));
            status = VN_STATUS_ALLOC_MINOR_FAIL;
            break;
        }
        dib.Uart.TtyMinorNumber = minor;
    }
    for (int i = 0; status == 0 && i < channels; ++i) {
        _DIB& dib = pVn->DibArray[i];
        if (dib.Type != DIB_TYPE_UART) continue;
        int nErrno = ENODEV;
        const int rc = VnUnitServices.TtyNodeCreate
                           ? VnUnitServices.TtyNodeCreate(dib.Uart.TtyMinorNumber, &nErrno)
                           : -1;
        if (rc != 0) {
            PemDbg(1, 1, VN_FMT "create ttyVN%d fail, nReturn:%d, errno:%d\n", VN_ARGS(m),
                   dib.Uart.TtyMinorNumber, rc, nErrno);
            status = VN_STATUS_CREATE_NODE_FAIL;
        }
    }
    if (status != 0) {
        info.Unlock();
        _ReleaseUartMinors(pVn);
        pVn->IsMappingByHost = 0;
        return status;
    }
    pVn->IsMappingByHost = 1;
    return 0;
}

}  // namespace

uint16_t VnMainMapping(const uint8_t* pVnMac, int NeedGetMappingInfo, uint8_t* pBuff, size_t BuffLength,
                       size_t* pReturnLength) {
    qor::MutexLock extra(&VnListMutexExtra);
    if (pReturnLength) *pReturnLength = 0;
    if (pBuff) memset(pBuff, 0, BuffLength);
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    if (u->IsMappingByHost) return VN_STATUS_MAPPING_ALREADY;
    if (u->IsConnectedByHost) return VN_STATUS_CONNECTED_ALREADY;
    if (!_WaitInformed(u.get())) return MNG_STATUS_VN_NOT_FOUND;
    const uint16_t status = _VnMapping(u.get());
    if (status != 0) return status;
    CfgMappingAdd(u->Mac);
    if (NeedGetMappingInfo && pBuff && pReturnLength)
        *pReturnLength = VnMainBuildMappingInfo(u.get(), pBuff, BuffLength);
    return 0;
}

uint16_t VnMainUnMapping(const uint8_t* pVnMac) {
    qor::MutexLock extra(&VnListMutexExtra);
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    if (!u->IsMappingByHost) return VN_STATUS_NOT_MAPPING;
    const _VN_CHANNEL_FAMILY* uart = VnUnitServices.TtyFamily;
    {
        qor::ReadLock info(&u->InfoLock);
        for (int i = 0; uart && uart->Del && i < _Channels(u.get()); ++i)
            if (u->DibArray[i].Type == DIB_TYPE_UART) uart->Del(u.get(), &u->DibArray[i], 1);
    }
    if (!_ReleaseUartMinors(u.get())) return VN_STATUS_DELETE_NODE_FAIL;
    u->IsMappingByHost = 0;
    CfgMappingDel(u->Mac);
    return 0;
}

uint16_t VnMainGetVnPassword(const uint8_t* pVnMac, uint8_t* pBuff, size_t BuffLength,
                             size_t* pReturnLength) {
    // A connect writes PasswordRaw under this lock, after it has set IsConnectedByHost.
    qor::MutexLock extra(&VnListMutexExtra);
    *pReturnLength = 0;
    memset(pBuff, 0, BuffLength);
    if (!pVnMac) return MNG_STATUS_PARAMETER_INVALID;
    VnRef u = VnMainGetByMac(pVnMac);
    if (!u) return MNG_STATUS_VN_NOT_FOUND;
    if (!u->IsConnectedByHost) return VN_STATUS_CONNECT_FAIL;
    if (BuffLength < 7 + 32) return MNG_STATUS_PARAMETER_INVALID;
    memcpy(pBuff, u->Mac, 6);
    const size_t n = VnPasswordFromRaw(u->PasswordRaw, pBuff + 7);
    pBuff[6] = static_cast<uint8_t>(n);
    *pReturnLength = 7 + n;
    return 0;
}
