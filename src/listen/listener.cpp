#include "listen/listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/address.h"
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
#include "parser/templates.h"
#include "parser/netflow.h"
#include "sched/joblist.h"
#include "sched/workers.h"
#include "storage/writers.h"

namespace {

constexpr const char* kDaemonized = "Succesfully daemonized with pid %ld\n";
constexpr int kReceiveBufferBytes = 4194304;  // bursts wait in the kernel while jobs are queued
constexpr size_t kPacketSize = 16384;
constexpr size_t kRingBytes = kReceiveBatch * kPacketSize;
// Batches read before the loop looks at the signals again.
constexpr int kBatchesPerWake = 16;
// How long an idle loop waits for a datagram; signals end the wait at once.
constexpr int kIdleWakeMillis = 1000;
constexpr useconds_t kEndPoll = 10000;

int NFSocketDescriptor = -1;
time_t last_expiry = 0;  // receive loop only

void* AsThreadArgument(int value) { return reinterpret_cast<void*>(static_cast<intptr_t>(value)); }

void RedirectToNull(const char* mode, FILE* stream) {
    // Nothing is left to report a failure to: the stream simply keeps its old target.
    if (std::freopen("/dev/null", mode, stream) == nullptr) return;
}

// The invoking process of -d ends as the start-up does: with 0 once the daemon is ready, or with
// the daemon's own status and its termination line, which it repeats on standard error.
[[noreturn]] void AwaitStartup(int report_pipe, pid_t child) {
    char report[kMessageSize];
    size_t length = 0;
    for (ssize_t got; length < sizeof report &&
                      (got = read(report_pipe, report + length, sizeof report - length)) > 0;) {
        length += static_cast<size_t>(got);
    }
    if (length > 0 && report[0] == '\0') {
        std::fprintf(stderr, kDaemonized, static_cast<long>(child));
        std::exit(0);
    }
    std::fwrite(report, 1, length, stderr);
    int status = 0;
    waitpid(child, &status, 0);
    std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

// The socket is already bound, so a bind failure has been reported in the foreground. The
// invoking process stays until the daemon has reported its start-up (ReportStarted).
void Daemonize() {
    // The start-up report may still sit in stdio's buffers, which the child inherits and would
    // write a second time.
    std::fflush(nullptr);
    int report[2];
    pid_t child = -1;
    if (pipe2(report, O_CLOEXEC) != 0 || (child = fork()) == -1) Terminate(9, "Clean shutdown\n");
    if (child > 0) {
        close(report[1]);
        AwaitStartup(report[0], child);
    }
    close(report[0]);
    SetStartupPipe(report[1]);
    setsid();
    RedirectToNull("r", stdin);
    RedirectToNull("w", stdout);
    RedirectToNull("w", stderr);
}

// A detached daemon is ready once its threads run and its sinks are open: a database or MySQL
// server that cannot be opened fails the start where the invoking process still sees it.
void ReportStarted() {
    if (IsDetached() != 1) return;
    while (!SinksOpened()) usleep(kEndPoll);
    StartupSucceeded();
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
void StartThreads(int nThreads, int writers) {
    InitThreadList();
    for (int writer = 0; writer < writers; ++writer) {
        AddThread(StartThread(StorageJob, AsThreadArgument(writer),
                              "NeverendingLoop - Can't create storage thread"),
                  kStorageThread, kThreadAlive, -1);
    }
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
    sockaddr_in6 senders[kReceiveBatch];  // or sockaddr_in, on an IPv4 socket
    alignas(cmsghdr) char controls[kReceiveBatch][kControlSize];
    ExportPlan plan;  // the next job's, swapped into it
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

// Templates not refreshed in time go, at most once a second.
void ExpireTemplatesNow(time_t now) {
    if (now == last_expiry || GetNetFlowVersions() == kTakeV5) return;
    last_expiry = now;
    ExpireTemplates(now);
}

// Reads up to `most` waiting datagrams with one call and queues them; the number read. A
// datagram longer than a buffer is cut to its first kPacketSize bytes; an empty one is dropped.
int ReceiveBatch(ReceiveRing& ring, int most) {
    for (int i = 0; i < most; ++i) {
        ring.messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in6);
        ring.messages[i].msg_hdr.msg_controllen = kControlSize;
    }
    const int got = recvmmsg(NFSocketDescriptor, ring.messages, static_cast<unsigned>(most),
                             MSG_DONTWAIT, nullptr);
    if (got <= 0) return got;
    const time_t now = time(nullptr);  // one clock read: the batch arrived together
    // Settings are read-only once the loop runs: looked up once per batch, not per datagram.
    const bool metrics = MetricsOn();
    const bool decode_v5 = metrics && TakesNetFlowVersion(kNetFlowV5);
    for (int i = 0; i < got; ++i) {
        const unsigned length = ring.messages[i].msg_len;
        if (length == 0) continue;
        const char* datagram = static_cast<const char*>(ring.vectors[i].iov_base);
        const auto* sender = reinterpret_cast<const sockaddr*>(&ring.senders[i]);
        ExportCounts counts;
        const bool learned = LearnTemplates(datagram, length, sender, now, &counts, &ring.plan);
        // The header decoded for the loss tracker goes with the job: the parser reuses it.
        NetFlowHeader header{};
        bool decoded = false;
        if (metrics) {
            const int slot = ExporterSlot(SenderAddress(sender));
            CountDatagram(slot, length, now);
            decoded = decode_v5 && DecodeNetFlowHeader(datagram, static_cast<int>(length), &header);
            if (decoded) TrackSequence(slot, header, now);
            if (learned) TrackExport(slot, ring.plan.header, counts.data_records, now);
        }
        AddJob(datagram, length, sender, decoded ? &header : nullptr, &ring.plan);
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

// One pass: wait for datagrams (or, with the backlog full, for room), then read them. A signal
// wakes the wait through its descriptor, and its work runs right after it, where this thread
// holds no lock; so the wait needs no short timeout.
void ReceivePass(ReceiveRing& ring) {
    const bool room = WaitForRoom();
    pollfd waited[] = {{SignalWakeFd(), POLLIN, 0}, {room ? NFSocketDescriptor : -1, POLLIN, 0}};
    const int ready = poll(waited, 2, room ? kIdleWakeMillis : 0);
    RunSignalWork();
    if (ready > 0 && (waited[1].revents & POLLIN) != 0) ReceiveAvailable(ring);
    // Both run at most once a second; an idle pass ends within kIdleWakeMillis.
    const time_t now = time(nullptr);
    if (MetricsOn()) PublishLiveLoss(now);
    ExpireTemplatesNow(now);
}

// -a names an IPv4 address, or an IPv6 one; "::" takes IPv4 senders too (as ::ffff:a.b.c.d).
// main() has refused any other text.
int BindSocket(int netflowport, const char* listenaddress) {
    in6_addr six{};
    if (inet_pton(AF_INET6, listenaddress, &six) != 1) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(netflowport));
        inet_pton(AF_INET, listenaddress, &address.sin_addr);
        return bind(NFSocketDescriptor, reinterpret_cast<const sockaddr*>(&address),
                    sizeof address);
    }
    const int v6only = IN6_IS_ADDR_UNSPECIFIED(&six) ? 0 : 1;
    setsockopt(NFSocketDescriptor, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<uint16_t>(netflowport));
    address.sin6_addr = six;
    return bind(NFSocketDescriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace

int ListenerProcess(int netflowport, const char* listenaddress, int nThreads) {
    in6_addr six{};
    NFSocketDescriptor =
        socket(inet_pton(AF_INET6, listenaddress, &six) == 1 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    // No SO_REUSEADDR: a port another collector holds must fail the bind, not be shared with it.
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
               sizeof kReceiveBufferBytes);
    // Each datagram then carries the socket's drop counter, which the metrics report.
    const int on = 1;
    setsockopt(NFSocketDescriptor, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (BindSocket(netflowport, listenaddress) != 0) {
        char error[kMessageSize];
        NotifyCause("Can't bind to %s:%d: %s", listenaddress, netflowport,
                    SystemErrorText(errno, error, sizeof error));
        Terminate(6, "ListenProcess - can't bind to port");
    }
    CheckMetricsEndpoint();
    return NeverEndingLoop(nThreads);
}

int NeverEndingLoop(int nThreads) {
    // Blocked while the threads are created, so every other thread inherits the block and the
    // handlers only ever run on this one.
    BlockControlSignals();
    if (IsDetached() == 1) Daemonize();
    AddJobListReadings();
    const int writers = PrepareStorageWriters();
    AddParserReadings();
    AddStorageReadings();
    StartMetricsEndpoint();
    StartThreads(nThreads, writers);
    ReportStarted();
    UnblockControlSignals();

    ReceiveRing ring;
    InitRing(ring);
    while (ShutdownInProgress() == 0) ReceivePass(ring);
    release_mem(ring.buffers, kRingBytes);
    // The settings must outlive every thread that reads them.
    while (AliveThreads() > 0) usleep(kEndPoll);
    ReleaseNamedVars();
    return 0;
}
