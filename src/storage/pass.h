#pragma once
// The storage thread: every pass takes the queue and writes it into every enabled sink.
#include "storage/sink.h"

// Held by the storage pass, the snapshot and rotation and the close at termination: whoever
// holds it is the only user of the sinks' handles. Records that this thread holds it, so that a
// Terminate reached under it can still close them.
class SinkLock {
public:
    SinkLock();
    ~SinkLock();
    SinkLock(const SinkLock&) = delete;
    SinkLock& operator=(const SinkLock&) = delete;
};
bool SinkLockHeldHere();
// Takes the sink lock unless another thread keeps it past the timeout (stuck in a write).
bool TakeSinkLockWithin(long milliseconds);
void ReleaseSinkLock();

// Opens every enabled sink (sink lock held), and has Terminate close them on the way out.
void InitStorage();
// Closes every sink through its close, which commits what it can and reports what it cannot.
void CloseStorage();
// One pass: takes the queue, writes it to every enabled sink, commits what each wrote and
// releases the blocks every sink has written. kThisPass leaves a locked database's share for
// the next pass; kUntilDone writes everything.
void StoragePass(Patience patience = Patience::kThisPass);

// Adds the metrics' readings of the storage and of every sink: the flows each sink has taken
// since start, the queue, the last pass's flows and length, and each sink's own.
void AddStorageReadings();
// StorageJob (declared in queue.h), the storage thread: a pass at least every 5 s and whenever
// the queue grows long. Once shutdown has begun it waits for the last worker to end, then makes
// a final pass that writes and commits everything before it marks itself ended.
