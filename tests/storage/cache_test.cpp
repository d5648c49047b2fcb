// Tests of the in-memory setting cache: look-up by key, replace-on-store, the unsupported store
// operations, removal with its log lines, the subject pairs of a server, failure on store, and
// readers, writers and removers working on the same cache at once.
#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

#include "cfg_Setting.h"
#include "cfg_Storage.h"
#include "outside/log/DebugLog.h"
#include "tests/setting/SettingTestCategory.h"

using OS::x_wstring;

namespace OS {
// Readable failure messages for wide strings.
void PrintTo(const x_wstring& s, std::ostream* os) {
    *os << '"' << s.ToUtf8() << '"';
}
}  // namespace OS
using CCfgIndex = CCfgSettingDBBase::CCfgIndex;
using SubjectPair = CCfgSettingDBBase::SubjectPair;

namespace {

std::atomic<int> g_destroyed{0};
std::atomic<int> g_deleted{0};

// A category with ten declared string fields F0..F9 and a subject member; counts how its objects
// go away.
class CTestSetting : public CCfgSettingCategoryBase {
  public:
    explicit CTestSetting(const x_wstring& subject = L"ZOLT_SUB_TEST") : m_strSubject(subject) {}
    CTestSetting(const CTestSetting&) = default;
    ~CTestSetting() override { ++g_destroyed; }

    static unsigned int Id(int n) { return (static_cast<unsigned int>(n + 1) << 16) | 0x001F; }

    x_wstring GetCategroyName() override { return L"QV_CacheTest"; }
    CSubjectID GetSubjectID() override { return CSubjectID(m_strSubject); }
    CCfgSettingCategoryBase* New() const override { return new CTestSetting(); }
    void Delete(CCfgSettingCategoryBase* p) override {
        if (p != nullptr) {
            ++g_deleted;
            delete p;
        }
    }
    void SetSubjectID(const x_wstring& s) override { m_strSubject = s; }
    void EnumerateFieldInfo(CFieldInfoCallback& cb) const override {
        for (int n = 0; n < 10; ++n) {
            x_wstring name;
            name.Format(L"F%d", n);
            if (!cb(Id(n), name, CVar(L""))) return;
        }
    }

  private:
    x_wstring m_strSubject;
};

constexpr auto kNone = CCfgSettingDBBase::MA_NONE;

CCfgIndex Key(const wchar_t* server, const wchar_t* policy, const wchar_t* subject) {
    return CCfgIndex(server, {CSubjectID(policy), CSubjectID(subject)});
}

x_wstring Field(const CCfgSettingCategoryBase& s, const wchar_t* name) {
    CVar v;
    if (!s.GetFieldValue(x_wstring(name), v)) return L"<absent>";
    return v.ToString();
}

// A setting whose ten fields all hold `version`.
CTestSetting Whole(int version) {
    CTestSetting s;
    for (int n = 0; n < 10; ++n) s.AddFieldValue(CTestSetting::Id(n), version);
    return s;
}

// Every field of the setting, as "name=value;" in field order.
x_wstring Dump(const CCfgSettingCategoryBase& s) {
    x_wstring text;
    for (const auto& [name, value] : settingtest::Fields(s))
        text += name + L"=" + value.ToString() + L";";
    return text;
}

}  // namespace

TEST(SettingCache, ReadsCopiesAndStoresReplaceContent) {
    CCfgSettingCache cache;

    // A miss leaves the caller's setting exactly as it was.
    CTestSetting caller;
    caller.AddFieldValue(x_wstring(L"F9"), CVar(L"mine"));
    caller.ResetDirtyFlag(false);
    EXPECT_FALSE(cache.GetConfiguration(Key(L"srv", L"P", L"x"), caller));
    EXPECT_EQ(x_wstring(L"F9=mine;"), Dump(caller));
    EXPECT_FALSE(caller.IsDirty());

    CTestSetting first;
    first.AddFieldValue(x_wstring(L"F0"), CVar(L"one"));
    first.AddFieldValue(x_wstring(L"F1"), CVar(7));
    EXPECT_TRUE(cache.SetConfiguration(Key(L"srv", L"P", L"x"), first, nullptr,
                                       CCfgSettingDBBase::MA_NO_IGNORE_FIELDS));

    // Found under any letter case. The read
    // merges into the caller (its own F9 stays) and takes the stored dirty flag.
    EXPECT_TRUE(cache.GetConfiguration(Key(L"SRV", L"p", L"X"), caller));
    EXPECT_EQ(x_wstring(L"F0=one;F1=7;F9=mine;"), Dump(caller));
    EXPECT_TRUE(caller.IsDirty());

    // The caller holds a copy: changing it, or the setting that was stored, leaves the cache.
    caller.AddFieldValue(x_wstring(L"F0"), CVar(L"changed"));
    first.AddFieldValue(x_wstring(L"F0"), CVar(L"changed too"));
    CTestSetting again;
    EXPECT_TRUE(cache.GetConfiguration(Key(L"srv", L"P", L"x"), again));
    EXPECT_EQ(x_wstring(L"one"), Field(again, L"F0"));

    // Storing the same key again keeps one entry and assigns into it: new values replace old
    // ones, fields the second setting lacks stay, the dirty flag is the second setting's.
    CTestSetting second;
    second.AddFieldValue(x_wstring(L"f0"), CVar(L"two"));
    second.AddFieldValue(x_wstring(L"F2"), CVar(true));
    second.ResetDirtyFlag(false);
    EXPECT_TRUE(cache.SetConfiguration(Key(L"SRV", L"P", L"X"), second, nullptr, kNone));
    EXPECT_EQ(1u, cache.GetCount());
    CTestSetting latest;
    latest.ResetDirtyFlag(true);
    EXPECT_TRUE(cache.GetConfiguration(Key(L"srv", L"P", L"x"), latest));
    // F0 keeps the spelling of its first insertion into the cached object.
    EXPECT_EQ(x_wstring(L"F0=two;F1=7;F2=True;"), Dump(latest));
    EXPECT_FALSE(latest.IsDirty());

    // A different key is a different entry.
    EXPECT_TRUE(cache.SetConfiguration(Key(L"srv", L"P", L"y"), second, nullptr, kNone));
    EXPECT_EQ(2u, cache.GetCount());

    // A marked entry is read only under its mark; the plain store marks 0, which reads nothing.
    EXPECT_TRUE(cache.SetMarkedConfiguration(Key(L"srv", L"P", L"y"), first, 5));
    CTestSetting marked;
    EXPECT_FALSE(cache.GetMarkedConfiguration(Key(L"srv", L"P", L"y"), 6, marked));
    EXPECT_TRUE(cache.GetMarkedConfiguration(Key(L"SRV", L"p", L"Y"), 5, marked));
    EXPECT_EQ(x_wstring(L"changed too"), Field(marked, L"F0"));
    EXPECT_TRUE(cache.SetConfiguration(Key(L"srv", L"P", L"y"), second, nullptr, kNone));
    EXPECT_FALSE(cache.GetMarkedConfiguration(Key(L"srv", L"P", L"y"), 5, marked));
    EXPECT_FALSE(cache.GetMarkedConfiguration(Key(L"srv", L"P", L"y"), 0, marked));
}

TEST(SettingCache, UnsupportedOperationsAndStoresThatCannotCopy) {
    CCfgSettingCache cache;
    CTestSetting good;
    good.AddFieldValue(x_wstring(L"F0"), CVar(L"good"));
    ASSERT_TRUE(cache.SetConfiguration(Key(L"S", L"P", L"X"), good, nullptr, kNone));

    // The apply-all write is not supported; nor can an apply-all setting make an object of its
    // own category, so it is not stored either.
    CCfgSettingApplyAll all(L"QV_CacheTest");
    all.AddFieldValue(x_wstring(L"F0"), CVar(L"everyone"));
    EXPECT_FALSE(cache.SetConfiguration(L"S", L"QV_CacheTest", all, nullptr));
    EXPECT_FALSE(static_cast<CCfgSettingDBBase&>(cache).SetConfiguration(Key(L"S", L"P", L"ALL"),
                                                                         all, nullptr, kNone));

    // A setting that cannot be serialized throws out of the store and leaves no new entry, and
    // an existing entry keeps its content.
    CTestSetting bad;
    bad.AddFieldValue(x_wstring(L"F0"), CVar::FromUI4(3000000000u));  // does not fit an int
    EXPECT_THROW(cache.SetConfiguration(Key(L"S", L"P", L"NEW"), bad, nullptr, kNone),
                 CVarConversionException);
    EXPECT_THROW(cache.SetConfiguration(Key(L"S", L"P", L"X"), bad, nullptr, kNone),
                 CVarConversionException);
    EXPECT_EQ(1u, cache.GetCount());
    CTestSetting read;
    ASSERT_TRUE(cache.GetConfiguration(Key(L"S", L"P", L"X"), read));
    EXPECT_EQ(x_wstring(L"F0=good;"), Dump(read));
}

TEST(SettingCache, RemovalLogsAndDestroysAndTheCacheDeletesTheRest) {
    g_destroyed = 0;
    g_deleted = 0;
    {
        CCfgSettingCache cache;
        CTestSetting s;
        s.AddFieldValue(x_wstring(L"F0"), CVar(L"v"));
        for (const wchar_t* subject : {L"A", L"B", L"C"})
            ASSERT_TRUE(cache.SetConfiguration(Key(L"S", L"P", subject), s, nullptr, kNone));
        ASSERT_EQ(0, g_destroyed.load());

        DBG::CCaptureLog log;
        cache.RemoveConfiguration(Key(L"s", L"p", L"b"), L"", nullptr);
        EXPECT_EQ(1, g_destroyed.load());  // through its destructor, not its category's Delete
        EXPECT_EQ(0, g_deleted.load());
        EXPECT_EQ(2u, cache.GetCount());
        CTestSetting gone;
        EXPECT_FALSE(cache.GetConfiguration(Key(L"S", L"P", L"B"), gone));

        g_destroyed = 0;
    }
    // The cache's end hands each remaining object to its category's Delete.
    EXPECT_EQ(2, g_deleted.load());
    EXPECT_EQ(2 + 2, g_destroyed.load());  // the two cached objects and the two locals
}

TEST(SettingCache, SubjectPairsOfAServerAppendInKeyOrder) {
    CCfgSettingCache cache;
    CTestSetting s;
    s.AddFieldValue(x_wstring(L"F0"), CVar(L"v"));
    const CCfgIndex keys[] = {Key(L"vs1", L"P", L"ZOLT_SUB_C"), Key(L"VS1", L"ZOLT_PLC_NULL", L"B"),
                              Key(L"Vs1", L"P", L"A"), Key(L"vs2", L"P", L"A"),
                              Key(L"vs", L"1P", L"Z")};
    for (const auto& key : keys) ASSERT_TRUE(cache.SetConfiguration(key, s, nullptr, kNone));

    std::vector<SubjectPair> pairs = {{CSubjectID(L"keep"), CSubjectID(L"me")}};
    cache.GetPolicySubjectPairByVirtualServerName(L"nobody", pairs);
    // Three entries of vs1 in any letter case, appended in the order of their keys (vs1P...
    // before vs1ZOLT...); "vs" + "1P" is a different server even though its key starts alike.
    cache.GetPolicySubjectPairByVirtualServerName(L"VS1", pairs);
    x_wstring text;
    for (const auto& [policy, subject] : pairs)
        text += policy.ToString() + L":" + subject.ToString() + L" ";
    EXPECT_EQ(x_wstring(L"keep:me P:A P:ZOLT_SUB_C ZOLT_PLC_NULL:B "), text);
}

// Writers store whole versions (every field tagged with one version) under shared and private
// keys while readers read and removers drop the same keys. Every successful read must show one
// complete version; at the end each key is absent or holds one complete written version.
TEST(CacheConcurrency, ReadersWritersAndRemoversSeeWholeSettings) {
    constexpr int kWriters = 2, kReaders = 2, kRemovers = 1, kRounds = 300;
    // Keys 0-1 are shared by the writers, 2-3 private to one writer each; the remover drops keys
    // 0-3; key 4 is stored before the start and never removed, so readers always find it.
    const CCfgIndex keys[] = {Key(L"S", L"P", L"SHARED"), Key(L"s", L"p", L"shared2"),
                              Key(L"S", L"P", L"W0"), Key(L"S", L"P", L"W1"),
                              Key(L"S", L"P", L"STABLE")};
    CCfgSettingCache cache;
    std::latch start(kWriters + kReaders + kRemovers);
    std::atomic<int> torn{0}, hits{0};

    auto version = [](int writer, int round) { return writer * 100000 + round; };
    // True when all ten fields hold one version that some writer wrote.
    auto checkWhole = [&](const CCfgSettingCategoryBase& s) {
        CVar v0;
        if (!s.GetFieldValue(x_wstring(L"F0"), v0) || v0.vt() != VT_I4) return false;
        const int v = v0.GetI4();
        if (v / 100000 >= kWriters || v % 100000 >= kRounds) return false;
        return Dump(s) == Dump(Whole(v));
    };

    ASSERT_TRUE(cache.SetConfiguration(keys[4], Whole(version(0, 0)), nullptr, kNone));
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            start.arrive_and_wait();
            for (int r = 0; r < kRounds; ++r) {
                const CTestSetting s = Whole(version(w, r));
                cache.SetConfiguration(keys[r % 2], s, nullptr, kNone);
                cache.SetConfiguration(keys[2 + w], s, nullptr, kNone);
                cache.SetConfiguration(keys[4], s, nullptr, kNone);
            }
        });
    }
    for (int rd = 0; rd < kReaders; ++rd) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int r = 0; r < kRounds * 2; ++r) {
                CTestSetting s;
                if (cache.GetConfiguration(keys[r % 5], s)) {
                    ++hits;
                    if (!checkWhole(s)) ++torn;
                }
            }
        });
    }
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int r = 0; r < kRounds * 2; ++r) {
            cache.RemoveConfiguration(keys[r % 4], L"", nullptr);
            std::vector<SubjectPair> pairs;
            cache.GetPolicySubjectPairByVirtualServerName(L"s", pairs);
            if (pairs.size() > 5) ++torn;
        }
    });
    for (auto& t : threads) t.join();

    EXPECT_EQ(0, torn.load());
    EXPECT_GE(hits.load(), kReaders * (kRounds * 2 / 5));
    EXPECT_LE(cache.GetCount(), 5u);
    // What survived is whole; a private key holds its own writer's data.
    for (int k = 0; k < 5; ++k) {
        CTestSetting s;
        if (!cache.GetConfiguration(keys[k], s)) continue;
        EXPECT_TRUE(checkWhole(s));
        if (k == 2 || k == 3) {
            EXPECT_EQ(k - 2, CVar(Field(s, L"F0")).ToI4() / 100000);
        }
    }
}
