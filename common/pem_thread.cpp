#include "pem_thread.h"

#include <errno.h>
#include <limits.h>
#include <unistd.h>

namespace qor {

int ThreadAttrInit(pthread_attr_t* pAttr) {
    int rc = pthread_attr_init(pAttr);
    if (rc != 0) return rc;
    size_t size = kThreadStackSize;
    const long minimum = sysconf(_SC_THREAD_STACK_MIN);
    if (minimum > 0 && size < static_cast<size_t>(minimum)) size = static_cast<size_t>(minimum);
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = static_cast<size_t>(PTHREAD_STACK_MIN);
    rc = pthread_attr_setstacksize(pAttr, size);
    if (rc != 0) pthread_attr_destroy(pAttr);
    return rc;
}

int ThreadCreate(pthread_t* pThread, pthread_attr_t* pAttr, void* (*fn)(void*), void* arg,
                 ThreadKind* pKind) {
    int rc = pthread_create(pThread, pAttr, fn, arg);
    if (rc == EPERM || rc == EINVAL || rc == ENOTSUP) {
        int inherit = PTHREAD_INHERIT_SCHED;
        if (pthread_attr_getinheritsched(pAttr, &inherit) == 0 && inherit == PTHREAD_EXPLICIT_SCHED) {
            pthread_attr_setinheritsched(pAttr, PTHREAD_INHERIT_SCHED);
            rc = pthread_create(pThread, pAttr, fn, arg);
            if (rc == 0 && pKind && pKind->Report && !pKind->Reported.exchange(true))
                pKind->Report(pKind->Name);
        }
    }
    return rc;
}

}  // namespace qor
