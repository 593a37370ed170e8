#include "listen/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/memory.h"
#include "common/messages.h"
#include "common/metrics.h"
#include "common/registry.h"
#include "common/settings.h"
#include "common/shutdown.h"
#include "common/terminate.h"
#include "listen/liveloss.h"
#include "listen/metrics_endpoint.h"
#include "listen/signals.h"
#include "parser/netflow.h"
#include "sched/joblist.h"
#include "sched/workers.h"
#include "storage/pass.h"
#include "storage/queue.h"

namespace {

constexpr const char* kDaemonized = "Succesfully daemonized with pid %ld\n";
constexpr int kReceiveBufferBytes = 4194304;  // bursts wait in the kernel while jobs are queued
constexpr size_t kPacketSize = 16384;
constexpr size_t kRingBytes = kReceiveBatch * kPacketSize;
// Batches read before the loop looks at the signals again.
constexpr int kBatchesPerWake = 16;
// How long an idle loop waits for a datagram; signals interrupt the wait.
constexpr timespec kIdleWake{1, 0};
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
    for (int count = 0; count < nThreads; ++count) {
        AddThread(StartThread(ThreadWorker, AsThreadArgument(count),
                              "NeverendingLoop - Can't create worker thread"),
                  kWorkerThread, kThreadAlive, count);
    }
}

// Room for the one control message asked for: the socket's drop counter (SO_RXQ_OVFL).
constexpr size_t kControlSize = CMSG_SPACE(sizeof(uint32_t));

// The receive loop's buffers: one batch of datagrams as recvmmsg fills them in.
struct ReceiveRing {
    char* buffers;  // kReceiveBatch buffers of kPacketSize bytes, one tracked block
    mmsghdr messages[kReceiveBatch];
    iovec vectors[kReceiveBatch];
    sockaddr_in senders[kReceiveBatch];
    alignas(cmsghdr) char controls[kReceiveBatch][kControlSize];
};

void InitRing(ReceiveRing& ring) {
    ring.buffers = static_cast<char*>(allocate_mem(kRingBytes));
    for (int i = 0; i < kReceiveBatch; ++i) {
        ring.vectors[i] = iovec{ring.buffers + static_cast<size_t>(i) * kPacketSize, kPacketSize};
        ring.messages[i] = mmsghdr{};
        ring.messages[i].msg_hdr.msg_name = &ring.senders[i];
        ring.messages[i].msg_hdr.msg_iov = &ring.vectors[i];
        ring.messages[i].msg_hdr.msg_iovlen = 1;
        ring.messages[i].msg_hdr.msg_control = ring.controls[i];
    }
}

// The kernel attaches its cumulative drop counter to a datagram once the socket has dropped
// any; the latest datagram of the batch that carries it has the newest value.
void NoteDrops(const ReceiveRing& ring, int got) {
    for (int i = got - 1; i >= 0; --i) {
        msghdr header = ring.messages[i].msg_hdr;
        for (cmsghdr* control = CMSG_FIRSTHDR(&header); control != nullptr;
             control = CMSG_NXTHDR(&header, control)) {
            if (control->cmsg_level != SOL_SOCKET || control->cmsg_type != SO_RXQ_OVFL) continue;
            uint32_t dropped;
            std::memcpy(&dropped, CMSG_DATA(control), sizeof dropped);
            NoteKernelDrops(dropped);
            return;
        }
    }
}

// Per-exporter counting and loss tracking cost the receive path work only when a scrape can
// read them.
bool MetricsOn() { return GetMetricsAddress() != nullptr; }

// Reads up to `most` waiting datagrams with one call and queues them; the number read. A
// datagram longer than a buffer is cut to its first kPacketSize bytes; an empty one is dropped.
int ReceiveBatch(ReceiveRing& ring, int most) {
    for (int i = 0; i < most; ++i) {
        ring.messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        ring.messages[i].msg_hdr.msg_controllen = kControlSize;
    }
    const int got = recvmmsg(NFSocketDescriptor, ring.messages, static_cast<unsigned>(most),
                             MSG_DONTWAIT, nullptr);
    if (got <= 0) return got;
    const time_t now = time(nullptr);  // one clock read: the batch arrived together
    for (int i = 0; i < got; ++i) {
        const unsigned length = ring.messages[i].msg_len;
        if (length == 0) continue;
        const char* datagram = static_cast<const char*>(ring.vectors[i].iov_base);
        // The header decoded for the loss tracker goes with the job: the parser reuses it.
        NetFlowHeader header{};
        bool decoded = false;
        if (MetricsOn()) {
            const int slot = ExporterSlot(ring.senders[i].sin_addr.s_addr);
            CountDatagram(slot, length, now);
            decoded = DecodeNetFlowHeader(datagram, static_cast<int>(length), &header);
            if (decoded) TrackSequence(slot, header, now);
        }
        AddJob(datagram, length, reinterpret_cast<const sockaddr*>(&ring.senders[i]),
               decoded ? &header : nullptr);
    }
    NoteDrops(ring, got);
    PublishJobs();
    return got;
}

// Reads what the socket holds, in batches, while the backlog has room; returns after a bounded
// number of batches so that signals still get their turn under a flood.
void ReceiveAvailable(ReceiveRing& ring) {
    for (int batch = 0; batch < kBatchesPerWake; ++batch) {
        const int most = std::min(RoomForJobs(), kReceiveBatch);
        if (most == 0 || ReceiveBatch(ring, most) < most) return;
    }
}

// One pass: wait for datagrams (or, with the backlog full, for room), then read them. The
// operator signals are unblocked only inside pselect, where this thread holds no lock, so their
// work can run right after it; they also end the wait at once, so it needs no short timeout.
void ReceivePass(ReceiveRing& ring, const sigset_t& unblocked) {
    const bool room = WaitForRoom();
    fd_set filedescriptors;
    FD_ZERO(&filedescriptors);
    if (room) FD_SET(NFSocketDescriptor, &filedescriptors);
    const timespec timeout = room ? kIdleWake : timespec{0, 0};
    const int ready = pselect(room ? NFSocketDescriptor + 1 : 0, &filedescriptors, nullptr, nullptr,
                              &timeout, &unblocked);
    RunSignalWork();
    if (ready > 0) ReceiveAvailable(ring);
    if (MetricsOn()) PublishLiveLoss(time(nullptr));  // an idle pass ends within kIdleWake
}

}  // namespace

int ListenerProcess(int netflowport, const char* listenaddress, int nThreads) {
    NFSocketDescriptor = socket(AF_INET, SOCK_DGRAM, 0);
    std::memset(&NFaddr, 0, sizeof NFaddr);
    NFaddr.sin_family = AF_INET;
    NFaddr.sin_port = htons(static_cast<uint16_t>(netflowport));
    NFaddr.sin_addr.s_addr = inet_addr(listenaddress);
    const int on = 1;
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
               sizeof kReceiveBufferBytes);
    // Each datagram then carries the socket's drop counter, which the metrics report.
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    const int RetVal =
        bind(NFSocketDescriptor, reinterpret_cast<const sockaddr*>(&NFaddr), sizeof NFaddr);
    if (RetVal != 0) Terminate(6, "ListenProcess - can't bind to port");
    NF_ASSERT(NFSocketDescriptor < FD_SETSIZE, "NFSocketDescriptor < FD_SETSIZE");
    CheckMetricsEndpoint();
    return NeverEndingLoop(nThreads);
}

int NeverEndingLoop(int nThreads) {
    // Blocked before the first thread exists, so every thread inherits the block and the
    // signals' work can only ever run on this one.
    BlockControlSignals();
    if (IsDetached() == 1) Daemonize();
    AddJobListReadings();
    AddStorageReadings();
    StartMetricsEndpoint();
    StartThreads(nThreads);

    const sigset_t unblocked = ControlSignalsUnblocked();
    ReceiveRing ring;
    InitRing(ring);
    while (ShutdownInProgress() == 0) ReceivePass(ring, unblocked);
    release_mem(ring.buffers, kRingBytes);
    // The settings must outlive every thread that reads them.
    while (AliveThreads() > 0) usleep(kEndPoll);
    ReleaseNamedVars();
    return 0;
}
