// zoltcfg status: whether the daemon answers, whether its database is usable, what it serves
// (its version, home, database and server names, when it says) and the version and schema the
// CLI works with. Exit code 0 only when the daemon answers and its database is OK.
// Thread rule: run on the main thread.
#include <iostream>
#include <string>
#include <vector>

#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"
#include "tools/zoltcfg/OutputFormat.h"

#ifndef ZOLTCFG_VERSION
#define ZOLTCFG_VERSION "unknown"
#endif

namespace zoltcli {

int RunStatus(const CCliContext& ctx) {
    const CDaemonLink::CStatus status = CDaemonLink::Probe();
    const std::string schemaFile = CCliSchema::SchemaFileOf(ctx.home).string();
    std::string schemaNote;
    try {
        schemaNote = std::to_string(ctx.Schema().Categories().size()) + " categories";
    } catch (const CCliError& e) {
        schemaNote = "unreadable";
    }
    const std::string daemon = status.reachable ? "reachable" : "not reachable";
    const std::string database = !status.reachable   ? "unknown"
                                 : status.databaseOk ? "OK"
                                                     : "not usable";
    const auto& served = status.served;
    std::string servers;
    for (const auto& name : served.servers)
        servers += (servers.empty() ? "" : ", ") + name.ToUtf8();
    if (ctx.json) {
        nlohmann::ordered_json out;
        out["daemon"] = status.reachable;
        out["endpoint"] = status.endpoint;
        if (!status.reachable) out["problem"] = status.problem;
        out["database"] = status.reachable ? nlohmann::ordered_json(status.databaseOk) : nullptr;
        out["version"] = ZOLTCFG_VERSION;
        if (status.described) {
            out["daemon_version"] = served.version.ToUtf8();
            out["home"] = served.home.ToUtf8();
            out["database_file"] = served.database.ToUtf8();
            out["provider"] = served.provider.ToUtf8();
            auto& names = out["servers"] = nlohmann::ordered_json::array();
            for (const auto& name : served.servers) names.push_back(name.ToUtf8());
        }
        out["schema"] = schemaFile;
        std::cout << out.dump(2) << '\n';
    } else {
        std::vector<std::vector<std::string>> rows = {
            {"daemon", daemon + (status.endpoint.empty() ? "" : " at " + status.endpoint) +
                           (status.reachable ? "" : " (" + status.problem + ")")},
            {"database", database + (status.described ? ", " + served.provider.ToUtf8() + " " +
                                                            served.database.ToUtf8()
                                                      : "")}};
        std::string version = std::string("zoltcfg ") + ZOLTCFG_VERSION;
        if (status.described) {
            rows.push_back({"home", served.home.ToUtf8()});
            rows.push_back({"servers", servers});
            version += ", zoltcfgd " + served.version.ToUtf8();
        }
        rows.push_back({"version", version});
        rows.push_back({"schema", schemaFile + " (" + schemaNote + ")"});
        PrintTable(std::cout, {"WHAT", "STATUS"}, rows);
    }
    return status.reachable && status.databaseOk ? kExitOk : kExitRefused;
}

}  // namespace zoltcli
