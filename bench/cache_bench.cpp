// Cost of a cache hit (CCfgSettingCache::GetConfiguration of a stored ten-field setting) against
// its floor in the same run: a plain std::map look-up of the key plus a copy of the same field
// map. Prints the ratio of each cache case to the floor at the end.
// Thread rule: single-threaded.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/log/DebugLog.h"

using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

constexpr int kEntries = 64;  // settings in the cache and in the floor's map

// Ten declared fields: six strings, two integers, two booleans, as a typical category has.
class CBenchSetting : public CCfgSettingCategoryBase {
  public:
    x_wstring GetCategroyName() override { return L"QV_VirusScan"; }
    CSubjectID GetSubjectID() override { return CSubjectID(L"ZOLT_SUB_CFG_VS_RS"); }
    CCfgSettingCategoryBase* New() const override { return new CBenchSetting(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        for (size_t n = 0; n < Names().size(); ++n)
            if (!cb(static_cast<unsigned int>((n + 1) << 16 | 0x1F), Names()[n], CVar())) return;
    }
    static const std::vector<x_wstring>& Names() {
        static const std::vector<x_wstring> names = {
            L"VS_QUARANTINE_FOLDER", L"VS_NOTIFY_SENDER", L"VS_NOTIFY_SUBJECT", L"VS_ACTION_TEXT",
            L"VS_SCAN_EXTENSIONS",   L"VS_LOG_PREFIX",    L"VS_MAX_SIZE_KB",    L"VS_TIMEOUT_SEC",
            L"VS_ENABLED",           L"VS_CLEAN_FIRST"};
        return names;
    }
};

void Fill(CCfgSettingCategoryBase& s, int n) {
    const auto& names = CBenchSetting::Names();
    s.AddFieldValue(names[0], CVar(L"/var/lib/zoltcfg/quarantine/virus-scan"));
    s.AddFieldValue(names[1], CVar(L"postmaster@example.com"));
    s.AddFieldValue(names[2], CVar(L"A virus was found in a message you sent"));
    s.AddFieldValue(names[3], CVar(L"The attachment was removed by the scanner."));
    s.AddFieldValue(names[4], CVar(L"exe;com;scr;pif;bat;vbs;js;zip;rar;7z"));
    s.AddFieldValue(names[5], CVar(L"virusscan-" + std::to_wstring(n)));
    s.AddFieldValue(names[6], CVar(10240 + n));
    s.AddFieldValue(names[7], CVar(300));
    s.AddFieldValue(names[8], CVar(true));
    s.AddFieldValue(names[9], CVar(false));
}

CCfgIndex KeyOf(int n) {
    return CCfgIndex(L"MAILSERVER01", {CSubjectID(L"ZOLT_PLC_" + std::to_wstring(n)),
                                       CSubjectID(L"ZOLT_SUB_CFG_VS_RS")});
}

const int kProbe = kEntries / 2;

void BM_Floor_MapLookupAndFieldMapCopy(benchmark::State& state) {
    using FieldMap = std::map<x_wstring, CVar, OS::NoCaseLess>;
    std::map<x_wstring, FieldMap, OS::NoCaseLess> map;
    for (int n = 0; n < kEntries; ++n) {
        FieldMap fields;
        CBenchSetting s;
        Fill(s, n);
        for (const auto& name : CBenchSetting::Names()) s.GetFieldValue(name, fields[name]);
        const CCfgIndex key = KeyOf(n);
        map.emplace(key.GetServerName() + key.GetPolicySubject().Str() + key.GetSubjectID().Str(),
                    std::move(fields));
    }
    const CCfgIndex probe = KeyOf(kProbe);
    const x_wstring k =
        probe.GetServerName() + probe.GetPolicySubject().Str() + probe.GetSubjectID().Str();
    for (auto _ : state) {
        auto it = map.find(k);
        FieldMap copy = it->second;
        benchmark::DoNotOptimize(copy);
    }
}

void FillCache(CCfgSettingCache& cache) {
    for (int n = 0; n < kEntries; ++n) {
        CBenchSetting s;
        Fill(s, n);
        cache.SetConfiguration(KeyOf(n), s, nullptr, CCfgSettingDBBase::MA_NO_IGNORE_FIELDS);
    }
}

// A hit read into a fresh setting, as a proxy's caller usually does.
void BM_CacheHit_FreshSetting(benchmark::State& state) {
    CCfgSettingCache cache;
    FillCache(cache);
    const CCfgIndex probe = KeyOf(kProbe);
    for (auto _ : state) {
        CBenchSetting s;
        bool hit = cache.GetConfiguration(probe, s);
        benchmark::DoNotOptimize(hit);
        benchmark::DoNotOptimize(s);
    }
}

// A hit read into a setting that already holds the fields (a reused object).
void BM_CacheHit_ReusedSetting(benchmark::State& state) {
    CCfgSettingCache cache;
    FillCache(cache);
    const CCfgIndex probe = KeyOf(kProbe);
    CBenchSetting s;
    for (auto _ : state) {
        bool hit = cache.GetConfiguration(probe, s);
        benchmark::DoNotOptimize(hit);
    }
}

// For comparison: the plain assignment of one setting to another (through the serialized form).
void BM_SettingAssignment(benchmark::State& state) {
    CBenchSetting src;
    Fill(src, kProbe);
    for (auto _ : state) {
        CBenchSetting s;
        s = src;
        benchmark::DoNotOptimize(s);
    }
}

BENCHMARK(BM_Floor_MapLookupAndFieldMapCopy);
BENCHMARK(BM_CacheHit_FreshSetting);
BENCHMARK(BM_CacheHit_ReusedSetting);
BENCHMARK(BM_SettingAssignment);

// Keeps the CPU time per iteration of each benchmark (the median when repetitions are asked
// for) so that the ratios to the floor can be printed at the end. CPU time, because the machine
// is shared and wall time includes waiting for a core.
class CRatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration && !m_median.count(name))
                m_times[name] = run.GetAdjustedCPUTime();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_times[name] = run.GetAdjustedCPUTime();
                m_median[name] = true;
            }
        }
    }
    void PrintRatios() const {
        const auto floor = m_times.find("BM_Floor_MapLookupAndFieldMapCopy");
        if (floor == m_times.end() || floor->second <= 0) return;
        for (const auto& [name, time] : m_times)
            if (name != floor->first)
                std::printf("ratio %-28s / floor = %.2f (CPU time)\n", name.c_str(),
                            time / floor->second);
    }

  private:
    std::map<std::string, double> m_times;
    std::map<std::string, bool> m_median;
};

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    benchmark::Initialize(&argc, argv);
    CRatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
