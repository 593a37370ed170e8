#pragma once
// The trash log: a line per rejected datagram. The lines wait in memory until the next storage
// pass appends them all with one open and one write, so a flood of bad datagrams costs the
// workers no file I/O. It takes no flows.
#include <cstdint>

#include "storage/sink.h"

extern const Sink kTrashLogSink;

int IsTrashLoggingEnabled();
// SIGHUP's work.
void SwitchTrashFlag();

// Any thread. While kTrashBufferBytes of lines wait, a further line is dropped and counted.
void StoreTrashLine(const char* line);
// Storage thread, sink lock held: appends the waiting lines to the trash log, in the order they
// came; Terminate(3, ...) when the file cannot be opened.
void WriteTrashLines();
// Lines dropped since start because the buffer was full.
uint64_t GetTrashLinesDropped();
