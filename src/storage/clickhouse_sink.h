#pragma once
// The ClickHouse export: the rows go to a MergeTree table over HTTP, one RowBinary INSERT per
// pass. While the server is away they wait in a bounded backlog of their own.
#include <cstddef>
#include <cstdint>

#include "storage/sink.h"

extern const Sink kClickHouseSink;

// "DATABASE.TABLE on scheme://host:port" of the --clickhouse URL, without its credentials.
void DescribeClickHouseTarget(char* text, size_t size);

// For the metrics: rows the server has accepted, requests that failed, rows waiting now and
// rows dropped at the backlog's bound, all since start.
uint64_t GetClickHouseAcceptedRows();
uint64_t GetClickHouseFailedRequests();
uint64_t GetClickHouseBacklogRows();
uint64_t GetClickHouseDroppedRows();
