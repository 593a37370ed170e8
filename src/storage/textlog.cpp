// The text flow log: one human-readable line per flow, appended through LogWrite.
#include "storage/textlog.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/messages.h"
#include "entry/settings.h"
#include "storage/render.h"
#include "storage/terminate.h"

namespace {

// Widths are minimums: longer values push the rest of the line right rather than being cut.
constexpr const char* kTextLogLine =
    "Origin: %15s - Received: %s - Version: %d Sequence: %10lu From: %15s Sport: %5d "
    "To: %15s Dport: %5d Next_Hop: %15s Protocol: %5d TCP_Flags: 0x%02x TOS:0x%02x "
    "Bytes: %12lu Packets: %12lu Start: %s Stop: %s SrcMask: /%02d DstMask: /%02d\n";
constexpr const char* kUnknownTime = "Unknown";

// ctime_r renders into the caller's buffer: the workers render trash-line times concurrently.
void RenderTime(int32_t seconds, char* text) {
    std::memset(text, 0, kTimeTextSize);
    const time_t value = seconds;
    if (ctime_r(&value, text) == nullptr) {
        std::snprintf(text, kTimeTextSize, "%s", kUnknownTime);
        return;
    }
    const size_t length = std::strlen(text);
    if (length > 0) text[length - 1] = '\0';
}

}  // namespace

void TextLogPacket(const FlowItem* i) {
    NF_ASSERT(i != nullptr, "i!= NULL");
    const FlowAddresses address = RenderAddresses(i);

    char received[kTimeTextSize];
    char start[kTimeTextSize];
    char stop[kTimeTextSize];
    RenderTime(i->time_received, received);
    RenderTime(i->flow_begin, start);
    RenderTime(i->flow_end, stop);

    char line[kMessageSize];
    std::snprintf(line, sizeof line, kTextLogLine, address.origin, received, i->version,
                  static_cast<unsigned long>(i->sequence), address.source, i->src_port,
                  address.destination, i->dst_port, address.nexthop, i->protocol,
                  static_cast<unsigned>(i->tcp_flags), static_cast<unsigned>(i->tos),
                  static_cast<unsigned long>(i->bytes), static_cast<unsigned long>(i->packets),
                  start, stop, i->src_mask, i->dst_mask);
    LogWrite(line, GetTextLogFileName());
}
