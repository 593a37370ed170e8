#pragma once
// Operator signals. The handlers only count each delivery and wake the receive loop; the work
// (toggle, snapshot, rotation, shutdown) runs on the main thread at a point where it holds no
// lock, via RunSignalWork(). Counting every delivery at once, rather than leaving the signal
// pending, keeps two toggles in a row from merging into one.
#include <csignal>

// Installs the handlers (again: no harm) and creates the wake descriptor.
void SetupSignals();
// Readable once a delivery has been counted that RunSignalWork has not served yet.
int SignalWakeFd();

// Blocks the operator signals in the calling thread and the threads it creates later, so that
// only the main thread, which unblocks them once its threads exist, ever runs the handlers.
void BlockControlSignals();
void UnblockControlSignals();
// Runs the work of every signal received since the last call.
void RunSignalWork();

void HandleSnapshotSignal();
void DoRotateDB();
