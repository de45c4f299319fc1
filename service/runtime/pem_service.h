// A long-running service thread that works in cycles and waits on a stop condition between
// them (the search and the restore services).
#pragma once

#include <pthread.h>

struct _PEM_SERVICE_THREAD {
    pthread_t ThreadHd;
    pthread_cond_t ThreadCondExit;
    pthread_mutex_t ThreadMutex;
    pthread_attr_t ThreadAttr;
    int ExitRequested;  // set under ThreadMutex: a stop that arrives while working is not lost
    int Running;
};

// Starts fn(pService); 1 when the thread runs, 0 after undoing its steps.
int PemServiceStart(_PEM_SERVICE_THREAD* pService, void* (*fn)(void*));
// Signals the stop condition, joins the thread and releases its objects.
void PemServiceStop(_PEM_SERVICE_THREAD* pService);
// Waits up to TimeOut ms for a stop request: 1 when the time ran out, 0 to end the thread.
int PemServiceWait(_PEM_SERVICE_THREAD* pService, unsigned TimeOut);

// Asks for SCHED_RR on the attributes at (min + max) * Tenths / 10 with explicit scheduling.
// Each failing step is logged as "<Prefix><step> fail" and ends the function; the thread is
// created all the same (qor::ThreadCreate falls back to ordinary scheduling).
void PemSetRealtimePriority(pthread_attr_t* pAttr, int Tenths, const char* pPrefix);

// Logs that threads of a kind (qor::ThreadKind::Report) run with ordinary scheduling because
// the system refused SCHED_RR.
void PemReportOrdinaryScheduling(const char* pName);
