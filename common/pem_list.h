// Intrusive circular doubly linked list shared by the service, the library and the console.
// A list is a head entry; an empty list is a head pointing at itself. Every listed record has
// its _DLIST as first field named Entry, so a pointer to the entry is a pointer to the record.
// The list takes no lock: each owner guards its list with its own mutex.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _DLIST {
    struct _DLIST* Flink;
    struct _DLIST* Blink;
} _DLIST, *PDLIST;

void PemListInit(PDLIST pHead);
int PemListEmpty(const _DLIST* pHead);
PDLIST PemListGetNext(const _DLIST* pEntry);
PDLIST PemListGetPrev(const _DLIST* pEntry);
void PemListInsertEntry(PDLIST pPosition, PDLIST pEntry);
void PemListInsertHead(PDLIST pHead, PDLIST pEntry);
void PemListInsertTail(PDLIST pHead, PDLIST pEntry);
void PemListRemoveEntry(PDLIST pEntry);

#ifdef __cplusplus
}
#endif
