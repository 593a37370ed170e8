#include "listen/signals.h"

#include <pthread.h>

#include <atomic>

#include "common/shutdown.h"
#include "listen/halt.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"
#include "storage/snapshot.h"

namespace {

// The operator signals, in the order SetupSignals installs them and RunSignalWork serves them.
constexpr int kControlSignals[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGWINCH, SIGTERM};
constexpr int kSignalCount = sizeof kControlSignals / sizeof kControlSignals[0];

// Deliveries not yet served, one counter per signal. A count rather than a bit, so that two
// toggles delivered between two calls of RunSignalWork still cancel each other out.
std::atomic<unsigned> pending[kSignalCount];
static_assert(std::atomic<unsigned>::is_always_lock_free, "signal handlers need lock-free atomics");

int SlotOf(int signo) {
    for (int slot = 0; slot < kSignalCount; ++slot) {
        if (kControlSignals[slot] == signo) return slot;
    }
    return -1;
}

// Runs in the asynchronous signal context: it only counts the delivery.
void RecordSignal(int signo) {
    const int slot = SlotOf(signo);
    if (slot >= 0) pending[slot].fetch_add(1, std::memory_order_relaxed);
}

unsigned TakePending(int signo) {
    return pending[SlotOf(signo)].exchange(0, std::memory_order_relaxed);
}

sigset_t ControlSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signo : kControlSignals) sigaddset(&set, signo);
    return set;
}

// A toggle delivered an even number of times leaves its flag as it was.
void Toggle(unsigned deliveries, void (*toggle)()) {
    if (deliveries % 2 == 1) toggle();
}

}  // namespace

void SetupSignals() {
    for (int signo : kControlSignals) signal(signo, RecordSignal);
}

void BlockControlSignals() {
    const sigset_t set = ControlSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

sigset_t ControlSignalsUnblocked() {
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    for (int signo : kControlSignals) sigdelset(&mask, signo);
    return mask;
}

// Must run on the main thread while it holds no lock: the snapshot and the rotation take the
// storage lock and the allocator's, and HaltApp waits for threads that need both.
void RunSignalWork() {
    Toggle(TakePending(SIGHUP), SwitchTrashFlag);
    Toggle(TakePending(SIGUSR2), SwitchTextFlag);
    // Requests that piled up are served once: a second rotation in a row would overwrite the
    // ".previous" copy with an empty table.
    if (TakePending(SIGUSR1) > 0) HandleSnapshotSignal();
    if (TakePending(SIGWINCH) > 0) DoRotateDB();
    // HaltApp does not return, so a SIGTERM that arrives during it is never served.
    if (TakePending(SIGTERM) > 0 && ShutdownInProgress() == 0) HaltApp();
}

void HandleSnapshotSignal() {
    CreateSnapshot();
    SetupSignals();
}

void DoRotateDB() {
    RotateDB();
    SetupSignals();
}
