#pragma once
// The program-wide lock convention: a mutex is held for a scope by a LockGuard. A thread that
// finds it taken blocks in the kernel rather than spinning.
#include <pthread.h>

// One microsecond's pause before a retry.
void WaitState();
void SpinLock(pthread_mutex_t* mutex);

class LockGuard {
public:
    explicit LockGuard(pthread_mutex_t& mutex) : mutex_(mutex) { SpinLock(&mutex_); }
    ~LockGuard() { pthread_mutex_unlock(&mutex_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    pthread_mutex_t& mutex_;
};
