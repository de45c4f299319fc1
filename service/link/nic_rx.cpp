#include <stdint.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "nic_main.h"
#include "pem_dbg.h"
#include "vn_link_frame.h"
#include "vn_keep_alive.h"
#include "vn_main.h"
#include "vn_tlp_stream.h"

namespace {

void _LogUnknownVn(PNIC_DEVICE pNic, const char* pHandler, const uint8_t* mac) {
    PemDbg(1, 1, "NIC (%s), %s, can't get VN (%.2x:%.2x:%.2x:%.2x:%.2x:%.2x)\n", pNic->InterfaceName, pHandler, mac[0],
           mac[1], mac[2], mac[3], mac[4], mac[5]);
}

// Frames that answer a waiting DLLP command go to the unit's reply slot.
void _DeliverReply(PNIC_DEVICE pNic, const char* pHandler, const uint8_t* pFrame, size_t Length) {
    const uint8_t* src = pFrame + 6;
    VnRef pVn = VnMainGetByMac(src);
    if (!pVn) {
        if (strcmp(pHandler, "_DllpAcuResponse") == 0)
            PemDbg(1, 1,
                   "NIC (%s), _DllpAcuResponse, can't get VN in search or connect list "
                   "(%.2x:%.2x:%.2x:%.2x:%.2x:%.2x)\n",
                   pNic->InterfaceName, src[0], src[1], src[2], src[3], src[4], src[5]);
        else
            _LogUnknownVn(pNic, pHandler, src);
        return;
    }
    VnMainDeliverReply(pVn.get(), pFrame, Length);
}

// Frames for a known unit: the handler runs with a reference that keeps the record valid.
template <typename Handler>
void _ForKnownUnit(PNIC_DEVICE pNic, const char* pHandler, const uint8_t* pFrame, Handler handler) {
    const uint8_t* src = pFrame + 6;
    VnRef pVn = VnMainGetByMac(src);
    if (!pVn) {
        _LogUnknownVn(pNic, pHandler, src);
        return;
    }
    handler(pVn.get());
}

uint16_t _DllpSeq(const uint8_t* pFrame) { return static_cast<uint16_t>(((pFrame[16] & 3) << 8) | pFrame[17]); }

void _HandleRx(PNIC_DEVICE pNic) {
    memset(pNic->RxBuff, 0, kNicBuffSize);
    const ssize_t n = recv(pNic->Sock, pNic->RxBuff, kNicBuffSize, MSG_DONTWAIT);
    if (n <= 0) return;
    NicRxHandleFrame(pNic, pNic->RxBuff, static_cast<size_t>(n));
}

}  // namespace

void NicRxHandleFrame(PNIC_DEVICE pNic, const uint8_t* pFrame, size_t Length) {
    // A frame needs its Ethernet header and at least the packet type and command bytes.
    if (Length < kEthHeaderLength + 2) return;
    const uint16_t etherType = static_cast<uint16_t>((pFrame[12] << 8) | pFrame[13]);
    if (etherType != kLinkEtherType || memcmp(pFrame, pNic->Mac, 6) != 0) return;
    const uint8_t packetType = pFrame[14];
    const uint8_t cmd = pFrame[15] & 0x1F;
    if (packetType == kPacketTypeTlp) {
        _ForKnownUnit(pNic, "_TlpResponse", pFrame, [&](PVN_DEVICE pVn) {
            VnTlpStreamIn(pVn, pFrame + kEthHeaderLength, static_cast<int>(Length - kEthHeaderLength));
        });
        return;
    }
    if (packetType != kPacketTypeDllp) {
        PemDbg(1, 1, "NIC (%s), rx thd, unknow packet, type:x%02x\n", pNic->InterfaceName, packetType);
        return;
    }
    switch (cmd) {
        case DLLP_CMD_ACK:
            if (Length < kEthHeaderLength + kDllpLength) return;
            _ForKnownUnit(pNic, "_DllpAck", pFrame, [&](PVN_DEVICE pVn) { VnDllpAckFromVN(pVn, _DllpSeq(pFrame)); });
            break;
        case DLLP_CMD_NAK:
            if (Length < kEthHeaderLength + kDllpLength) return;
            _ForKnownUnit(pNic, "_DllpNak", pFrame, [&](PVN_DEVICE pVn) { VnDllpNakFromVN(pVn, _DllpSeq(pFrame)); });
            break;
        case DLLP_CMD_DOCK_CONNECT_RESPONSE:
            _DeliverReply(pNic, "_DllpDockConnectResponse", pFrame, Length);
            break;
        case DLLP_CMD_DOCK_SEARCH_RESPONSE:
        case DLLP_CMD_ADVANCE_SEARCH_RESPONSE:
            VnMainHandleSearchResponse(pNic, pFrame + 6);
            break;
        case DLLP_CMD_KEEP_ALIVE_RESPONSE:
            _ForKnownUnit(pNic, "_DllpKeepAliveResponse", pFrame, VnDllpResponseKeepAlive);
            break;
        case DLLP_CMD_ADVANCE_CONNECT_RESPONSE:
            _DeliverReply(pNic, "_DllpAdvanceConnectResponse", pFrame, Length);
            break;
        case DLLP_CMD_IP_SEARCH_RESPONSE:
            PemDbg(1, 1, "NIC (%s), DLLP_CMD_IP_SEARCH_RESPONSE, not support\n", pNic->InterfaceName);
            break;
        case DLLP_CMD_ACU_RESPONSE:
            _DeliverReply(pNic, "_DllpAcuResponse", pFrame, Length);
            break;
        case DLLP_CMD_KEEP_ALIVE_TIMEOUT:
            _ForKnownUnit(pNic, "_DllpKeepAliveTimeout", pFrame, VnDllpResponseKeepAliveTimeout);
            break;
        default:
            break;
    }
}

void* NicRxThread(void* pArg) {
    PNIC_DEVICE pNic = static_cast<PNIC_DEVICE>(pArg);
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(pNic->RxThreadExitFd, &readable);
        FD_SET(pNic->Sock, &readable);
        const int maxFd = pNic->RxThreadExitFd > pNic->Sock ? pNic->RxThreadExitFd : pNic->Sock;
        if (select(maxFd + 1, &readable, nullptr, nullptr, nullptr) <= 0) continue;
        // A pending exit wins over pending frames.
        if (FD_ISSET(pNic->RxThreadExitFd, &readable)) break;
        if (FD_ISSET(pNic->Sock, &readable)) _HandleRx(pNic);
    }
    return nullptr;
}
