#include "storage/render.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char* kUnknownTime = "Unknown";
constexpr const char* kDateTimeFormat = "%Y-%m-%d %H:%M:%S";

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

// ctime_r and localtime_r render into the caller's storage: the workers render trash-line times
// at the same moments.
const char* CtimeText(int32_t seconds, TimeText* cache) {
    if (cache->seconds == seconds) return cache->text;
    cache->seconds = seconds;
    std::memset(cache->text, 0, sizeof cache->text);
    const time_t value = seconds;
    if (ctime_r(&value, cache->text) == nullptr) {
        std::snprintf(cache->text, sizeof cache->text, "%s", kUnknownTime);
        return cache->text;
    }
    const size_t length = std::strlen(cache->text);
    if (length > 0) cache->text[length - 1] = '\0';
    return cache->text;
}

const char* LocalDateTimeText(int32_t seconds, TimeText* cache) {
    if (cache->seconds == seconds) return cache->text;
    cache->seconds = seconds;
    std::memset(cache->text, 0, sizeof cache->text);
    const time_t value = seconds;
    tm local{};
    if (localtime_r(&value, &local) != nullptr) {
        std::strftime(cache->text, sizeof cache->text, kDateTimeFormat, &local);
    }
    return cache->text;
}
