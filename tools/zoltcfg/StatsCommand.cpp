// zoltcfg stats: what the daemon has counted since it started (requests, failures and latency
// per request id, notifications, observers, database status changes, store retries, kept bytes)
// as a table, JSON or the Prometheus text format; with --proxy, the library proxy counters of
// this very process instead (the CLI's own proxies, not the daemon's nor another program's).
// Thread rule: run on the main thread.
#include <chrono>
#include <iostream>

#include "protocol/cfg_MetricsRender.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"

namespace zoltcli {
namespace {

constexpr std::chrono::milliseconds kStatsTimeout{10000};

int PrintProxyCounters(const CCliContext& ctx, bool prometheus) {
    const CCfgProxyCounters c = CCfgProxyBase::GetCounters();
    const std::pair<const char*, unsigned long long> rows[] = {{"hits", c.hits},
                                                               {"misses", c.misses},
                                                               {"drops", c.drops},
                                                               {"reconnections", c.reconnections}};
    if (prometheus) {
        for (const auto& [name, value] : rows)
            std::cout << "# HELP zoltcfg_proxy_" << name
                      << "_total Library proxy counter of this zoltcfg process.\n# TYPE "
                      << "zoltcfg_proxy_" << name << "_total counter\nzoltcfg_proxy_" << name
                      << "_total " << value << '\n';
    } else if (ctx.json) {
        nlohmann::ordered_json out;
        out["process"] = "zoltcfg (this process)";
        for (const auto& [name, value] : rows) out[name] = value;
        std::cout << out.dump(2) << '\n';
    } else {
        std::cout << "the library proxy counters of this zoltcfg process (not the daemon's):\n";
        std::vector<std::vector<std::string>> table;
        for (const auto& [name, value] : rows) table.push_back({name, std::to_string(value)});
        PrintTable(std::cout, {"WHAT", "VALUE"}, table);
    }
    return kExitOk;
}

}  // namespace

int RunStats(const CCliContext& ctx, bool prometheus, bool proxy) {
    if (proxy) return PrintProxyCounters(ctx, prometheus);
    CDaemonLink link;
    CIPCMsgBuffer request, reply;
    NS_CfgProtocol::WriteMetricsRequest(request);
    NS_CfgProtocol::CMetricsSnapshot snapshot;
    bool answered = false;
    try {
        std::string endpoint;
        link.Agent().SendRequest(request, reply, nullptr, kStatsTimeout, endpoint);
        answered = NS_CfgProtocol::ReadMetricsReply(reply, snapshot);
    } catch (const OS::CException& e) {
        throw Refused("the daemon's counters could not be read: " + e.GetErrorMsg().ToUtf8());
    }
    if (!answered) throw Refused("the daemon does not tell its counters (an older zoltcfgd?)");
    if (prometheus)
        std::cout << NS_CfgProtocol::RenderMetricsPrometheus(snapshot);
    else if (ctx.json)
        std::cout << NS_CfgProtocol::RenderMetricsJson(snapshot);
    else
        std::cout << NS_CfgProtocol::RenderMetricsTable(snapshot);
    return kExitOk;
}

}  // namespace zoltcli
