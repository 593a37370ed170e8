#pragma once
// The storage queue: workers hand in records, the storage thread drains the whole queue into
// every enabled sink once per pass.
#include <pthread.h>

#include <cstdint>

#include "parser/flow.h"

struct JobStorage {
    FlowItem* data;
    JobStorage* prev;
    JobStorage* next;
};

extern pthread_mutex_t StoreData_mutex;
extern JobStorage* datastore;  // head of the queue; guarded by StoreData_mutex

// Holds StoreData_mutex (taken by the spin of the lock convention) for its scope and records
// that this thread holds it, so that a Terminate reached under it can still close the database.
class StoreLock {
public:
    StoreLock();
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
};
bool StoreLockHeldHere();

int StoreNetFlowPacket(const FlowItem* i);
void AddStorageJob(const FlowItem* item);
JobStorage* GetLastJob();  // lock held
int IsStoring();
uint32_t GetStorageWrittenCount();
uint32_t GetStorageFreedCount();
void ShowDebugger();

// Opens the enabled database sinks (SQLite, then MySQL).
void InitStorage();
// One storage pass: drains the queue into the sinks under StoreData_mutex, then syncs the file
// system if it wrote anything.
void StoragePass();
// The storage thread. Once shutdown has begun it waits for the last worker to end, makes a final
// pass and commits the open SQLite batch before it marks itself ended.
void* StorageJob(void* unused);
