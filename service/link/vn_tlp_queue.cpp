#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

#include "pem_dbg.h"
#include "pem_lock.h"
#include "vn_tlp_stream.h"

namespace {
PTLP_RETRANSMIT_PACKET FromEntry(PDLIST p) { return reinterpret_cast<PTLP_RETRANSMIT_PACKET>(p); }

PTLP_RETRANSMIT_PACKET _FindOldestLocked(PVN_DEVICE pVn, uint16_t SeqNumber) {
    for (PDLIST p = pVn->TlpRetransmissionPacketList.Flink; p != &pVn->TlpRetransmissionPacketList; p = p->Flink)
        if (FromEntry(p)->SeqNumber == SeqNumber) return FromEntry(p);
    return nullptr;
}

void _FreeRecord(PTLP_RETRANSMIT_PACKET pPacket) { std::unique_ptr<_TLP_RETRANSMIT_PACKET> owned(pPacket); }
}  // namespace

int VnTlpQueueInit(PVN_DEVICE pVn) {
    PemListInit(&pVn->TlpRetransmissionPacketList);
    pVn->TlpRetransmissionPacketAmount = 0;
    return pthread_mutex_init(&pVn->TlpRetransmissionPacketListMutex, nullptr) == 0 ? 1 : 0;
}

int VnTlpQueueAddPacketToRetransmissionList(PVN_DEVICE pVn, const uint8_t* pBuff, size_t Length, uint16_t SeqNumber,
                                            uint8_t Type, uint8_t RW, uint8_t ChlNumber) {
    std::unique_ptr<_TLP_RETRANSMIT_PACKET> pPacket(new (std::nothrow) _TLP_RETRANSMIT_PACKET{});
    if (!pPacket) return 0;
    pPacket->SeqNumber = SeqNumber;
    pPacket->Type = Type;
    pPacket->RW = RW;
    pPacket->ChlNumber = ChlNumber;
    pPacket->DataLength = static_cast<uint32_t>(std::min(Length, sizeof(pPacket->Data)));
    memcpy(pPacket->Data, pBuff, pPacket->DataLength);
    qor::MutexLock lock(&pVn->TlpRetransmissionPacketListMutex);
    // A TLP sent earlier with this number (its ACK was lost, or the numbers were rewound by a
    // NAK) can no longer be told apart from the new one by the unit: every ACK or NAK for the
    // number now means the new TLP, so the old copy goes. Otherwise a NAK would resend a
    // command the unit already carried out and never the one it asked for.
    while (PTLP_RETRANSMIT_PACKET pOld = _FindOldestLocked(pVn, SeqNumber)) {
        PemListRemoveEntry(&pOld->Entry);
        --pVn->TlpRetransmissionPacketAmount;
        _FreeRecord(pOld);
    }
    if (pVn->TlpRetransmissionPacketAmount >= kTlpRetransmissionListMax) {
        PDLIST oldest = pVn->TlpRetransmissionPacketList.Flink;
        PemListRemoveEntry(oldest);
        --pVn->TlpRetransmissionPacketAmount;
        _FreeRecord(FromEntry(oldest));
    }
    PemListInsertTail(&pVn->TlpRetransmissionPacketList, &pPacket.release()->Entry);
    ++pVn->TlpRetransmissionPacketAmount;
    return 1;
}

int VnTlpQueueDelPacketInRetransmissionList(PVN_DEVICE pVn, uint16_t SeqNumber) {
    qor::MutexLock lock(&pVn->TlpRetransmissionPacketListMutex);
    PTLP_RETRANSMIT_PACKET pPacket = _FindOldestLocked(pVn, SeqNumber);
    if (!pPacket) return 0;
    PemListRemoveEntry(&pPacket->Entry);
    --pVn->TlpRetransmissionPacketAmount;
    _FreeRecord(pPacket);
    return 1;
}

int VnTlpQueueGetPacketInRetransmissionList(PVN_DEVICE pVn, uint16_t SeqNumber, _TLP_RETRANSMIT_PACKET* pOut) {
    qor::MutexLock lock(&pVn->TlpRetransmissionPacketListMutex);
    PTLP_RETRANSMIT_PACKET pPacket = _FindOldestLocked(pVn, SeqNumber);
    if (!pPacket) return 0;
    memcpy(pOut, pPacket, sizeof(*pOut));
    PemListInit(&pOut->Entry);
    return 1;
}

void VnTlpQueueFreeRetransmissionList(PVN_DEVICE pVn) {
    qor::MutexLock lock(&pVn->TlpRetransmissionPacketListMutex);
    while (!PemListEmpty(&pVn->TlpRetransmissionPacketList)) {
        PDLIST p = pVn->TlpRetransmissionPacketList.Flink;
        PemListRemoveEntry(p);
        _FreeRecord(FromEntry(p));
    }
    pVn->TlpRetransmissionPacketAmount = 0;
}

unsigned VnTlpQueueAmount(PVN_DEVICE pVn) {
    qor::MutexLock lock(&pVn->TlpRetransmissionPacketListMutex);
    return pVn->TlpRetransmissionPacketAmount;
}
