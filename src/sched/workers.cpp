#include "sched/workers.h"

#include <cstdint>

#include "common/counters.h"
#include "common/messages.h"
#include "common/registry.h"
#include "common/shutdown.h"
#include "parser/netflow.h"
#include "sched/joblist.h"
#include "storage/queue.h"
#include "storage/sinks/trashlog.h"

namespace {

void StoreBatch(const FlowItem* flows, size_t count, void* /*context*/) {
    StoreNetFlowPacket(flows, count);
}

}  // namespace

// Flows hand over to the storage queue a datagram at a time: one lock per datagram, and its flows
// stay together and in record order. Only a direct caller can pass a datagram longer than the
// receive buffer; it goes in several hand-overs.
void RouteDatagram(const char* packet, const sockaddr* from, int packetsize,
                   const NetFlowHeader* header, const ExportPlan* plan) {
    const ParsedDatagram datagram = NetFlowPacketParser(packet, from, packetsize, header, plan);
    if (datagram.rejected) {
        if (IsTrashLoggingEnabled() == 0) return;
        char line[kMessageSize];
        RenderTrashLine(datagram, line, sizeof line);
        StoreTrashLine(line);
        return;
    }
    if (datagram.header.version != kNetFlowV5) {
        DecodeExportFlows(datagram, StoreBatch, nullptr);
        return;
    }
    FlowItem flows[kMaxRecords];
    for (size_t first = 0; first < datagram.header.count;) {
        const size_t count = DecodeFlows(datagram, first, flows, kMaxRecords);
        StoreNetFlowPacket(flows, count);
        first += count;
    }
}

// A worker sleeps in TakeJobs while there is no job, and ends once shutdown has begun and every
// job queued before it has been parsed.
void* ThreadWorker(void* threadid_arg) {
    const int threadid = static_cast<int>(reinterpret_cast<intptr_t>(threadid_arg));
    JobChain jobs;
    while ((jobs = TakeJobs(jobs)).count > 0) {
        for (const JobItem* job = jobs.first; job != nullptr; job = job->next)
            RouteDatagram(job->packet, reinterpret_cast<const sockaddr*>(&job->from),
                          job->packetsize, job->decoded ? &job->header : nullptr, &job->plan);
    }
    EndThread(pthread_t{}, threadid);
    return nullptr;
}

void* JobListMaintainer(void* /*nThreads*/) {
    for (;;) {
        // Read before the pass, so that the empty pass that ends the thread began after the
        // shutdown, when no job can be queued any more.
        const bool stopping = ShutdownInProgress() == 1;
        ReclaimCompletedJobs();
        if (stopping && GetQueueCount() == 0) break;
        YieldCPU();
    }
    // Unregistered (as in tests), FindThread gives no handle, and EndThread would then end the
    // entry of worker 0.
    const pthread_t self = FindThread(kDispatcherThread);
    if (self != pthread_t{}) EndThread(self, 0);
    return nullptr;
}
