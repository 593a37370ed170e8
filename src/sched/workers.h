#pragma once
// Worker threads, which parse the jobs of the job list and route what each datagram gives, and
// the maintainer, which returns the memory of a burst's jobs once the backlog has shrunk.
#include <sys/socket.h>

#include "parser/netflow.h"

void* ThreadWorker(void* threadid);  // argument: the worker number, cast to a pointer
void* JobListMaintainer(void* nThreads);

// One datagram's road: its flows to the storage queue, or its trash line to the trash log while
// trash logging is on. A datagram's flows go in whole, or not at all when the queue's bound
// refuses them. header and plan: as NetFlowPacketParser takes them.
void RouteDatagram(const char* packet, const sockaddr* from, int packetsize,
                   const NetFlowHeader* header = nullptr, const ExportPlan* plan = nullptr);
