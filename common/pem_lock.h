// Scope guard for the pthread mutexes of the system (they pair with timed condition waits
// on wall-clock deadlines, which std::condition_variable does not express as directly).
#pragma once

#include <pthread.h>

namespace qor {

class MutexLock {
public:
    explicit MutexLock(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
    ~MutexLock() {
        if (m_) pthread_mutex_unlock(m_);
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    // Releases early; the destructor then does nothing.
    void Unlock() {
        if (m_) pthread_mutex_unlock(m_);
        m_ = nullptr;
    }

private:
    pthread_mutex_t* m_;
};

// Shared or exclusive hold of a reader-writer lock for one scope.
class ReadLock {
public:
    explicit ReadLock(pthread_rwlock_t* l) : l_(l) { pthread_rwlock_rdlock(l_); }
    ~ReadLock() { pthread_rwlock_unlock(l_); }
    ReadLock(const ReadLock&) = delete;
    ReadLock& operator=(const ReadLock&) = delete;

private:
    pthread_rwlock_t* l_;
};

class WriteLock {
public:
    explicit WriteLock(pthread_rwlock_t* l) : l_(l) { pthread_rwlock_wrlock(l_); }
    ~WriteLock() {
        if (l_) pthread_rwlock_unlock(l_);
    }
    void Unlock() {
        if (l_) pthread_rwlock_unlock(l_);
        l_ = nullptr;
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

private:
    pthread_rwlock_t* l_;
};

}  // namespace qor
