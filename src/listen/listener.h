#pragma once

// Binds the UDP socket, optionally daemonizes, starts the threads and runs the receive loop.
int ListenerProcess(int netflowport, const char* listenaddress, int nThreads);
int NeverEndingLoop(int nThreads);
