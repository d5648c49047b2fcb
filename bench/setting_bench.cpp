// Costs of moving a setting around: writing a 10-field setting of mixed kinds into a message
// buffer and reading it back, and assignment between two such settings, next to their floor,
// a plain copy of the same field map.
// Thread rule: single-threaded benchmark.
#include <benchmark/benchmark.h>

#include "cfg_Setting.h"

namespace {

using FieldMap = std::map<OS::x_wstring, CVar, OS::NoCaseLess>;

class CBenchCategory : public CCfgSettingCategoryBase {
  public:
    x_wstring GetCategroyName() override { return L"QV_Bench"; }
    CSubjectID GetSubjectID() override { return CSubjectID(L"ZOLT_SUB_BENCH"); }
    CCfgSettingCategoryBase* New() const override { return new CBenchCategory(); }
    void Delete(CCfgSettingCategoryBase* p) override { delete p; }
    void EnumerateFieldInfo(CFieldInfoCallback&) const override {}
};

// Ten fields of mixed kinds, as a typical scanning policy holds them.
void Fill(CCfgSettingCategoryBase& s, int seed) {
    s.AddFieldValue(OS::x_wstring(L"QVS_ENABLED"), CVar(seed % 2 == 0));
    s.AddFieldValue(OS::x_wstring(L"QVS_ACTION"), CVar(3 + seed));
    s.AddFieldValue(OS::x_wstring(L"QVS_MAX_SIZE"), CVar(1048576 + seed));
    s.AddFieldValue(OS::x_wstring(L"QVS_RETRIES"), CVar(static_cast<short>(5)));
    s.AddFieldValue(OS::x_wstring(L"QVS_NOTIFY_ADMIN"), CVar(true));
    s.AddFieldValue(OS::x_wstring(L"QVS_QUARANTINE_FOLDER"),
                    CVar(L"/var/lib/zoltcfg/quarantine/virus-scan"));
    s.AddFieldValue(OS::x_wstring(L"QVS_SUBJECT_TAG"), CVar(L"[Virus removed]"));
    s.AddFieldValue(OS::x_wstring(L"QVS_ADMIN_ADDRESS"), CVar(L"postmaster@example.com"));
    s.AddFieldValue(OS::x_wstring(L"QVS_LAST_UPDATE"), CVar::FromDate(45351.5 + seed));
    s.AddFieldValue(OS::x_wstring(L"QVS_SIGNATURE"),
                    CVar::FromBytes(std::vector<uint8_t>(16, static_cast<uint8_t>(seed))));
}

class CMapOf : public CCfgSettingCategoryBase::CFieldInfoCallback {
  public:
    bool operator()(unsigned int, const OS::x_wstring& name, const CVar& value) override {
        map.emplace(name, value);
        return true;
    }
    FieldMap map;
};

FieldMap MapOf(const CCfgSettingCategoryBase& s) {
    CMapOf c;
    s.EnumerateFieldValue(c);
    return c.map;
}

void BM_SerializeAndReadBack(benchmark::State& state) {
    CBenchCategory src;
    Fill(src, 1);
    CBenchCategory dst;
    for (auto _ : state) {
        CIPCMsgBuffer buf(1024, false);
        src >> buf;
        dst << buf;
        benchmark::DoNotOptimize(dst);
    }
}
BENCHMARK(BM_SerializeAndReadBack);

void BM_Assign(benchmark::State& state) {
    CBenchCategory src;
    Fill(src, 1);
    CBenchCategory dst;
    Fill(dst, 2);
    for (auto _ : state) {
        dst = src;
        benchmark::DoNotOptimize(dst);
    }
}
BENCHMARK(BM_Assign);

// Floor: assigning one field map to another of the same shape (nodes are reused).
void BM_FloorMapAssign(benchmark::State& state) {
    CBenchCategory a;
    Fill(a, 1);
    CBenchCategory b;
    Fill(b, 2);
    const FieldMap src = MapOf(a);
    FieldMap dst = MapOf(b);
    for (auto _ : state) {
        dst = src;
        benchmark::DoNotOptimize(dst);
    }
}
BENCHMARK(BM_FloorMapAssign);

// Floor: copying the field map into a new one (every node allocated).
void BM_FloorMapCopy(benchmark::State& state) {
    CBenchCategory a;
    Fill(a, 1);
    const FieldMap src = MapOf(a);
    for (auto _ : state) {
        FieldMap copy(src);
        benchmark::DoNotOptimize(copy);
    }
}
BENCHMARK(BM_FloorMapCopy);

}  // namespace

BENCHMARK_MAIN();
