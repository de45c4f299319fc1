#include "pem_list.h"

#include "pem_export.h"

extern "C" {

QOR_EXPORT void PemListInit(PDLIST pHead) {
    pHead->Flink = pHead;
    pHead->Blink = pHead;
}

QOR_EXPORT int PemListEmpty(const _DLIST* pHead) { return pHead->Flink == pHead ? 1 : 0; }

QOR_EXPORT PDLIST PemListGetNext(const _DLIST* pEntry) { return pEntry->Flink; }

QOR_EXPORT PDLIST PemListGetPrev(const _DLIST* pEntry) { return pEntry->Blink; }

QOR_EXPORT void PemListInsertEntry(PDLIST pPosition, PDLIST pEntry) {
    PDLIST pNext = pPosition->Flink;
    pEntry->Flink = pNext;
    pEntry->Blink = pPosition;
    pNext->Blink = pEntry;
    pPosition->Flink = pEntry;
}

QOR_EXPORT void PemListInsertHead(PDLIST pHead, PDLIST pEntry) { PemListInsertEntry(pHead, pEntry); }

QOR_EXPORT void PemListInsertTail(PDLIST pHead, PDLIST pEntry) { PemListInsertEntry(pHead->Blink, pEntry); }

QOR_EXPORT void PemListRemoveEntry(PDLIST pEntry) {
    // Unlinking an entry that already points at itself leaves it unchanged.
    pEntry->Blink->Flink = pEntry->Flink;
    pEntry->Flink->Blink = pEntry->Blink;
    pEntry->Flink = pEntry;
    pEntry->Blink = pEntry;
}

}  // extern "C"
