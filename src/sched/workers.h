#pragma once
// Worker threads, the job-list maintainer and the throttle that gives reception priority.

void YieldCPU();
int IsReceiving();
void SetThrottle(int condition);
void* ThreadWorker(void* threadid);  // argument: the worker number, cast to a pointer
void* JobListMaintainer(void* nThreads);

// The workers' batch size: 4 x TotalThreads at start, then one step per pass towards whichever
// of the shared look-ahead hits and misses is ahead; never below TotalThreads, saturating above.
int InitialBatchSize();
int AdaptBatchSize(int acceleratefactor);
// Look-ahead hits and misses of all workers since start (saturating).
long GetPredictionHits();
long GetPredictionFails();
