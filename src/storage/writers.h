#pragma once
// The sink writers: a thread per sink, each reading the storage queue at its own pace and writing
// its own sink, so the pace is the slowest sink's and a sink that waits holds up no other.
#include "storage/sink.h"

// Main thread, before the workers start: gives every sink a writer and a reader of the queue,
// and has Terminate close the sinks. Returns how many writers StorageJob is to run.
int PrepareStorageWriters();
// Writer number `writer` (an int carried in the pointer): opens its sink, then writes and commits
// it at least every 5 s and whenever the queue holds kWakeFlows more for it. Once shutdown has
// begun it goes on while the workers drain, then makes a last pass that writes and commits
// everything before it marks itself ended.
void* StorageJob(void* writer);
// Whether every writer has made its first pass, which opens its sink.
bool SinksOpened();
// One pass of writer number `writer`, on the calling thread (tests, the fuzzer).
void StoragePass(int writer, Patience patience = Patience::kThisPass);

// Closes every sink through its close, which commits what it can and reports what it cannot;
// returns the flows they could not keep. A writer still busy is given 2 s to let go of its sink.
size_t CloseStorage();

// Adds the metrics' readings of the storage and of every sink: the flows each sink has taken
// and skipped since start, the queue, the last pass's flows and length, and each sink's own.
void AddStorageReadings();
