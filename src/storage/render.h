#pragma once
// The text forms of a flow's addresses and times, shared by every sink.
#include <cstdint>

#include "common/flow.h"
#include "common/messages.h"

// The four addresses of a flow as dotted-quad text, each in a 16-byte buffer of its own.
struct FlowAddresses {
    char origin[16];
    char source[16];
    char destination[16];
    char nexthop[16];
};

FlowAddresses RenderAddresses(const FlowItem* i);

// One rendered time and the seconds it shows: the flows of a datagram share their receive time,
// so a sink that keeps one per field renders each distinct second once.
struct TimeText {
    int64_t seconds = INT64_MIN;  // no 32-bit time has this value: empty
    char text[kTimeTextSize];
};

// ctime form without its newline ("Sat Dec  5 13:29:26 2026"), or "Unknown" (text log).
const char* CtimeText(int32_t seconds, TimeText* cache);
// "%Y-%m-%d %H:%M:%S" in local time, or an empty text when it cannot be converted (MySQL).
const char* LocalDateTimeText(int32_t seconds, TimeText* cache);
