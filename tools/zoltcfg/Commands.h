// The commands of zoltcfg, one function each, grouped in files by family: single settings
// (SettingCommands.cpp), watching (WatchCommand.cpp), whole-server files (DumpLoadCommands.cpp)
// the daemon's status (StatusCommand.cpp), moving the database (MigrateCommand.cpp) and copying
// settings between servers (ReplicateCommand.cpp). main.cpp
// parses the command line and calls them. Each returns the exit code of a success (0) and throws
// CCliError for a failure. Thread rule: run on the main thread, one command per process.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "outside/cluster/CClusterVirtualServerInfo.h"
#include "tools/zoltcfg/CliSchema.h"
#include "tools/zoltcfg/DaemonLink.h"

namespace zoltcli {

// What every command may use: the global options and the schema of the daemon's home.
class CCliContext {
  public:
    std::string home;   // --home; empty: the default home
    bool json = false;  // --json

    // The schema of the home, read on first use. Throws CCliError (refused).
    const CCliSchema& Schema() const;
    // `key` with its category checked against the schema and spelled as the schema spells it.
    CSettingKey Checked(CSettingKey key) const;

  private:
    mutable std::optional<CCliSchema> m_Schema;
};

// ---- single settings ----
int RunGet(const CCliContext& ctx, const CSettingKey& key, const std::vector<std::string>& fields);
int RunSet(const CCliContext& ctx, const CSettingKey& key,
           const std::vector<std::string>& assignments);
int RunDel(const CCliContext& ctx, const CSettingKey& key);
int RunReset(const CCliContext& ctx, const CSettingKey& key);
int RunApplyAll(const CCliContext& ctx, const std::string& server, const std::string& category,
                const std::vector<std::string>& assignments);
int RunList(const CCliContext& ctx, const std::string& server, const std::string& category);

// ---- change notifications: until SIGINT or SIGTERM, or `count` notifications (0: no limit);
// `background`: returns once a background watcher listens ----
int RunWatch(const CCliContext& ctx, const std::vector<std::string>& subjects, unsigned count,
             bool background);

// ---- whole-server files ("-": standard output or input) ----
int RunDump(const CCliContext& ctx, const std::string& server, const std::string& file);
int RunLoad(const CCliContext& ctx, const std::string& server, const std::string& file);

// ---- the daemon ----
int RunStatus(const CCliContext& ctx);
// The daemon's counters (StatsCommand.cpp); `proxy`: this process's library proxy counters.
int RunStats(const CCliContext& ctx, bool prometheus, bool proxy);
// A copy of the daemon's database written by the daemon to `file`, an absolute path on its
// machine; and that file put in the database's place (BackupCommands.cpp).
int RunBackup(const CCliContext& ctx, const std::string& file);
int RunRestore(const CCliContext& ctx, const std::string& file);
// Moves the home's database to the one connection file `target` names.
int RunMigrate(const CCliContext& ctx, const std::string& target);

// ---- the schema: its categories, or one category's fields and kinds ----
int RunSchema(const CCliContext& ctx, const std::string& category);

// ---- virtual servers of this node (ClusterCommands.cpp) ----
// `only` set: exit 0 when that server is on line here with its database open, else refused.
int RunClusterStatus(const CCliContext& ctx, const std::string& only);
int RunClusterMove(const CCliContext& ctx, const std::string& name, bool online);
int RunClusterReplay(const CCliContext& ctx, const std::string& name);
// The virtual server `name` as this node's registry configures it. Throws CCliError (refused).
CClusterVirtualServerInfo ConfiguredVirtualServer(const std::string& name);

// ---- files between the nodes, through this node's remote service (NodeCommands.cpp) ----
int RunNodeSync(const CCliContext& ctx, const std::string& name, const std::string& subFolder);
int RunNodeNewest(const CCliContext& ctx, const std::string& name);

// ---- copying settings between servers (ReplicateCommand.cpp) ----
struct CReplicateOptions {
    std::string from, to;
    std::vector<std::string> categories;  // empty: every category of the schema
    std::vector<std::string> subjects;    // empty: every subject
    int sourceType = 3;                   // the audit log's origin of the change
    bool dryRun = false;
    size_t chunk = 0;  // settings per batch request; 0: as many as fit in about 1 MiB
    // Roles and mail-server versions given on the command line, in place of what the servers'
    // registries say (another computer's through its product-values request).
    std::optional<long> sourceRole, targetRole;
    std::optional<double> sourceMailVersion, targetMailVersion;
};
// Prints the report of every setting; exit 0 when none was refused or failed, 1 otherwise.
// Throws CCliError (refused) when a server cannot be reached, after printing the report so far.
int RunReplicate(const CCliContext& ctx, const CReplicateOptions& options);

}  // namespace zoltcli
