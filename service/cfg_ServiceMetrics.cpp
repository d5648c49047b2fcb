// The per-request counters of the configuration service and the snapshot that gathers them
// with the publisher's, the database's and the store's own figures.
// Thread rule: lock-free; see cfg_ServiceMetrics.h.
#include "service/cfg_ServiceMetrics.h"

#include <algorithm>
#include <atomic>

#include "outside/db/CGenericDatabase.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "storage/cfg_SettingGenericDatabase.h"

namespace P = NS_CfgProtocol;

namespace {

// Every id a service may serve: the common table, then our own; slot 0 takes the rest.
constexpr int kOwnIds[] = {P::kMsgServiceInfo, P::kMsgMetrics};
constexpr int kSlotCount = 1 + P::kServedMsgIdCount + 2;

struct CSlot {
    std::atomic<unsigned long long> requests{0};
    std::atomic<unsigned long long> failures{0};
    std::atomic<unsigned long long> sumMicros{0};
    std::atomic<unsigned long long> buckets[P::kLatencyBucketCount] = {};
};

CSlot g_slots[kSlotCount];
std::atomic<bool> g_enabled{true};

int IdOfSlot(int slot) {
    if (slot == 0) return 0;
    if (slot <= P::kServedMsgIdCount) return P::kServedMsgIds[slot - 1];
    return kOwnIds[slot - 1 - P::kServedMsgIdCount];
}

int SlotOf(int id) {
    for (int slot = 1; slot < kSlotCount; ++slot)
        if (IdOfSlot(slot) == id) return slot;
    return 0;
}

}  // namespace

namespace CCfgServiceMetrics {

void SetEnabled(bool enabled) {
    g_enabled.store(enabled, std::memory_order_relaxed);
}

bool Enabled() {
    return g_enabled.load(std::memory_order_relaxed);
}

void Record(int id, std::chrono::steady_clock::duration elapsed, bool failed) {
    CSlot& slot = g_slots[SlotOf(id)];
    const auto micros = static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
    int bucket = 0;
    while (bucket < P::kLatencyBucketCount - 1 && micros > P::kLatencyBoundsMicros[bucket])
        ++bucket;
    slot.requests.fetch_add(1, std::memory_order_relaxed);
    if (failed) slot.failures.fetch_add(1, std::memory_order_relaxed);
    slot.sumMicros.fetch_add(micros, std::memory_order_relaxed);
    slot.buckets[bucket].fetch_add(1, std::memory_order_relaxed);
}

P::CMetricsSnapshot Snapshot(const CSubjectServerHelper* publisher) {
    P::CMetricsSnapshot s;
    if (publisher) {
        s.published = publisher->GetLastSequence();
        s.observers = publisher->GetObserverCount();
        s.dropped = publisher->GetDroppedObserverCount();
        s.keptBytes = publisher->GetKeptBytes();
    }
    const auto changes = CGenericDatabase::StatusChanges();
    s.dbLost = changes.lost;
    s.dbRecovered = changes.recovered;
    s.storeRetries = CCfgSettingGenericDatabase::RetryCount();
    // Ascending ids; slot 0 (ids not served) comes first as id 0.
    for (int slot = 0; slot < kSlotCount; ++slot) {
        const CSlot& from = g_slots[slot];
        P::CRequestStats r;
        r.id = IdOfSlot(slot);
        r.requests = from.requests.load(std::memory_order_relaxed);
        if (r.requests == 0) continue;
        r.failures = from.failures.load(std::memory_order_relaxed);
        r.sumMicros = from.sumMicros.load(std::memory_order_relaxed);
        for (int b = 0; b < P::kLatencyBucketCount; ++b)
            r.buckets[b] = from.buckets[b].load(std::memory_order_relaxed);
        s.requests.push_back(r);
    }
    std::sort(s.requests.begin(), s.requests.end(),
              [](const P::CRequestStats& a, const P::CRequestStats& b) { return a.id < b.id; });
    return s;
}

}  // namespace CCfgServiceMetrics
