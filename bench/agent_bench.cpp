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
// Thread rule: the benchmarks run on the main thread; the socket floor's echo thread, the
// service's RPC threads and the observer's thread serve them.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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

#include "cfg_Client.h"
#include "cfg_Service.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CObserverServerHelper.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "service/cfg_RequestProtocol.h"
#include "service/cfg_VirtualServerDB.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/SampleHome.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;
namespace P = NS_CfgProtocol;
using Clock = std::chrono::steady_clock;

namespace {

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
  </schema>
</database>
)XML";

const x_wstring kServer = L"SRV";
const CSubjectID kPolicy(L"ZOLT_PLC_NULL");

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

CCfgSettingCategoryFake Setting(int n) {
    CCfgSettingCategoryFake s(L"T10");
    s.SetSubjectID(L"S1");
    Fill(s, n);
    return s;
}

// Counts what it receives; the modify benchmark publishes to it.
class CCountingObserver : public CObserverNoticeCallback {
  public:
    std::vector<CSubjectID> GetSubjectIDVector() const override { return {CSubjectID(L"S1")}; }
    void operator()(const CSubjectID&, const CIPCMsgBuffer&) override { ++received; }
    std::atomic<long> received{0};
};

// A raw Unix-socket peer: reads a 4-byte length and that many bytes, answers a 4-byte length and
// `replySize` bytes.
class CEchoPeer {
  public:
    CEchoPeer() {
        socketpair(AF_UNIX, SOCK_STREAM, 0, m_fds);
        m_thread = std::thread([this] { Serve(); });
    }
    ~CEchoPeer() {
        shutdown(m_fds[0], SHUT_RDWR);
        m_thread.join();
        close(m_fds[0]);
        close(m_fds[1]);
    }
    // One round trip: `request` out, a reply of `replySize` bytes back.
    void RoundTrip(const std::vector<unsigned char>& request, uint32_t replySize,
                   std::vector<unsigned char>& reply) {
        const uint32_t head[2] = {static_cast<uint32_t>(request.size()), replySize};
        std::vector<unsigned char> frame(reinterpret_cast<const unsigned char*>(head),
                                         reinterpret_cast<const unsigned char*>(head) + 8);
        frame.insert(frame.end(), request.begin(), request.end());
        WriteAll(m_fds[0], frame.data(), frame.size());
        uint32_t got = 0;
        ReadAll(m_fds[0], &got, 4);
        reply.resize(got);
        ReadAll(m_fds[0], reply.data(), got);
    }

  private:
    static bool ReadAll(int fd, void* p, size_t n) {
        auto* c = static_cast<unsigned char*>(p);
        while (n) {
            const ssize_t r = read(fd, c, n);
            if (r <= 0) return false;
            c += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    static void WriteAll(int fd, const void* p, size_t n) {
        const auto* c = static_cast<const unsigned char*>(p);
        while (n) {
            const ssize_t w = write(fd, c, n);
            if (w <= 0) return;
            c += w;
            n -= static_cast<size_t>(w);
        }
    }
    void Serve() {
        std::vector<unsigned char> in, out;
        for (;;) {
            uint32_t head[2];
            if (!ReadAll(m_fds[1], head, 8)) return;
            in.resize(head[0]);
            if (!ReadAll(m_fds[1], in.data(), head[0])) return;
            out.assign(4 + head[1], 0x5A);
            std::memcpy(out.data(), &head[1], 4);
            WriteAll(m_fds[1], out.data(), out.size());
        }
    }
    int m_fds[2];
    std::thread m_thread;
};

struct CEnv {
    CEnv() {
        testsupport::CreateSampleHome(home);
        testsupport::WriteFile(home / "config" / "dbSchema_Conf.xml", kSchema);
        testsupport::WriteSampleRegistry(tmp / "registry", home);
        setenv("ZOLTCFG_REGISTRY", (tmp / "registry").c_str(), 1);
        setenv("ZOLTCFG_RUNTIME_DIR", (tmp / "run").c_str(), 1);
        service = std::make_unique<CCfgControl>(
            L"ID_ZOLT_MASTER",
            new CCfgLocalServerDB(
                x_wstring::FromUtf8((home / "config" / "dbconf_Conf.xml").string()), {kServer}),
            false);
        agent.ModifyConfigurationSettings(kServer, kPolicy, Setting(1), nullptr,
                                          CCfgSettingDBBase::MA_NONE);
        observerHelper.Subscribe(CComponentID(L"ID_ZOLT_MASTER"), observer);

        sqlite3_open((home / "data" / "config.db").c_str(), &raw);
        sqlite3_busy_timeout(raw, 30000);
        sqlite3_exec(raw, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr,
                     nullptr);

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
        service.reset();
        sqlite3_close(raw);
    }

    testsupport::CTempDir tmp{"zoltcfg-agent-bench"};
    std::filesystem::path home = tmp / "home";
    std::unique_ptr<CCfgControl> service;
    CCfgAgent agent{L"ID_ZOLT_MASTER", true};
    CCountingObserver observer;
    CObserverServerHelper observerHelper{CComponentID(L"ID_BENCH_OBSERVER")};
    CEchoPeer echo;
    sqlite3* raw = nullptr;
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
    std::sort(samples.begin(), samples.end());
    CStats s;
    if (!samples.empty()) {
        s.median_us = samples[samples.size() / 2];
        s.p99_us = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
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
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(g_env->raw, "SELECT * FROM T10 WHERE CFG_INDEX = ?1", -1, &st, nullptr);
    Sampled(state, "BM_Floor_SqlitePointSelect", [&] {
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
    });
    sqlite3_finalize(st);
}

void BM_Floor_SqliteUpdate(benchmark::State& state) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(g_env->raw,
                       "UPDATE T10 SET F0=?1, F1=?2, F2=?3, F3=?4, F4=?5, F5=?6, F6=?7, F7=?8, "
                       "F8=?9, F9=?10 WHERE CFG_INDEX=?11",
                       -1, &st, nullptr);
    int n = 0;
    Sampled(state, "BM_Floor_SqliteUpdate", [&] {
        ++n;
        const std::string f5 = "virusscan-" + std::to_string(n);
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
    });
    sqlite3_finalize(st);
}

void BM_Agent_Query(benchmark::State& state) {
    Sampled(state, "BM_Agent_Query", [&] {
        CCfgSettingCategoryFake s(L"T10");
        s.SetSubjectID(L"S1");
        if (!g_env->agent.QueryConfigurationSettings(kServer, kPolicy, s, nullptr))
            state.SkipWithError("query failed");
        benchmark::DoNotOptimize(s);
    });
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
