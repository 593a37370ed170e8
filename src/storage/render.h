#pragma once
// Text forms shared by the sinks.
#include "parser/flow.h"

// The four addresses of a flow as dotted-quad text, each in a 16-byte buffer of its own.
struct FlowAddresses {
    char origin[16];
    char source[16];
    char destination[16];
    char nexthop[16];
};

FlowAddresses RenderAddresses(const FlowItem* i);
