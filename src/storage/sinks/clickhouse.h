#pragma once
// The ClickHouse export: the rows go to a MergeTree table over HTTP, one RowBinary INSERT per
// pass. While the server is away they wait in a bounded backlog of their own.
#include <cstdint>

#include "storage/sink.h"

extern const Sink kClickHouseSink;

// What the metrics read: rows the server has accepted and requests that failed since start, rows
// waiting now.
uint64_t GetClickHouseAcceptedRows();
uint64_t GetClickHouseFailedRequests();
uint64_t GetClickHouseBacklogRows();
