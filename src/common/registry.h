#pragma once
// Registry of the threads the listener starts; the SIGTERM handling waits until none is alive.
#include <pthread.h>

#include <atomic>

// Workers the thread count allows; the registry also holds the storage and maintainer threads.
constexpr int kMaxThreads = 1024;
constexpr int kRegistrySize = kMaxThreads + 2;

enum ThreadType { kWorkerThread = 1, kStorageThread = 2, kDispatcherThread = 3 };
enum ThreadStatus { kThreadAlive = 1, kThreadEnded = 2 };

// An entry is published by the release store of its thread_type, written last: a reader that
// sees a non-zero type (acquire) sees the whole entry, even when the listener registered the
// thread after that thread had started.
struct thread_matrix {
    pthread_t thread_id;
    std::atomic<int> thread_type;
    std::atomic<int> thread_status;
    int index;
};

extern thread_matrix TID[kRegistrySize];

void InitThreadList();
// A full table is a broken precondition (the thread count is checked at start-up): it fails an
// assertion rather than leave a thread the shutdown would not wait for.
void AddThread(pthread_t tid, int thread_type, int thread_status, int index);
pthread_t FindThread(int thread_type);
void EndThread(pthread_t tid, int index);
int AliveThreads();
// Alive entries of one type (the storage thread waits for the workers before its last pass).
int AliveThreadsOfType(int thread_type);
