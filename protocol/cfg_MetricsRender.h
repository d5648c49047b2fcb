// The three faces of a service's counters (CMetricsSnapshot, as 905 answers it): a table for
// people, JSON for programs, and the Prometheus text exposition format for scrapers. The CLI
// prints them and the daemon serves the Prometheus one over HTTP through the same function.
// Thread rule: stateless functions.
#pragma once

#include <string>

#include "protocol/cfg_RequestProtocol.h"

namespace NS_CfgProtocol {

std::string RenderMetricsTable(const CMetricsSnapshot& snapshot);
std::string RenderMetricsJson(const CMetricsSnapshot& snapshot);
// # HELP and # TYPE before every family; counters end in _total; the latency histogram has
// cumulative _bucket{id="...",le="..."} lines (seconds), _sum and _count per request id.
std::string RenderMetricsPrometheus(const CMetricsSnapshot& snapshot);

}  // namespace NS_CfgProtocol
