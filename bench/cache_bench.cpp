// Cost of a cache hit (CCfgSettingCache::GetConfiguration of a stored ten-field setting) against
// its floor in the same run: a plain std::map look-up of the key plus a copy of the same field
// map. Prints the ratio of each cache case to the floor at the end.
// Thread rule: single-threaded.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/log/DebugLog.h"

using OS::x_wstring;
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;

namespace {

constexpr int kEntries = 64;  // settings in the cache and in the floor's map

using benchsupport::CBenchSetting;

void Fill(CCfgSettingCategoryBase& s, int n) {
    benchsupport::FillSample(s, benchsupport::VirusScanFieldNames(), n, false);
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
        for (const auto& name : benchsupport::VirusScanFieldNames())
            s.GetFieldValue(name, fields[name]);
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

}  // namespace

int main(int argc, char** argv) {
    DBG::SetLogToNothing();
    // CPU time, because the machine is shared and wall time includes waiting for a core.
    return benchsupport::RunWithRatios(argc, argv, [](const benchsupport::CRatioReporter& r) {
        r.PrintAllAgainst("BM_Floor_MapLookupAndFieldMapCopy", 28);
    });
}
