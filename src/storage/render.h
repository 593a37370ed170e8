#pragma once
// The text forms of a flow, one per sink, all rendered from its table of fields (common/flow.h).
#include <cstddef>
#include <cstdint>

#include "common/flow.h"
#include "common/messages.h"

// One rendered time and the seconds it shows: the flows of a datagram share their receive time,
// so a sink that keeps one per field renders each distinct second once.
struct TimeText {
    int64_t seconds = INT64_MIN;  // no 32-bit time has this value: empty
    char text[kTimeTextSize];
};

// A cache per field, kept for a batch.
struct FieldTimes {
    TimeText field[kFlowFieldCount];
};


// The text log's line, newline included, cut to size - 1 bytes; returns its length.
size_t RenderTextLine(const FlowItem& flow, FieldTimes* times, char* line, size_t size);
// The row as SQL values, "(NULL,'192.0.2.1',...)", the key first: addresses quoted, times as Unix
// seconds or, with local_times, as quoted local dates and times (MySQL). Cut to size - 1 bytes;
// returns its length.
size_t RenderRowValues(const FlowItem& flow, bool local_times, FieldTimes* times, char* text,
                       size_t size);
