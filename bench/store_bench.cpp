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

#include <cstdlib>
#include <memory>
#include <string>

#include "bench/BenchSupport.h"
#include "outside/log/DebugLog.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "storage/cfg_SettingGenericDatabase.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

constexpr int kItems = 1000;
constexpr int kOwners = 400;  // cold bulk reads: one owner per iteration

const std::string kSchema = benchsupport::SchemaOf(std::string(benchsupport::kTenFieldTable) +
                                                   R"XML(    <table name="T_Owner">
      <column name="NAME" type="string" default=""/>
      <column name="ITEMS_CFGSETTING_MV" type="string" default=""/>
    </table>
    <table name="T_Item">
      <column name="NAME" type="string" default=""/>
      <column name="PRIO" type="int32" default="0"/>
    </table>
)XML");

CCfgIndex Key(const x_wstring& subject) {
    return CCfgIndex(L"SRV", {CSubjectID(L"ZOLT_PLC_NULL"), CSubjectID(subject)});
}

void Fill(CCfgSettingCategoryBase& s, int n) {
    benchsupport::FillSample(s, benchsupport::TableFieldNames(), n, n % 2 == 0);
}

// The home, the store and a raw connection of its own to the same file.
struct CEnv {
    CEnv() {
        benchsupport::CreateHome(home, kSchema);
        benchsupport::UseRegistryFor(tmp / "registry", home);
        db = std::make_unique<CCfgSettingGenericDatabase>(
            x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()), false);

        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        Fill(s, 1);
        db->SetConfiguration(Key(L"S1"), s, nullptr, CCfgSettingDBBase::MA_NONE);

        raw = std::make_unique<benchsupport::CRawConnection>(home / "data" / "config.db");
        raw->Exec("BEGIN");
        std::string list;
        for (int i = 0; i < kItems; ++i) {
            std::string n = std::to_string(i);
            raw->Exec("INSERT INTO T_Item (CFG_INDEX, NAME, PRIO) VALUES ('ZOLT_PLC_NULL:I" + n +
                      "', 'item " + n + "', " + n + ")");
            list += "T_Item:I" + n + ":";
        }
        for (int o = 0; o < kOwners; ++o) {
            raw->Exec(
                "INSERT INTO T_Owner (CFG_INDEX, NAME, ITEMS_CFGSETTING_MV) VALUES "
                "('ZOLT_PLC_NULL:O" +
                std::to_string(o) + "', 'owner', '" + list + "')");
        }
        raw->Exec("COMMIT");
    }
    ~CEnv() { db.reset(); }

    testsupport::CTempDir tmp{"zoltcfg-store-bench"};
    std::filesystem::path home = tmp / "home";
    std::unique_ptr<CCfgSettingGenericDatabase> db;
    std::unique_ptr<benchsupport::CRawConnection> raw;
};

CEnv* g_env = nullptr;

void BM_Floor_RawPointSelect(benchmark::State& state) {
    benchsupport::CRawPointSelect select(g_env->raw->Get());
    for (auto _ : state)
        if (!select.Step()) state.SkipWithError("no row");
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
    benchsupport::CRawUpdate update(g_env->raw->Get());
    int n = 0;
    for (auto _ : state)
        if (!update.Step(++n)) state.SkipWithError("update failed");
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
    for (auto _ : state) benchmark::DoNotOptimize(benchsupport::WalkAllRows(*rs));
}

BENCHMARK(BM_Floor_RawPointSelect);
BENCHMARK(BM_Store_GetConfiguration);
BENCHMARK(BM_Floor_RawUpdate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Store_SetConfiguration)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Items_OneByOne)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bulk_ColdRead)->Unit(benchmark::kMillisecond)->Iterations(kOwners / 2);
BENCHMARK(BM_Bulk_WarmRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetWalk_ItemTable)->Unit(benchmark::kMillisecond);

// The ratios, CPU time per iteration.
void PrintRatios(const benchsupport::CRatioReporter& r) {
    r.PrintRatio(48, "GetConfiguration / raw SELECT (goal <= 3)", "BM_Store_GetConfiguration",
                 "BM_Floor_RawPointSelect");
    r.PrintRatio(48, "SetConfiguration / raw UPDATE (goal <= 2)", "BM_Store_SetConfiguration",
                 "BM_Floor_RawUpdate");
    r.PrintRatio(48, "items one by one / cold bulk read (goal >= 20)", "BM_Items_OneByOne",
                 "BM_Bulk_ColdRead/iterations:200");
    r.PrintRatio(48, "cold bulk read / record-set walk of the items",
                 "BM_Bulk_ColdRead/iterations:200", "BM_RecordSetWalk_ItemTable");
    r.PrintRatio(48, "items one by one / warm bulk read", "BM_Items_OneByOne", "BM_Bulk_WarmRead");
}

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    if (std::getenv("STORE_BENCH_ERRORS_ONLY")) DBG::SetVerbosity(DBG::Verbosity::kErrors);
    benchmark::Initialize(&argc, argv);
    CEnv env;
    g_env = &env;
    benchsupport::CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
