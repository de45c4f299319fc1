// Thread creation with the system's fixed stack size and optional real-time scheduling.
#pragma once

#include <pthread.h>

#include <atomic>

#ifndef QOR_THREAD_STACK_SIZE
#define QOR_THREAD_STACK_SIZE 16384
#endif

namespace qor {

// Every thread of the system runs on this stack size (sanitizer builds raise it).
constexpr size_t kThreadStackSize = QOR_THREAD_STACK_SIZE;

// One kind of thread that asks for real-time scheduling (e.g. the NIC receive threads). When
// the system refuses the policy, Report(Name) is called once per kind, so an operator can tell
// that these threads run at ordinary priority without a message per thread. The owner of the
// kind decides how to report (the service logs it; common/ knows no log).
struct ThreadKind {
    const char* Name;
    void (*Report)(const char* Name);
    std::atomic<bool> Reported{false};
};

// Initialises attributes with the system stack size (never below the platform minimum).
int ThreadAttrInit(pthread_attr_t* pAttr);

// Creates a thread from attributes that may ask for real-time scheduling. When the system
// refuses the policy (EPERM, or EINVAL in some containers) the thread is started with the
// creator's ordinary scheduling instead: a thread that never starts is worse than one that
// runs at normal priority. The fallback is reported through pKind (when given) the first
// time it happens for that kind. Returns the pthread_create result of the last attempt.
int ThreadCreate(pthread_t* pThread, pthread_attr_t* pAttr, void* (*fn)(void*), void* arg,
                 ThreadKind* pKind = nullptr);

}  // namespace qor
