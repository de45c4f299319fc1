// Line events of a SER channel to the unit's SIO client (NIC receive thread): MSR change,
// line status and, on controllers of versions 0..3, the received bytes.
#include <algorithm>

#include "pem_dbg.h"
#include "sio_ser_obj.h"

void SioSerEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    const int chl = pObj->DibChlNumber;
    const uint8_t version = pObj->DibPtr->Uart.Version;
    int port = 0;
    _UART_EVENT e;
    if (!UartEventDecode(version, pTlp->Event, &e)) {
        if (std::shared_ptr<_SIO_SERVER> server = SioServerGet(pObj->VnPtr))
            port = server->Client.ServerTcpPort;
        PemDbg(1, 1, "SER (T:%d, C:%d), EVENT, unsupport version:x%02x\n", port, chl, version);
        return;
    }
    if (e.HasMsr) {
        const struct iovec part = {&e.Msr, 1};
        const int rc = SioObjTx(pObj, SER_EVENT_MSR, &part, 1, &port);
        if (rc < 0) PemDbg(1, 1, "SER (T:%d, C:%d), MSR EVENT, Client Tx fail, TxReturn:%d\n", port, chl, rc);
    }
    if (e.HasLsr) {
        uint8_t lsr[3] = {e.LsrFlags, static_cast<uint8_t>(e.LsrCount >> 8),
                          static_cast<uint8_t>(e.LsrCount)};
        const struct iovec part = {lsr, sizeof(lsr)};
        const int rc = SioObjTx(pObj, SER_EVENT_LSR, &part, 1, &port);
        if (rc < 0)
            PemDbg(1, 1, "SER (T:%d, C:%d), LSR EVENT %s, Client Tx fail, TxReturn:%d\n", port, chl,
                   UartGenName(UartGenOf(version)), rc);
    }
    if (e.HasData) {
        // Never more than the TLP holds.
        const size_t n =
            std::min<size_t>(TlpGetExtraDataLength(pTlp), Length - std::min(Length, kTlpHeaderLength));
        const struct iovec part = {const_cast<uint8_t*>(TlpData(pTlp)), n};
        const int rc = SioObjTx(pObj, SER_EVENT_DATA_SERVICE_TO_LIBRARY, &part, 1, &port);
        if (rc < 0)
            PemDbg(1, 1, "SER (T:%d, C:%d), DATA EVENT V0V1V2V3, Client Tx fail, TxReturn:%d\n", port, chl,
                   rc);
    }
}
