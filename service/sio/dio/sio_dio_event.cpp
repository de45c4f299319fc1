// Input events of a DIO channel to the unit's SIO client (NIC receive thread, the unit's
// InfoLock held shared): the changed lines in the four event bytes (little-endian) and the
// input state in the first data word, split into one event per bank that changed, in bank order.
#include "pem_dbg.h"
#include "qor_wire.h"
#include "sio_dio_obj.h"

void SioDioEventHandle(PSIO_OBJ pObj, const _TLP_HEADER* pTlp, size_t Length) {
    const int chl = pObj->DibChlNumber;
    int port = 0;
    const _DIB_DIO* d = pObj->DibPtr->DioPtr.get();
    const size_t data = Length >= kTlpHeaderLength ? Length - kTlpHeaderLength : 0;
    if (!d || data < 4 || TlpGetExtraDataLength(pTlp) < 4) {
        if (std::shared_ptr<_SIO_SERVER> server = SioServerGet(pObj->VnPtr))
            port = server->Client.ServerTcpPort;
        if (!d)
            PemDbg(1, 1, "DIO (T:%d, C:%d), INPUT EVENT, can't get DIB\n", port, chl);
        else
            PemDbg(1, 1, "DIO (T:%d, C:%d), INPUT EVENT, no input state\n", port, chl);
        return;
    }
    const uint32_t changes = qor::GetLe32(pTlp->Event);
    const uint32_t state = qor::GetLe32(TlpData(pTlp));
    for (int i = 0; i < d->NumberOfBanks && i < kDibMaxDioBanks; ++i) {
        const _DIB_DIO_BANK& b = d->Bank[i];
        if ((b.IoMask & changes) == 0) continue;
        uint8_t msg[9];
        msg[0] = static_cast<uint8_t>(i);
        qor::PutBe32(msg + 1, (changes & b.IoMask) >> b.IoShiftBits);
        qor::PutBe32(msg + 5, (state & b.IoMask) >> b.IoShiftBits);
        const struct iovec part = {msg, sizeof(msg)};
        const int rc = SioObjTx(pObj, DIO_EVENT_BANK_INPUT_DELTA_AND_VALUE, &part, 1, &port);
        if (rc < 0)
            PemDbg(1, 1, "DIO (T:%d, C:%d), INPUT EVENT, Client Tx fail, TxReturn:%d\n", port, chl, rc);
    }
}
