/* libqorio: application interface to Varnel units through qorservice. */
#ifndef QORIO_H
#define QORIO_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Intrusive circular doubly linked list, the same helpers the service and console use. */
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

/* Absolute wall-clock deadline TimeOut milliseconds from now, for timed condition waits. */
void PemSetTimeout(struct timespec* pTimeSpec, unsigned int TimeOut);

#ifdef __cplusplus
}
#endif

#endif /* QORIO_H */
