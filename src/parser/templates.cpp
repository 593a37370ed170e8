#include "parser/templates.h"

#include <pthread.h>

#include <atomic>
#include <compare>
#include <cstring>
#include <map>

#include "common/lock.h"

namespace {

struct ExporterKey {
    uint8_t family;
    uint8_t bytes[16];
    auto operator<=>(const ExporterKey&) const = default;
};

struct ScopeKey {
    ExporterKey exporter;
    uint16_t version;
    uint32_t domain;
    auto operator<=>(const ScopeKey&) const = default;
};

struct TemplateKey {
    ScopeKey scope;
    uint16_t id;
    auto operator<=>(const TemplateKey&) const = default;
};

struct Held {
    std::shared_ptr<const Template> definition;
    time_t refreshed;
};

struct Cache {
    std::map<TemplateKey, Held> templates;
    std::map<ExporterKey, size_t> per_exporter;
    std::map<ScopeKey, uint64_t> init_times;
};

// Made on first use and never destroyed: workers may still read it while the process exits.
Cache* cache = nullptr;
std::atomic<uint64_t> expiries{0};
pthread_mutex_t cache_mutex = PTHREAD_MUTEX_INITIALIZER;

Cache& TheCache() {
    if (cache == nullptr) cache = new Cache;
    return *cache;
}

ExporterKey KeyOf(const NetAddress& address) {
    ExporterKey key{address.family, {}};
    std::memcpy(key.bytes, address.bytes, sizeof key.bytes);
    return key;
}

ScopeKey KeyOf(const TemplateScope& scope) {
    return ScopeKey{KeyOf(scope.exporter), scope.version, scope.domain};
}

// Caller holds cache_mutex.
void Forget(Cache& c, std::map<TemplateKey, Held>::iterator it) {
    auto count = c.per_exporter.find(it->first.scope.exporter);
    if (--count->second == 0) c.per_exporter.erase(count);
    c.templates.erase(it);
}

}  // namespace

bool LearnTemplate(const TemplateScope& scope, uint16_t id, Template&& definition, time_t now) {
    auto shared = std::make_shared<const Template>(std::move(definition));
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    const TemplateKey key{KeyOf(scope), id};
    auto it = c.templates.find(key);
    if (it != c.templates.end()) {
        it->second = Held{std::move(shared), now};
        return true;
    }
    size_t& count = c.per_exporter[key.scope.exporter];
    if (count >= kMaxTemplatesPerExporter || c.templates.size() >= kMaxTemplatesHeld) {
        if (count == 0) c.per_exporter.erase(key.scope.exporter);
        return false;
    }
    ++count;
    c.templates.emplace(key, Held{std::move(shared), now});
    return true;
}

void WithdrawTemplate(const TemplateScope& scope, uint16_t id) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    auto it = c.templates.find(TemplateKey{KeyOf(scope), id});
    if (it != c.templates.end()) Forget(c, it);
}

void WithdrawTemplates(const TemplateScope& scope, bool options) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    const ScopeKey key = KeyOf(scope);
    for (auto it = c.templates.lower_bound(TemplateKey{key, 0});
         it != c.templates.end() && it->first.scope == key;) {
        auto next = std::next(it);
        if (it->second.definition->options == options) Forget(c, it);
        it = next;
    }
}

size_t ExpireTemplates(time_t now) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    size_t expired = 0;
    for (auto it = c.templates.begin(); it != c.templates.end();) {
        auto next = std::next(it);
        if (now - it->second.refreshed >= kTemplateLifetime) {
            Forget(c, it);
            ++expired;
        }
        it = next;
    }
    for (auto it = c.init_times.begin(); it != c.init_times.end();) {
        auto held = c.templates.lower_bound(TemplateKey{it->first, 0});
        const bool empty = held == c.templates.end() || !(held->first.scope == it->first);
        it = empty ? c.init_times.erase(it) : std::next(it);
    }
    expiries.fetch_add(expired, std::memory_order_relaxed);
    return expired;
}

uint64_t TemplateExpiries() { return expiries.load(std::memory_order_relaxed); }

void SetSystemInitTime(const TemplateScope& scope, uint64_t milliseconds) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    // Bounded like the templates; expiry forgets the boot times of scopes left without one.
    if (c.init_times.size() < kMaxTemplatesHeld) c.init_times[KeyOf(scope)] = milliseconds;
}

std::shared_ptr<const Template> FindTemplate(const TemplateScope& scope, uint16_t id) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    auto it = c.templates.find(TemplateKey{KeyOf(scope), id});
    return it == c.templates.end() ? nullptr : it->second.definition;
}

uint64_t SystemInitTime(const TemplateScope& scope) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    auto it = c.init_times.find(KeyOf(scope));
    return it == c.init_times.end() ? 0 : it->second;
}

size_t TemplatesHeld(const NetAddress& exporter) {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    auto it = c.per_exporter.find(KeyOf(exporter));
    return it == c.per_exporter.end() ? 0 : it->second;
}

size_t TemplatesHeld() {
    const LockGuard guard(cache_mutex);
    return TheCache().templates.size();
}

void ClearTemplates() {
    const LockGuard guard(cache_mutex);
    Cache& c = TheCache();
    c.templates.clear();
    c.per_exporter.clear();
    c.init_times.clear();
}
