#pragma once
// The program-wide lock convention: a mutex is held for a scope by a LockGuard, and a thread that
// finds it taken sleeps in the kernel until it is free. Waits for work are condition variables on
// the same mutexes, so no thread ever polls.
#include <pthread.h>

class LockGuard {
public:
    explicit LockGuard(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~LockGuard() { pthread_mutex_unlock(&mutex_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    pthread_mutex_t& mutex_;
};
