// What the configuration service of this process counts: per request id served, the requests,
// the failures (an exception left the handler, or the handler left the reply empty) and a
// latency histogram; and, gathered when a snapshot is taken, the publisher's notifications,
// observers and kept bytes, the database's status changes and the store's retries.
// Thread rule: Record runs on every RPC thread at once and takes no lock (relaxed atomics, one
// fixed slot per served id); Snapshot may run at the same time and sees each counter as it is.
#pragma once

#include <chrono>

#include "protocol/cfg_RequestProtocol.h"

class CSubjectServerHelper;

namespace CCfgServiceMetrics {

// Whether requests are counted (on by default; the benchmark compares both).
void SetEnabled(bool enabled);
bool Enabled();

// Counts one request of `id` that took `elapsed`. Ids the service does not serve are counted
// together under id 0.
void Record(int id, std::chrono::steady_clock::duration elapsed, bool failed);

// Everything counted so far; `publisher` (may be null) gives the notification figures.
NS_CfgProtocol::CMetricsSnapshot Snapshot(const CSubjectServerHelper* publisher);

}  // namespace CCfgServiceMetrics
