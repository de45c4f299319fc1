#include "pem_worker.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <vector>

#include "pem_thread.h"

namespace {

// How long a finished worker waits for the next request, and how many may wait at a time:
// enough for the bursts of a few channels' requests, few enough that an idle service keeps
// no more than a handful of 16 KiB stacks.
constexpr auto kIdleWait = std::chrono::seconds(2);
constexpr size_t kMaxIdle = 16;

struct Worker {
    void* (*Fn)(void*) = nullptr;
    void* Arg = nullptr;
    PemWorkerGroup* Group = nullptr;
    bool Stop = false;
    std::condition_variable Wake;
};

// Never destroyed: a detached worker may still wake from its idle wait while the process's
// static objects are being destroyed at exit.
struct Pool {
    std::mutex Mutex;
    std::condition_variable Gone;
    std::vector<Worker*> Idle;  // waiting for a request, newest last
    int Threads = 0;
    bool Stopping = false;
};
Pool& gPool = *new Pool;

void* _Thread(void* p) {
    Worker* w = static_cast<Worker*>(p);
    std::unique_lock<std::mutex> lock(gPool.Mutex);
    while (w->Fn) {
        void* (*fn)(void*) = w->Fn;
        void* arg = w->Arg;
        PemWorkerGroup* group = w->Group;
        w->Fn = nullptr;
        lock.unlock();
        fn(arg);
        group->Running.fetch_sub(1);
        lock.lock();
        if (gPool.Stopping || gPool.Idle.size() >= kMaxIdle) break;
        gPool.Idle.push_back(w);
        w->Wake.wait_for(lock, kIdleWait, [w] { return w->Fn != nullptr || w->Stop; });
        // Timed out or stopped: nobody may hand this worker a request any more.
        if (!w->Fn) gPool.Idle.erase(std::remove(gPool.Idle.begin(), gPool.Idle.end(), w), gPool.Idle.end());
    }
    delete w;
    --gPool.Threads;
    gPool.Gone.notify_all();
    return nullptr;
}

}  // namespace

int PemWorkerRun(PemWorkerGroup* pGroup, void* (*fn)(void*), void* arg) {
    pGroup->Running.fetch_add(1);
    {
        std::lock_guard<std::mutex> lock(gPool.Mutex);
        if (!gPool.Idle.empty()) {
            Worker* w = gPool.Idle.back();
            gPool.Idle.pop_back();
            w->Fn = fn;
            w->Arg = arg;
            w->Group = pGroup;
            w->Wake.notify_one();
            return 0;
        }
    }
    Worker* w = new (std::nothrow) Worker;
    if (!w) {
        pGroup->Running.fetch_sub(1);
        return ENOMEM;
    }
    w->Fn = fn;
    w->Arg = arg;
    w->Group = pGroup;
    pthread_attr_t attr;
    int rc = qor::ThreadAttrInit(&attr);
    if (rc != 0) {
        delete w;
        pGroup->Running.fetch_sub(1);
        return rc;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    std::lock_guard<std::mutex> lock(gPool.Mutex);
    pthread_t thread;
    rc = pthread_create(&thread, &attr, _Thread, w);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete w;
        pGroup->Running.fetch_sub(1);
        return rc;
    }
    ++gPool.Threads;
    return 0;
}

int PemWorkerWait(PemWorkerGroup* pGroup, unsigned TimeoutMs) {
    for (unsigned waited = 0; pGroup->Running.load() > 0; waited += 2) {
        if (waited >= TimeoutMs) return 0;
        usleep(2000);
    }
    return 1;
}

void PemWorkerStopAll(unsigned TimeoutMs) {
    std::unique_lock<std::mutex> lock(gPool.Mutex);
    gPool.Stopping = true;
    for (Worker* w : gPool.Idle) {
        w->Stop = true;
        w->Wake.notify_one();
    }
    gPool.Idle.clear();
    gPool.Gone.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [] { return gPool.Threads == 0; });
    gPool.Stopping = false;
}

int PemWorkerThreads(int* pIdle) {
    std::lock_guard<std::mutex> lock(gPool.Mutex);
    if (pIdle) *pIdle = static_cast<int>(gPool.Idle.size());
    return gPool.Threads;
}
