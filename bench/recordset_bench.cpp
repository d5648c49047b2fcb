// Cost of walking a table through a record set of the database layer against its floor in the
// same run, on one SQLite file in a temporary home (WAL journal, synchronous=FULL):
//   - MoveFirst, then MoveNext until IsEOF, reading every column of every row, over a 1,000-row
//     three-column table and a 1,000-row eleven-column table;
//   - the floor: a raw prepared SELECT over the same table stepped row by row, every column read
//     as the engine gives it (text pointer and length, integer);
//   - for reference: the same raw loop that also turns every column into a variant (UTF-8 text
//     widened), the part of a record-set read that no cursor can save.
// Prints the ratios at the end (CPU time, as the machine is shared).
// Thread rule: single-threaded.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "outside/db/CGenericDatabase.h"
#include "outside/log/DebugLog.h"
#include "outside/variant/CVar.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

namespace {

constexpr int kRows = 1000;

const char* const kSchema = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<database>
  <schema version="1">
    <table name="T_Item">
      <column name="NAME" type="string" default=""/>
      <column name="PRIO" type="int32" default="0"/>
    </table>
    <table name="T10">
      <column name="F0" type="string" default=""/>
      <column name="F1" type="string" default=""/>
      <column name="F2" type="string" default=""/>
      <column name="F3" type="string" default=""/>
      <column name="F4" type="string" default=""/>
      <column name="F5" type="string" default=""/>
      <column name="F6" type="int32" default="0"/>
      <column name="F7" type="int32" default="0"/>
      <column name="F8" type="int32" default="0"/>
      <column name="F9" type="int32" default="0"/>
    </table>
  </schema>
</database>
)XML";

// The home, the database layer's connection and a raw connection of its own to the same file.
struct CEnv {
    CEnv() {
        benchsupport::CreateHome(tmp.Path(), kSchema);
        db = std::make_unique<CGenericDatabase>(
            x_wstring::FromUtf8((tmp / "config" / "dbconf_Conf.xml").string()), true);
        db->Initialize();

        raw = std::make_unique<benchsupport::CRawConnection>(tmp / "data" / "config.db");
        raw->Exec("BEGIN");
        for (int i = 0; i < kRows; ++i) {
            std::string n = std::to_string(i);
            raw->Exec("INSERT INTO T_Item (CFG_INDEX, NAME, PRIO) VALUES ('ZOLT_PLC_NULL:I" + n +
                      "', 'item " + n + "', " + n + ")");
            raw->Exec("INSERT INTO T10 VALUES ('ZOLT_PLC_NULL:S" + n +
                      "', '/var/lib/zoltcfg/quarantine/virus-scan', 'postmaster@example.com', "
                      "'A virus was found in a message you sent', "
                      "'The attachment was removed by the scanner.', "
                      "'exe;com;scr;pif;bat;vbs;js;zip;rar;7z', 'virusscan-" +
                      n + "', " + std::to_string(10240 + i) + ", 300, 1, " + std::to_string(i % 2) +
                      ")");
        }
        raw->Exec("COMMIT");
    }
    ~CEnv() { db.reset(); }

    testsupport::CTempDir tmp{"zoltcfg-recordset-bench"};
    std::unique_ptr<CGenericDatabase> db;
    std::unique_ptr<benchsupport::CRawConnection> raw;
};

CEnv* g_env = nullptr;

void RecordSetWalk(benchmark::State& state, const wchar_t* table) {
    CModifiableRecordSet* raw = nullptr;
    if (!g_env->db->OpenTable(table, raw)) {
        state.SkipWithError("no table");
        return;
    }
    std::unique_ptr<CModifiableRecordSet> rs(raw);
    for (auto _ : state)
        if (benchsupport::WalkAllRows(*rs) != kRows) state.SkipWithError("wrong row count");
}

void BM_Floor_RawStep_Item(benchmark::State& state) {
    benchsupport::RawWalk(state, g_env->raw->Get(), "T_Item", kRows, false);
}
void BM_Reference_RawStepToVariants_Item(benchmark::State& state) {
    benchsupport::RawWalk(state, g_env->raw->Get(), "T_Item", kRows, true);
}
void BM_RecordSetWalk_Item(benchmark::State& state) {
    RecordSetWalk(state, L"T_Item");
}
void BM_Floor_RawStep_T10(benchmark::State& state) {
    benchsupport::RawWalk(state, g_env->raw->Get(), "T10", kRows, false);
}
void BM_Reference_RawStepToVariants_T10(benchmark::State& state) {
    benchsupport::RawWalk(state, g_env->raw->Get(), "T10", kRows, true);
}
void BM_RecordSetWalk_T10(benchmark::State& state) {
    RecordSetWalk(state, L"T10");
}

BENCHMARK(BM_Floor_RawStep_Item)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reference_RawStepToVariants_Item)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordSetWalk_Item)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Floor_RawStep_T10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Reference_RawStepToVariants_T10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RecordSetWalk_T10)->Unit(benchmark::kMicrosecond);

// The ratios, CPU time per iteration.
void PrintRatios(const benchsupport::CRatioReporter& r) {
    r.PrintRatio(56, "item walk: record set / raw step", "BM_RecordSetWalk_Item",
                 "BM_Floor_RawStep_Item");
    r.PrintRatio(56, "item walk: record set / raw step to variants", "BM_RecordSetWalk_Item",
                 "BM_Reference_RawStepToVariants_Item");
    r.PrintRatio(56, "11-column walk: record set / raw step", "BM_RecordSetWalk_T10",
                 "BM_Floor_RawStep_T10");
    r.PrintRatio(56, "11-column walk: record set / raw step to variants", "BM_RecordSetWalk_T10",
                 "BM_Reference_RawStepToVariants_T10");
}

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    CEnv env;
    g_env = &env;
    return benchsupport::RunWithRatios(argc, argv, PrintRatios);
}
