#include "sched/wait.h"

#include <unistd.h>

void WaitState() { usleep(1); }

void SpinLock(pthread_mutex_t* mutex) { pthread_mutex_lock(mutex); }
