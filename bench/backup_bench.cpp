// The daemon's backup of a 100 MB database (zoltcfg backup, answered by a running zoltcfgd)
// against the sqlite3 shell's .backup of the same file, wall time; goal: within 1.5x.
// Thread rule: main thread only; the daemon is a child process.
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "bench/BenchSupport.h"
#include "outside/log/DebugLog.h"
#include "tests/support/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

struct CEnv {
    testsupport::CTempDir tmp{"zoltcfg-backup-bench"};
    std::unique_ptr<testsupport::CDaemon> daemon;
    std::string database;
};
CEnv* g_env = nullptr;

// Grows the daemon's database to about `mb` megabytes with a table of its own, next to the
// daemon (the database is in WAL mode, so the daemon keeps serving).
bool Fill(const std::string& database, int mb) {
    sqlite3* db = nullptr;
    if (sqlite3_open(database.c_str(), &db) != SQLITE_OK) return false;
    sqlite3_busy_timeout(db, 30000);
    const std::string sql =
        "CREATE TABLE BENCH_FILL(B BLOB); WITH RECURSIVE n(i) AS (SELECT 1 "
        "UNION ALL SELECT i + 1 FROM n WHERE i < " +
        std::to_string(mb * 256) +
        ") INSERT INTO BENCH_FILL SELECT randomblob(4000) FROM n; "
        "PRAGMA wal_checkpoint(TRUNCATE);";
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

void BM_Daemon_Backup(benchmark::State& state) {
    const std::string target = (g_env->tmp / "daemon-copy.db").string();
    for (auto _ : state) {
        const testsupport::CRun r = g_env->daemon->Cli({"backup", target});
        if (r.code != 0) state.SkipWithError(r.err.c_str());
    }
}

void BM_Floor_Sqlite3ShellBackup(benchmark::State& state) {
    const std::string target = (g_env->tmp / "shell-copy.db").string();
    const std::string cmd = "sqlite3 '" + g_env->database + "' \".backup '" + target + "'\"";
    for (auto _ : state) {
        fs::remove(target);
        if (std::system(cmd.c_str()) != 0) state.SkipWithError("sqlite3 .backup failed");
    }
}

BENCHMARK(BM_Floor_Sqlite3ShellBackup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_Daemon_Backup)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    CEnv env;
    g_env = &env;
    env.daemon = std::make_unique<testsupport::CDaemon>(env.tmp.Path());
    env.database = (env.tmp / "home/data/config.db").string();
    if (!Fill(env.database, 100)) {
        std::fprintf(stderr, "cannot fill %s\n", env.database.c_str());
        return 1;
    }
    std::printf("database: %.1f MB\n", fs::file_size(env.database) / 1e6);
    benchmark::Initialize(&argc, argv);
    benchsupport::CRatioReporter reporter(benchsupport::CRatioReporter::ETime::kWall);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatio(48, "daemon backup / sqlite3 .backup (goal <= 1.5)",
                        "BM_Daemon_Backup/iterations:5/real_time",
                        "BM_Floor_Sqlite3ShellBackup/iterations:5/real_time");
    return 0;
}
