#include <string.h>

#include <memory>
#include <new>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_tlp_stream.h"

namespace {

uint16_t _Next(uint16_t s) {
    return s >= kSeqNumberMask ? 0 : static_cast<uint16_t>(s + 1);
}

}  // namespace

_TLP_SCRATCH* VnTlpScratch() {
    thread_local std::unique_ptr<_TLP_SCRATCH> scratch;
    if (!scratch) {
        scratch.reset(new (std::nothrow) _TLP_SCRATCH);
        if (!scratch) PemDbg(1, 1, "VN  STREAM, malloc TLP buffers fail\n");
    }
    return scratch.get();
}

int VnTlpStreamOut(PVN_DEVICE pVn, const uint8_t* pBuff, int Length) {
    const uint8_t* m = pVn->Mac;
    if (!pBuff || Length < static_cast<int>(kTlpHeaderLength)) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, invalid buff pointer or length\n", m[3], m[4], m[5]);
        return 0;
    }
    // The caller's buffer may sit at any address: the header is copied out, not cast.
    _TLP_HEADER hdr;
    memcpy(&hdr, pBuff, sizeof(hdr));
    const _TLP_HEADER* pHdr = &hdr;
    if (pHdr->Type != TLP_TYPE_CMD && pHdr->Type != TLP_TYPE_DATA) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, invalid packet type, Type:x%02x\n", m[3], m[4], m[5],
               pHdr->Type);
        return 0;
    }
    _TLP_SCRATCH* scratch = VnTlpScratch();
    if (!scratch) return 0;
    uint8_t* frame = scratch->Frame;
    const size_t dataAvail = static_cast<size_t>(Length) - kTlpHeaderLength;
    // Beyond 1500 bytes, or a header that announces more data than it carries, is refused.
    const size_t linkLength =
        Length > static_cast<int>(kTlpMaxOutLength)
            ? 0
            : VnTlpEncode(pHdr, pBuff + kTlpHeaderLength, dataAvail, 0, frame, kTlpFrameBuffSize);
    if (linkLength == 0) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, invalid length, Length:%d\n", m[3], m[4], m[5],
               Length);
        return 0;
    }
    int result = 1;
    {
        // Numbering, keeping the copy and sending under one lock: TLPs leave in sequence order
        // and no ACK can arrive before its copy is listed.
        qor::MutexLock lock(&pVn->HostSeqNumberMutex);
        const uint16_t s = pVn->HostSeqNumber;
        pVn->HostSeqNumber = _Next(s);
        TlpPutSeq(frame, s);
        if (!VnTlpQueueAddPacketToRetransmissionList(pVn, pBuff, static_cast<size_t>(Length), s, pHdr->Type,
                                                     pHdr->RW, pHdr->ChlNumber))
            PemDbg(1, 1,
                   "VN  (:%.2x:%.2x:%.2x), STREAM OUT, add packet to retransmission list fail, (Seq:%d)\n",
                   m[3], m[4], m[5], s);
        const int nReturn = NicTx(pVn->NicPtr.get(), pVn->Mac, frame, static_cast<int>(linkLength));
        if (nReturn < static_cast<int>(linkLength)) {
            PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, NIC Tx fail, nReturn:%d\n", m[3], m[4], m[5],
                   nReturn);
            result = 0;
        }
    }
    if (result && DbgVnProtocol) VnTlpDumpSent(frame, linkLength, 0);
    return result;
}

int VnTlpStreamOutRetransmission(PVN_DEVICE pVn, uint16_t SeqNumber) {
    const uint8_t* m = pVn->Mac;
    qor::MutexLock lock(&pVn->HostSeqNumberMutex);
    PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), NAK FROM VN, ########## (Seq:%d) ##########\n", m[3], m[4], m[5],
           SeqNumber);
    _TLP_SCRATCH* scratch = VnTlpScratch();
    if (!scratch) return 0;
    _TLP_RETRANSMIT_PACKET& kept = scratch->Kept;
    if (!VnTlpQueueGetPacketInRetransmissionList(pVn, SeqNumber, &kept)) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, R, can't get packet\n", m[3], m[4], m[5]);
        return 0;
    }
    if (kept.Type != TLP_TYPE_CMD && kept.Type != TLP_TYPE_DATA) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, R, invalid packet type, Type:x%02x\n", m[3], m[4],
               m[5], kept.Type);
        return 0;
    }
    if (kept.DataLength > kTlpMaxOutLength || kept.DataLength < kTlpHeaderLength) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, R, invalid length, Length:%d\n", m[3], m[4], m[5],
               static_cast<int>(kept.DataLength));
        return 0;
    }
    uint8_t* frame = scratch->Frame;
    _TLP_HEADER hdr;
    memcpy(&hdr, kept.Data, sizeof(hdr));
    const size_t linkLength =
        VnTlpEncode(&hdr, kept.Data + kTlpHeaderLength, kept.DataLength - kTlpHeaderLength, SeqNumber, frame,
                    kTlpFrameBuffSize);
    if (linkLength == 0) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, R, invalid length, Length:%d\n", m[3], m[4], m[5],
               static_cast<int>(kept.DataLength));
        return 0;
    }
    if (DbgVnProtocol) VnTlpDumpSent(frame, linkLength, 1);
    const int nReturn = NicTx(pVn->NicPtr.get(), pVn->Mac, frame, static_cast<int>(linkLength));
    if (nReturn < static_cast<int>(linkLength)) {
        PemDbg(1, 1, "VN  (:%.2x:%.2x:%.2x), STREAM OUT, R, NIC Tx fail, nReturn:%d\n", m[3], m[4], m[5],
               nReturn);
        return 0;
    }
    // The next new TLP continues right behind the resent one.
    pVn->HostSeqNumber = _Next(SeqNumber);
    return 1;
}

void VnDllpAckFromVN(PVN_DEVICE pVn, uint16_t SeqNumber) {
    VnTlpQueueDelPacketInRetransmissionList(pVn, SeqNumber);
}

void VnDllpNakFromVN(PVN_DEVICE pVn, uint16_t SeqNumber) {
    if (VnTlpStreamOutRetransmission(pVn, SeqNumber) != 1)
        PemDbg(1, 1,
               "VN  (:%.2x:%.2x:%.2x), NAK FROM VN, ########## (Seq:%d) ##########, retransmission fail\n",
               pVn->Mac[3], pVn->Mac[4], pVn->Mac[5], SeqNumber);
}
