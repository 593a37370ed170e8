#pragma once
// Worker threads, which parse the jobs of the job list, and the maintainer, which returns the
// memory of a burst's jobs once the backlog has shrunk.

void* ThreadWorker(void* threadid);  // argument: the worker number, cast to a pointer
void* JobListMaintainer(void* nThreads);
