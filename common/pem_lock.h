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

}  // namespace qor
