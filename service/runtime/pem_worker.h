// Request workers: each request of the TTY bridge, the CTU server and the SIO families runs on
// a thread of its own, detached, with the system stack. Creating a thread and hearing back from
// it costs more here than a register round trip to a unit, so a thread that has finished its
// request waits a while for the next one instead of ending. A waiting thread runs one request
// at a time like a new one would; when none waits, a new thread is created.
#pragma once

#include <atomic>

// The requests one front end has handed to workers that have not ended yet; its stop waits for
// them, so none outlives what it uses.
struct PemWorkerGroup {
    std::atomic<int> Running{0};
};

// Runs fn(arg) on an idle worker or a new detached thread, counted in pGroup until fn returns.
// 0 when it runs (or is about to), otherwise the pthread_create error (fn is then not called
// and arg stays the caller's).
int PemWorkerRun(PemWorkerGroup* pGroup, void* (*fn)(void*), void* arg);

// Waits up to TimeoutMs for the group's requests to end: 1 when none runs any more.
int PemWorkerWait(PemWorkerGroup* pGroup, unsigned TimeoutMs);

// Wakes the idle workers and waits up to TimeoutMs for every worker thread to end, so none
// outlives the service. Workers still busy end when their request does. Workers may be started
// again afterwards (the service may be started again in the same process).
void PemWorkerStopAll(unsigned TimeoutMs);

// Worker threads alive (busy or idle); *pIdle, when given, the idle ones among them.
int PemWorkerThreads(int* pIdle = nullptr);
