#include "vn_dllp_cmd.h"

#include <string.h>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_link_frame.h"

namespace {

int _Send(PNIC_DEVICE pNic, const uint8_t* pMac, const uint8_t* pDllp, int Length, const char* pWhat) {
    const int nReturn = NicTx(pNic, pMac, pDllp, Length);
    if (nReturn < Length) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), TX CMD, %s fail, nReturn:%d\n", pMac[3], pMac[4], pMac[5], pWhat, nReturn);
        return kDllpTxFailStatus;
    }
    return 0;
}

uint16_t _HostSeq(PVN_DEVICE pVn) {
    qor::MutexLock lock(&pVn->HostSeqNumberMutex);
    return pVn->HostSeqNumber;
}

}  // namespace

int VnDllpBuildConnect(uint8_t* pOut, uint8_t TypeInfo_Mode, uint8_t DisconnectMode, uint16_t HostSeqNumber,
                       const uint8_t* pPasswordRaw) {
    const bool advance = TypeInfo_Mode == 1;
    pOut[0] = kPacketTypeDllp;
    pOut[1] = advance ? DLLP_CMD_ADVANCE_CONNECT : DLLP_CMD_DOCK_CONNECT;
    pOut[2] = static_cast<uint8_t>((advance ? 0x10 : 0) | ((DisconnectMode & 3) << 2));
    DllpPutSeq(pOut, HostSeqNumber);
    if (!advance) return static_cast<int>(kDllpLength);
    if (pPasswordRaw)
        memcpy(pOut + 4, pPasswordRaw, kDllpPasswordLength);
    else
        memset(pOut + 4, 0, kDllpPasswordLength);
    memset(pOut + 36, 0, 4);
    return static_cast<int>(kDllpConnectAdvanceLength);
}

int VnDllpCmdGetInfoStructure(PNIC_DEVICE pNic, const uint8_t* pMac) {
    const uint8_t dllp[4] = {kPacketTypeDllp, DLLP_CMD_ACU, 0, kAcuItemInfoStructure};
    return _Send(pNic, pMac, dllp, 4, "get info structure");
}

int VnDllpCmdKeepAlive(PNIC_DEVICE pNic, const uint8_t* pMac) {
    const uint8_t dllp[4] = {kPacketTypeDllp, DLLP_CMD_KEEP_ALIVE, 0, 0};
    return _Send(pNic, pMac, dllp, 4, "keep alive");
}

int VnDllpCmdConnect(PVN_DEVICE pVn, const uint8_t* pPasswordRaw) {
    uint8_t dllp[kDllpConnectAdvanceLength] = {};
    const int length = VnDllpBuildConnect(dllp, pVn->TypeInfo_Mode, DISCONNECT_MODE_CONNECT, _HostSeq(pVn), pPasswordRaw);
    return _Send(pVn->NicPtr.get(), pVn->Mac, dllp, length, "connect");
}

int VnDllpCmdDisconnect(PVN_DEVICE pVn, uint8_t DisconnectMode) {
    uint8_t dllp[kDllpConnectAdvanceLength] = {};
    const int length = VnDllpBuildConnect(dllp, pVn->TypeInfo_Mode, DisconnectMode, _HostSeq(pVn), pVn->PasswordRaw);
    return _Send(pVn->NicPtr.get(), pVn->Mac, dllp, length, "disconnect");
}

int VnDllpAckToVN(PVN_DEVICE pVn, uint16_t SeqNumber) {
    uint8_t dllp[4] = {kPacketTypeDllp, DLLP_CMD_ACK, 0, 0};
    DllpPutSeq(dllp, SeqNumber);
    return _Send(pVn->NicPtr.get(), pVn->Mac, dllp, 4, "ACK");
}
