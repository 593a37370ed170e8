#pragma once
// The pause of every polling loop and the program-wide lock convention: locks are taken by
// spinning on pthread_mutex_trylock with one WaitState() after each failed attempt.
#include <pthread.h>

void WaitState();
void SetWaitTime(int nThreads);
void EnableWaitState();
void DisableWaitState();
int MinimizeDelay();

void SpinLock(pthread_mutex_t* mutex);

// Holds a mutex, taken by SpinLock, for the guard's scope.
class LockGuard {
public:
    explicit LockGuard(pthread_mutex_t& mutex) : mutex_(mutex) { SpinLock(&mutex_); }
    ~LockGuard() { pthread_mutex_unlock(&mutex_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    pthread_mutex_t& mutex_;
};
