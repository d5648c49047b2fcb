// Cost of the database store against its floor in the same run, on one SQLite file in a
// temporary home (WAL journal, synchronous=FULL, as the database layer opens it):
//   - GetConfiguration of a stored ten-field setting vs a raw prepared point SELECT of that row;
//   - SetConfiguration of a dirty ten-field setting vs a raw prepared UPDATE of the same row on a
//     connection with the same journal mode and synchronous setting;
//   - a cold bulk read of an owner listing 1,000 items (a different owner each iteration, so the
//     bulk cache never answers), with the information log on and off, and a warm one, vs reading
//     the 1,000 items one by one;
//   - what a cold bulk read cannot do without, each measured alone on the same rows: the raw
//     SQLite walk of the item table (the floor), the walk through a record set of the database
//     layer, the setting model's work on the 1,000 items (resolve the owner's list, give each
//     item its two values, build the list's copy form, destroy it) and the 1,000 information
//     lines "CfgSetting subject: ..." the read writes.
// The three-way comparison, on this SQLite database and, with ZOLT_TEST_PG set (a libpq
// connection string of a server the benchmark may make a schema on), again on a store over a
// PostgreSQL database of its own:
//   - the store's read of the sample row vs a raw prepared point SELECT of it (libpq on the
//     server, every column read as text as the store's sessions read it);
//   - the store's write vs a raw prepared UPDATE of the row on a kept connection (synchronous
//     commit, as the store's sessions);
//   - a query through the service (the daemon's service object hosted in this process, a store
//     of its own on the same database, reached by an agent over its Unix socket) vs a raw
//     Unix-socket round trip of the query's request and reply sizes plus the raw point SELECT.
//   Each iteration runs both sides once, in alternating order, timed alone; the table printed
//   at the end gives the medians of wall time (the time a caller waits: a server's work is in
//   no CPU time of this process), as a loaded machine moves single runs of either side apart.
// Prints the ratios and the breakdown of the cold read (CPU time, as the machine is shared),
// then the three-way table. The debug log keeps its default verbosity (information lines are
// formatted) and writes nowhere; set STORE_BENCH_ERRORS_ONLY=1 to log errors only.
// Thread rule: the benchmarks run on the main thread; the echo peer's thread and the services'
// RPC threads serve them.
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/log/DebugLog.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "storage/cfg_SettingGenericDatabase.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

constexpr int kItems = 1000;
constexpr int kColdReads = 200;  // iterations of each cold bulk read benchmark
// One owner per cold read; each of the two cold benchmarks has a range of its own (with room
// for a second run of it).
constexpr int kOwnerRange = 2 * kColdReads;
constexpr int kOwners = 2 * kOwnerRange;

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

// The service of `componentId` over the database of `connectionFile`, as the daemon serves it,
// and an agent of it.
struct CService {
    CService(const wchar_t* componentId, const std::filesystem::path& connectionFile)
        : control(componentId,
                  new CCfgLocalServerDB(x_wstring::FromUtf8(connectionFile.string()), {L"SRV"}),
                  false),
          agent(componentId, true) {}
    // One query of the sample row; false when it failed.
    bool Query() {
        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        const bool ok =
            agent.QueryConfigurationSettings(L"SRV", CSubjectID(L"ZOLT_PLC_NULL"), s, nullptr);
        benchmark::DoNotOptimize(s);
        return ok;
    }
    CCfgControl control;
    CCfgAgent agent;
};

// The home, the store, a raw connection of its own to the same file, a service over that file
// and the echo peer of the socket floor with the sizes of a query on the wire.
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
        service = std::make_unique<CService>(L"ID_BENCH_STORE_SQLITE",
                                             home / "config" / "dbconf_Conf.xml");

        // The sizes a query of the sample row has on the wire.
        CIPCMsgBuffer request, reply;
        NS_CfgProtocol::WriteKeyRequest(
            request, NS_CfgProtocol::kMsgQuery,
            {L"SRV", CSubjectID(L"ZOLT_PLC_NULL"), CSubjectID(L"S1"), L"T10"});
        queryRequest.assign(request.BytesUsed(), 0x11);
        reply << NS_CfgProtocol::kMsgQueryReply << 0;
        s >> reply;
        queryReplySize = static_cast<uint32_t>(reply.BytesUsed());
    }
    ~CEnv() {
        service.reset();
        db.reset();
    }

    testsupport::CTempDir tmp{"zoltcfg-store-bench"};
    std::filesystem::path home = tmp / "home";
    std::unique_ptr<CCfgSettingGenericDatabase> db;
    std::unique_ptr<benchsupport::CRawConnection> raw;
    testsupport::CScopedEnv runtime{"ZOLTCFG_RUNTIME_DIR", (tmp / "run").string()};
    std::unique_ptr<CService> service;
    benchsupport::CEchoPeer echo;
    std::vector<unsigned char> queryRequest;
    uint32_t queryReplySize = 0;
};

CEnv* g_env = nullptr;

// The ten-field sample on a PostgreSQL database: a schema of its own on the server, a home whose
// connection file names it, the store and a service over it, and a raw libpq session with the
// floors prepared.
struct CPgEnv {
    explicit CPgEnv(const std::string& server) : raw(PQconnectdb(server.c_str())) {
        schema = "zolt_bench_" + std::to_string(getpid());
        Run("SET client_min_messages = warning; SET synchronous_commit = on; CREATE SCHEMA " +
            schema + "; SET search_path = " + schema);
        benchsupport::CreateHome(home, kSchema);
        testsupport::WriteFile(home / "config" / "dbconf_Conf.xml",
                               "<connection provider=\"postgresql\"><server connect=\"" + server +
                                   " options='-c search_path=" + schema + "'\"/></connection>");
        db = std::make_unique<CCfgSettingGenericDatabase>(
            x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()), false);
        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        Fill(s, 1);
        db->SetConfiguration(Key(L"S1"), s, nullptr, CCfgSettingDBBase::MA_NONE);
        const std::string key =
            " WHERE lower(\"CFG_INDEX\" COLLATE \"C\") = lower($1::text COLLATE \"C\")";
        PQclear(PQprepare(raw, "sel", ("SELECT * FROM \"T10\"" + key).c_str(), 0, nullptr));
        std::string set;
        for (int f = 0; f < 10; ++f)
            set += (f ? ", \"F" : "\"F") + std::to_string(f) + "\" = $" + std::to_string(f + 2);
        PQclear(PQprepare(raw, "upd", ("UPDATE \"T10\" SET " + set + key).c_str(), 0, nullptr));
        service =
            std::make_unique<CService>(L"ID_BENCH_STORE_PG", home / "config" / "dbconf_Conf.xml");
    }
    ~CPgEnv() {
        service.reset();
        db.reset();
        Run("DROP SCHEMA " + schema + " CASCADE");
        PQfinish(raw);
    }
    void Run(const std::string& sql) {
        PGresult* r = PQexec(raw, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK) {
            std::fprintf(stderr, "%s: %s\n", sql.c_str(), PQerrorMessage(raw));
            std::abort();
        }
        PQclear(r);
    }

    testsupport::CTempDir tmp{"zoltcfg-store-bench-pg"};
    std::filesystem::path home = tmp / "home";
    PGconn* raw;
    std::string schema;
    std::unique_ptr<CCfgSettingGenericDatabase> db;
    std::unique_ptr<CService> service;
};

// One operation of each side of the three comparisons, on the SQLite home or the PostgreSQL one.
class CSides {
  public:
    virtual ~CSides() = default;
    virtual void RawRead() = 0;
    virtual void RawUpdate(int n) = 0;
    CCfgSettingGenericDatabase& Store() { return *m_db; }
    CService& Service() { return *m_service; }

  protected:
    CCfgSettingGenericDatabase* m_db = nullptr;
    CService* m_service = nullptr;
};

class CSqliteSides : public CSides {
  public:
    explicit CSqliteSides(CEnv& env) : m_select(env.raw->Get()), m_update(env.raw->Get()) {
        m_db = env.db.get();
        m_service = env.service.get();
    }
    void RawRead() override {
        if (!m_select.Step()) std::abort();
    }
    void RawUpdate(int n) override {
        if (!m_update.Step(n)) std::abort();
    }

  private:
    benchsupport::CRawPointSelect m_select;
    benchsupport::CRawUpdate m_update;
};

class CPgSides : public CSides {
  public:
    explicit CPgSides(CPgEnv& env) : m_raw(env.raw) {
        m_db = env.db.get();
        m_service = env.service.get();
    }
    // Every column of the row read as libpq gives it.
    void RawRead() override {
        const char* key[] = {"ZOLT_PLC_NULL:S1"};
        PGresult* r = PQexecPrepared(m_raw, "sel", 1, key, nullptr, nullptr, 0);
        if (PQntuples(r) != 1) std::abort();
        long long sum = 0;
        for (int c = 0; c < PQnfields(r); ++c) {
            benchmark::DoNotOptimize(PQgetvalue(r, 0, c));
            sum += PQgetlength(r, 0, c);
        }
        benchmark::DoNotOptimize(sum);
        PQclear(r);
    }
    // The values FillSample(n, n % 2 == 0) gives, as text.
    void RawUpdate(int n) override {
        const std::string f5 = "virusscan-" + std::to_string(n), f6 = std::to_string(10240 + n);
        const char* values[] = {"ZOLT_PLC_NULL:S1",
                                "/var/lib/zoltcfg/quarantine/virus-scan",
                                "postmaster@example.com",
                                "A virus was found in a message you sent",
                                "The attachment was removed by the scanner.",
                                "exe;com;scr;pif;bat;vbs;js;zip;rar;7z",
                                f5.c_str(),
                                f6.c_str(),
                                "300",
                                "t",
                                n % 2 == 0 ? "t" : "f"};
        PGresult* r = PQexecPrepared(m_raw, "upd", 11, values, nullptr, nullptr, 0);
        if (PQresultStatus(r) != PGRES_COMMAND_OK) std::abort();
        PQclear(r);
    }

  private:
    PGconn* m_raw;
};

// A row of the three-way table: the medians of ours and of its floor, wall time and this
// thread's CPU time, in microseconds.
struct CPair {
    double ours = 0, floor = 0, oursCpu = 0, floorCpu = 0;
};
// By "<engine> <operation>", one per repetition (--benchmark_repetitions).
std::map<std::string, std::vector<CPair>> g_pairs;

double ThreadCpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Each iteration runs the floor and ours once each, their order alternating, and times each
// alone: both sides see the same load of the shared machine, and the medians of the samples
// leave out the iterations a preemption hit. The CPU time is this thread's only: it leaves out
// the server's share and, for the query, the service's threads.
template <class Ours, class Floor>
void Paired(benchmark::State& state, const std::string& row, Ours ours, Floor floor) {
    std::vector<double> a, b, aCpu, bCpu;
    auto timed = [](auto& op, std::vector<double>& wall, std::vector<double>& cpu) {
        const double c0 = ThreadCpuMicros();
        const auto t0 = std::chrono::steady_clock::now();
        op();
        wall.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                .count());
        cpu.push_back(ThreadCpuMicros() - c0);
    };
    bool floorFirst = true;
    for (auto _ : state) {
        if (floorFirst) timed(floor, b, bCpu);
        timed(ours, a, aCpu);
        if (!floorFirst) timed(floor, b, bCpu);
        floorFirst = !floorFirst;
    }
    using benchsupport::Percentile;
    const CPair p{Percentile(a, 50), Percentile(b, 50), Percentile(aCpu, 50), Percentile(bCpu, 50)};
    state.counters["ours_us"] = p.ours;
    state.counters["floor_us"] = p.floor;
    state.counters["ratio"] = p.floor > 0 ? p.ours / p.floor : 0;
    g_pairs[row].push_back(p);
}

void PairedRead(benchmark::State& state, const char* engine, CSides* sides) {
    Paired(
        state, std::string(engine) + " store read / raw point SELECT",
        [&] {
            CCfgSettingCategoryFake s(L"T10");
            if (!sides->Store().GetConfiguration(Key(L"S1"), s)) state.SkipWithError("no read");
            benchmark::DoNotOptimize(s);
        },
        [&] { sides->RawRead(); });
}

// Ours writes the odd variants, the floor the even ones: every write changes the row.
void PairedWrite(benchmark::State& state, const char* engine, CSides* sides) {
    CCfgSettingCategoryFake s(L"T10");
    s.SetSubjectID(L"S1");
    int n = 0, m = 0;
    Paired(
        state, std::string(engine) + " store write / raw UPDATE",
        [&] {
            Fill(s, 2 * ++n + 1);
            if (!sides->Store().SetConfiguration(Key(L"S1"), s, nullptr,
                                                 CCfgSettingDBBase::MA_NONE))
                state.SkipWithError("no write");
        },
        [&] { sides->RawUpdate(2 * ++m); });
}

void PairedQuery(benchmark::State& state, const char* engine, CSides* sides) {
    std::vector<unsigned char> reply;
    Paired(
        state, std::string(engine) + " query / socket trip + raw SELECT",
        [&] {
            if (!sides->Service().Query()) state.SkipWithError("query failed");
        },
        [&] {
            g_env->echo.RoundTrip(g_env->queryRequest, g_env->queryReplySize, reply);
            benchmark::DoNotOptimize(reply.data());
            sides->RawRead();
        });
}

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

// Cold bulk reads of the owners from `first` on, one per iteration.
void ColdReads(benchmark::State& state, int first) {
    int next = first;
    for (auto _ : state) {
        if (next >= first + kOwnerRange) {
            state.SkipWithError("out of cold owners");
            break;
        }
        CCfgSettingCategoryFake owner(L"T_Owner");
        bool ok = g_env->db->GetBulkConfiguration(Key(L"O" + std::to_wstring(next++)), owner);
        if (!ok) state.SkipWithError("bulk read failed");
        benchmark::DoNotOptimize(owner);
    }
}

void BM_Bulk_ColdRead(benchmark::State& state) {
    ColdReads(state, 0);
}

// The same with the information log off: the 1,000 "CfgSetting subject" lines are not formatted.
void BM_Bulk_ColdRead_InfoLogOff(benchmark::State& state) {
    const DBG::Verbosity previous = DBG::GetVerbosity();
    DBG::SetVerbosity(DBG::Verbosity::kErrors);
    ColdReads(state, kOwnerRange);
    DBG::SetVerbosity(previous);
}

void BM_Bulk_WarmRead(benchmark::State& state) {
    for (auto _ : state) {
        CCfgSettingCategoryFake owner(L"T_Owner");
        bool ok = g_env->db->GetBulkConfiguration(Key(L"O0"), owner);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(owner);
    }
}

// The floor: a raw prepared SELECT over the 1,000-row item table stepped row by row, every column
// read as the engine gives it (text pointer and length, integer).
void BM_Floor_RawWalk_ItemTable(benchmark::State& state) {
    benchsupport::RawWalk(state, g_env->raw->Get(), "T_Item", kItems, false);
}

// Walking the item table through a record set of the database layer (every column of every row
// read), as the bulk read walks it.
void BM_RecordSetWalk_ItemTable(benchmark::State& state) {
    CModifiableRecordSet* rs = nullptr;
    g_env->db->OpenTable(L"T_Item", rs);
    std::unique_ptr<CModifiableRecordSet> owned(rs);
    for (auto _ : state) benchmark::DoNotOptimize(benchsupport::WalkAllRows(*rs));
}

// The setting model's share of a cold bulk read, without the store: the owner's stored list
// resolved into 1,000 item settings, each given the two values of its row, the list's copy form
// built, everything destroyed.
void BM_Reference_ItemSettings(benchmark::State& state) {
    CModifiableRecordSet* raw = nullptr;
    g_env->db->OpenTable(L"T_Owner", raw);
    std::unique_ptr<CModifiableRecordSet> owner(raw);
    owner->MoveFirst();
    CVar list = owner->GetFieldValue(L"ITEMS_CFGSETTING_MV");
    const x_wstring nameColumn = L"NAME", prioColumn = L"PRIO";
    std::vector<CVar> names, prios;
    for (int i = 0; i < kItems; ++i) {
        names.emplace_back(L"item " + std::to_wstring(i));
        prios.emplace_back(i);
    }
    for (auto _ : state) {
        CCfgMVSettingCategoryRef mv;
        if (!mv.GetFieldRefByValue(mv.GetRefSettingArray(), list) ||
            mv.GetRefSettingArray().size() != static_cast<size_t>(kItems)) {
            state.SkipWithError("the list does not resolve");
            break;
        }
        for (size_t i = 0; i < mv.GetRefSettingArray().size(); ++i) {
            CCfgSettingCategoryBase& item = *mv.GetRefSettingArray()[i]->GetRefValue().m_pSetting;
            item.AddFieldValue(nameColumn, names[i]);
            item.AddFieldValue(prioColumn, prios[i]);
            item.ResetDirtyFlag(false);
        }
        CVar copy;
        mv.GetValueByFieldRef(copy, mv.GetRefSettingArray(), true);
        benchmark::DoNotOptimize(copy);
    }
}

// The 1,000 information lines a cold bulk read writes, one per item, formatted and dropped as the
// store's are.
void BM_Reference_InfoLines(benchmark::State& state) {
    std::vector<x_wstring> keys;
    for (int i = 0; i < kItems; ++i) keys.push_back(L"ZOLT_PLC_NULL:I" + std::to_wstring(i));
    for (auto _ : state) {
        for (const x_wstring& key : keys) {
            DBG::DebugLogEx(DBG::ThisModule(), DBG::LVL_INFO, L"cfg_SettingGenericDatabase", 1,
                            L"CfgSetting subject: %ls", key.c_str());
        }
    }
}

BENCHMARK(BM_Floor_RawPointSelect);
BENCHMARK(BM_Store_GetConfiguration);
BENCHMARK(BM_Floor_RawUpdate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Store_SetConfiguration)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Items_OneByOne)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bulk_ColdRead)->Unit(benchmark::kMillisecond)->Iterations(kColdReads);
BENCHMARK(BM_Bulk_ColdRead_InfoLogOff)->Unit(benchmark::kMillisecond)->Iterations(kColdReads);
BENCHMARK(BM_Bulk_WarmRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Floor_RawWalk_ItemTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordSetWalk_ItemTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_ItemSettings)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reference_InfoLines)->Unit(benchmark::kMillisecond);

const std::string kCold = "BM_Bulk_ColdRead/iterations:" + std::to_string(kColdReads);
const std::string kColdInfoOff =
    "BM_Bulk_ColdRead_InfoLogOff/iterations:" + std::to_string(kColdReads);

// Where the time of a cold bulk read goes: each measured share, and what is left for the store.
void PrintColdBreakdown(const benchsupport::CRatioReporter& r) {
    const auto& t = r.Times();
    const char* parts[][2] = {
        {"BM_Floor_RawWalk_ItemTable", "  raw SQLite walk of the item table (floor)"},
        {"BM_RecordSetWalk_ItemTable", "  record-set walk of the item table"},
        {"BM_Reference_ItemSettings", "  setting model: 1,000 item settings, copy form"},
        {"BM_Reference_InfoLines", "  1,000 information lines"},
    };
    if (!t.count(kCold) || !t.count("BM_Items_OneByOne")) return;
    for (const auto& [name, what] : parts)
        if (!t.count(name)) return;
    const double cold = t.at(kCold);
    auto line = [&](const char* what, double seconds) {
        std::printf("%-48s %8.3f ms %6.1f%%\n", what, seconds * 1e3, 100 * seconds / cold);
    };
    std::printf("cold bulk read, by part (each measured alone):\n");
    line("  whole cold bulk read", cold);
    for (const auto& [name, what] : parts) line(what, t.at(name));
    const double fixed = t.at("BM_RecordSetWalk_ItemTable") + t.at("BM_Reference_ItemSettings") +
                         t.at("BM_Reference_InfoLines");
    line("  the rest (store's own work, cache effects)", cold - fixed);
    std::printf("%-48s %8.2f\n", "items one by one / (walk + settings + lines)",
                t.at("BM_Items_OneByOne") / fixed);
}

// The store read, the store write and the query through the service against their floors, on
// each engine that ran: medians of wall time per operation.
// With repetitions, the row of the median ratio, and the lowest and highest ratio beside it.
void PrintThreeWay() {
    std::printf("\n%-44s %9s %9s %6s   %9s %9s  (medians, goal <= 1.5 on wall time)\n",
                "engine, operation", "wall us", "floor us", "ratio", "cpu us", "floor cpu");
    for (auto [row, runs] : g_pairs) {
        auto ratio = [](const CPair& p) { return p.floor > 0 ? p.ours / p.floor : 0; };
        std::sort(runs.begin(), runs.end(),
                  [&](const CPair& a, const CPair& b) { return ratio(a) < ratio(b); });
        const CPair& p = runs[runs.size() / 2];
        std::printf("%-44s %9.1f %9.1f %6.2f   %9.1f %9.1f", row.c_str(), p.ours, p.floor, ratio(p),
                    p.oursCpu, p.floorCpu);
        if (runs.size() > 1)
            std::printf("  (%zu runs: %.2f to %.2f)", runs.size(), ratio(runs.front()),
                        ratio(runs.back()));
        std::printf("\n");
    }
}

// The ratios, CPU time per iteration.
void PrintRatios(const benchsupport::CRatioReporter& r) {
    r.PrintRatio(48, "GetConfiguration / raw SELECT (goal <= 3)", "BM_Store_GetConfiguration",
                 "BM_Floor_RawPointSelect");
    r.PrintRatio(48, "SetConfiguration / raw UPDATE (goal <= 2)", "BM_Store_SetConfiguration",
                 "BM_Floor_RawUpdate");
    r.PrintRatio(48, "items one by one / cold bulk read (goal >= 20)", "BM_Items_OneByOne", kCold);
    r.PrintRatio(48, "items one by one / cold bulk read, info log off", "BM_Items_OneByOne",
                 kColdInfoOff);
    r.PrintRatio(48, "items one by one / raw SQLite walk of the items", "BM_Items_OneByOne",
                 "BM_Floor_RawWalk_ItemTable");
    r.PrintRatio(48, "cold bulk read / raw SQLite walk of the items", kCold,
                 "BM_Floor_RawWalk_ItemTable");
    r.PrintRatio(48, "cold bulk read / record-set walk of the items", kCold,
                 "BM_RecordSetWalk_ItemTable");
    r.PrintRatio(48, "items one by one / warm bulk read", "BM_Items_OneByOne", "BM_Bulk_WarmRead");
    PrintColdBreakdown(r);
    PrintThreeWay();
}

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    if (std::getenv("STORE_BENCH_ERRORS_ONLY")) DBG::SetVerbosity(DBG::Verbosity::kErrors);
    CEnv env;
    g_env = &env;
    CSqliteSides sqlite(env);
    std::vector<std::pair<const char*, CSides*>> engines = {{"sqlite", &sqlite}};
    std::unique_ptr<CPgEnv> pg;
    std::unique_ptr<CPgSides> pgSides;
    const char* server = std::getenv("ZOLT_TEST_PG");
    if (server == nullptr || !*server) {
        std::printf("PostgreSQL rows skipped: ZOLT_TEST_PG names no server\n");
    } else {
        pg = std::make_unique<CPgEnv>(server);
        pgSides = std::make_unique<CPgSides>(*pg);
        engines.emplace_back("postgresql", pgSides.get());
    }
    for (const auto& [engine, sides] : engines) {
        const std::string name = std::string("BM_ThreeWay_") + engine;
        benchmark::RegisterBenchmark((name + "_Read").c_str(), PairedRead, engine, sides)
            ->Iterations(5000);
        benchmark::RegisterBenchmark((name + "_Write").c_str(), PairedWrite, engine, sides)
            ->Iterations(300);
        benchmark::RegisterBenchmark((name + "_Query").c_str(), PairedQuery, engine, sides)
            ->Iterations(3000);
    }
    return benchsupport::RunWithRatios(argc, argv, PrintRatios);
}
