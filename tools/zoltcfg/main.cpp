// zoltcfg: the administrator's command line over the configuration daemon. This file parses the
// command line (CLI11) and hands each command to its function (Commands.h); every failure ends
// as one sentence on standard error and exit code 1 (not found, refused) or 2 (usage).
// Thread rule: the main thread parses and runs one command; only `watch` starts other threads.
#include <CLI/CLI.hpp>
#include <cstdlib>
#include <iostream>

#include "cfg_Client.h"
#include "outside/common/CException.h"
#include "tools/zoltcfg/CliError.h"
#include "tools/zoltcfg/Commands.h"

#ifndef ZOLTCFG_VERSION
#define ZOLTCFG_VERSION "unknown"
#endif

namespace {

using namespace zoltcli;

constexpr const char* kDefaultServer = "localhost";
constexpr const char* kAssignmentHelp =
    "FIELD=VALUE or FIELD:KIND=VALUE (VALUE @FILE: the content of FILE; @-: standard input)";

// Adds SERVER POLICY CATEGORY SUBJECT to `cmd`.
void AddKey(CLI::App* cmd, CSettingKey& key) {
    cmd->add_option("SERVER", key.server, "the server the setting belongs to (e.g. localhost)")
        ->required();
    cmd->add_option("POLICY", key.policy, "the policy subject; - for none (ZOLT_PLC_NULL)")
        ->required();
    cmd->add_option("CATEGORY", key.category, "the setting's category (a table of the schema)")
        ->required();
    cmd->add_option("SUBJECT", key.subject, "the setting's own subject id; - for ZOLT_SUB_NULL")
        ->required();
}

// Throws CCliError (usage) when `part`, a policy or subject as typed, cannot be part of a stored
// key: `load` would refuse the dump that held it.
void CheckKeyPart(const char* what, const std::string& part) {
    const std::string problem = KeyPartProblem(part);
    if (!problem.empty())
        throw Usage(std::string("the ") + what + " \"" + part + "\" cannot name a setting: " +
                    problem + " (a setting is stored as POLICY:SUBJECT; - stands for none).");
}

CSettingKey Normalised(CSettingKey key) {
    if (key.policy == "-") key.policy = "ZOLT_PLC_NULL";
    if (key.subject == "-") key.subject = "ZOLT_SUB_NULL";
    CheckKeyPart("policy", key.policy);
    CheckKeyPart("subject", key.subject);
    return key;
}

// The FIELD=VALUE arguments of `command`, at least one.
const std::vector<std::string>& Assignments(const char* command,
                                            const std::vector<std::string>& assignments) {
    if (assignments.empty())
        throw Usage(std::string(command) +
                    " needs at least one FIELD=VALUE (zoltcfg --help shows the usage).");
    return assignments;
}

std::string Sentence(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (!text.empty() && text.back() != '.' && text.back() != ')') text += '.';
    if (!text.empty() && text.back() == ')') text += '.';
    return text;
}

int Fail(int code, const std::string& text) {
    std::cerr << "zoltcfg: " << Sentence(text) << '\n';
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "zoltcfg: reads, writes, watches, dumps and loads the settings that zoltcfgd "
        "keeps.\nFIELD=VALUE takes the field's kind from the schema; FIELD:KIND=VALUE "
        "names it\n(string, int16, int32, int64, bool, date, double, bytes).",
        "zoltcfg"};
    app.set_version_flag("--version", "zoltcfg " ZOLTCFG_VERSION);
    app.require_subcommand(1);
    app.fallthrough();  // the global options may follow the command

    CCliContext ctx;
    std::string runtimeDir;
    bool verbose = false;
    app.add_option("--home", ctx.home,
                   "the daemon's home, whose schema tells the fields and their kinds (default: "
                   "registry HomeDir, else $ZOLTCFG_HOME, else /var/lib/zoltcfg)");
    app.add_option("--runtime-dir", runtimeDir,
                   "the daemon's runtime folder (default: $ZOLTCFG_RUNTIME_DIR, else /run/zoltcfg "
                   "for root, else $XDG_RUNTIME_DIR/zoltcfg)");
    app.add_flag("--json", ctx.json, "JSON output instead of tables");
    app.add_flag("-v,--verbose", verbose, "the library's log on standard error");

    CSettingKey key;
    std::vector<std::string> fields, assignments, subjects;
    std::string server = kDefaultServer, category, file = "-";
    unsigned count = 0;
    bool background = false;

    auto* get = app.add_subcommand("get", "show a stored setting (all fields, or --field)");
    AddKey(get, key);
    get->add_option("-f,--field", fields,
                    "only this field (repeatable); one field: its value only");

    auto* set = app.add_subcommand("set", "write fields of a setting (it is created if missing)");
    AddKey(set, key);
    set->add_option("ASSIGNMENT", assignments, kAssignmentHelp);

    auto* del = app.add_subcommand("del", "delete a stored setting");
    AddKey(del, key);

    auto* reset = app.add_subcommand("reset", "replace a setting by its defaults");
    AddKey(reset, key);

    auto* applyAll =
        app.add_subcommand("apply-all", "write fields into every stored setting of a category");
    applyAll->add_option("--server", server, "the server (default localhost)");
    applyAll->add_option("CATEGORY", category, "the category")->required();
    applyAll->add_option("ASSIGNMENT", assignments, kAssignmentHelp);

    auto* list = app.add_subcommand("list", "list the stored subjects of a category");
    list->add_option("--server", server, "the server (default localhost)");
    list->add_option("CATEGORY", category, "the category")->required();

    auto* watch = app.add_subcommand(
        "watch", "print each change notification of the subjects until interrupted");
    watch->add_option("SUBJECT", subjects, "subject ids to watch")->required();
    watch->add_option("-n,--count", count, "stop after this many notifications");
    watch->add_flag("--background", background,
                    "return once listening; the watcher goes on printing (stop it with kill PID)");

    auto* dump = app.add_subcommand("dump", "write every setting of a server to a JSON file");
    dump->add_option("--server", server, "the server (default localhost)");
    dump->add_option("FILE", file, "the file to write (default -: standard output)");

    auto* load = app.add_subcommand(
        "load", "write the settings of a dump file (checked whole before anything is written)");
    load->add_option("--server", server, "the server (default localhost)");
    load->add_option("FILE", file, "the dump file (-: standard input)")->required();

    auto* status = app.add_subcommand("status", "is the daemon reachable, is its database OK");

    bool prometheus = false, proxy = false;
    auto* stats = app.add_subcommand(
        "stats",
        "what the daemon counted: requests, failures and latency per request id, "
        "notifications, observers, database status changes, store retries");
    stats->add_flag("--prometheus", prometheus, "the Prometheus text exposition format");
    stats->add_flag("--proxy", proxy,
                    "the library proxy counters of this zoltcfg process instead of the daemon's");
    std::string dbFile;
    auto* backup = app.add_subcommand(
        "backup",
        "have the daemon write a consistent copy of its database while it serves (SQLite: a "
        "database file; PostgreSQL: a pg_dump custom-format file)");
    backup
        ->add_option("FILE", dbFile,
                     "absolute path on the daemon's machine, written by the daemon's user "
                     "(not in its runtime folder)")
        ->required();
    auto* restore = app.add_subcommand(
        "restore",
        "have the daemon check a backup whole and put it in place of its database; every "
        "watcher and proxy is told to re-read (SQLite only)");
    restore->add_option("FILE", dbFile, "absolute path on the daemon's machine")->required();

    std::string target;
    auto* migrate = app.add_subcommand(
        "migrate",
        "copy the home's database into another one (checked whole), then switch the home to it");
    migrate->add_option("--to", target, "the connection file of the other database")->required();

    auto* schema = app.add_subcommand(
        "schema", "list the categories of the schema, or the fields and kinds of one category");
    schema->add_option("CATEGORY", category, "the category whose fields to list");

    CReplicateOptions rep;
    auto* replicate = app.add_subcommand(
        "replicate", "copy the settings of one server to another through the replication filter");
    replicate->add_option("--from", rep.from, "the source server")->required();
    replicate->add_option("--to", rep.to, "the target server")->required();
    replicate->add_option("--category", rep.categories, "only this category (repeatable)");
    replicate->add_option("--subject", rep.subjects, "only this subject (repeatable)");
    replicate
        ->add_option("--source-type", rep.sourceType,
                     "the origin of the change: 3 replication (default), 2 policy change")
        ->check(CLI::IsMember({1, 2, 3}));
    replicate->add_flag("--dry-run", rep.dryRun, "show the filter's decisions, write nothing");
    replicate
        ->add_option("--chunk", rep.chunk,
                     "settings per batch request, 1 to 1000 (default: as many as fit in about "
                     "1 MiB, at most 1000): the unit a run writes whole and reports progress by")
        ->check(CLI::Range(1, 1000));
    long sourceRole = -1, targetRole = -1;
    double sourceMail = 0.0, targetMail = 0.0;
    auto* sourceRoleOpt = replicate->add_option(
        "--source-role", sourceRole, "the source's role bits, instead of what its registry says");
    auto* targetRoleOpt = replicate->add_option(
        "--target-role", targetRole, "the target's role bits, instead of what its registry says");
    auto* sourceMailOpt = replicate->add_option(
        "--source-mail-version", sourceMail,
        "the source's mail-server version, instead of what its registry says");
    auto* targetMailOpt = replicate->add_option(
        "--target-mail-version", targetMail,
        "the target's mail-server version, instead of what its registry says");

    std::string vserver;
    auto* cluster = app.add_subcommand("cluster", "the virtual servers of this node");
    cluster->require_subcommand(1);
    auto* clStatus = cluster->add_subcommand(
        "status", "list them (or: exit 0 when NAME is on line here with its database open)");
    clStatus->add_option("NAME", vserver, "one virtual server");
    auto* clOnline = cluster->add_subcommand("online", "bring NAME on line on this node");
    clOnline->add_option("NAME", vserver, "the virtual server")->required();
    auto* clOffline = cluster->add_subcommand("offline", "take NAME off line on this node");
    clOffline->add_option("NAME", vserver, "the virtual server")->required();
    auto* clReplay =
        cluster->add_subcommand("replay", "rewrite NAME's environment setting from its state");
    clReplay->add_option("NAME", vserver, "the virtual server")->required();

    std::string subFolder;
    auto* node = app.add_subcommand("node", "a virtual server's files on the other nodes");
    node->require_subcommand(1);
    auto* ndSync = node->add_subcommand(
        "sync", "make SUBFOLDER of NAME's root folder the same on the other nodes' shares");
    ndSync->add_option("NAME", vserver, "the virtual server")->required();
    ndSync->add_option("SUBFOLDER", subFolder, "the folder under the root folder")->required();
    auto* ndNewest = node->add_subcommand(
        "newest", "which other node holds the newest copy of NAME's configuration database");
    ndNewest->add_option("NAME", vserver, "the virtual server")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A word where the command should be is named as such, not as a missing command.
        const auto extra = app.remaining();
        bool anyCommand = false;
        for (const auto* cmd : app.get_subcommands({})) anyCommand = anyCommand || cmd->parsed();
        if (!anyCommand && !extra.empty() && extra.front().rfind("-", 0) != 0)
            return Fail(kExitUsage, "unknown command " + extra.front() +
                                        " (zoltcfg --help lists the commands)");
        return Fail(kExitUsage, std::string(e.what()) + " (zoltcfg --help shows the usage)");
    }

    if (!runtimeDir.empty()) setenv("ZOLTCFG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    if (verbose) {
        CCfgLog::ToStandardError();
        CCfgLog::SetVerbosity(CCfgLog::Verbosity::kTrace);
    } else {
        CCfgLog::ToNothing();
    }

    try {
        if (get->parsed()) return RunGet(ctx, Normalised(key), fields);
        if (set->parsed()) return RunSet(ctx, Normalised(key), Assignments("set", assignments));
        if (del->parsed()) return RunDel(ctx, Normalised(key));
        if (reset->parsed()) return RunReset(ctx, Normalised(key));
        if (applyAll->parsed())
            return RunApplyAll(ctx, server, category, Assignments("apply-all", assignments));
        if (list->parsed()) return RunList(ctx, server, category);
        if (watch->parsed()) {
            for (const auto& subject : subjects) CheckKeyPart("subject", subject);
            return RunWatch(ctx, subjects, count, background);
        }
        if (dump->parsed()) return RunDump(ctx, server, file);
        if (load->parsed()) return RunLoad(ctx, server, file);
        if (status->parsed()) return RunStatus(ctx);
        if (stats->parsed()) return RunStats(ctx, prometheus, proxy);
        if (migrate->parsed()) return RunMigrate(ctx, target);
        if (backup->parsed()) return RunBackup(ctx, dbFile);
        if (restore->parsed()) return RunRestore(ctx, dbFile);
        if (schema->parsed()) return RunSchema(ctx, category);
        if (replicate->parsed()) {
            if (sourceRoleOpt->count()) rep.sourceRole = sourceRole;
            if (targetRoleOpt->count()) rep.targetRole = targetRole;
            if (sourceMailOpt->count()) rep.sourceMailVersion = sourceMail;
            if (targetMailOpt->count()) rep.targetMailVersion = targetMail;
            return RunReplicate(ctx, rep);
        }
        if (clStatus->parsed()) return RunClusterStatus(ctx, vserver);
        if (clOnline->parsed()) return RunClusterMove(ctx, vserver, true);
        if (clOffline->parsed()) return RunClusterMove(ctx, vserver, false);
        if (clReplay->parsed()) return RunClusterReplay(ctx, vserver);
        if (ndSync->parsed()) return RunNodeSync(ctx, vserver, subFolder);
        if (ndNewest->parsed()) return RunNodeNewest(ctx, vserver);
    } catch (const CCliError& e) {
        return Fail(e.GetExitCode(), e.what());
    } catch (const OS::CException& e) {
        return Fail(kExitRefused, e.GetErrorMsg().ToUtf8());
    } catch (const std::exception& e) {
        return Fail(kExitRefused, e.what());
    }
    return Fail(kExitUsage, "no command given (zoltcfg --help shows the usage)");
}
