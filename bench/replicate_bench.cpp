// Copying 10,000 settings of ten fields from one server to another with `zoltcfg replicate`: the
// source daemon reached over mutual TLS, the target a fresh daemon on this computer, the filter
// on. Against its floor in the same run: the same rows copied between two SQLite files (WAL,
// synchronous FULL, as the store opens them) by a prepared select and insert in one transaction.
// Reports settings per second and the ratio of the two rates (goal: at least a third), and the
// CPU time each of the three processes spent on a run (less disturbed than the wall time by other
// load on the machine, so the better measure of a change to one of them).
// Thread rule: the benchmark thread only; the daemons and the CLI are child processes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/resource.h>

#include <ctime>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "outside/log/DebugLog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FreePort.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCerts.h"

namespace {

constexpr int kSettings = 10000;

// A registry file whose Remote values are node `node`'s certificate.
void WriteRegistry(const std::filesystem::path& file, const std::string& node) {
    const auto tls = testsupport::TlsNode(node);
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kestrelon\\Mailvane for Exchange\\";
    testsupport::WriteFile(file, key + "CurrentVersion]\n\"Version\"=\"12.0\"\n" + key +
                                     "CurrentVersion\\Remote]\n\"Certificate\"=\"" + tls.certFile +
                                     "\"\n\"PrivateKey\"=\"" + tls.keyFile + "\"\n\"CAFile\"=\"" +
                                     tls.caFile + "\"\n" + key +
                                     "MailServer]\n\"ServerRole\"=dword:0000010F\n");
}

// The CPU time (ms) that process `pid` has spent so far, all its threads.
double ProcessCpuMs(pid_t pid) {
    clockid_t clock;
    timespec t{};
    if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &t) != 0) return 0;
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// The CPU time (ms) of the children waited for so far.
double WaitedChildrenCpuMs() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    const auto ms = [](const timeval& v) {
        return static_cast<double>(v.tv_sec) * 1e3 + static_cast<double>(v.tv_usec) / 1e3;
    };
    return ms(u.ru_utime) + ms(u.ru_stime);
}

void BM_Replicate_TwoDaemons(benchmark::State& state) {
    testsupport::CTempDir tmp("replicate-bench");
    const std::string schema = benchsupport::SchemaOf(benchsupport::kTenFieldTable);
    const std::string port = std::to_string(testsupport::FreeTcpPort());
    testsupport::CScopedEnv portVar("ZOLTCFG_RPC_PORT_ID_ZOLT_REMOTE_CFG", port);
    benchsupport::CreateHome(tmp / "src" / "home", schema);
    WriteRegistry(tmp / "src" / "registry", "server");
    testsupport::CDaemon source(tmp / "src", {"--remote-listen", "127.0.0.2:" + port});
    // Loaded in parts, each well within the CLI's time limit.
    for (int part = 0; part < kSettings / 1000; ++part) {
        std::string dump = R"({"format": "zoltcfg-dump", "version": 1, "server": "localhost", )"
                           R"("categories": {"T10": [)";
        for (int i = part * 1000; i < (part + 1) * 1000; ++i)
            dump += std::string(i % 1000 ? "," : "") +
                    R"({"policy": "ZOLT_PLC_NULL", "subject": "S)" + std::to_string(i) +
                    R"(", "fields": {"F0": "a)" + std::to_string(i) +
                    R"(", "F1": "b", "F2": "c", "F3": "d", "F4": "e", "F5": "f", "F6": )" +
                    std::to_string(i) + R"(, "F7": 7, "F8": true, "F9": false}})";
        testsupport::WriteFile(tmp / "dump.json", dump + "]}}");
        const auto load = source.Cli({"load", (tmp / "dump.json").string()});
        if (load.code != 0) {
            state.SkipWithError(("the source could not be loaded: " + load.err).c_str());
            return;
        }
    }
    int round = 0;
    double cpu[3] = {};  // CLI, target, source
    for (auto _ : state) {
        state.PauseTiming();
        const auto dir = tmp / ("dst" + std::to_string(round++));
        benchsupport::CreateHome(dir / "home", schema);
        WriteRegistry(dir / "registry", "client");
        std::string error;
        {
            testsupport::CDaemon target(dir, {"--remote-listen", "127.0.0.3:" + port});
            const double sourceBefore = ProcessCpuMs(source.Pid());
            const double targetBefore = ProcessCpuMs(target.Pid());
            const double cliBefore = WaitedChildrenCpuMs();
            state.ResumeTiming();
            const auto run = target.Cli(
                {"replicate", "--from", "127.0.0.2", "--to", "localhost", "--source-role", "271"});
            state.PauseTiming();
            cpu[0] += WaitedChildrenCpuMs() - cliBefore;
            cpu[1] += ProcessCpuMs(target.Pid()) - targetBefore;
            cpu[2] += ProcessCpuMs(source.Pid()) - sourceBefore;
            if (run.code != 0 || run.err.find("10000 written") == std::string::npos)
                error = "replicate failed: " +
                        run.err.substr(run.err.size() > 300 ? run.err.size() - 300 : 0);
            // What the report calls written is on the target.
            else if (target.Cli({"get", "localhost", "-", "T10", "S9999", "-f", "F0"}).out !=
                     "a9999\n")
                error = "the target does not hold what the report calls written";
        }
        state.ResumeTiming();
        if (!error.empty()) {
            state.SkipWithError(error.c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSettings);
    const auto average = benchmark::Counter::kAvgIterations;
    state.counters["cli_cpu_ms"] = benchmark::Counter(cpu[0], average);
    state.counters["target_cpu_ms"] = benchmark::Counter(cpu[1], average);
    state.counters["source_cpu_ms"] = benchmark::Counter(cpu[2], average);
}

void BM_Floor_SqliteCopyInOneTransaction(benchmark::State& state) {
    testsupport::CTempDir tmp("replicate-bench-floor");
    benchsupport::CRawConnection from(tmp / "a.db"), to(tmp / "b.db");
    const std::string create =
        "CREATE TABLE T10 (CFG_INDEX TEXT PRIMARY KEY, F0 TEXT, F1 TEXT, F2 TEXT, F3 TEXT, F4 "
        "TEXT, F5 TEXT, F6 INTEGER, F7 INTEGER, F8 INTEGER, F9 INTEGER)";
    from.Exec(create);
    to.Exec(create);
    from.Exec("BEGIN");
    for (int i = 0; i < kSettings; ++i)
        from.Exec("INSERT INTO T10 VALUES ('ZOLT_PLC_NULL:S" + std::to_string(i) + "', 'a" +
                  std::to_string(i) + "', 'b', 'c', 'd', 'e', 'f', " + std::to_string(i) +
                  ", 7, 1, 0)");
    from.Exec("COMMIT");
    sqlite3_stmt *select = nullptr, *insert = nullptr;
    sqlite3_prepare_v2(from.Get(), "SELECT * FROM T10", -1, &select, nullptr);
    sqlite3_prepare_v2(to.Get(), "INSERT OR REPLACE INTO T10 VALUES (?,?,?,?,?,?,?,?,?,?,?)", -1,
                       &insert, nullptr);
    for (auto _ : state) {
        state.PauseTiming();
        to.Exec("DELETE FROM T10");
        state.ResumeTiming();
        to.Exec("BEGIN");
        while (sqlite3_step(select) == SQLITE_ROW) {
            for (int c = 0; c < 11; ++c)
                sqlite3_bind_value(insert, c + 1, sqlite3_column_value(select, c));
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_reset(select);
        to.Exec("COMMIT");
    }
    sqlite3_finalize(select);
    sqlite3_finalize(insert);
    state.SetItemsProcessed(state.iterations() * kSettings);
}

BENCHMARK(BM_Floor_SqliteCopyInOneTransaction)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Replicate_TwoDaemons)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    return benchsupport::RunWithRatios(
        argc, argv,
        [](const benchsupport::CRatioReporter& r) {
            std::printf("\nreplicate time / floor time (goal: at most 3)\n");
            r.PrintRatio(40, "10,000 settings, two daemons, filter on",
                         "BM_Replicate_TwoDaemons/iterations:10/real_time",
                         "BM_Floor_SqliteCopyInOneTransaction/real_time");
        },
        benchsupport::CRatioReporter::ETime::kWall);
}
