#pragma once
// Worker threads, the job-list maintainer and the throttle that gives reception priority.

void YieldCPU();
int IsReceiving();
void SetThrottle(int condition);
void* ThreadWorker(void* threadid);        // argument: the worker number, cast to a pointer
void* JobListMaintainer(void* nThreads);
