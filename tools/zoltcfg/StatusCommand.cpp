// zoltcfg status: whether the daemon answers, whether its database is usable, and the versions
// and home the CLI works with. Exit code 0 only when the daemon answers and its database is OK.
// Thread rule: run on the main thread.
#include <iostream>

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
    if (ctx.json) {
        nlohmann::ordered_json out;
        out["daemon"] = status.reachable;
        out["endpoint"] = status.endpoint;
        if (!status.reachable) out["problem"] = status.problem;
        out["database"] = status.reachable ? nlohmann::ordered_json(status.databaseOk) : nullptr;
        out["version"] = ZOLTCFG_VERSION;
        out["schema"] = schemaFile;
        std::cout << out.dump(2) << '\n';
    } else {
        PrintTable(std::cout, {"WHAT", "STATUS"},
                   {{"daemon", daemon + (status.endpoint.empty() ? "" : " at " + status.endpoint) +
                                   (status.reachable ? "" : " (" + status.problem + ")")},
                    {"database", database},
                    {"version", std::string("zoltcfg ") + ZOLTCFG_VERSION},
                    {"schema", schemaFile + " (" + schemaNote + ")"}});
    }
    return status.reachable && status.databaseOk ? kExitOk : kExitRefused;
}

}  // namespace zoltcli
