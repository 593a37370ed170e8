#include "listen/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/memory.h"
#include "common/messages.h"
#include "entry/settings.h"
#include "entry/signals.h"
#include "listen/shutdown.h"
#include "sched/joblist.h"
#include "sched/registry.h"
#include "sched/wait.h"
#include "sched/workers.h"
#include "storage/queue.h"
#include "storage/terminate.h"

namespace {

constexpr const char* kDaemonized = "Succesfully daemonized with pid %ld\n";
constexpr int kReceiveBufferBytes = 4194304;  // bursts wait in the kernel while jobs are queued
constexpr size_t kPacketSize = 16384;
constexpr long kSelectTimeoutNs = 75L * 1000 * 1000;
constexpr useconds_t kEndPoll = 10000;

int NFSocketDescriptor = -1;
sockaddr_in NFaddr;

void* AsThreadArgument(int value) { return reinterpret_cast<void*>(static_cast<intptr_t>(value)); }

void RedirectToNull(const char* mode, FILE* stream) {
    // Nothing is left to report a failure to: the stream simply keeps its old target.
    if (std::freopen("/dev/null", mode, stream) == nullptr) return;
}

// The socket is already bound, so a bind failure has been reported in the foreground.
void Daemonize() {
    // The start-up report may still sit in stdio's buffers, which the child inherits and would
    // write a second time.
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == -1) Terminate(9, "Clean shutdown\n");
    if (child > 0) std::exit(0);
    setsid();
    std::fprintf(stderr, kDaemonized, static_cast<long>(getpid()));
    std::fflush(stderr);
    RedirectToNull("r", stdin);
    RedirectToNull("w", stdout);
    RedirectToNull("w", stderr);
}

// Detached: nothing ever joins these threads (their ends are seen in the registry), and a
// joinable thread that ends unjoined keeps its stack until the process exits.
pthread_t StartThread(void* (*body)(void*), void* argument, const char* failure) {
    pthread_attr_t attribute;
    pthread_attr_init(&attribute);
    pthread_attr_setdetachstate(&attribute, PTHREAD_CREATE_DETACHED);
    pthread_t handle{};
    const int result = pthread_create(&handle, &attribute, body, argument);
    pthread_attr_destroy(&attribute);
    if (result != 0) Terminate(7, failure);
    return handle;
}

// A worker is registered only once its thread exists: the shutdown waits for every alive
// entry, and would wait forever for one that never ran.
void StartThreads(int nThreads) {
    InitThreadList();
    AddThread(StartThread(StorageJob, nullptr, "NeverendingLoop - Can't create storage thread"),
              kStorageThread, kThreadAlive, -1);
    AddThread(StartThread(JobListMaintainer, AsThreadArgument(nThreads),
                          "NeverendingLoop - Can't create dispatcher thread"),
              kDispatcherThread, kThreadAlive, -1);
    SetThreadCount(nThreads);
    SetWaitTime(nThreads);
    for (int count = 0; count < nThreads; ++count) {
        AddThread(StartThread(ThreadWorker, AsThreadArgument(count),
                              "NeverendingLoop - Can't create worker thread"),
                  kWorkerThread, kThreadAlive, count);
    }
}

// One pass: wait up to 75 ms for a datagram, then queue it. The operator signals are unblocked
// only inside pselect, where this thread holds no lock, so their work can run right after it.
void ReceivePass(char* packet, const sigset_t& unblocked) {
    fd_set filedescriptors;
    FD_ZERO(&filedescriptors);
    FD_SET(NFSocketDescriptor, &filedescriptors);
    const timespec timeout{0, kSelectTimeoutNs};
    const int ready =
        pselect(NFSocketDescriptor + 1, &filedescriptors, nullptr, nullptr, &timeout, &unblocked);
    RunSignalWork();
    if (ready <= 0) {
        SetThrottle(0);
        return;
    }
    SetThrottle(1);
    if (!FD_ISSET(NFSocketDescriptor, &filedescriptors)) return;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t packet_len = recvfrom(NFSocketDescriptor, packet, kPacketSize, 0,
                                        reinterpret_cast<sockaddr*>(&from), &from_len);
    if (packet_len > 0) AddJob(packet, packet_len, reinterpret_cast<sockaddr*>(&from));
}

}  // namespace

int ListenerProcess(int netflowport, const char* listenaddress, int nThreads) {
    NFSocketDescriptor = socket(AF_INET, SOCK_DGRAM, 0);
    std::memset(&NFaddr, 0, sizeof NFaddr);
    NFaddr.sin_family = AF_INET;
    NFaddr.sin_port = htons(static_cast<uint16_t>(netflowport));
    NFaddr.sin_addr.s_addr = inet_addr(listenaddress);
    const int reuse = 1;
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
               sizeof kReceiveBufferBytes);
    const int RetVal =
        bind(NFSocketDescriptor, reinterpret_cast<const sockaddr*>(&NFaddr), sizeof NFaddr);
    if (RetVal != 0) Terminate(6, "ListenProcess - can't bind to port");
    NF_ASSERT(NFSocketDescriptor < FD_SETSIZE, "NFSocketDescriptor < FD_SETSIZE");
    return NeverEndingLoop(nThreads);
}

int NeverEndingLoop(int nThreads) {
    // Blocked before the first thread exists, so every thread inherits the block and the
    // signals' work can only ever run on this one.
    BlockControlSignals();
    if (IsDetached() == 1) Daemonize();
    StartThreads(nThreads);
    SetThrottle(0);

    const sigset_t unblocked = ControlSignalsUnblocked();
    char* packet = static_cast<char*>(allocate_mem(kPacketSize));
    while (ShutdownInProgress() == 0) ReceivePass(packet, unblocked);
    release_mem(packet, kPacketSize);
    // The settings must outlive every thread that reads them.
    while (AliveThreads() > 0) usleep(kEndPoll);
    ReleaseNamedVars();
    return 0;
}
