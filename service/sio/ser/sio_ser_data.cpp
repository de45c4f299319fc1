// Data of a SER channel both ways: received bytes of controllers of versions 4, 5 to the
// client (NIC receive thread), and the client's bytes to the unit (client receive thread).
#include <algorithm>

#include "pem_dbg.h"
#include "sio_ser_obj.h"
#include "vn_tlp_stream.h"

namespace {

// A data TLP from the unit carries at most this many bytes to the client (with its flag byte
// the message stays within SIO_MSG_MAX_PAYLOAD).
constexpr size_t kSerRxDataMax = 2044;

}  // namespace

void SioSerDataHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    const int chl = pObj->DibChlNumber;
    const size_t n = TlpGetExtraDataLength(pTlp);
    int port = 0;
    if (n >= kSerRxDataMax) {
        if (std::shared_ptr<_SIO_SERVER> server = SioServerGet(pObj->VnPtr))
            port = server->Client.ServerTcpPort;
        PemDbg(1, 1, "SER (T:%d, C:%d), RX DATA, Flag:x%02x, DataLength:%d, too BIG !!!\n", port, chl,
               pTlp->Flag, static_cast<int>(n));
        return;
    }
    // The flag byte, then the data; never more than the TLP holds.
    uint8_t flag = pTlp->Flag;
    const size_t have = std::min(n, Length - std::min(Length, kTlpHeaderLength));
    const struct iovec parts[2] = {{&flag, 1}, {const_cast<uint8_t*>(TlpData(pTlp)), have}};
    const int rc = SioObjTx(pObj, SER_DATA_SERVICE_TO_LIBRARY, parts, 2, &port);
    if (rc < 0) PemDbg(1, 1, "SER  (T:%d, C:%d), RX DATA, Client Tx fail, TxReturn:%d\n", port, chl, rc);
}

// The bytes go out in order as whole TLPs of the channel's form, each as large as one TLP of
// that form may be (1020 bytes in the register window of versions 0..3, 1484 in a data TLP
// of versions 4, 5): a message of the client may hold more than one TLP carries.
int SioSerDataTransmit(PSIO_CLIENT pClient, const uint8_t* pMessage, size_t Length) {
    if (Length < kSioHeaderLength) return 0;
    const _SIO_HEADER h = SioHeaderDecode(pMessage);
    const int port = pClient->ServerTcpPort;
    const int chl = h.ChannelNumber;
    SioObjRef o = SioSerObjGetByVnMacAndDibChlNumber(pClient->VnDevicePtr->Mac, h.ChannelNumber);
    if (!o) {
        PemDbg(1, 1, "SER (T:%d, C:%d), TX DATA, can't get obj\n", port, chl);
        return 0;
    }
    const uint8_t version = o->DibPtr->Uart.Version;
    const UartGen gen = UartGenOf(version);
    if (gen == UART_GEN_NONE) {
        PemDbg(1, 1, "SER (T:%d, C:%d), TX DATA, unsupport version:x%02x\n", port, chl, version);
        return 0;
    }
    const size_t n = h.Length;
    // Nothing to send, or a Length beyond the bytes that arrived, is refused whole.
    if (n == 0 || n > Length - kSioHeaderLength) {
        PemDbg(1, 1, "SER (T:%d, C:%d), TX DATA %s, invalid data length\n", port, chl,
               gen == UART_GEN_V4V5 ? "V4V5" : "V0V1V2V3");
        return 0;
    }
    const size_t chunk = gen == UART_GEN_V4V5 ? kUartTxMaxV4V5 : kUartTxMaxV0V1V2V3;
    const uint8_t* data = pMessage + kSioHeaderLength;
    uint8_t* tlp = pClient->TxTlpBuff.get();
    for (size_t at = 0; at < n; at += chunk) {
        const size_t part = std::min(chunk, n - at);
        size_t tlpLength = 0;
        if (UartBuildTxData(o->DibPtr->ChlNumber, version, data + at, part, tlp, &tlpLength) != UART_TX_OK)
            return 0;
        if (!VnTlpStreamOut(o->VnPtr, tlp, static_cast<int>(tlpLength))) return 0;
    }
    return 1;
}
