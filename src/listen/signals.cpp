#include "listen/signals.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "common/shutdown.h"
#include "listen/halt.h"
#include "storage/sinks/textlog.h"
#include "storage/sinks/trashlog.h"
#include "storage/sinks/sqlite.h"

namespace {

// The operator signals, in the order SetupSignals installs them and RunSignalWork serves them.
// SIGINT, the stop a person types in the foreground, is the orderly stop as SIGTERM is.
constexpr int kControlSignals[] = {SIGHUP, SIGUSR1, SIGUSR2, SIGWINCH, SIGTERM, SIGINT};
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

// Readable while a counted delivery waits for RunSignalWork; in the receive loop's wait set.
int wake_fd = -1;

// A terminal sends SIGWINCH by itself whenever its window changes size; a rotation is only
// asked for by a process (kill, systemctl, a timer).
bool IsRequest(int signo, const siginfo_t* info) {
    return signo != SIGWINCH || info->si_code == SI_USER || info->si_code == SI_QUEUE;
}

// Runs in the asynchronous signal context, on the main thread wherever it is: it only counts
// the delivery and wakes the receive loop.
void RecordSignal(int signo, siginfo_t* info, void* /*context*/) {
    const int slot = SlotOf(signo);
    if (slot < 0 || !IsRequest(signo, info)) return;
    const int saved_errno = errno;
    pending[slot].fetch_add(1, std::memory_order_relaxed);
    const uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0) {
    }  // the counter only saturates, and then it is readable already
    errno = saved_errno;
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
    if (wake_fd < 0) wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    struct sigaction action {};
    action.sa_sigaction = RecordSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signo : kControlSignals) sigaction(signo, &action, nullptr);
}

int SignalWakeFd() { return wake_fd; }

void BlockControlSignals() {
    const sigset_t set = ControlSignalSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void UnblockControlSignals() {
    const sigset_t set = ControlSignalSet();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Must run on the main thread while it holds no lock: HaltApp waits for threads that may need
// the locks. The snapshot and the rotation are only asked for here; the SQLite writer makes them.
void RunSignalWork() {
    // Cleared before the counts are taken: a delivery after this wakes the next wait.
    uint64_t wakes;
    if (read(wake_fd, &wakes, sizeof wakes) < 0) {
    }  // nothing counted since the last call
    Toggle(TakePending(SIGHUP), SwitchTrashFlag);
    Toggle(TakePending(SIGUSR2), SwitchTextFlag);
    // Requests that piled up are served once: a second rotation in a row would overwrite the
    // ".previous" copy with an empty table.
    if (TakePending(SIGUSR1) > 0) HandleSnapshotSignal();
    if (TakePending(SIGWINCH) > 0) DoRotateDB();
    // HaltApp does not return, so a SIGTERM that arrives during it is never served.
    const unsigned stops = TakePending(SIGTERM) + TakePending(SIGINT);
    if (stops > 0 && ShutdownInProgress() == 0) HaltApp();
}

void HandleSnapshotSignal() { CreateSnapshot(); }

void DoRotateDB() { RotateDB(); }
