#include "sched/workers.h"

#include <cstdint>

#include "common/counters.h"
#include "common/registry.h"
#include "common/shutdown.h"
#include "parser/netflow.h"
#include "sched/joblist.h"

// A worker sleeps in TakeJobs while there is no job, and ends once shutdown has begun and every
// job queued before it has been parsed.
void* ThreadWorker(void* threadid_arg) {
    const int threadid = static_cast<int>(reinterpret_cast<intptr_t>(threadid_arg));
    JobChain jobs;
    while ((jobs = TakeJobs(jobs)).count > 0) {
        for (const JobItem* job = jobs.first; job != nullptr; job = job->next)
            NetFlowPacketParser(job->packet, reinterpret_cast<const sockaddr*>(&job->from),
                                job->packetsize);
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
