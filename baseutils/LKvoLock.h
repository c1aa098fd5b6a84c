#pragma once

#include <pthread.h>

// A plain, non-recursive mutex: a thread that locks it twice blocks forever.
class KvoLock {
public:
    KvoLock();
    ~KvoLock();
    KvoLock(const KvoLock&) = delete;
    KvoLock& operator=(const KvoLock&) = delete;

    bool Lock();
    bool Unlock();

    // Holds the lock for the lifetime of the guard.
    class Guard {
    public:
        explicit Guard(KvoLock& lock) : lock_(lock) { lock_.Lock(); }
        ~Guard() { lock_.Unlock(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        KvoLock& lock_;
    };

private:
    pthread_mutex_t mMutex;
};
