#pragma once
// The MySQL export: the rows go to FLOWDB.FLOWS in multi-row INSERTs, a transaction per batch and
// at least one per pass. While the server is away they wait in a bounded backlog of their own.
#include <cstddef>
#include <cstdint>

#include "storage/sink.h"

// Rows kept for a server that is away (about 64 MiB); the newer ones past it are dropped.
constexpr size_t kBacklogRows = size_t{1} << 20;

extern const Sink kMySQLSink;


// Rows dropped since start because the backlog was full; a metrics export reads it.
uint64_t GetMySQLDroppedRows();
// Rows waiting for the server now.
uint64_t GetMySQLBacklogRows();
