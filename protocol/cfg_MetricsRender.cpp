// Renders a service's counters as a table, as JSON and in the Prometheus text format.
// Thread rule: stateless functions.
#include "protocol/cfg_MetricsRender.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

namespace NS_CfgProtocol {
namespace {

struct CScalar {
    const char* name;  // the Prometheus name, without the zoltcfg_ prefix
    const char* type;  // "counter" or "gauge"
    const char* help;
    unsigned long long CMetricsSnapshot::*value;
};
const CScalar kScalars[] = {
    {"notifications_published_total", "counter", "Change notifications published.",
     &CMetricsSnapshot::published},
    {"observers", "gauge", "Observers connected to the publisher now.",
     &CMetricsSnapshot::observers},
    {"observers_dropped_total", "counter", "Observers dropped for falling behind.",
     &CMetricsSnapshot::dropped},
    {"database_lost_total", "counter", "Database status changes to lost.",
     &CMetricsSnapshot::dbLost},
    {"database_recovered_total", "counter", "Database status changes back to OK.",
     &CMetricsSnapshot::dbRecovered},
    {"store_retries_total", "counter", "Store operations tried again after reopening the tables.",
     &CMetricsSnapshot::storeRetries},
    {"kept_change_bytes", "gauge", "Bytes the kept last changes hold now.",
     &CMetricsSnapshot::keptBytes},
};

unsigned long long Count(const CRequestStats& r) {
    unsigned long long n = 0;
    for (auto b : r.buckets) n += b;
    return n;
}

// A bound in microseconds as seconds, without trailing zeros ("0.0001", "5").
std::string Seconds(unsigned long long micros) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6f", static_cast<double>(micros) / 1e6);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s;
}

void Family(std::string& out, const std::string& name, const char* type, const char* help) {
    out += "# HELP zoltcfg_" + name + " " + help + "\n# TYPE zoltcfg_" + name + " " + type + "\n";
}

}  // namespace

std::string RenderMetricsTable(const CMetricsSnapshot& s) {
    std::vector<std::vector<std::string>> rows = {{"ID", "REQUESTS", "FAILURES", "MEAN_US"}};
    for (const auto& r : s.requests) {
        const unsigned long long n = Count(r);
        rows.push_back({std::to_string(r.id), std::to_string(r.requests),
                        std::to_string(r.failures), std::to_string(n ? r.sumMicros / n : 0)});
    }
    rows.push_back({});
    rows.push_back({"WHAT", "VALUE"});
    for (const auto& c : kScalars) rows.push_back({c.name, std::to_string(s.*c.value)});
    std::vector<size_t> width(4, 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += row[i] + (i + 1 < row.size() ? std::string(width[i] - row[i].size() + 2, ' ')
                                                 : std::string());
        out += line + "\n";
    }
    return out;
}

std::string RenderMetricsJson(const CMetricsSnapshot& s) {
    nlohmann::ordered_json out;
    for (const auto& c : kScalars) out[c.name] = s.*c.value;
    auto& ids = out["requests"] = nlohmann::ordered_json::array();
    for (const auto& r : s.requests) {
        nlohmann::ordered_json one;
        one["id"] = r.id;
        one["requests"] = r.requests;
        one["failures"] = r.failures;
        one["latency_sum_us"] = r.sumMicros;
        auto& buckets = one["latency_buckets"] = nlohmann::ordered_json::array();
        for (int i = 0; i < kLatencyBucketCount; ++i) {
            nlohmann::ordered_json b;
            b["le_us"] = i + 1 < kLatencyBucketCount
                             ? nlohmann::ordered_json(kLatencyBoundsMicros[i])
                             : nlohmann::ordered_json(nullptr);
            b["count"] = r.buckets[i];
            buckets.push_back(b);
        }
        ids.push_back(one);
    }
    return out.dump(2) + "\n";
}

std::string RenderMetricsPrometheus(const CMetricsSnapshot& s) {
    std::string out;
    const auto perId = [&](const std::string& name, const char* type, const char* help,
                           auto value) {
        Family(out, name, type, help);
        for (const auto& r : s.requests)
            out += "zoltcfg_" + name + "{id=\"" + std::to_string(r.id) + "\"} " +
                   std::to_string(value(r)) + "\n";
    };
    perId("requests_total", "counter", "Requests served, per request id.",
          [](const CRequestStats& r) { return r.requests; });
    perId("request_failures_total", "counter",
          "Requests whose handler failed or left the reply empty, per request id.",
          [](const CRequestStats& r) { return r.failures; });
    Family(out, "request_duration_seconds", "histogram",
           "Time to serve a request, per request id.");
    for (const auto& r : s.requests) {
        const std::string id = "id=\"" + std::to_string(r.id) + "\"";
        unsigned long long cumulative = 0;
        for (int i = 0; i < kLatencyBucketCount; ++i) {
            cumulative += r.buckets[i];
            const std::string le =
                i + 1 < kLatencyBucketCount ? Seconds(kLatencyBoundsMicros[i]) : "+Inf";
            out += "zoltcfg_request_duration_seconds_bucket{" + id + ",le=\"" + le + "\"} " +
                   std::to_string(cumulative) + "\n";
        }
        char sum[40];
        std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(r.sumMicros) / 1e6);
        out += "zoltcfg_request_duration_seconds_sum{" + id + "} " + sum + "\n";
        out += "zoltcfg_request_duration_seconds_count{" + id + "} " + std::to_string(cumulative) +
               "\n";
    }
    for (const auto& c : kScalars) {
        Family(out, c.name, c.type, c.help);
        out += std::string("zoltcfg_") + c.name + " " + std::to_string(s.*c.value) + "\n";
    }
    return out;
}

}  // namespace NS_CfgProtocol
