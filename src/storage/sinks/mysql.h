#pragma once
// The MySQL export: the rows go to FLOWDB.FLOWS in multi-row INSERTs, a transaction per batch and
// at least one per pass. While the server is away they wait in a bounded backlog of their own.
#include <cstddef>
#include <cstdint>

#include "storage/backlog.h"
#include "storage/sink.h"

extern const Sink kMySQLSink;

// Rows dropped since start because the backlog was full; a metrics export reads it.
uint64_t GetMySQLDroppedRows();
// Rows waiting for the server now.
uint64_t GetMySQLBacklogRows();
// 1 while the connection to the server is up, 0 while it is down.
uint64_t GetMySQLConnected();
