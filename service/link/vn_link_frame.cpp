#include "vn_link_frame.h"

#include <string.h>

#include <algorithm>

#include "pem_dbg.h"
#include "pem_lock.h"

uint16_t TlpGetExtraDataLength(const _TLP_HEADER* pHdr) {
    return static_cast<uint16_t>((pHdr->ExtraDataLength[0] << 8) | pHdr->ExtraDataLength[1]);
}

void TlpSetExtraDataLength(_TLP_HEADER* pHdr, uint16_t Length) {
    pHdr->ExtraDataLength[0] = static_cast<uint8_t>(Length >> 8);
    pHdr->ExtraDataLength[1] = static_cast<uint8_t>(Length);
}

void DllpPutSeq(uint8_t* pLink, uint16_t Seq) {
    pLink[2] = static_cast<uint8_t>((pLink[2] & 0xFC) | ((Seq >> 8) & 0x03));
    pLink[3] = static_cast<uint8_t>(Seq & 0xFF);
}

uint16_t DllpGetSeq(const uint8_t* pLink) { return static_cast<uint16_t>(((pLink[2] & 0x03) << 8) | pLink[3]); }

void TlpPutSeq(uint8_t* pLink, uint16_t Seq) {
    Seq &= kSeqNumberMask;
    pLink[1] = static_cast<uint8_t>(Seq >> 2);
    pLink[2] = static_cast<uint8_t>((pLink[2] & 0x3F) | ((Seq & 0x03) << 6));
}

uint16_t TlpGetSeq(const uint8_t* pLink) { return static_cast<uint16_t>((pLink[1] << 2) | (pLink[2] >> 6)); }

size_t TlpOutDataLength(const _TLP_HEADER* pHdr) {
    switch (pHdr->Type) {
        case TLP_TYPE_CMD:
            return pHdr->RW ? static_cast<size_t>(pHdr->LengthInDW) * 4 : 0;
        case TLP_TYPE_DATA:
            return pHdr->LengthInByte & 0x7FF;
        default:
            return 0;
    }
}

size_t VnTlpEncode(const _TLP_HEADER* pHdr, const uint8_t* pData, size_t DataAvail, uint16_t Seq, uint8_t* pOut,
                   size_t OutCap) {
    if (pHdr->Type != TLP_TYPE_CMD && pHdr->Type != TLP_TYPE_DATA) return 0;
    const size_t dataLength = TlpOutDataLength(pHdr);
    if (dataLength > DataAvail || kTlpWireHeaderLength + dataLength > OutCap) return 0;
    pOut[0] = kPacketTypeTlp;
    pOut[2] = static_cast<uint8_t>(((pHdr->Type & 0x1F) << 1) | (pHdr->RW & 1));
    TlpPutSeq(pOut, Seq);
    pOut[3] = pHdr->ChlNumber;
    if (pHdr->Type == TLP_TYPE_CMD) {
        pOut[4] = pHdr->TransactionID & 0x1F;
        pOut[5] = pHdr->Offset;
        pOut[6] = pHdr->LengthInDW;
        pOut[7] = pHdr->AOLBE & 0x1F;
    } else {
        const uint16_t length = pHdr->LengthInByte & 0x7FF;
        pOut[4] = static_cast<uint8_t>((length >> 8) | ((pHdr->Flag & 0x1F) << 3));
        pOut[5] = static_cast<uint8_t>(length & 0xFF);
        pOut[6] = 0;
        pOut[7] = 0;
    }
    if (dataLength) memcpy(pOut + kTlpWireHeaderLength, pData, dataLength);
    return kTlpWireHeaderLength + dataLength;
}

int VnTlpDecode(const uint8_t* pLink, size_t Length, _TLP_HEADER* pHdr, uint16_t* pSeq) {
    if (Length < kTlpWireHeaderLength) return 0;
    memset(pHdr, 0, sizeof(*pHdr));
    *pSeq = TlpGetSeq(pLink);
    pHdr->Type = static_cast<uint8_t>((pLink[2] & 0x3E) >> 1);
    pHdr->RW = pLink[2] & 1;
    pHdr->ChlNumber = pLink[3];
    const size_t received = Length - kTlpWireHeaderLength;
    size_t announced = 0;
    switch (pHdr->Type) {
        case TLP_TYPE_CMD:
            pHdr->TransactionID = pLink[4] & 0x1F;
            pHdr->Offset = pLink[5];
            pHdr->LengthInDW = pLink[6];
            pHdr->AOLBE = pLink[7];
            announced = static_cast<size_t>(pHdr->LengthInDW) * 4;
            break;
        case TLP_TYPE_DATA:
            pHdr->Flag = static_cast<uint8_t>(pLink[4] >> 3);
            pHdr->LengthInByte = static_cast<uint16_t>(((pLink[4] & 7) << 8) | pLink[5]);
            announced = pHdr->LengthInByte;
            break;
        case TLP_TYPE_EVENT:
            memcpy(pHdr->Event, pLink + 4, 4);
            break;
        default:
            break;
    }
    TlpSetExtraDataLength(pHdr, static_cast<uint16_t>(std::min(announced, received)));
    return 1;
}

namespace {

void _DumpCommon(const uint8_t* pLink, uint16_t seq, uint8_t type) {
    PemDbg(0, 0, "SeqNumber       : x%02x%02x, %d\n", pLink[1], pLink[2], seq);
    switch (type) {
        case TLP_TYPE_CMD:
            PemDbg(0, 0, "Type            : CMD\n");
            break;
        case TLP_TYPE_DATA:
            PemDbg(0, 0, "Type            : DATA\n");
            break;
        case TLP_TYPE_EVENT:
            PemDbg(0, 0, "Type            : EVENT\n");
            break;
        default:
            PemDbg(0, 0, "Type            : x%02x\n", type);
            break;
    }
    PemDbg(0, 0, "RW              : x%02x\n", pLink[2] & 1);
    PemDbg(0, 0, "ChlNumber       : x%02x\n", pLink[3]);
}

void _DumpCmdFields(const _TLP_HEADER& hdr) {
    PemDbg(0, 0, "TransactionID   : x%02x\n", hdr.TransactionID);
    PemDbg(0, 0, "Offset          : x%02x\n", hdr.Offset);
    PemDbg(0, 0, "LengthInDW      : x%02x\n", hdr.LengthInDW);
    PemDbg(0, 0, "AOLBE           : x%02x\n", hdr.AOLBE);
}

}  // namespace

void VnTlpDumpSent(const uint8_t* pLink, size_t Length, int IsRetransmission) {
    _TLP_HEADER hdr;
    uint16_t seq = 0;
    if (!VnTlpDecode(pLink, Length, &hdr, &seq)) return;
    qor::MutexLock lock(&DbgLock);
    PemDumpTxLine(Length, IsRetransmission);
    _DumpCommon(pLink, seq, hdr.Type);
    if (hdr.Type == TLP_TYPE_CMD) {
        _DumpCmdFields(hdr);
        PemDumpBytes(pLink + kTlpWireHeaderLength, Length - kTlpWireHeaderLength);
    }
    PemDbg(0, 0, "-------------------------------\n");
}

void VnTlpDumpReceived(const uint8_t* pLink, size_t Length) {
    _TLP_HEADER hdr;
    uint16_t seq = 0;
    if (!VnTlpDecode(pLink, Length, &hdr, &seq)) return;
    qor::MutexLock lock(&DbgLock);
    PemDumpRxLine(Length);
    _DumpCommon(pLink, seq, hdr.Type);
    if (hdr.Type == TLP_TYPE_CMD) {
        _DumpCmdFields(hdr);
        PemDumpBytes(pLink + kTlpWireHeaderLength, TlpGetExtraDataLength(&hdr));
    } else if (hdr.Type == TLP_TYPE_DATA) {
        PemDumpBytes(pLink + kTlpWireHeaderLength, TlpGetExtraDataLength(&hdr));
    } else if (hdr.Type == TLP_TYPE_EVENT) {
        PemDbg(0, 0, "EventValue      : x%02x%02x%02x%02x\n", hdr.Event[0], hdr.Event[1], hdr.Event[2], hdr.Event[3]);
        if (Length > kTlpWireHeaderLength) PemDumpBytes(pLink + kTlpWireHeaderLength, Length - kTlpWireHeaderLength);
    }
    PemDbg(0, 0, "+++++++++++++++++++++++++++++++\n");
}
