#include "storage/render.h"

#include <arpa/inet.h>

#include "common/messages.h"

namespace {

void RenderAddress(uint32_t address, char* text) {
    const char* tmpstring = inet_ntop(AF_INET, &address, text, sizeof(FlowAddresses::origin));
    NF_ASSERT(tmpstring != nullptr, "tmpstring != NULL");
}

}  // namespace

FlowAddresses RenderAddresses(const FlowItem* i) {
    FlowAddresses text;
    RenderAddress(i->origin_ip, text.origin);
    RenderAddress(i->src_ip, text.source);
    RenderAddress(i->dst_ip, text.destination);
    RenderAddress(i->next_hop, text.nexthop);
    return text;
}
