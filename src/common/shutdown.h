#pragma once
// The orderly-shutdown flag: raised once by SIGTERM handling, polled by every long-running loop.

void StartShutdown();
int ShutdownInProgress();
