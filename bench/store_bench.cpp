// Cost of the database store against its floor in the same run, on one SQLite file in a
// temporary home (WAL journal, synchronous=FULL, as the database layer opens it):
//   - GetConfiguration of a stored ten-field setting vs a raw prepared point SELECT of that row;
//   - SetConfiguration of a dirty ten-field setting vs a raw prepared UPDATE of the same row on a
//     connection with the same journal mode and synchronous setting;
//   - a cold bulk read of an owner listing 1,000 items (a different owner each iteration, so the
//     bulk cache never answers) and a warm one, vs reading the 1,000 items one by one.
// Prints the ratios at the end (CPU time, as the machine is shared). The debug log keeps its
// default verbosity (information lines are formatted) and writes nowhere; set
// STORE_BENCH_ERRORS_ONLY=1 to log errors only.
// Thread rule: single-threaded.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "storage/cfg_SettingGenericDatabase.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

constexpr int kItems = 1000;
constexpr int kOwners = 400;  // cold bulk reads: one owner per iteration

const char* const kSchema = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<database>
  <schema version="1">
    <table name="T10">
      <column name="F0" type="string" default=""/>
      <column name="F1" type="string" default=""/>
      <column name="F2" type="string" default=""/>
      <column name="F3" type="string" default=""/>
      <column name="F4" type="string" default=""/>
      <column name="F5" type="string" default=""/>
      <column name="F6" type="int32" default="0"/>
      <column name="F7" type="int32" default="0"/>
      <column name="F8" type="bool" default="0"/>
      <column name="F9" type="bool" default="0"/>
    </table>
    <table name="T_Owner">
      <column name="NAME" type="string" default=""/>
      <column name="ITEMS_CFGSETTING_MV" type="string" default=""/>
    </table>
    <table name="T_Item">
      <column name="NAME" type="string" default=""/>
      <column name="PRIO" type="int32" default="0"/>
    </table>
  </schema>
</database>
)XML";

CCfgIndex Key(const x_wstring& subject) {
    return CCfgIndex(L"SRV", {CSubjectID(L"ZOLT_PLC_NULL"), CSubjectID(subject)});
}

void Fill(CCfgSettingCategoryBase& s, int n) {
    s.AddFieldValue(L"F0", CVar(L"/var/lib/zoltcfg/quarantine/virus-scan"));
    s.AddFieldValue(L"F1", CVar(L"postmaster@example.com"));
    s.AddFieldValue(L"F2", CVar(L"A virus was found in a message you sent"));
    s.AddFieldValue(L"F3", CVar(L"The attachment was removed by the scanner."));
    s.AddFieldValue(L"F4", CVar(L"exe;com;scr;pif;bat;vbs;js;zip;rar;7z"));
    s.AddFieldValue(L"F5", CVar(L"virusscan-" + std::to_wstring(n)));
    s.AddFieldValue(L"F6", CVar(10240 + n));
    s.AddFieldValue(L"F7", CVar(300));
    s.AddFieldValue(L"F8", CVar(true));
    s.AddFieldValue(L"F9", CVar(n % 2 == 0));
}

// The home, the store and a raw connection of its own to the same file.
struct CEnv {
    CEnv() {
        testsupport::CreateSampleHome(home);
        testsupport::WriteFile(home / "config" / "dbSchema_Conf.xml", kSchema);
        testsupport::WriteSampleRegistry(tmp / "registry", home);
        setenv("ZOLTCFG_REGISTRY", (tmp / "registry").c_str(), 1);
        db = std::make_unique<CCfgSettingGenericDatabase>(
            x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()), false);

        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        Fill(s, 1);
        db->SetConfiguration(Key(L"S1"), s, nullptr, CCfgSettingDBBase::MA_NONE);

        sqlite3_open((home / "data" / "config.db").c_str(), &raw);
        sqlite3_busy_timeout(raw, 30000);
        Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
        Exec("BEGIN");
        std::string list;
        for (int i = 0; i < kItems; ++i) {
            std::string n = std::to_string(i);
            Exec("INSERT INTO T_Item (CFG_INDEX, NAME, PRIO) VALUES ('ZOLT_PLC_NULL:I" + n +
                 "', 'item " + n + "', " + n + ")");
            list += "T_Item:I" + n + ":";
        }
        for (int o = 0; o < kOwners; ++o) {
            Exec(
                "INSERT INTO T_Owner (CFG_INDEX, NAME, ITEMS_CFGSETTING_MV) VALUES "
                "('ZOLT_PLC_NULL:O" +
                std::to_string(o) + "', 'owner', '" + list + "')");
        }
        Exec("COMMIT");
    }
    ~CEnv() {
        db.reset();
        sqlite3_close(raw);
    }
    void Exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(raw, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::fprintf(stderr, "%s: %s\n", sql.c_str(), err ? err : "");
            std::abort();
        }
    }

    testsupport::CTempDir tmp{"zoltcfg-store-bench"};
    std::filesystem::path home = tmp / "home";
    std::unique_ptr<CCfgSettingGenericDatabase> db;
    sqlite3* raw = nullptr;
};

CEnv* g_env = nullptr;

void BM_Floor_RawPointSelect(benchmark::State& state) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(g_env->raw, "SELECT * FROM T10 WHERE CFG_INDEX = ?1", -1, &st, nullptr);
    for (auto _ : state) {
        sqlite3_bind_text(st, 1, "ZOLT_PLC_NULL:S1", -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_ROW) state.SkipWithError("no row");
        long long sum = 0;
        for (int c = 0; c < sqlite3_column_count(st); ++c) {
            if (sqlite3_column_type(st, c) == SQLITE_TEXT) {
                sum += sqlite3_column_bytes(st, c);
                benchmark::DoNotOptimize(sqlite3_column_text(st, c));
            } else {
                sum += sqlite3_column_int64(st, c);
            }
        }
        benchmark::DoNotOptimize(sum);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
}

void BM_Store_GetConfiguration(benchmark::State& state) {
    for (auto _ : state) {
        CCfgSettingCategoryFake s(L"T10");
        bool ok = g_env->db->GetConfiguration(Key(L"S1"), s);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(s);
    }
}

void BM_Floor_RawUpdate(benchmark::State& state) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(g_env->raw,
                       "UPDATE T10 SET F0=?1, F1=?2, F2=?3, F3=?4, F4=?5, F5=?6, F6=?7, F7=?8, "
                       "F8=?9, F9=?10 WHERE CFG_INDEX=?11",
                       -1, &st, nullptr);
    int n = 0;
    for (auto _ : state) {
        ++n;
        std::string f5 = "virusscan-" + std::to_string(n);
        sqlite3_bind_text(st, 1, "/var/lib/zoltcfg/quarantine/virus-scan", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, "postmaster@example.com", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 3, "A virus was found in a message you sent", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 4, "The attachment was removed by the scanner.", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 5, "exe;com;scr;pif;bat;vbs;js;zip;rar;7z", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 6, f5.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(st, 7, 10240 + n);
        sqlite3_bind_int(st, 8, 300);
        sqlite3_bind_int(st, 9, 1);
        sqlite3_bind_int(st, 10, n % 2 == 0);
        sqlite3_bind_text(st, 11, "ZOLT_PLC_NULL:S1", -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("update failed");
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
}

void BM_Store_SetConfiguration(benchmark::State& state) {
    CCfgSettingCategoryFake s(L"T10");
    s.SetSubjectID(L"S1");
    int n = 0;
    for (auto _ : state) {
        Fill(s, ++n);  // dirty again, one value changed
        bool ok = g_env->db->SetConfiguration(Key(L"S1"), s, nullptr, CCfgSettingDBBase::MA_NONE);
        benchmark::DoNotOptimize(ok);
    }
}

void BM_Items_OneByOne(benchmark::State& state) {
    for (auto _ : state) {
        for (int i = 0; i < kItems; ++i) {
            CCfgSettingCategoryFake item(L"T_Item");
            bool ok = g_env->db->GetConfiguration(Key(L"I" + std::to_wstring(i)), item);
            benchmark::DoNotOptimize(ok);
        }
    }
}

void BM_Bulk_ColdRead(benchmark::State& state) {
    static int next = 0;
    for (auto _ : state) {
        if (next >= kOwners) {
            state.SkipWithError("out of cold owners");
            break;
        }
        CCfgSettingCategoryFake owner(L"T_Owner");
        bool ok = g_env->db->GetBulkConfiguration(Key(L"O" + std::to_wstring(next++)), owner);
        if (!ok) state.SkipWithError("bulk read failed");
        benchmark::DoNotOptimize(owner);
    }
}

void BM_Bulk_WarmRead(benchmark::State& state) {
    for (auto _ : state) {
        CCfgSettingCategoryFake owner(L"T_Owner");
        bool ok = g_env->db->GetBulkConfiguration(Key(L"O0"), owner);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(owner);
    }
}

// For reference: walking the 1,000-row item table through a record set of the database layer
// (every column of every row read), the part of a cold bulk read that the store cannot shorten.
void BM_RecordSetWalk_ItemTable(benchmark::State& state) {
    CModifiableRecordSet* rs = nullptr;
    g_env->db->OpenTable(L"T_Item", rs);
    std::unique_ptr<CModifiableRecordSet> owned(rs);
    for (auto _ : state) {
        int n = 0;
        for (rs->MoveFirst(); !rs->IsEOF(); rs->MoveNext()) {
            for (long c = 0; c < rs->GetFieldCount(); ++c)
                benchmark::DoNotOptimize(rs->GetFieldValue(c));
            ++n;
        }
        benchmark::DoNotOptimize(n);
    }
}

BENCHMARK(BM_Floor_RawPointSelect);
BENCHMARK(BM_Store_GetConfiguration);
BENCHMARK(BM_Floor_RawUpdate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Store_SetConfiguration)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Items_OneByOne)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bulk_ColdRead)->Unit(benchmark::kMillisecond)->Iterations(kOwners / 2);
BENCHMARK(BM_Bulk_WarmRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetWalk_ItemTable)->Unit(benchmark::kMillisecond);

// Keeps the CPU time per iteration of each benchmark and prints the ratios at the end.
class CRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs)
            if (run.run_type == Run::RT_Iteration) m_cpu[run.run_name.str()] = CpuNs(run);
    }
    void PrintRatios() const {
        auto ratio = [&](const char* what, const char* a, const char* b) {
            auto ia = m_cpu.find(a), ib = m_cpu.find(b);
            if (ia == m_cpu.end() || ib == m_cpu.end() || ib->second <= 0) return;
            std::printf("%-48s %8.2f\n", what, ia->second / ib->second);
        };
        ratio("GetConfiguration / raw SELECT (goal <= 3)", "BM_Store_GetConfiguration",
              "BM_Floor_RawPointSelect");
        ratio("SetConfiguration / raw UPDATE (goal <= 2)", "BM_Store_SetConfiguration",
              "BM_Floor_RawUpdate");
        ratio("items one by one / cold bulk read (goal >= 20)", "BM_Items_OneByOne",
              "BM_Bulk_ColdRead/iterations:200");
        ratio("cold bulk read / record-set walk of the items", "BM_Bulk_ColdRead/iterations:200",
              "BM_RecordSetWalk_ItemTable");
        ratio("items one by one / warm bulk read", "BM_Items_OneByOne", "BM_Bulk_WarmRead");
    }

  private:
    static double CpuNs(const Run& run) {
        return run.iterations ? run.cpu_accumulated_time * 1e9 / static_cast<double>(run.iterations)
                              : 0;
    }
    std::map<std::string, double> m_cpu;
};

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    if (std::getenv("STORE_BENCH_ERRORS_ONLY")) DBG::SetVerbosity(DBG::Verbosity::kErrors);
    benchmark::Initialize(&argc, argv);
    CEnv env;
    g_env = &env;
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
