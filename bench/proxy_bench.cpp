// The proxy in numbers, in one run:
//  - a cache hit of a ten-field setting through the proxy against the bare CCfgSettingCache hit
//    (the floor): the proxy adds the key building, its connection check and the log test;
//  - the change-notification latency through the daemon: a write through an agent to zoltcfgd
//    (started from the build folder, in a temporary home), and the time until this process's
//    proxy hook runs, from the write's reply and from the write's start (median and 99th
//    percentile, as counters).
// Thread rule: the benchmarks run one at a time; hooks run on the notification thread and hand
// their time stamps over through an atomic.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "cfg_Client.h"
#include "client/cfg_Proxy.h"
#include "outside/log/DebugLog.h"
#include "outside/notify/CSubjectServerHelper.h"
#include "outside/rpc/CRPCClientHelper.h"
#include "outside/rpc/CRPCServerHelper.h"
#include "protocol/cfg_RequestProtocol.h"
#include "setting/cfg_SettingCategoryFake.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
namespace P = NS_CfgProtocol;
using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;
using Clock = std::chrono::steady_clock;

namespace {

using benchsupport::CBenchSetting;

void Fill(CCfgSettingCategoryBase& s) {
    benchsupport::FillSample(s, benchsupport::VirusScanFieldNames(), 0, false);
}

const CSubjectID kPolicy(L"ZOLT_PLC_NULL");

// Answers every query with the ten-field setting.
class CBenchMaster : public CIPCServerRequestCallback {
  public:
    bool GetMsgID(int** ids, int* count) const override {
        *ids = new int[1]{P::kMsgQuery};
        *count = 1;
        return true;
    }
    void FreeMsgID(int* ids) override { delete[] ids; }
    void operator()(int, const CIPCMsgBuffer& request, CIPCMsgBuffer& reply) override {
        P::CKey key;
        P::ReadKey(request, key);
        P::WriteReplyId(reply, P::kMsgQueryReply);
        P::WriteResult(reply, P::kResultOk);
        CBenchSetting s;
        Fill(s);
        P::WriteSetting(reply, s);
    }
};

void BM_Floor_BareCacheHit(benchmark::State& state) {
    CCfgSettingCache cache;
    CBenchSetting stored;
    Fill(stored);
    for (int n = 0; n < 64; ++n)
        cache.SetConfiguration(
            CCfgIndex(L"MAILSERVER01",
                      {CSubjectID(L"ZOLT_PLC_" + std::to_wstring(n)), stored.GetSubjectID()}),
            stored, nullptr, CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
    cache.SetConfiguration(CCfgIndex(L"MAILSERVER01", {kPolicy, stored.GetSubjectID()}), stored,
                           nullptr, CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
    for (auto _ : state) {
        CBenchSetting s;
        // The key a proxy builds for the read, then the hit.
        const CCfgIndex key(L"MAILSERVER01", {kPolicy, s.GetSubjectID()});
        bool hit = cache.GetConfiguration(key, s);
        benchmark::DoNotOptimize(hit);
        benchmark::DoNotOptimize(s);
    }
}

// state.range(0): 1 with the information level on (the proxy then writes its "from cache" line
// to the log, which drops it here), 0 with errors only (nothing is formatted).
void BM_ProxyHit(benchmark::State& state) {
    const DBG::Verbosity before = DBG::GetVerbosity();
    DBG::SetVerbosity(state.range(0) ? DBG::Verbosity::kInfo : DBG::Verbosity::kErrors);
    testsupport::CTempDir runtime("zoltcfg-bench-rt");
    setenv("ZOLTCFG_RUNTIME_DIR", runtime.Str().c_str(), 1);
    CBenchMaster master;
    CRPCServerHelper server(CComponentID(P::kMasterComponent), CRPCServerParameter(L"ncalrpc"));
    server.RegisterHandler(master);
    CSubjectServerHelper publisher{CComponentID(P::kMasterComponent)};
    {
        CCfgProxy proxy(CComponentID(L"ID_ZOLT_BENCH"));
        CBenchSetting warm;
        if (!proxy.GetConfigurationSettings(L"MAILSERVER01", kPolicy, warm))
            state.SkipWithError("the first read failed");
        for (auto _ : state) {
            CBenchSetting s;
            bool hit = proxy.GetConfigurationSettings(L"MAILSERVER01", kPolicy, s);
            benchmark::DoNotOptimize(hit);
            benchmark::DoNotOptimize(s);
        }
    }
    server.UnRegisterHandler(master);
    CRPCClientHelper::CloseThreadConnections();
    unsetenv("ZOLTCFG_RUNTIME_DIR");
    DBG::SetVerbosity(before);
}

// ---- notification latency through the daemon ------------------------------------------------

class CTimingHook : public CCfgProxyHook {
  public:
    long NotifyCallBack(const x_wstring&, const CSubjectID&, const CSubjectID&, int) override {
        const auto now = Clock::now();
        std::lock_guard<std::mutex> g(m_mutex);
        m_last = now;
        ++m_calls;
        m_changed.notify_all();
        return 0;
    }
    // Waits for call number `n` and gives its time.
    Clock::time_point WaitFor(long n) {
        std::unique_lock<std::mutex> g(m_mutex);
        m_changed.wait_for(g, std::chrono::seconds(10), [&] { return m_calls >= n; });
        return m_calls >= n ? m_last : Clock::time_point{};
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Clock::time_point m_last;
    long m_calls = 0;
};

void BM_NotificationLatencyThroughDaemon(benchmark::State& state) {
    const fs::path daemonPath = fs::read_symlink("/proc/self/exe").parent_path() / "zoltcfgd";
    if (!fs::exists(daemonPath)) {
        state.SkipWithError("zoltcfgd is not built beside the benchmark");
        return;
    }
    testsupport::CTempDir tmp("zoltcfg-bench-d");
    const std::string home = (tmp / "home").string(), run = (tmp / "run").string();
    setenv("ZOLTCFG_RUNTIME_DIR", run.c_str(), 1);
    setenv("ZOLTCFG_REGISTRY", (tmp / "registry").c_str(), 1);
    std::vector<std::string> args{daemonPath.string(), "--home", home, "--runtime-dir", run};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* daemonOut = fdopen(out[0], "r");
    char line[1024] = {};
    if (!fgets(line, sizeof line, daemonOut)) {
        state.SkipWithError("zoltcfgd did not start");
        return;
    }

    std::vector<double> fromReply, fromStart;
    {
        CCfgAgent agent;
        CCfgSettingCategoryFake setting(L"QV_VirusScan");
        setting.SetSubjectID(L"ZOLT_SUB_CFG_VS_RS");
        setting.AddFieldValue(L"VS_MAX_SIZE", CVar(1));
        agent.ModifyConfigurationSettings(L"localhost", kPolicy, setting, nullptr,
                                          CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
        CCfgProxy proxy(CComponentID(L"ID_ZOLT_BENCH"));
        CTimingHook hook;
        proxy.Hook(hook);
        CCfgSettingCategoryFake read(L"QV_VirusScan");
        read.SetSubjectID(L"ZOLT_SUB_CFG_VS_RS");
        proxy.UpdateSubjectID(CSubjectID(L"ZOLT_SUB_CFG_VS_RS"), false);
        long calls = 0;
        int value = 2;
        for (auto _ : state) {
            setting.AddFieldValue(L"VS_MAX_SIZE", CVar(value++));
            setting.ResetDirtyFlag(true);
            const auto start = Clock::now();
            agent.ModifyConfigurationSettings(L"localhost", kPolicy, setting, nullptr,
                                              CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
            const auto replied = Clock::now();
            const auto called = hook.WaitFor(++calls);
            fromReply.push_back(
                std::max(0.0, std::chrono::duration<double, std::micro>(called - replied).count()));
            fromStart.push_back(std::chrono::duration<double, std::micro>(called - start).count());
        }
        proxy.Unhook(hook);
    }
    CRPCClientHelper::CloseThreadConnections();
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    fclose(daemonOut);
    state.counters["reply_to_hook_median_us"] = benchsupport::Percentile(fromReply, 50);
    state.counters["reply_to_hook_p99_us"] = benchsupport::Percentile(fromReply, 99);
    state.counters["write_to_hook_median_us"] = benchsupport::Percentile(fromStart, 50);
    state.counters["write_to_hook_p99_us"] = benchsupport::Percentile(fromStart, 99);
    unsetenv("ZOLTCFG_RUNTIME_DIR");
    unsetenv("ZOLTCFG_REGISTRY");
}

BENCHMARK(BM_Floor_BareCacheHit);
BENCHMARK(BM_ProxyHit)->ArgName("infolog")->Arg(0)->Arg(1);
BENCHMARK(BM_NotificationLatencyThroughDaemon)->Iterations(2000)->UseRealTime();

// Prints the proxy hit's ratio to the floor (CPU time; the machine is shared).
void PrintRatios(const benchsupport::CRatioReporter& r) {
    for (const char* name : {"BM_ProxyHit/infolog:0", "BM_ProxyHit/infolog:1"}) {
        double ratio = 0;
        if (r.Ratio(name, "BM_Floor_BareCacheHit", ratio))
            std::printf("ratio %s / BM_Floor_BareCacheHit = %.2f (CPU time)\n", name, ratio);
    }
}

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    return benchsupport::RunWithRatios(argc, argv, PrintRatios);
}
