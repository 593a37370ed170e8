#pragma once
// Operator signals. The handlers only record the signal; its work (toggle, snapshot, rotation,
// shutdown) runs on the main thread at a point where it holds no lock, via RunSignalWork().
#include <csignal>

void SetupSignals();

// Blocks the operator signals in the calling thread (and the threads it creates later).
void BlockControlSignals();
// The calling thread's mask without the operator signals, for pselect().
sigset_t ControlSignalsUnblocked();
// Runs the work of every signal received since the last call.
void RunSignalWork();

void HandleSnapshotSignal();
void DoRotateDB();
