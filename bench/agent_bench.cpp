// Cost of the agent's round trip through a service object hosted in this process, against its
// floor measured in the same run:
//   - query of a stored ten-field setting vs a raw Unix-socket round trip of the same request
//     and reply sizes plus a raw prepared point SELECT of the row;
//   - modify with notify (one observer subscribed to the subject) vs the same socket round trip
//     of the modify's sizes plus a raw prepared UPDATE of the row on a connection with the
//     database layer's journal mode and synchronous setting (WAL, FULL).
// Every iteration is timed on its own (wall clock, the work spans threads); the median and the
// 99th percentile are reported as counters and their ratios printed at the end (goal: the agent
// within 1.5x of the floor's sum). The debug log keeps its default verbosity and writes nowhere;
// set AGENT_BENCH_ERRORS_ONLY=1 to log errors only.
// Virtual servers, on a second service whose store is the cluster observer:
//   - the same query routed through the observer's table of virtual-server databases, against
//     the query above on the single-database store (goal: within 1.1x);
//   - from a virtual server's on-line notification to the first answered query of it (the
//     database opened, its environment setting written; goal: under 50 ms).
// Thread rule: the benchmarks run on the main thread; the socket floor's echo thread, the
// service's RPC threads and the observer's thread serve them.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/cluster/CClusterObserver.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CObserverServerHelper.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "service/cfg_CtrlClusterObserver.h"
#include "service/cfg_ServiceMetrics.h"
#include "service/cfg_VirtualServerDB.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
namespace P = NS_CfgProtocol;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kSchema = benchsupport::SchemaOf(
    std::string(benchsupport::kTenFieldTable) + R"XML(    <table name="QV_VirtualServerEnvironment">
      <column name="VSE_LOG_FILENAME" type="string" default=""/>
      <column name="VSE_CFG_FILENAME" type="string" default=""/>
      <column name="VSE_REPORT_FILENAME" type="string" default=""/>
      <column name="VSE_ROOT_FOLDER" type="string" default=""/>
      <column name="VSE_SERVER_STATUS" type="bool" default="1"/>
    </table>
)XML");
// The virtual server of the routed service: its root is the same home, so it reads the same row.
const x_wstring kVirtualServer = L"VSB";
const wchar_t kRouted[] = L"ID_BENCH_ROUTED";

const x_wstring kServer = L"SRV";
const CSubjectID kPolicy(L"ZOLT_PLC_NULL");

CCfgSettingCategoryFake Setting(int n) {
    CCfgSettingCategoryFake s(L"T10");
    s.SetSubjectID(L"S1");
    benchsupport::FillSample(s, benchsupport::TableFieldNames(), n, n % 2 == 0);
    return s;
}

// Counts what it receives; the modify benchmark publishes to it.
class CCountingObserver : public CObserverNoticeCallback {
  public:
    std::vector<CSubjectID> GetSubjectIDVector() const override { return {CSubjectID(L"S1")}; }
    void operator()(const CSubjectID&, const CIPCMsgBuffer&) override { ++received; }
    std::atomic<long> received{0};
};

struct CEnv {
    CEnv() {
        benchsupport::CreateHome(home, kSchema);
        benchsupport::UseRegistryFor(tmp / "registry", home);
        setenv("ZOLTCFG_RUNTIME_DIR", (tmp / "run").c_str(), 1);
        service = std::make_unique<CCfgControl>(
            L"ID_ZOLT_MASTER",
            new CCfgLocalServerDB(
                x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()), {kServer}),
            false);
        agent.ModifyConfigurationSettings(kServer, kPolicy, Setting(1), nullptr,
                                          CCfgSettingDBBase::MA_NONE);
        observerHelper.Subscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);
        clusterObserver = new CCfgCtrlClusterObserver(
            kRouted, x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()),
            {L"HOSTB"});
        routed = std::make_unique<CCfgControl>(kRouted, clusterObserver, false);
        Move(true);

        raw = std::make_unique<benchsupport::CRawConnection>(home / "data" / "config.db");

        // The sizes the agent's requests and replies have on the wire.
        const P::CKey key{kServer, kPolicy, CSubjectID(L"S1"), L"T10"};
        CIPCMsgBuffer b;
        P::WriteKeyRequest(b, P::kMsgQuery, key);
        queryRequest.assign(b.BytesUsed(), 0x11);
        CIPCMsgBuffer reply;
        reply << P::kMsgQueryReply << 0;
        Setting(1) >> reply;
        queryReplySize = static_cast<uint32_t>(reply.BytesUsed());
        CIPCMsgBuffer m;
        P::WriteModifyRequest(m, P::kMsgModify, key, Setting(1), 0, true);
        modifyRequest.assign(m.BytesUsed(), 0x22);
        modifyReplySize = 8;
    }
    ~CEnv() {
        observerHelper.Unsubscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);
        routed.reset();
        service.reset();
    }
    // The cluster notification of the routed service's virtual server.
    void Move(bool online) {
        CClusterVirtualServerInfo info;
        info.m_bOnline = online;
        info.m_strName = kVirtualServer;
        info.m_strRootFolder = x_wstring::FromUtf8(home.string());
        CIPCMsgBuffer body;
        body << info;
        (*clusterObserver)(CSubjectID(CClusterObserver::kSubject), body);
    }

    testsupport::CTempDir tmp{"zoltcfg-agent-bench"};
    std::filesystem::path home = tmp / "home";
    std::unique_ptr<CCfgControl> service, routed;
    CCfgCtrlClusterObserver* clusterObserver = nullptr;
    CCfgAgent agent{L"ID_ZOLT_MASTER", true};
    CCfgAgent routedAgent{kRouted, true};
    CCountingObserver observer;
    CObserverServerHelper observerHelper{CComponentID(L"ID_BENCH_OBSERVER")};
    benchsupport::CEchoPeer echo;
    std::unique_ptr<benchsupport::CRawConnection> raw;
    std::vector<unsigned char> queryRequest, modifyRequest;
    uint32_t queryReplySize = 0, modifyReplySize = 0;
};

CEnv* g_env = nullptr;

struct CStats {
    double median_us = 0;
    double p99_us = 0;
};
std::map<std::string, CStats> g_stats;

// Times each iteration of `op`, and reports the median and 99th percentile of the samples.
template <class Op>
void Sampled(benchmark::State& state, const char* name, Op op) {
    std::vector<double> samples;
    samples.reserve(1 << 16);
    for (auto _ : state) {
        const auto t0 = Clock::now();
        op();
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    CStats s;
    s.median_us = benchsupport::Percentile(samples, 50);
    s.p99_us = benchsupport::Percentile(samples, 99);
    state.counters["median_us"] = s.median_us;
    state.counters["p99_us"] = s.p99_us;
    g_stats[name] = s;
}

void BM_Floor_SocketRoundTrip_Query(benchmark::State& state) {
    std::vector<unsigned char> reply;
    Sampled(state, "BM_Floor_SocketRoundTrip_Query", [&] {
        g_env->echo.RoundTrip(g_env->queryRequest, g_env->queryReplySize, reply);
        benchmark::DoNotOptimize(reply.data());
    });
}

void BM_Floor_SocketRoundTrip_Modify(benchmark::State& state) {
    std::vector<unsigned char> reply;
    Sampled(state, "BM_Floor_SocketRoundTrip_Modify", [&] {
        g_env->echo.RoundTrip(g_env->modifyRequest, g_env->modifyReplySize, reply);
        benchmark::DoNotOptimize(reply.data());
    });
}

void BM_Floor_SqlitePointSelect(benchmark::State& state) {
    benchsupport::CRawPointSelect select(g_env->raw->Get());
    Sampled(state, "BM_Floor_SqlitePointSelect", [&] {
        if (!select.Step()) state.SkipWithError("no row");
    });
}

void BM_Floor_SqliteUpdate(benchmark::State& state) {
    benchsupport::CRawUpdate update(g_env->raw->Get());
    int n = 0;
    Sampled(state, "BM_Floor_SqliteUpdate", [&] {
        if (!update.Step(++n)) state.SkipWithError("update failed");
    });
}

void AgentQuery(benchmark::State& state, const char* name) {
    Sampled(state, name, [&] {
        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        if (!g_env->agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr))
            state.SkipWithError("query failed");
        benchmark::DoNotOptimize(s);
    });
}

void BM_Agent_Query(benchmark::State& state) {
    AgentQuery(state, "BM_Agent_Query");
}

// The same query with the service's request counting switched off.
void BM_Agent_QueryMetricsOff(benchmark::State& state) {
    CCfgServiceMetrics::SetEnabled(false);
    AgentQuery(state, "BM_Agent_QueryMetricsOff");
    CCfgServiceMetrics::SetEnabled(true);
}

bool QueryRouted() {
    CCfgSettingCategoryFake s(L"T10");
    s.SetSubjectID(L"S1");
    return g_env->routedAgent.QueryConfigurationSettings(kVirtualServer, kPolicy, s, nullptr);
}

void BM_Agent_QueryRouted(benchmark::State& state) {
    Sampled(state, "BM_Agent_QueryRouted", [&] {
        if (!QueryRouted()) state.SkipWithError("routed query failed");
    });
}

// Each sample: the server goes off line (not timed), then on line and answers its first query.
void BM_VirtualServer_OnlineToFirstQuery(benchmark::State& state) {
    std::vector<double> samples;
    for (auto _ : state) {
        state.PauseTiming();
        g_env->Move(false);
        state.ResumeTiming();
        const auto t0 = Clock::now();
        g_env->Move(true);
        if (!QueryRouted()) state.SkipWithError("first query failed");
        samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    state.counters["median_ms"] = benchsupport::Percentile(samples, 50);
    state.counters["p99_ms"] = benchsupport::Percentile(samples, 99);
    g_stats["BM_VirtualServer_OnlineToFirstQuery"] = {benchsupport::Percentile(samples, 50),
                                                      benchsupport::Percentile(samples, 99)};
}

void BM_Agent_ModifyWithNotify(benchmark::State& state) {
    int n = 0;
    Sampled(state, "BM_Agent_ModifyWithNotify", [&] {
        const CCfgSettingCategoryFake s = Setting(++n);
        if (!g_env->agent.ModifyConfigurationSettings(kServer, kPolicy, s, nullptr,
                                                      CCfgSettingDBBase::MA_NONE))
            state.SkipWithError("modify failed");
    });
}

BENCHMARK(BM_Floor_SocketRoundTrip_Query)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Floor_SqlitePointSelect)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agent_Query)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agent_QueryMetricsOff)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agent_QueryRouted)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_VirtualServer_OnlineToFirstQuery)->Unit(benchmark::kMillisecond)->Iterations(50);
BENCHMARK(BM_Floor_SocketRoundTrip_Modify)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Floor_SqliteUpdate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Agent_ModifyWithNotify)->Unit(benchmark::kMicrosecond);

void PrintRatios() {
    auto get = [](const char* name) {
        auto it = g_stats.find(name);
        return it == g_stats.end() ? CStats{} : it->second;
    };
    auto line = [&](const char* what, const char* agent, const char* socketFloor,
                    const char* dbFloor) {
        const CStats a = get(agent), s = get(socketFloor), d = get(dbFloor);
        const double floorMedian = s.median_us + d.median_us;
        const double floorP99 = s.p99_us + d.p99_us;
        if (floorMedian <= 0 || floorP99 <= 0) return;
        std::printf(
            "%-22s median %8.1f us vs floor %8.1f us (%6.1f + %6.1f): %5.2fx (goal <= 1.5)\n", what,
            a.median_us, floorMedian, s.median_us, d.median_us, a.median_us / floorMedian);
        std::printf("%-22s p99    %8.1f us vs floor %8.1f us (%6.1f + %6.1f): %5.2fx\n", what,
                    a.p99_us, floorP99, s.p99_us, d.p99_us, a.p99_us / floorP99);
    };
    line("query", "BM_Agent_Query", "BM_Floor_SocketRoundTrip_Query", "BM_Floor_SqlitePointSelect");
    line("modify with notify", "BM_Agent_ModifyWithNotify", "BM_Floor_SocketRoundTrip_Modify",
         "BM_Floor_SqliteUpdate");
    const CStats single = get("BM_Agent_Query"), routed = get("BM_Agent_QueryRouted");
    if (single.median_us > 0)
        std::printf(
            "routed query           median %8.1f us vs single database %8.1f us: %5.2fx "
            "(goal <= 1.1)\n",
            routed.median_us, single.median_us, routed.median_us / single.median_us);
    const CStats off = get("BM_Agent_QueryMetricsOff");
    if (off.median_us > 0)
        std::printf(
            "query, metrics on     median %8.1f us vs metrics off %8.1f us: %5.3fx (goal <= "
            "1.03)\n",
            single.median_us, off.median_us, single.median_us / off.median_us);
    const CStats online = get("BM_VirtualServer_OnlineToFirstQuery");
    std::printf("on line to first query median %8.2f ms, p99 %8.2f ms (goal < 50 ms)\n",
                online.median_us, online.p99_us);
    std::printf("notifications received by the observer: %ld\n",
                g_env ? g_env->observer.received.load() : 0L);
}

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    if (std::getenv("AGENT_BENCH_ERRORS_ONLY")) DBG::SetVerbosity(DBG::Verbosity::kErrors);
    benchmark::Initialize(&argc, argv);
    CEnv env;
    g_env = &env;
    benchmark::RunSpecifiedBenchmarks();
    PrintRatios();
    g_env = nullptr;
    benchmark::Shutdown();
    return 0;
}
